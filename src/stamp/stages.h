// The three stages of a stamp, each under a handler of its own that
// catches every failure and prints its stage's block: the input opened,
// the serial number taken, the copy written.
#ifndef KESTREL_STAMP_STAGES_H_
#define KESTREL_STAMP_STAGES_H_

#include <cstdint>
#include <exception>
#include <string>
#include <string_view>

#include "runtime/exit_status.h"
#include "runtime/failure.h"
#include "runtime/files.h"
#include "stamp/messages.h"
#include "stamp/serial.h"

namespace kestrel {

// Runs `open_input()`, then `take_serial(value)` once the serial text has
// passed, then `write_copy()`, which closes `output` whole and returns the
// success status or the status of a block it printed itself. Only a copy
// written whole stays; the status of the run is returned.
template <typename OpenInput, typename TakeSerial, typename WriteCopy>
int RunStages(const std::string& name, const std::string& serial_text,
              HeldFile& output, std::string_view output_name,
              OpenInput open_input, TakeSerial take_serial,
              WriteCopy write_copy) {
  try {
    open_input();
    CheckIo();
    try {
      SerialNumber serial = ParseSerialNumber(serial_text);
      if (!serial.length_ok) {
        PrintLengthBlock();
        return kStatusUsage;
      }
      int status = take_serial(serial.value);
      if (status != kStatusSuccess) return status;
      try {
        status = write_copy();
        if (status != kStatusSuccess) {
          ThrowAway(output);
          return status;
        }
        PrintSuccessBlock(output_name);
        return kStatusSuccess;
      } catch (const std::exception&) {
        ThrowAway(output);
        PrintCantCreateBlock(output_name);
        return kStatusCantCreate;
      }
    } catch (const std::exception&) {
      PrintNotANumberBlock(serial_text);
      return kStatusUsage;
    }
  } catch (const std::exception&) {
    PrintCantFindBlock(name);
    return kStatusNoInput;
  }
}

}  // namespace kestrel

#endif  // KESTREL_STAMP_STAGES_H_
