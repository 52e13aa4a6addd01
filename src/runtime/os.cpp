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

namespace {
#ifdef _WIN32
constexpr const char* kSeparators = "\\/";
#else
constexpr const char* kSeparators = "/";
#endif
}  // namespace

std::string FolderOf(const std::string& path) {
  std::size_t end = path.find_last_of(kSeparators);
  return end == std::string::npos ? std::string() : path.substr(0, end + 1);
}

std::string BaseOf(const std::string& path) {
  std::size_t end = path.find_last_of(kSeparators);
  return end == std::string::npos ? path : path.substr(end + 1);
}

}  // namespace kestrel
