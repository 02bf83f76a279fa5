#pragma once

namespace velmora {

// The TLS library behind libcurl and Qt's secure sockets, as the process as a whole uses it.
class TlsLibrary {
public:
    // Left to itself, the library frees its state at exit, every thread's included,
    // without waiting for threads that are still ending: a network thread in its own
    // thread-exit clean-up at that moment has its state freed twice, and the process
    // aborts on its way out. The system takes the memory back anyway, so the library is
    // told to leave its state alone at exit. Only the first initialisation decides this:
    // called first thing in main, before anything speaks TLS. False when the library
    // refused (it is then used as it was).
    static bool keepStateUntilExit();
    // Sets libcurl up, once, before anything of it is called (libcurl sets itself up on its
    // first handle otherwise): libcurl opens the file SSLKEYLOGFILE names at its set-up and
    // writes every TLS secret into it, so the variable is hidden from that set-up.
    static void setUpLibcurl();
};

} // namespace velmora
