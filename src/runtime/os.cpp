#include "runtime/os.h"

#include <utility>

namespace kestrel {
namespace {
Os* installed = nullptr;
}  // namespace

Os& CurrentOs() { return installed != nullptr ? *installed : PlatformOs(); }

Os* SetOsForTest(Os* os) { return std::exchange(installed, os); }

}  // namespace kestrel
