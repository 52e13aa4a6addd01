// Test images built independently of the tool's own code.
#ifndef KESTREL_TESTS_E2E_IMAGES_H_
#define KESTREL_TESTS_E2E_IMAGES_H_

#include <cstdint>
#include <cstdio>
#include <string>

namespace kestrel::e2e {

// Bytes that look like nothing in particular, the same every run.
inline std::string SomeBytes(std::size_t size, std::uint32_t seed = 1) {
  std::string bytes(size, '\0');
  for (char& byte : bytes) {
    seed = seed * 1103515245u + 12345u;
    byte = static_cast<char>(seed >> 16);
  }
  return bytes;
}

// One Intel HEX record line, checksum included, without its line end.
inline std::string Record(int type, unsigned address, const std::string& data) {
  std::string raw;
  raw += static_cast<char>(data.size());
  raw += static_cast<char>(address >> 8);
  raw += static_cast<char>(address);
  raw += static_cast<char>(type);
  raw += data;
  unsigned sum = 0;
  std::string line = ":";
  char digits[3];
  for (unsigned char byte : raw) {
    sum += byte;
    std::snprintf(digits, sizeof digits, "%02X", byte);
    line += digits;
  }
  std::snprintf(digits, sizeof digits, "%02X", (256 - sum % 256) % 256);
  return line + digits;
}

// `data` as 16-byte data records (below 64 KiB) and the end record.
inline std::string HexImage(const std::string& data,
                            const std::string& eol = "\r\n") {
  std::string image;
  for (std::size_t at = 0; at < data.size(); at += 16) {
    image += Record(0, static_cast<unsigned>(at), data.substr(at, 16)) + eol;
  }
  return image + ":00000001FF" + eol;
}

// `image` with bytes 4 to 7 holding `serial`, most significant first.
inline std::string Stamped(std::string image, std::uint32_t serial) {
  for (int i = 0; i < 4; ++i)
    image[4 + i] = static_cast<char>(serial >> (24 - 8 * i));
  return image;
}

}  // namespace kestrel::e2e

#endif  // KESTREL_TESTS_E2E_IMAGES_H_
