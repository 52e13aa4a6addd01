#include <unistd.h>

#include "runtime/console.h"
#include "runtime/process.h"

namespace kestrel {
namespace platform {

std::string ProgramFileName(int argc, char** argv) {
  char path[4096];
  ssize_t length = ::readlink("/proc/self/exe", path, sizeof path);
  if (length > 0) return std::string(path, static_cast<std::size_t>(length));
  return argc > 0 ? argv[0] : "";
}

std::vector<std::string> ProgramArguments(int argc, char** argv) {
  return std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc);
}

// The arguments arrive as they were typed.
std::vector<std::string> ProgramArgumentsAsTyped() { return {}; }

void ExitWithStatus(std::uint8_t status) {
  RestoreConsole();
  ::_exit(status);
}

}  // namespace platform
}  // namespace kestrel
