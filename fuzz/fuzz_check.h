// What every fuzz target shares: a broken invariant stops the run with the
// condition that failed, so that libFuzzer keeps the input.
#ifndef VSETUP_FUZZ_CHECK_H
#define VSETUP_FUZZ_CHECK_H

#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(condition)                                                            \
    do {                                                                                 \
        if (!(condition)) {                                                              \
            std::fprintf(stderr, "%s:%d: broken: %s\n", __FILE__, __LINE__, #condition); \
            std::abort();                                                                \
        }                                                                                \
    } while (0)

#endif
