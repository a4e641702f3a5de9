// Preloaded ahead of the AddressSanitizer runtime while fuzzing. That runtime
// defines no-op coverage callbacks, and being loaded first it would take the
// calls meant for the fuzzer's libFuzzer (atheris' Python coverage among them),
// leaving the fuzzer blind. These definitions come first and pass every call on
// to the libFuzzer in the library named by VORLIK_FUZZ_LIBFUZZER.
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

static void* library;

static void* libfuzzer_symbol(const char* name) {
    if (library == NULL) {
        const char* path = getenv("VORLIK_FUZZ_LIBFUZZER");
        library = path == NULL ? NULL : dlopen(path, RTLD_NOW | RTLD_NOLOAD);
        if (library == NULL) {
            fprintf(stderr, "coverage shim: libFuzzer library not loaded: %s\n",
                    path == NULL ? "VORLIK_FUZZ_LIBFUZZER unset" : dlerror());
            abort();
        }
    }
    void* symbol = dlsym(library, name);
    if (symbol == NULL) {
        fprintf(stderr, "coverage shim: %s\n", dlerror());
        abort();
    }
    return symbol;
}

// Defines `name` with the parameter list `params`, forwarding the arguments
// `args` (a tail call, so that libFuzzer still sees the caller's address).
#define FORWARD(name, params, args)                                     \
    void name params {                                                  \
        static void(*target) params;                                    \
        if (target == NULL) *(void**)&target = libfuzzer_symbol(#name); \
        target args;                                                    \
    }

// The same for the hooks that the sanitizer's interceptors call for every
// memcmp and strcmp in the process, from its start on: they do nothing until a
// coverage callback has opened libFuzzer, and never open it themselves (that
// would run for every comparison before atheris is loaded).
#define HOOK(name, params, args)                        \
    void name params {                                  \
        static void(*target) params;                    \
        if (target == NULL) {                           \
            if (library == NULL) return;                \
            *(void**)&target = libfuzzer_symbol(#name); \
        }                                               \
        target args;                                    \
    }

FORWARD(__sanitizer_cov_8bit_counters_init, (uint8_t * start, uint8_t* stop), (start, stop))
FORWARD(__sanitizer_cov_pcs_init, (const uintptr_t* start, const uintptr_t* stop), (start, stop))
FORWARD(__sanitizer_cov_trace_pc_guard_init, (uint32_t * start, uint32_t* stop), (start, stop))
FORWARD(__sanitizer_cov_trace_pc_guard, (uint32_t * guard), (guard))
FORWARD(__sanitizer_cov_trace_pc_indir, (uintptr_t callee), (callee))
FORWARD(__sanitizer_cov_trace_cmp1, (uint8_t a, uint8_t b), (a, b))
FORWARD(__sanitizer_cov_trace_cmp2, (uint16_t a, uint16_t b), (a, b))
FORWARD(__sanitizer_cov_trace_cmp4, (uint32_t a, uint32_t b), (a, b))
FORWARD(__sanitizer_cov_trace_cmp8, (uint64_t a, uint64_t b), (a, b))
FORWARD(__sanitizer_cov_trace_const_cmp1, (uint8_t a, uint8_t b), (a, b))
FORWARD(__sanitizer_cov_trace_const_cmp2, (uint16_t a, uint16_t b), (a, b))
FORWARD(__sanitizer_cov_trace_const_cmp4, (uint32_t a, uint32_t b), (a, b))
FORWARD(__sanitizer_cov_trace_const_cmp8, (uint64_t a, uint64_t b), (a, b))
FORWARD(__sanitizer_cov_trace_div4, (uint32_t value), (value))
FORWARD(__sanitizer_cov_trace_div8, (uint64_t value), (value))
FORWARD(__sanitizer_cov_trace_gep, (uintptr_t index), (index))
FORWARD(__sanitizer_cov_trace_switch, (uint64_t value, uint64_t* cases), (value, cases))
HOOK(__sanitizer_weak_hook_memcmp, (void* pc, const void* s1, const void* s2, size_t n, int result),
     (pc, s1, s2, n, result))
HOOK(__sanitizer_weak_hook_strncmp,
     (void* pc, const char* s1, const char* s2, size_t n, int result), (pc, s1, s2, n, result))
HOOK(__sanitizer_weak_hook_strncasecmp,
     (void* pc, const char* s1, const char* s2, size_t n, int result), (pc, s1, s2, n, result))
HOOK(__sanitizer_weak_hook_strcmp, (void* pc, const char* s1, const char* s2, int result),
     (pc, s1, s2, result))
HOOK(__sanitizer_weak_hook_strcasecmp, (void* pc, const char* s1, const char* s2, int result),
     (pc, s1, s2, result))
HOOK(__sanitizer_weak_hook_strstr, (void* pc, const char* s1, const char* s2, char* result),
     (pc, s1, s2, result))
HOOK(__sanitizer_weak_hook_strcasestr, (void* pc, const char* s1, const char* s2, char* result),
     (pc, s1, s2, result))
HOOK(__sanitizer_weak_hook_memmem,
     (void* pc, const void* s1, size_t n1, const void* s2, size_t n2, void* result),
     (pc, s1, n1, s2, n2, result))
