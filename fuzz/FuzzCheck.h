#pragma once

#include <cstdio>
#include <cstdlib>

// A broken property found by a fuzz target: say which, then abort so that
// libFuzzer keeps the input and the regression runner fails.
#define FUZZ_CHECK(cond)                                                          \
    do {                                                                          \
        if (!(cond)) {                                                            \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, \
                         #cond);                                                  \
            std::abort();                                                         \
        }                                                                         \
    } while (false)

// For a target's own checks: they judge the code under test and are no part
// of it, so libFuzzer gets no coverage feedback from them (that would only
// cost time every run). AddressSanitizer and UBSan still check them.
#if defined(__clang__)
#define FUZZ_ORACLE __attribute__((no_sanitize("coverage")))
#else
#define FUZZ_ORACLE
#endif
