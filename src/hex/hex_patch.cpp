#include "hex/hex_patch.h"

#include <cstdint>
#include <cstdio>

#include "cli/patch_stages.h"
#include "hex/hex_record.h"
#include "runtime/console.h"
#include "runtime/exit_status.h"
#include "runtime/failure.h"
#include "runtime/files.h"
#include "runtime/process.h"

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

void PatchHexImage(const std::string& name, const std::string& serial_text) {
  TextFile input;
  TextFile output;
  std::string first;    // the first line, patched
  std::string scratch;  // a line that does not lie whole in the buffer
  auto input_stage = [&] {
    OpenTextForRead(input, name);
    CheckIo();
  };
  auto serial_stage = [&](std::int32_t serial) {
    // The first line is read and checked in the serial stage by design: a
    // failure reading it gives the not-a-number block, and a bad first line
    // ends the run before any output exists.
    first = ReadTextLine(input);
    CheckIo();
    if (!CheckHexRecord(first))
      EndNotValid(name, "Kestrel Tool. **** CRC error ****");
    // Only a 16-byte data record has a place for the serial: a shorter
    // record passes the check unverified, however it is padded.
    if (!IsSixteenByteDataRecord(first))
      EndNotValid(name, "Kestrel Tool 2. **** Error ****");
    first = PatchFirstRecord(std::move(first), serial);
  };
  auto output_stage = [&] {
    CreateTextForWrite(output, kOutputName);
    CheckIo();
    WriteTextLine(output, first);
    CheckIo();
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
    ConsoleWriteLine();
    ConsoleWriteLine("Kestrel Tool 2. File kestrel.hex successfully created");
  };
  RunPatchStages(name, serial_text, kOutputName, input_stage, serial_stage,
                 output_stage);
}

}  // namespace kestrel
