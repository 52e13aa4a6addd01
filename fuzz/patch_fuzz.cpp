// A whole HEX or BIN patch over the fake OS with any image and serial text:
// the input is never written, and whenever the success block is printed
// the output equals a reference computed here.
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "bin/bin_patch.h"
#include "fuzz/fuzz_support.h"
#include "hex/hex_patch.h"
#include "hex/hex_record.h"
#include "stamp/serial.h"
#include "support/fake_runtime.h"

namespace {

// A non-hexadecimal digit counts as 0, as the tool's own digit value does.
unsigned Digit(char c) {
  if (c >= '0' && c <= '9') return static_cast<unsigned>(c - '0');
  if (c >= 'A' && c <= 'F') return static_cast<unsigned>(c - 'A' + 10);
  if (c >= 'a' && c <= 'f') return static_cast<unsigned>(c - 'a' + 10);
  return 0;
}

// Zero address records, the PIC18 EEPROM base and start addresses before
// the first data record are copied as they stand; that record, which a
// successful run proves there, is stamped.
bool Leading(const std::string& line) {
  std::string upper;
  for (char c : line.substr(0, 15)) upper += static_cast<char>(std::toupper(c));
  return upper.rfind(":04000005", 0) == 0 || upper.rfind(":04000003", 0) == 0 ||
         upper == ":020000040000FA" || upper == ":020000020000FC" ||
         upper == ":0200000400F00A";
}

std::string ReferenceHex(const std::string& image, std::uint32_t serial) {
  std::vector<std::string> lines = ReferenceLines(image, true);
  std::size_t at = 0;
  while (at < lines.size() && Leading(lines[at])) ++at;
  FUZZ_ASSERT(at < lines.size());
  std::string& first = lines[at];
  char digits[9];
  std::snprintf(digits, sizeof digits, "%08X", serial);
  first.replace(kestrel::kSerialPosition - 1, kestrel::kSerialDigits, digits);
  std::size_t checksum_at = 2 * (Digit(first[1]) * 16 + Digit(first[2])) + 9;
  unsigned sum = 0;
  for (std::size_t i = 1; i < checksum_at; i += 2) {
    sum += Digit(first[i]) * 16 + Digit(first[i + 1]);
  }
  char checksum[3];
  std::snprintf(checksum, sizeof checksum, "%02X", (256 - sum % 256) % 256);
  first.replace(checksum_at, kestrel::kChecksumDigits, checksum);
  std::string out;
  for (const std::string& line : lines) out += line + "\r\n";
  return out;
}

std::string ReferenceBin(std::string image, std::uint32_t serial) {
  for (int i = 0; i < 4; ++i)
    image[4 + i] = static_cast<char>(serial >> (24 - 8 * i));
  return image;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  if (size < 2) return 0;
  bool hex = (data[0] & 1) != 0;
  std::size_t serial_size = data[1] % 16;
  if (size < 2 + serial_size) return 0;
  std::string serial(reinterpret_cast<const char*>(data) + 2, serial_size);
  std::string image(reinterpret_cast<const char*>(data) + 2 + serial_size,
                    size - 2 - serial_size);
  const char* name = hex ? "image.hex" : "image.bin";
  const char* output = hex ? "kestrel.hex" : "kestrel.bin";

  kestrel::FakeOs os;
  kestrel::FakeConsole console;
  os.files[name].data = image;
  kestrel::InstallFakeRuntime(os, console);
  int status =
      (hex ? kestrel::PatchHexImage : kestrel::PatchBinImage)(name, serial);
  kestrel::RemoveFakeRuntime();

  FUZZ_ASSERT(os.files[name].data == image);
  FUZZ_ASSERT(os.files[name].writes == 0);
  bool success =
      console.shown.find("successfully created") != std::string::npos;
  FUZZ_ASSERT(success == (status == 0));
  if (success) {
    std::uint32_t value =
        static_cast<std::uint32_t>(kestrel::ParseSerialNumber(serial).value);
    FUZZ_ASSERT(os.files[output].data == (hex ? ReferenceHex(image, value)
                                              : ReferenceBin(image, value)));
  }
  return 0;
}
