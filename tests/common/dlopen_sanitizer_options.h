// Sanitizer defaults for a program that dlopen()s the plugin (and with it gRPC). Include it
// in exactly one source file of the program.
//
// The sanitizer runtime of GCC 12 mistakes some blocks of dynamic thread-local storage
// (that of libraries loaded with dlopen) for blocks with an old glibc header and reads
// garbage as their bounds; the leak check at the end then crashes now and then ("Tracer
// caught signal 11"). Without the interceptor the blocks are plain heap memory to
// LeakSanitizer, still scanned through the thread's DTV. Options given in the environment
// still win.
#pragma once

extern "C" const char* __asan_default_options() {
    return "intercept_tls_get_addr=0";
}
extern "C" const char* __lsan_default_options() {
    return "intercept_tls_get_addr=0";
}
