#include "cli/front_end.h"

#include <chrono>
#include <thread>

#include "bin/bin_patch.h"
#include "hex/hex_patch.h"
#include "runtime/arguments.h"
#include "runtime/console.h"
#include "runtime/exit_status.h"
#include "runtime/process.h"
#include "stamp/messages.h"
#include "stamp/serial.h"

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

// The argument check and the dispatch; the exit status.
int Dispatch() {
  if (ArgumentCount() != 2) {
    PrintUsageBlock();
    WaitForKey();
    return kStatusUsage;
  }
  const std::string& image = Argument(1);
  std::string kind = FileKind(image);
  if (kind == "HEX") return PatchHexImage(image, Argument(2));
  if (kind == "BIN") return PatchBinImage(image, Argument(2));
  PrintErrorTitle();
  ConsoleWrite("Unknown file type. ");
  ConsoleWriteArgument(image);
  ConsoleWriteLine(" is not a BIN or HEX file");
  return kStatusUsage;
}

}  // namespace

std::string FileKind(std::string_view name) {
  std::string kind(name.size() < 3 ? name : name.substr(name.size() - 3));
  for (char& c : kind) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return kind;
}

// A failure no stage caught gets the unhandled-failure report.
int RunFrontEnd() {
  try {
    return Dispatch();
  } catch (...) {
    EndWithEscapedFailure();
  }
}

}  // namespace kestrel
