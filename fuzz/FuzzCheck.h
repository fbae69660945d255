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
