// The narrow seam between the file and console layers and the operating
// system. Production code uses the platform implementation; tests install a
// fake with SetOsForTest() to reach failures that real files cannot produce.
#ifndef KESTREL_RUNTIME_OS_H_
#define KESTREL_RUNTIME_OS_H_

#include <cstddef>
#include <cstdint>
#include <string>

namespace kestrel {

// An open file as the platform knows it; kNoHandle for none.
using OsHandle = std::intptr_t;
constexpr OsHandle kNoHandle = -1;

enum class OsAccess { kRead, kWrite, kReadWrite };

enum class OsFileType { kDisk, kCharacterDevice };

// Every call that fails stores the tool's own I/O code (already mapped from
// the platform's error number) in *code and leaves it untouched on success.
class Os {
 public:
  virtual ~Os() = default;

  // Opens `name` for `access`, creating it first when `create` is set. Never
  // empties an existing file: that is Truncate's job, once the lock is held.
  // Never blocks. Refused with code 5: an image (`create` unset) that is no
  // regular file; an output that is a directory, a FIFO or a socket (a
  // character device will do); an existing file without write permission
  // opened for writing.
  virtual OsHandle Open(const std::string& name, OsAccess access, bool create,
                        std::uint16_t* code) = 0;
  // Takes the file for this process alone; code 5 when another open of it
  // (in this process or another) already holds it, or, as far as the
  // platform can tell, another program has it open: for writing, when it is
  // held for reading; at all, when it is held for writing.
  virtual bool Lock(OsHandle handle, std::uint16_t* code) = 0;
  // Empties a disk file; a no-op for devices.
  virtual bool Truncate(OsHandle handle, std::uint16_t* code) = 0;
  virtual OsFileType Stat(OsHandle handle, std::uint16_t* code) = 0;
  // One request each; the result is the number of bytes moved, or -1.
  virtual long Read(OsHandle handle, void* buffer, std::size_t size,
                    std::uint16_t* code) = 0;
  virtual long Write(OsHandle handle, const void* buffer, std::size_t size,
                     std::uint16_t* code) = 0;
  virtual bool Close(OsHandle handle, std::uint16_t* code) = 0;
};

// The platform's error number as the tool's I/O code; the one place where
// the mapping is made on each platform.
std::uint16_t IoCodeFromSystemError(unsigned long error);

// The seam in force: the platform's unless a test has installed its own.
Os& CurrentOs();
// Installs `os` (nullptr puts the platform's back); returns the previous one.
Os* SetOsForTest(Os* os);
// The platform's implementation.
Os& PlatformOs();

}  // namespace kestrel

#endif  // KESTREL_RUNTIME_OS_H_
