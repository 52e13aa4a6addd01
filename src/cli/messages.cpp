#include "cli/messages.h"

#include "runtime/console.h"

namespace kestrel {

void PrintErrorTitle() {
  ConsoleWriteLine();
  ConsoleWriteLine("Kestrel Tool 2. **** Error ****");
}

void PrintInputStageBlock(std::string_view name) {
  PrintErrorTitle();
  ConsoleWrite("Can't find file ");
  ConsoleWriteLine(name);
}

void PrintOutputStageBlock(std::string_view output_name) {
  PrintErrorTitle();
  ConsoleWrite("Can't create file ");
  ConsoleWriteLine(output_name);
}

}  // namespace kestrel
