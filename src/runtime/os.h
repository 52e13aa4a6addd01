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
// volume and index), whether it changed since it was first seen, and its
// permission bits where the platform has them.
struct OsFileInfo {
  OsFileType type = OsFileType::kDisk;
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  std::uint64_t size = 0;
  std::int64_t modified = 0;  // nanoseconds, in the platform's own clock
  std::int64_t changed = 0;
  std::uint32_t mode = 0;
};

inline bool SameFile(const OsFileInfo& a, const OsFileInfo& b) {
  return a.device == b.device && a.inode == b.inode;
}
inline bool SameState(const OsFileInfo& a, const OsFileInfo& b) {
  return a.size == b.size && a.modified == b.modified && a.changed == b.changed;
}

// Where a copy goes: the file its name leads to.
struct OsCopyPlace {
  std::string path;     // the name, or the file its links lead to
  bool linked = false;  // reached through a link: the link stays
};

// Every call that fails stores the tool's own I/O code (already mapped from
// the platform's error number) in *code and leaves it untouched on success.
class Os {
 public:
  virtual ~Os() = default;

  // Opens the existing regular file `name` for `access`; code 5 for
  // anything else, and for a file without write permission opened for
  // writing. Never creates, never blocks.
  virtual OsHandle Open(const std::string& name, OsAccess access,
                        std::uint16_t* code) = 0;
  // Finds where the copy `name` goes, through links (another user's link
  // in a shared sticky folder is refused), and opens for writing the file
  // that is there, if one is: code 2 and no handle when none is. Code 5 for
  // a directory, a FIFO, a socket, a block device (a character device will
  // do) or a file without write permission. Never creates, never empties.
  virtual OsHandle OpenCopy(const std::string& name, OsCopyPlace* place,
                            std::uint16_t* code) = 0;
  // Takes the file for this process alone; code 5 when another open of it
  // (in this process or another) already holds it, or, as far as the
  // platform can tell, another program has it open: for writing, when it is
  // held for reading; at all, when it is held for writing.
  virtual bool Lock(OsHandle handle, std::uint16_t* code) = 0;
  // Empties a disk file; a no-op for devices.
  virtual bool Truncate(OsHandle handle, std::uint16_t* code) = 0;
  virtual bool Stat(OsHandle handle, OsFileInfo* info, std::uint16_t* code) = 0;
  // True when the folder of `path` folds case and the open file `image`
  // lies there under a spelling of its name: on exFAT and FAT, as USB
  // sticks come, the kernel may give two spellings two inode numbers.
  virtual bool SpelledAlike(OsHandle image, const std::string& path) = 0;
  // Removes the regular file open as `handle` from `path`, only while that
  // name still leads to it.
  virtual bool Remove(OsHandle handle, const std::string& path,
                      std::uint16_t* code) = 0;
  // Creates a file for writing aside, in the folder of `path`: with no name
  // where the platform allows, else under a hidden one ending in neither
  // hex nor bin. However the process ends, it is gone unless put in place.
  // It takes the permission bits of `like`, else the usual ones.
  virtual OsHandle CreateAside(const std::string& path, const OsFileInfo* like,
                               std::uint16_t* code) = 0;
  // Flushes the file made aside to the device and gives it the name `path`
  // in one step, replacing what is there.
  virtual bool PutInPlace(OsHandle aside, const std::string& path,
                          std::uint16_t* code) = 0;
  // One request each; the result is the number of bytes moved, or -1.
  virtual long Read(OsHandle handle, void* buffer, std::size_t size,
                    std::uint16_t* code) = 0;
  virtual long Write(OsHandle handle, const void* buffer, std::size_t size,
                     std::uint16_t* code) = 0;
  // Closes; a file made aside and not put in place goes with it.
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

// Six digits for the hidden name of a copy on its way (".NAME.123456"),
// mixed from the platform's `clock` and `process` number and drawn afresh
// each call, so that a name found taken is not tried again.
unsigned AsideNumber(unsigned clock, unsigned process);

namespace platform {
#ifdef _WIN32
// Waits while a copy is being put in place, and keeps any other from it:
// for a thread that is about to end the process.
void FreezeCopy();
#else
// Removes the hidden name of a copy still being written, if there is one:
// for the signal handlers, which may call it at any moment.
void RemoveUnfinishedCopy();
#endif
}  // namespace platform

}  // namespace kestrel

#endif  // KESTREL_RUNTIME_OS_H_
