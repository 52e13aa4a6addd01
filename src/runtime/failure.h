// The failures the tool raises, and the check that turns a code left by a
// file operation into one.
#ifndef KESTREL_RUNTIME_FAILURE_H_
#define KESTREL_RUNTIME_FAILURE_H_

#include <cstdint>
#include <exception>
#include <string>
#include <vector>

namespace kestrel {

// The code left by the last failing file operation, 0 for none; the codes
// are named in failure_codes.h.
extern std::uint16_t PendingIoError;

// The base of every failure the tool raises. Remembers where it was raised
// and the calling frames, for the unhandled-failure report. It is a
// std::exception, so that a handler for failures of any kind catches the
// tool's own and the language's (running out of memory) alike.
class Exception : public std::exception {
 public:
  explicit Exception(std::string message);

  const char* what() const noexcept override { return message_.c_str(); }
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

// Returns when PendingIoError is 0; otherwise clears it and raises the
// failure for that code: IoError for the file codes, Exception otherwise.
void CheckIo();

}  // namespace kestrel

#endif  // KESTREL_RUNTIME_FAILURE_H_
