#include "runtime/os.h"

#include <utility>

namespace kestrel {
namespace {
Os* installed = nullptr;
}  // namespace

Os& CurrentOs() { return installed != nullptr ? *installed : PlatformOs(); }

Os* SetOsForTest(Os* os) { return std::exchange(installed, os); }

unsigned AsideNumber(unsigned clock, unsigned process) {
  static unsigned drawn = 0;
  return (clock ^ process * 2654435761u ^ ++drawn * 40503u) % 1000000u;
}

}  // namespace kestrel
