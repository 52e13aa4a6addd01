// Intel HEX record lines. Positions count from 1: position 1 the mark, 2-3
// the byte count N, 4-7 the address, 8-9 the type, then N data bytes and
// the checksum, which ends at position 2N+11.
#ifndef KESTREL_HEX_HEX_RECORD_H_
#define KESTREL_HEX_HEX_RECORD_H_

#include <cstdint>
#include <string_view>

#include "stamp/hex_digit.h"

namespace kestrel {

constexpr std::size_t kCountPosition = 2;
constexpr std::size_t kTypePosition = 8;
// The serial digits go into data bytes 4 to 7, counted from 0.
constexpr std::size_t kSerialPosition = 18;
constexpr std::size_t kSerialDigits = 8;
constexpr std::size_t kChecksumDigits = 2;
// A record must hold the serial's data bytes to be stamped.
constexpr int kFewestStampedBytes = 8;

// Record types.
constexpr int kDataRecord = 0x00;
constexpr int kEndRecord = 0x01;

// The last position of a record of `count` data bytes: its checksum's low
// digit.
constexpr std::size_t RecordEnd(int count) {
  return 2 * static_cast<std::size_t>(count) + 11;
}

// The value of the two hexadecimal digits at `position`, -1 when the line
// is shorter or they are no hexadecimal digits.
int ByteAt(std::string_view line, std::size_t position);

// The 8-bit sum of the bytes encoded at positions 2 to `last` (odd, at least
// 3, within the line).
std::uint8_t HexRecordSum(std::string_view line, std::size_t last);

// True when the line passes: it is empty, or it is the record its byte
// count declares, hexadecimal digits from position 2 to 2N+11 whose N+5
// bytes sum to 0; what follows is not examined. A failing line writes
// "<sum> found, 0 expected" to the console.
bool CheckHexRecord(std::string_view line);

// True for a record that CheckHexRecord accepts and that may stand before
// the record stamped, as toolchains write them: an address of zero,
// extended or segment (":020000040000FA", ":020000020000FC"), the base of a
// PIC18's data EEPROM (":0200000400F00A"), in any case, or a start address
// (":04000005...", ":04000003..."), which loads no data.
bool IsLeadingRecord(std::string_view line);

// True for a data record that CheckHexRecord accepts, marked ':', with
// data bytes 4 to 7 for the serial: 8 to 255 bytes.
bool IsStampableRecord(std::string_view line);

}  // namespace kestrel

#endif  // KESTREL_HEX_HEX_RECORD_H_
