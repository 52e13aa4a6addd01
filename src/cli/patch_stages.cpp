#include "cli/patch_stages.h"

#include "cli/serial.h"
#include "runtime/console.h"
#include "runtime/failure.h"

namespace kestrel {

void PrintErrorTitle() {
  ConsoleWriteLine();
  ConsoleWriteLine("Kestrel Tool 2. **** Error ****");
}

void RunPatchStages(const std::string& name, const std::string& serial_text,
                    std::string_view output_name,
                    const std::function<void()>& open_input,
                    const std::function<void(std::int32_t serial)>& prepare,
                    const std::function<void()>& copy) {
  try {
    open_input();
    try {
      SerialNumber serial = ParseSerialNumber(serial_text);
      if (!serial.length_ok) {
        PrintLengthBlock();
        SetExitStatus(kStatusUsage);
        return;
      }
      prepare(serial.value);
      try {
        copy();
      } catch (const Exception&) {
        PrintErrorTitle();
        ConsoleWrite("Can't create file ");
        ConsoleWriteLine(output_name);
        SetExitStatus(kStatusCantCreate);
      }
    } catch (const Exception&) {
      PrintNotANumberBlock(serial_text);
      SetExitStatus(kStatusUsage);
    }
  } catch (const Exception&) {
    PrintErrorTitle();
    ConsoleWrite("Can't find file ");
    ConsoleWriteLine(name);
    SetExitStatus(kStatusNoInput);
  }
}

}  // namespace kestrel
