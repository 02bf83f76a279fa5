#pragma once

// Sanitizer settings compiled into every test executable, so a run reports the same
// way whether ctest, its preset or a developer starts it. Included by the file that
// holds main(): in a file of their own the linker would drop them from the archive.
#if defined(__SANITIZE_ADDRESS__)
extern "C" {
const char* __asan_default_options() { return "detect_leaks=1:halt_on_error=1"; }
const char* __ubsan_default_options() { return "halt_on_error=1:print_stacktrace=1"; }
// OpenSSL keeps per-thread error state and cached certificates for the life of the
// process; the TLS backend never frees them. The HEVC encoder behind libheif keeps a buffer
// of its own that it never frees. Our own allocations stay checked.
const char* __lsan_default_suppressions() { return "leak:libcrypto.so\nleak:libssl.so\nleak:libx265.so\n"; }
}
#endif
