// Stamps a serial number into an Intel HEX image.
#ifndef KESTREL_HEX_HEX_PATCH_H_
#define KESTREL_HEX_HEX_PATCH_H_

#include <cstdint>
#include <string>

namespace kestrel {

// Copies the image `name` to "kestrel.hex" in the current directory, with
// the serial value in data bytes 4 to 7 (counted from 0) of its first
// record and that record's checksum made anew; every later line is copied
// as read and verified. Reports the outcome on the console and returns the
// exit status; ends the process itself after a CRC error or an unusable
// first line.
int PatchHexImage(const std::string& name, const std::string& serial_text);

// The first line with the serial digits in positions 18 to 25 and a fresh
// checksum in 42 and 43; the line has at least 43 characters.
std::string PatchFirstRecord(std::string line, std::int32_t serial);

}  // namespace kestrel

#endif  // KESTREL_HEX_HEX_PATCH_H_
