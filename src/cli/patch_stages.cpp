#include "cli/patch_stages.h"

#include <exception>

#include "cli/serial.h"
#include "runtime/console.h"
#include "runtime/exit_status.h"
#include "runtime/process.h"

namespace kestrel {

void PrintErrorTitle() {
  ConsoleWriteLine();
  ConsoleWriteLine("Kestrel Tool 2. **** Error ****");
}

void RunPatchStages(
    const std::string& name, const std::string& serial_text,
    std::string_view output_name, const std::function<void()>& input_stage,
    const std::function<void(std::int32_t serial)>& serial_stage,
    const std::function<void()>& output_stage) {
  try {
    input_stage();
    try {
      SerialNumber serial = ParseSerialNumber(serial_text);
      if (!serial.length_ok) {
        PrintLengthBlock();
        SetExitStatus(kStatusUsage);
        return;
      }
      serial_stage(serial.value);
      try {
        output_stage();
      } catch (const std::exception&) {
        PrintErrorTitle();
        ConsoleWrite("Can't create file ");
        ConsoleWriteLine(output_name);
        SetExitStatus(kStatusCantCreate);
      }
    } catch (const std::exception&) {
      PrintNotANumberBlock(serial_text);
      SetExitStatus(kStatusUsage);
    }
  } catch (const std::exception&) {
    PrintErrorTitle();
    ConsoleWrite("Can't find file ");
    ConsoleWriteArgument(name);
    ConsoleWriteLine();
    SetExitStatus(kStatusNoInput);
  }
}

}  // namespace kestrel
