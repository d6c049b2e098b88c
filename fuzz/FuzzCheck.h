// The fuzzers' property check: a broken property is reported like a crash, in every build type.
#pragma once

#include <cstdio>
#include <cstdlib>

#define GWU_FUZZ_CHECK(condition)                                                                 \
    do {                                                                                          \
        if (!(condition)) {                                                                       \
            std::fprintf(stderr, "%s:%d: property broken: %s\n", __FILE__, __LINE__, #condition); \
            std::abort();                                                                         \
        }                                                                                         \
    } while (false)
