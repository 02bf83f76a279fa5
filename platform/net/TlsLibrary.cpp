#include "platform/net/TlsLibrary.h"

#include <QByteArray>

#include <curl/curl.h>
#include <openssl/crypto.h>

#include <cstdlib>
#include <mutex>

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

void TlsLibrary::setUpLibcurl() {
    static std::once_flag once;
    std::call_once(once, [] {
        // Whoever set it in the user's environment would read the user's traffic: it is never
        // honoured (each connection also drops the TLS library's hook for it).
        const char* keyLog = std::getenv("SSLKEYLOGFILE");
        const QByteArray kept = keyLog ? QByteArray(keyLog) : QByteArray();
        if (keyLog) {
            ::unsetenv("SSLKEYLOGFILE");
        }
        curl_global_init(CURL_GLOBAL_DEFAULT);
        if (!kept.isNull()) {
            ::setenv("SSLKEYLOGFILE", kept.constData(), 1);
        }
    });
}

} // namespace velmora
