#include "cli/front_end.h"

#include <chrono>
#include <thread>

#include "bin/bin_patch.h"
#include "cli/patch_stages.h"
#include "cli/serial.h"
#include "hex/hex_patch.h"
#include "runtime/arguments.h"
#include "runtime/console.h"
#include "runtime/exit_status.h"
#include "runtime/process.h"

namespace kestrel {
namespace {

void PrintUsageBlock() {
  ConsoleWriteLine();
  ConsoleWriteLine("Kestrel Tool 2. Wrong number of parameters.");
  PrintUsageExamples("001234567");
  ConsoleWriteLine("Press any key to continue");
}

// Without a keyboard no key can arrive, so a batch job must not wait.
void WaitForKey() {
  if (!ConsoleHasKeyboard()) return;
  while (!KeyWaiting()) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

}  // namespace

std::string FileKind(std::string_view name) {
  std::string kind(name.size() < 3 ? name : name.substr(name.size() - 3));
  for (char& c : kind) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return kind;
}

void RunFrontEnd() {
  if (ArgumentCount() != 2) {
    PrintUsageBlock();
    WaitForKey();
    SetExitStatus(kStatusUsage);
    return;
  }
  const std::string& image = Argument(1);
  std::string kind = FileKind(image);
  if (kind == "HEX") {
    PatchHexImage(image, Argument(2));
  } else if (kind == "BIN") {
    PatchBinImage(image, Argument(2));
  } else {
    PrintErrorTitle();
    ConsoleWrite("Unknown file type. ");
    ConsoleWriteArgument(image);
    ConsoleWriteLine(" is not a BIN or HEX file");
    SetExitStatus(kStatusUsage);
  }
}

}  // namespace kestrel
