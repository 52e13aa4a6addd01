// Every failure number the tool knows, each with its message: the I/O codes
// that file operations leave in PendingIoError, and the processor and
// memory faults. The one place where a number gets its meaning.
#ifndef KESTREL_RUNTIME_FAILURE_CODES_H_
#define KESTREL_RUNTIME_FAILURE_CODES_H_

#include <cstddef>
#include <cstdint>

namespace kestrel {

// I/O codes.
constexpr std::uint16_t kFileNotFound = 2;
constexpr std::uint16_t kPathNotFound = 3;
constexpr std::uint16_t kTooManyOpenFiles = 4;
constexpr std::uint16_t kAccessDenied = 5;  // also: held by another program
constexpr std::uint16_t kInvalidHandle = 6;
constexpr std::uint16_t kInvalidDrive = 15;
// Refusals the file layer acts on from the OS seam: a kind of file the
// file system does not have, a name already taken.
constexpr std::uint16_t kNotSupported = 50;
constexpr std::uint16_t kFileExists = 80;
constexpr std::uint16_t kShortRead = 100;   // "Read past end of file"
constexpr std::uint16_t kShortWrite = 101;  // "Disk Full"
constexpr std::uint16_t kFileNotAssigned = 102;
constexpr std::uint16_t kFileNotOpen = 103;
constexpr std::uint16_t kNotOpenForInput = 104;
constexpr std::uint16_t kNotOpenForOutput = 105;
constexpr std::uint16_t kInvalidInput = 106;
// Device errors: the thirteen from a write-protected medium to a general
// failure, in the order Windows numbers them from 19 to 31.
constexpr std::uint16_t kWriteProtected = 150;
constexpr std::uint16_t kGeneralFailure = 162;

// Processor and memory faults.
constexpr int kNoMemory = 1;
constexpr int kDivisionByZero = 200;
constexpr int kRangeCheck = 201;
constexpr int kStackOverflow = 202;
constexpr int kOutOfMemory = 203;
constexpr int kInvalidPointer = 204;
constexpr int kFloatOverflow = 205;
constexpr int kFloatUnderflow = 206;
constexpr int kInvalidFloatOperation = 207;
constexpr int kAbstractMethod = 211;
constexpr int kArithmeticOverflow = 215;
constexpr int kAccessViolation = 216;
constexpr int kBadInstruction = 217;  // illegal or privileged, or a trap
constexpr int kInvalidCast = 219;
constexpr int kAssertionFailed = 227;

struct FailureEntry {
  int number;
  bool io;  // raised as IoError; any other number as the base kind
  const char* message;
};

inline constexpr FailureEntry kFailureTable[] = {
    {kFileNotFound, true, "File not found"},
    {kPathNotFound, true, "Invalid filename"},
    {kTooManyOpenFiles, true, "Too many open files"},
    {kAccessDenied, true, "Access denied"},
    {kInvalidHandle, true, "Invalid file handle"},
    {kInvalidDrive, true, "Invalid drive specified"},
    {kShortRead, true, "Read past end of file"},
    {kShortWrite, true, "Disk Full"},
    {kFileNotAssigned, true, "File not assigned"},
    {kFileNotOpen, true, "File not open"},
    {kNotOpenForInput, true, "File not open for input"},
    {kNotOpenForOutput, true, "File not open for output"},
    {kInvalidInput, true, "Invalid input"},
    {kNoMemory, false, "Out of memory"},
    {kOutOfMemory, false, "Out of memory"},
    {kInvalidPointer, false, "Invalid pointer operation"},
    {kDivisionByZero, false, "Division by zero"},
    {kRangeCheck, false, "Range check error"},
    {kFloatOverflow, false, "Floating point overflow"},
    {kFloatUnderflow, false, "Floating point underflow"},
    {kInvalidFloatOperation, false, "Invalid floating point operation"},
    {kAbstractMethod, false, "Abstract method called"},
    {kArithmeticOverflow, false, "Arithmetic overflow"},
    {kAccessViolation, false, "Access violation"},
    {kInvalidCast, false, "Invalid type cast"},
    {kAssertionFailed, false, "Assertion failed"},
};

// The entry of failure `number`, or nullptr for a number without one.
constexpr const FailureEntry* FindFailure(int number) {
  for (const FailureEntry& entry : kFailureTable) {
    if (entry.number == number) return &entry;
  }
  return nullptr;
}

// Writes `number` in decimal, zero-filled to `digits` at least, to `to`;
// the number of characters, at most 10. Allocates nothing, so a fault
// handler may use it.
inline std::size_t WriteDecimal(int number, std::size_t digits, char* to) {
  char reversed[10];
  std::size_t count = 0;
  auto value = static_cast<unsigned>(number);
  do {
    reversed[count++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0 || count < digits);
  for (std::size_t i = 0; i < count; ++i) to[i] = reversed[count - 1 - i];
  return count;
}

// The message of failure `number`: its own, or "Unknown Run-Time error :
// 007" for a number without one. Allocates nothing, so a fault handler may
// use it.
class FailureText {
 public:
  explicit FailureText(int number) {
    const FailureEntry* entry = FindFailure(number);
    const char* from =
        entry != nullptr ? entry->message : "Unknown Run-Time error : ";
    std::size_t size = 0;
    while (*from != '\0') text_[size++] = *from++;
    if (entry == nullptr) size += WriteDecimal(number, 3, text_ + size);
    text_[size] = '\0';
  }
  const char* c_str() const { return text_; }

 private:
  char text_[48];
};

}  // namespace kestrel

#endif  // KESTREL_RUNTIME_FAILURE_CODES_H_
