// Stamps a serial number into a raw binary image.
#ifndef KESTREL_BIN_BIN_PATCH_H_
#define KESTREL_BIN_BIN_PATCH_H_

#include <string>

namespace kestrel {

// Copies the image `name` to "kestrel.bin" in the current directory in
// 64 KiB blocks, with image bytes 4 to 7 replaced by the serial value, most
// significant byte first. Reports the outcome on the console and returns
// the exit status; ends the process itself for an image below 8 bytes.
int PatchBinImage(const std::string& name, const std::string& serial_text);

}  // namespace kestrel

#endif  // KESTREL_BIN_BIN_PATCH_H_
