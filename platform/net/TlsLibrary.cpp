#include "platform/net/TlsLibrary.h"

#include <openssl/crypto.h>

namespace velmora {

bool TlsLibrary::keepStateUntilExit() {
    // libcurl and Qt load the same shared library when they first need TLS and initialise it
    // again; the first initialisation's choice about the clean-up at exit stands.
    return OPENSSL_init_crypto(OPENSSL_INIT_NO_ATEXIT, nullptr) == 1;
}

} // namespace velmora
