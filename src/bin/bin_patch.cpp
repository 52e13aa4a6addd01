#include "bin/bin_patch.h"

#include <cstdint>

#include "cli/patch_stages.h"
#include "runtime/console.h"
#include "runtime/failure.h"
#include "runtime/files.h"

namespace kestrel {
namespace {

constexpr char kOutputName[] = "kestrel.bin";
constexpr std::size_t kBlockSize = 8;

// Fills the block as far as the input goes. A read may deliver less than it
// was asked for while more is still to come (a pipe, a device, a network
// share), so only a read that delivers nothing ends the input; a short
// read must never cut the copy short with a success message.
std::size_t ReadWholeBlock(ByteFile& input, unsigned char* block) {
  std::size_t filled = 0;
  while (filled < kBlockSize) {
    std::size_t got = 0;
    ReadBlock(input, block + filled, kBlockSize - filled, &got);
    CheckIo();
    if (got == 0) break;
    filled += got;
  }
  return filled;
}

}  // namespace

void PatchBinImage(const std::string& name, const std::string& serial_text) {
  ByteFile input;
  ByteFile output;
  std::uint32_t pattern = 0;
  auto open_input = [&] {
    OpenByteFile(input, name, 1);
    CheckIo();
  };
  auto prepare = [&](std::int32_t serial) {
    pattern = static_cast<std::uint32_t>(serial);
  };
  auto copy = [&] {
    CreateByteFile(output, kOutputName, 1);
    CheckIo();
    unsigned char block[kBlockSize];
    std::size_t got = ReadWholeBlock(input, block);
    if (got < kBlockSize) {
      PrintErrorTitle();
      ConsoleWrite("Unexpected end of ");
      ConsoleWrite(name);
      ConsoleWriteLine(" file");
      EndProcess(kStatusDataError);
    }
    for (int i = 0; i < 4; ++i) {
      block[4 + i] = static_cast<unsigned char>(pattern >> (24 - 8 * i));
    }
    WriteBlock(output, block, kBlockSize);
    CheckIo();
    do {
      got = ReadWholeBlock(input, block);
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
  };
  RunPatchStages(name, serial_text, kOutputName, open_input, prepare, copy);
}

}  // namespace kestrel
