#include "hex/hex_patch.h"

#include <cstdint>
#include <cstdio>
#include <exception>

#include "hex/hex_record.h"
#include "runtime/console.h"
#include "runtime/exit_status.h"
#include "runtime/failure.h"
#include "runtime/files.h"
#include "runtime/process.h"
#include "stamp/messages.h"
#include "stamp/serial.h"

namespace kestrel {
namespace {

constexpr char kOutputName[] = "kestrel.hex";

[[noreturn]] void EndNotValid(const std::string& name, const char* title) {
  ConsoleWriteLine();
  ConsoleWriteLine(title);
  ConsoleWriteArgument(name);
  ConsoleWriteLine(" doesn't seem to be a valid HEX file");
  EndProcess(kStatusDataError);
}

}  // namespace

std::string PatchFirstRecord(std::string line, std::int32_t serial) {
  char digits[kSerialDigits + 1];
  std::snprintf(digits, sizeof digits, "%08X",
                static_cast<std::uint32_t>(serial));
  line.replace(kSerialPosition - 1, kSerialDigits, digits);
  unsigned checksum = (256u - HexRecordSum(line, kChecksumPosition - 1)) % 256u;
  char sum[kChecksumDigits + 1];
  std::snprintf(sum, sizeof sum, "%02X", checksum);
  line.replace(kChecksumPosition - 1, kChecksumDigits, sum);
  return line;
}

int PatchHexImage(const std::string& name, const std::string& serial_text) {
  TextFile input;
  try {
    OpenTextForRead(input, name);
    CheckIo();
    try {
      SerialNumber serial = ParseSerialNumber(serial_text);
      if (!serial.length_ok) {
        PrintLengthBlock();
        return kStatusUsage;
      }
      // The first line is read and checked in the serial stage by design: a
      // failure reading it gives the not-a-number block, and a bad first
      // line ends the run before any output exists.
      std::string first = ReadTextLine(input);
      CheckIo();
      if (!CheckHexRecord(first))
        EndNotValid(name, "Kestrel Tool. **** CRC error ****");
      // Only a 16-byte data record has a place for the serial: a shorter
      // record passes the check unverified, however it is padded.
      if (!IsSixteenByteDataRecord(first))
        EndNotValid(name, "Kestrel Tool 2. **** Error ****");
      first = PatchFirstRecord(std::move(first), serial.value);
      try {
        TextFile output;
        CreateTextForWrite(output, kOutputName);
        CheckIo();
        WriteTextLine(output, first);
        CheckIo();
        std::string scratch;  // a line that does not lie whole in the buffer
        while (true) {
          bool at_end = TextAtEnd(input);
          CheckIo();
          if (at_end) break;
          std::string_view line = ReadTextLine(input, scratch);
          CheckIo();
          WriteTextLine(output, line);
          CheckIo();
          if (!CheckHexRecord(line))
            EndNotValid(name, "Kestrel Tool 2. **** CRC error ****");
        }
        CloseText(input);
        CheckIo();
        CloseText(output);
        CheckIo();
        PrintSuccessBlock(kOutputName);
        return kStatusSuccess;
      } catch (const std::exception&) {
        PrintCantCreateBlock(kOutputName);
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
