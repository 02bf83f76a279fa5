#include "app/Application.h"
#include "platform/net/TlsLibrary.h"

#if defined(__GLIBC__)
#include <malloc.h>
#endif

int main(int argc, char** argv) {
    // Before anything speaks TLS: network threads may still be ending as the app exits.
    velmora::TlsLibrary::keepStateUntilExit();
#if defined(__GLIBC__)
    // The allocator gives each thread that allocates an arena of its own, and the app
    // has some eighteen threads (network, keyring, image decoding, the store, Qt's
    // own) that mostly sleep; each arena keeps its freed memory apart. Two suffice for
    // threads that seldom allocate at once, and keep the app's resident memory a few
    // hundred kilobytes smaller.
    mallopt(M_ARENA_MAX, 2);
    // A fixed threshold keeps large one-off buffers (a page of tasks as it arrives, and
    // its decoding) in mappings of their own, given back when freed. Left to itself the
    // allocator raises the threshold after the first such buffer and keeps later ones
    // in the heap, where their memory stays after the page is in the list.
    mallopt(M_MMAP_THRESHOLD, 128 * 1024);
#endif
    return velmora::Application::run(argc, argv);
}
