// How failures travel and how the process ends.
#ifndef KESTREL_RUNTIME_FAILURE_H_
#define KESTREL_RUNTIME_FAILURE_H_

#include <cstdint>
#include <string>
#include <vector>

namespace kestrel {

// The code left by the last failing file operation, 0 for none.
extern std::uint16_t PendingIoError;

// The base of every failure the tool raises. Remembers where it was raised
// and the calling frames, for the unhandled-failure report.
class Exception {
 public:
  explicit Exception(std::string message);
  virtual ~Exception() = default;

  const std::string& message() const { return message_; }
  void* address() const { return address_; }
  const std::vector<void*>& frames() const { return frames_; }

 private:
  std::string message_;
  void* address_;
  std::vector<void*> frames_;
};

class IoError : public Exception {
 public:
  using Exception::Exception;
};

class ConversionError : public Exception {
 public:
  using Exception::Exception;
};

// The fixed message of failure number `number`, or nullptr for a number
// without one. Allocates nothing, so a fault handler may use it.
const char* FailureText(int number);

// The message for failure number `number`, e.g. "File not found", or
// "Unknown Run-Time error : 007" for a number without a message of its own.
std::string FailureMessage(int number);

// Returns when PendingIoError is 0; otherwise clears it and raises the
// failure for that code: IoError for the file codes, Exception otherwise.
void CheckIo();

// The tool's own failure statuses, after the conventional sysexits values.
constexpr int kStatusUsage = 64;       // wrong arguments or serial number
constexpr int kStatusDataError = 65;   // the image is not what it must be
constexpr int kStatusNoInput = 66;     // the image cannot be opened
constexpr int kStatusCantCreate = 73;  // the output cannot be made whole
constexpr int kStatusUnhandled = 217;

// The status a normal end of the process uses; 0 until something sets it.
void SetExitStatus(int status);
int ExitStatus();

// Ends the process at once with `status`, from anywhere, without unwinding.
[[noreturn]] void EndProcess(int status);

// For tests: while on, EndProcess throws ProcessEnded instead of ending the
// process. ProcessEnded is not an Exception, so no handler of the tool
// catches it.
struct ProcessEnded {
  int status;
};
void ThrowOnEndProcessForTest(bool on);

// The report lines, each ended by CR LF. Addresses are given as the platform
// reports them relative to their module; at most `max_frames` frame lines.
std::string UnhandledFailureReport(std::uint32_t address,
                                   const std::string& message,
                                   const std::vector<std::uint32_t>& frames,
                                   std::size_t max_frames);
std::string RunTimeErrorReport(int number, std::uint32_t address,
                               const std::vector<std::uint32_t>& frames,
                               std::size_t max_frames);

}  // namespace kestrel

#endif  // KESTREL_RUNTIME_FAILURE_H_
