// fuzz_check.h: the one assertion the fuzz targets use.
//
// A broken property must end the run with a report libFuzzer saves as a
// crash, whatever the build type, so this does not depend on NDEBUG.
#ifndef SELKBAR_FUZZ_FUZZ_CHECK_H_
#define SELKBAR_FUZZ_FUZZ_CHECK_H_

#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(condition)                                                          \
  do {                                                                                 \
    if (!(condition)) {                                                                \
      std::fprintf(stderr, "%s:%d: property violated: %s\n", __FILE__, __LINE__,      \
                   #condition);                                                        \
      std::abort();                                                                    \
    }                                                                                  \
  } while (0)

#endif  // SELKBAR_FUZZ_FUZZ_CHECK_H_
