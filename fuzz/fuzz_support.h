// Shared by the fuzz targets: a property check that stops the run.
#ifndef KESTREL_FUZZ_FUZZ_SUPPORT_H_
#define KESTREL_FUZZ_FUZZ_SUPPORT_H_

#include <cstdio>
#include <cstdlib>

#define FUZZ_ASSERT(condition)                                              \
  do {                                                                      \
    if (!(condition)) {                                                     \
      std::fprintf(stderr, "%s:%d: property broken: %s\n", __FILE__, __LINE__, \
                   #condition);                                             \
      std::abort();                                                         \
    }                                                                       \
  } while (0)

#endif  // KESTREL_FUZZ_FUZZ_SUPPORT_H_
