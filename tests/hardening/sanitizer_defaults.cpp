// Built into every program of the sanitizer build (TARVIK_SANITIZE). The tests start the
// backend and its helpers with a whole environment of their own, without ASAN_OPTIONS, so
// the settings the suite needs live here; ASAN_OPTIONS and UBSAN_OPTIONS still add to them.
//  - The children run with umockdev's preload library ahead of the sanitizer runtime, so
//    the runtime's link-order check is off.
//  - Any report ends the program at once with a failure status.
//  - Leaks of the libraries that keep their state until the process ends are not reported.

extern "C" const char* __asan_default_options() {
    return "verify_asan_link_order=0:halt_on_error=1:abort_on_error=0:detect_leaks=1";
}

extern "C" const char* __ubsan_default_options() {
    return "halt_on_error=1:print_stacktrace=1";
}

// Fontconfig (through Poppler, in the app's PDF renderer) keeps its configuration for the
// life of the process.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libfontconfig.so\n";
}
