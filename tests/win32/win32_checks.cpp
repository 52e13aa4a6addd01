// Checks of the Windows build's own pieces, run under wine: the error
// mapping and the splitting of the command line as Windows hands it over.
// GoogleTest is not built for the cross compiler, so this counts by hand.
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "runtime/arguments.h"
#include "runtime/os.h"

namespace {

int passed = 0;
int failed = 0;

template <typename A, typename B>
void Check(const A& actual, const B& expected, const char* what) {
  if (actual == expected) {
    ++passed;
  } else {
    ++failed;
    std::printf("FAILED: %s\n", what);
  }
}

using Words = std::vector<std::string>;

}  // namespace

int main() {
  using kestrel::IoCodeFromSystemError;
  Check(IoCodeFromSystemError(ERROR_FILE_NOT_FOUND), 2, "missing file is 2");
  Check(IoCodeFromSystemError(ERROR_PATH_NOT_FOUND), 3, "missing folder is 3");
  Check(IoCodeFromSystemError(ERROR_TOO_MANY_OPEN_FILES), 4,
        "too many files is 4");
  Check(IoCodeFromSystemError(ERROR_ACCESS_DENIED), 5, "access denied is 5");
  Check(IoCodeFromSystemError(ERROR_INVALID_HANDLE), 6, "bad handle is 6");
  Check(IoCodeFromSystemError(ERROR_SHARING_VIOLATION), 5,
        "sharing violation is 5");
  Check(IoCodeFromSystemError(ERROR_WRITE_PROTECT), 150, "19 becomes 150");
  Check(IoCodeFromSystemError(ERROR_GEN_FAILURE), 162, "31 becomes 162");
  Check(IoCodeFromSystemError(18), 18, "18 passes unchanged");
  Check(IoCodeFromSystemError(ERROR_LOCK_VIOLATION), 33, "33 passes unchanged");
  Check(IoCodeFromSystemError(ERROR_DISK_FULL), 112, "112 passes unchanged");

  using kestrel::SplitCommandLine;
  Check(SplitCommandLine("C:\\tools\\kestrel.exe \"my image.hex\" 001.234.567"),
        Words{"C:\\tools\\kestrel.exe", "my image.hex", "001.234.567"},
        "quoted blank");
  Check(SplitCommandLine("\"C:\\Program Files\\kestrel.exe\"'a b'c"),
        Words{"C:\\Program Files\\kestrel.exe", "a b", "c"},
        "quotes back to back");
  Check(SplitCommandLine("k a\\\"b \"\""), Words{"k", "a\\\"b", ""},
        "no escapes");

  std::printf("%d passed, %d failed\n", passed, failed);
  return failed == 0 ? 0 : 1;
}
