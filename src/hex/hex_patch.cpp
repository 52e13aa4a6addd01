#include "hex/hex_patch.h"

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "hex/hex_record.h"
#include "runtime/console.h"
#include "runtime/exit_status.h"
#include "runtime/failure.h"
#include "runtime/files.h"
#include "stamp/messages.h"
#include "stamp/stages.h"

namespace kestrel {
namespace {

constexpr char kOutputName[] = "kestrel.hex";
constexpr char kFirstCrcTitle[] = "Kestrel Tool. **** CRC error ****";
constexpr char kLaterCrcTitle[] = "Kestrel Tool 2. **** CRC error ****";

int NotValid(const std::string& name, const char* title) {
  ConsoleWriteLine();
  ConsoleWriteLine(title);
  ConsoleWriteArgument(name);
  ConsoleWriteLine(" doesn't seem to be a valid HEX file");
  return kStatusDataError;
}

// No toolchain writes more than one or two records before its first data;
// a bound keeps an image of nothing but address records from filling memory.
constexpr std::size_t kMostLeadingRecords = 16;

// The start of an image: the leading records, copied as they stand, and
// the record stamped; or the status of the block printed instead.
struct Head {
  std::vector<std::string> leading;
  std::string record;
  int status = kStatusSuccess;
};

// Reads the lines before the record to stamp and that record, each
// checked, before any output exists.
Head ReadHead(TextFile& input, const std::string& name) {
  Head head;
  while (true) {
    head.record = ReadTextLine(input);
    CheckIo();
    if (!CheckHexRecord(head.record)) {
      head.status = NotValid(name, kFirstCrcTitle);
      return head;
    }
    if (!IsLeadingRecord(head.record)) break;
    if (head.leading.size() == kMostLeadingRecords) {
      head.status = NotValid(name, kErrorTitle);
      return head;
    }
    head.leading.push_back(std::move(head.record));
  }
  // Only a data record of 8 bytes or more has a place for the serial.
  if (!IsStampableRecord(head.record))
    head.status = NotValid(name, kErrorTitle);
  return head;
}

}  // namespace

std::string PatchFirstRecord(std::string line, std::int32_t serial) {
  char digits[kSerialDigits + 1];
  std::snprintf(digits, sizeof digits, "%08X",
                static_cast<std::uint32_t>(serial));
  line.replace(kSerialPosition - 1, kSerialDigits, digits);
  std::size_t end = RecordEnd(ByteAt(line, kCountPosition));
  unsigned checksum = (256u - HexRecordSum(line, end - kChecksumDigits)) % 256u;
  char sum[kChecksumDigits + 1];
  std::snprintf(sum, sizeof sum, "%02X", checksum);
  line.replace(end - kChecksumDigits, kChecksumDigits, sum);
  return line;
}

int PatchHexImage(const std::string& name, const std::string& serial_text) {
  TextFile input, output;
  Head head;
  std::string stamped;
  return RunStages(
      name, serial_text, output, kOutputName,
      [&] { OpenTextForRead(input, name); },
      // The head is read and checked in the serial stage by design: a
      // failure reading it gives the not-a-number block, and a bad head
      // ends the run before any output exists.
      [&](std::int32_t serial) {
        head = ReadHead(input, name);
        if (head.status == kStatusSuccess)
          stamped = PatchFirstRecord(std::move(head.record), serial);
        return head.status;
      },
      [&] {
        CreateTextForWrite(output, kOutputName, &input);
        CheckIo();
        for (const std::string& line : head.leading) {
          WriteTextLine(output, line);
          CheckIo();
        }
        WriteTextLine(output, stamped);
        CheckIo();
        bool end_copied = false;
        bool all_pass = CopyTextLines(
            input, output,
            [](std::string_view line, void* context) {
              if (!CheckHexRecord(line)) return false;
              if (ByteAt(line, kTypePosition) == kEndRecord)
                *static_cast<bool*>(context) = true;
              return true;
            },
            &end_copied);
        CheckIo();
        if (!all_pass) return NotValid(name, kLaterCrcTitle);
        // A Ctrl-Z before the end record cut the image short; one after
        // it is padding. An image another program rewrote meanwhile gave
        // a copy of neither version.
        bool unchanged = UnchangedSinceOpened(input);
        CheckIo();
        if ((TextAtCtrlZ(input) && !end_copied) || !unchanged)
          return NotValid(name, kErrorTitle);
        CloseText(input);
        CheckIo();
        CloseText(output);
        CheckIo();
        return kStatusSuccess;
      });
}

}  // namespace kestrel
