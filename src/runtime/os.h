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

// What the tool compares of a file: which file it is (device and inode, or
// volume and index), and whether it changed since it was first seen.
struct OsFileInfo {
  OsFileType type = OsFileType::kDisk;
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  std::uint64_t size = 0;
  std::int64_t modified = 0;  // nanoseconds, in the platform's own clock
  std::int64_t changed = 0;
};

inline bool SameFile(const OsFileInfo& a, const OsFileInfo& b) {
  return a.device == b.device && a.inode == b.inode;
}
inline bool SameState(const OsFileInfo& a, const OsFileInfo& b) {
  return a.size == b.size && a.modified == b.modified && a.changed == b.changed;
}

// Every call that fails stores the tool's own I/O code (already mapped from
// the platform's error number) in *code and leaves it untouched on success.
class Os {
 public:
  virtual ~Os() = default;

  // Opens `name` for `access`, creating it first when `create` is set;
  // *made tells whether this open created it. Never empties an existing
  // file: that is Truncate's job, once the lock is held. Never blocks.
  // Refused with code 5: an image (`create` unset) that is no regular file;
  // an output that is a directory, a FIFO, a socket or a block device (a
  // character device will do); an existing file without write permission
  // opened for writing.
  virtual OsHandle Open(const std::string& name, OsAccess access, bool create,
                        bool* made, std::uint16_t* code) = 0;
  // Takes the file for this process alone; code 5 when another open of it
  // (in this process or another) already holds it, or, as far as the
  // platform can tell, another program has it open: for writing, when it is
  // held for reading; at all, when it is held for writing.
  virtual bool Lock(OsHandle handle, std::uint16_t* code) = 0;
  // Empties a disk file; a no-op for devices.
  virtual bool Truncate(OsHandle handle, std::uint16_t* code) = 0;
  virtual bool Stat(OsHandle handle, OsFileInfo* info, std::uint16_t* code) = 0;
  // The file `name` leads to, through links.
  virtual bool StatName(const char* name, OsFileInfo* info,
                        std::uint16_t* code) = 0;
  // Removes `name` when it is itself the regular file `file` describes (any
  // file when `file` is null); a closed file on platforms that cannot
  // remove an open one. Makes no allocation: a signal handler may call it.
  virtual bool Remove(const char* name, const OsFileInfo* file,
                      std::uint16_t* code) = 0;
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
