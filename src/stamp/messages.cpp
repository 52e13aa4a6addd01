#include "stamp/messages.h"

#include "runtime/console.h"

namespace kestrel {

void PrintErrorTitle() {
  ConsoleWriteLine();
  ConsoleWriteLine(kErrorTitle);
}

void PrintCantFindBlock(std::string_view name) {
  PrintErrorTitle();
  ConsoleWrite("Can't find file ");
  ConsoleWriteArgument(name);
  ConsoleWriteLine();
}

void PrintSuccessBlock(std::string_view output_name) {
  ConsoleWriteLine();
  ConsoleWrite("Kestrel Tool 2. File ");
  ConsoleWrite(output_name);
  ConsoleWriteLine(" successfully created");
}

void PrintCantCreateBlock(std::string_view output_name) {
  PrintErrorTitle();
  ConsoleWrite("Can't create file ");
  ConsoleWriteLine(output_name);
}

}  // namespace kestrel
