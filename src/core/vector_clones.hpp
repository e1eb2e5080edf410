#pragma once
// OSTREL_VECTOR_CLONES compiles a function for AVX-512F, for AVX2 and for the
// baseline, and the loader picks the best copy for the processor. Meant for
// plain element loops: the build forbids floating-point contraction, so every
// copy performs the same IEEE operations and gives the same bits, only with
// wider vectors. ThreadSanitizer builds keep the baseline copy alone: the
// loader runs the clones' resolver before the sanitizer's runtime is ready,
// and an instrumented resolver crashes there.
#if defined(__x86_64__) && defined(__linux__) && (defined(__GNUC__) || defined(__clang__)) && \
    !defined(__SANITIZE_THREAD__)
#define OSTREL_VECTOR_CLONES __attribute__((target_clones("avx512f", "avx2", "default")))
#else
#define OSTREL_VECTOR_CLONES
#endif
