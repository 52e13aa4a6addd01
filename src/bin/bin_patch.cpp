#include "bin/bin_patch.h"

#include <cstdint>

#include "cli/messages.h"
#include "cli/serial.h"
#include "runtime/console.h"
#include "runtime/failure.h"
#include "runtime/files.h"

namespace kestrel {
namespace {

constexpr char kOutputName[] = "kestrel.bin";
constexpr std::size_t kBlockSize = 8;

}  // namespace

void PatchBinImage(const std::string& name, const std::string& serial_text) {
  ByteFile input;
  ByteFile output;
  try {
    OpenByteFile(input, name, 1);
    CheckIo();
    try {
      SerialNumber serial = ParseSerialNumber(serial_text);
      if (!serial.length_ok) {
        PrintLengthBlock();
        SetExitStatus(kStatusUsage);
        return;
      }
      try {
        CreateByteFile(output, kOutputName, 1);
        CheckIo();
        unsigned char block[kBlockSize];
        std::size_t got = 0;
        ReadBlock(input, block, kBlockSize, &got);
        CheckIo();
        if (got < kBlockSize) {
          PrintErrorTitle();
          ConsoleWrite("Unexpected end of ");
          ConsoleWrite(name);
          ConsoleWriteLine(" file");
          EndProcess(kStatusDataError);
        }
        auto pattern = static_cast<std::uint32_t>(serial.value);
        for (int i = 0; i < 4; ++i) {
          block[4 + i] = static_cast<unsigned char>(pattern >> (24 - 8 * i));
        }
        WriteBlock(output, block, kBlockSize);
        CheckIo();
        do {
          ReadBlock(input, block, kBlockSize, &got);
          CheckIo();
          if (got > 0) {
            WriteBlock(output, block, got);
            CheckIo();
          }
        } while (got == kBlockSize);
        CloseByteFile(input);
        CheckIo();
        CloseByteFile(output);
        CheckIo();
        ConsoleWriteLine();
        ConsoleWriteLine("Kestrel Tool 2. File kestrel.bin successfully created");
        SetExitStatus(0);
      } catch (const Exception&) {
        PrintOutputStageBlock(kOutputName);
        SetExitStatus(kStatusCantCreate);
      }
    } catch (const Exception&) {
      PrintNotANumberBlock(serial_text);
      SetExitStatus(kStatusUsage);
    }
  } catch (const Exception&) {
    PrintInputStageBlock(name);
    SetExitStatus(kStatusNoInput);
  }
}

}  // namespace kestrel
