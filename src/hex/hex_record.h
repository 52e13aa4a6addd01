// Intel HEX record lines, read as 16-byte data records of 43 characters:
// position 1 the mark, 2-3 the byte count, 4-7 the address, 8-9 the type,
// 10-41 the data and 42-43 the checksum. Positions count from 1.
#ifndef KESTREL_HEX_HEX_RECORD_H_
#define KESTREL_HEX_HEX_RECORD_H_

#include <cstdint>
#include <string_view>

#include "stamp/hex_digit.h"

namespace kestrel {

constexpr std::size_t kRecordLength = 43;
// The fields the stamp rewrites, by the position of their first character:
// the serial digits in data bytes 4 to 7, counted from 0 (positions 18-25),
// and the checksum (positions 42-43).
constexpr std::size_t kSerialPosition = 18;
constexpr std::size_t kSerialDigits = 8;
constexpr std::size_t kChecksumPosition = 42;
constexpr std::size_t kChecksumDigits = 2;

// The 8-bit sum of the bytes encoded at positions 2 to `last` (odd, at least
// 3, within the line).
std::uint8_t HexRecordSum(std::string_view line, std::size_t last);

// True when the line passes: it is empty, its second character is '0' (a
// record below 16 data bytes, never verified), or it is a 16-byte record
// whose first 43 characters are hexadecimal digits summing to 0. A failing
// line writes "<sum> found, 0 expected" to the console.
bool CheckHexRecord(std::string_view line);

// True when the first 43 characters are a 16-byte data record that
// CheckHexRecord accepts: ":10", four address digits, type "00", sixteen
// data bytes and a checksum that makes the sum 0. Only such a record has
// the place the serial number goes to.
bool IsSixteenByteDataRecord(std::string_view line);

}  // namespace kestrel

#endif  // KESTREL_HEX_HEX_RECORD_H_
