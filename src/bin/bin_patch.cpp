#include "bin/bin_patch.h"

#include <cstdint>

#include "runtime/console.h"
#include "runtime/exit_status.h"
#include "runtime/failure.h"
#include "runtime/files.h"
#include "stamp/messages.h"
#include "stamp/stages.h"

namespace kestrel {
namespace {

constexpr char kOutputName[] = "kestrel.bin";
constexpr std::size_t kRecordSize = 1;  // counts are bytes
// Large enough that the system calls cost nothing beside the copying, small
// enough that memory stays the same for any image.
constexpr std::size_t kBlockSize = 64 << 10;
// The serial value goes into bytes 4 to 7, most significant first; a
// shorter image is refused.
constexpr std::size_t kSerialOffset = 4;
constexpr std::size_t kSerialSize = 4;
constexpr std::size_t kShortestImage = kSerialOffset + kSerialSize;

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

int UnexpectedEnd(const std::string& name) {
  PrintErrorTitle();
  ConsoleWrite("Unexpected end of ");
  ConsoleWriteArgument(name);
  ConsoleWriteLine(" file");
  return kStatusDataError;
}

}  // namespace

int PatchBinImage(const std::string& name, const std::string& serial_text) {
  ByteFile input, output;
  std::uint32_t pattern = 0;
  return RunStages(
      name, serial_text, output, kOutputName,
      [&] { OpenByteFile(input, name, kRecordSize); },
      [&](std::int32_t serial) {
        pattern = static_cast<std::uint32_t>(serial);
        return kStatusSuccess;
      },
      [&] {
        CreateByteFile(output, kOutputName, kRecordSize, &input);
        CheckIo();
        static unsigned char block[kBlockSize];
        std::size_t got = ReadWholeBlock(input, block);
        if (got < kShortestImage) return UnexpectedEnd(name);
        for (std::size_t i = 0; i < kSerialSize; ++i) {
          block[kSerialOffset + i] = static_cast<unsigned char>(
              pattern >> (8 * (kSerialSize - 1 - i)));
        }
        std::uint64_t copied = 0;
        while (got > 0) {
          WriteBlock(output, block, got);
          CheckIo();
          copied += got;
          if (got < kBlockSize) break;  // the input has ended
          got = ReadWholeBlock(input, block);
        }
        // An image another program cut or rewrote meanwhile gave a copy of
        // neither version.
        bool unchanged = UnchangedSinceOpened(input);
        CheckIo();
        if (!unchanged || copied != SizeWhenOpened(input))
          return UnexpectedEnd(name);
        CloseByteFile(input);
        CheckIo();
        CloseByteFile(output);
        CheckIo();
        return kStatusSuccess;
      });
}

}  // namespace kestrel
