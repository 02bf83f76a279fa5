#include "app/Application.h"

#if defined(__GLIBC__)
#include <malloc.h>
#endif

int main(int argc, char** argv) {
#if defined(__GLIBC__)
    // The allocator gives each thread that allocates an arena of its own, and the app
    // has some eighteen threads (network, keyring, image decoding, the store, Qt's
    // own) that mostly sleep; each arena keeps its freed memory apart. Two suffice for
    // threads that seldom allocate at once, and keep the app's resident memory a few
    // hundred kilobytes smaller.
    mallopt(M_ARENA_MAX, 2);
#endif
    return velmora::Application::run(argc, argv);
}
