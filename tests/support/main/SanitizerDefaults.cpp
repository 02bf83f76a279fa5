// Sanitizer settings compiled into every test executable, so a test run reports the
// same way whether it is started by ctest, by its preset or by hand.
#if defined(__SANITIZE_ADDRESS__)
extern "C" {
const char* __asan_default_options() { return "detect_leaks=1:halt_on_error=1"; }
const char* __ubsan_default_options() { return "halt_on_error=1:print_stacktrace=1"; }
// OpenSSL keeps per-thread error state and cached certificates for the life of the
// process; the TLS backend never frees them. Our own allocations stay checked.
const char* __lsan_default_suppressions() { return "leak:libcrypto.so\nleak:libssl.so\n"; }
}
#endif
