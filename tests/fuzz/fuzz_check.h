// FUZZ_CHECK: the assertion of the fuzz targets. A broken property prints what was expected and
// aborts, so that libFuzzer records the input as a crash and keeps it for replay. Header only;
// every target runs single-threaded.
#pragma once

#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(condition)                                                            \
  do {                                                                                   \
    if (!(condition)) {                                                                  \
      std::fprintf(stderr, "%s:%d: property broken: %s\n", __FILE__, __LINE__, #condition); \
      std::abort();                                                                      \
    }                                                                                    \
  } while (0)
