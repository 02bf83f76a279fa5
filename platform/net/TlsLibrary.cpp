#include "platform/net/TlsLibrary.h"

#include <openssl/crypto.h>

// libcurl's own libraries (for directory look-ups and streaming protocols, never spoken here)
// bring a second TLS library whose set-up runs as it loads: it reads its configuration and
// loads its token modules, a megabyte of the app's memory for nothing. Defined here (and made
// visible to the libraries the executable loads), this tells it to skip that set-up; whoever
// uses it sets it up first, as its users here do.
extern "C" __attribute__((visibility("default"), used)) int _gnutls_global_init_skip(void) {
    return 1;
}

namespace velmora {

bool TlsLibrary::keepStateUntilExit() {
    // libcurl and Qt load the same shared library when they first need TLS and initialise it
    // again; the first initialisation's choice about the clean-up at exit stands.
    return OPENSSL_init_crypto(OPENSSL_INIT_NO_ATEXIT, nullptr) == 1;
}

} // namespace velmora
