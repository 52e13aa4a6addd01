// The narrow seam between the file and console layers and the operating
// system. Its calls are plain operations; every decision about a copy
// (which file it is, through which links, whether it is the image, what
// may be removed, the order of the steps) is made above it, in shared
// code that a test reaches through a fake installed with SetOsForTest().
#ifndef KESTREL_RUNTIME_OS_H_
#define KESTREL_RUNTIME_OS_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kestrel {

// An open file as the platform knows it; kNoHandle for none.
using OsHandle = std::intptr_t;
constexpr OsHandle kNoHandle = -1;

enum class OsAccess { kRead, kWrite, kReadWrite };

// kDisk is a regular file; kLink is reported only by a look that does not
// follow links, and only where the platform follows links at all.
enum class OsFileType { kDisk, kCharacterDevice, kLink, kFolder, kOther };

// Permission bits as OsFileInfo::mode holds them.
constexpr std::uint32_t kOsModeBits = 0777;
constexpr std::uint32_t kOsOthersWrite = 0002;
constexpr std::uint32_t kOsSticky = 01000;

// What the tool compares of a file: which file it is (device and inode, or
// volume serial and file index), whether it changed since it was first
// seen, and, where the platform has them, its owner and permission bits.
struct OsFileInfo {
  OsFileType type = OsFileType::kDisk;
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  std::uint64_t size = 0;
  std::int64_t modified = 0;  // nanoseconds, in the platform's own clock
  std::int64_t changed = 0;
  std::uint32_t mode = 0;  // permission bits with the sticky bit; 0 for none
  std::uint32_t owner = 0;
  std::uint32_t group = 0;
  bool mount_root = false;  // something is mounted on this very name
};

inline bool SameFile(const OsFileInfo& a, const OsFileInfo& b) {
  return a.device == b.device && a.inode == b.inode;
}
inline bool SameState(const OsFileInfo& a, const OsFileInfo& b) {
  return a.size == b.size && a.modified == b.modified && a.changed == b.changed;
}

// Every call that fails stores the tool's own I/O code (already mapped from
// the platform's error number) in *code and leaves it untouched on success.
// Paths are passed as the tool was given them or built them from those,
// relative to the working folder or absolute, never widened by the seam
// into anything longer.
class Os {
 public:
  virtual ~Os() = default;

  // Images.
  // Opens the existing regular file `name` for `access`, following links;
  // code 5 for anything else, and for a file without write permission
  // opened for writing. Never creates, never blocks.
  virtual OsHandle Open(const std::string& name, OsAccess access,
                        std::uint16_t* code) = 0;

  // Looking at names; none of these opens a file to read or write it.
  // What is at `path`: following a link there or not. Code 2 when nothing
  // is, 3 when a folder on the way is missing.
  virtual bool Look(const std::string& path, bool follow, OsFileInfo* info,
                    std::uint16_t* code) = 0;
  // Where the link `path` leads, as written in it.
  virtual bool ReadLink(const std::string& path, std::string* target,
                        std::uint16_t* code) = 0;
  // Whether names in `folder` are found in any case (FAT, exFAT, SMB, a
  // case-folding folder). A failure means the platform cannot tell.
  virtual bool FoldsCase(const std::string& folder, bool* folds,
                         std::uint16_t* code) = 0;
  // The names in `folder`, without "." and "..".
  virtual bool ListFolder(const std::string& folder,
                          std::vector<std::string>* names,
                          std::uint16_t* code) = 0;
  // The user the tool runs as, as OsFileInfo::owner gives owners; 0 is the
  // one who may remove any file.
  virtual std::uint32_t UserId() = 0;
  // A number drawn afresh at each call and unlike another process's.
  virtual unsigned Ticket() = 0;

  // The lock under which a copy is made.
  // Opens or creates the lock file `path` (never emptying it, never
  // following a link at it) and takes it for this process alone, so that
  // every other run of the tool, here or on another station sharing the
  // folder, is refused it with code 5 while it is held. The hold ends
  // however the process ends. Where the file system offers no lock at all
  // the file is opened unheld.
  virtual OsHandle TakeLock(const std::string& path, std::uint16_t* code) = 0;
  // Removes the lock file while it is still held, if `path` still leads to
  // it, and closes it.
  virtual bool DropLock(OsHandle lock, const std::string& path,
                        std::uint16_t* code) = 0;

  // The old copy.
  // Opens the existing file at `path` for writing without following a link
  // at it: a regular file, or a character device, which takes the copy as
  // it comes. Code 2 when nothing is there; 5 for anything else and for a
  // file without write permission. Never creates, never empties, never
  // blocks.
  virtual OsHandle OpenCopy(const std::string& path, std::uint16_t* code) = 0;
  // Takes the file for this process alone; code 5 when another open of it
  // (in this process or another) already holds it, or, as far as the
  // platform can tell, another program has it open: for writing, when it is
  // held for reading; at all, when it is held for writing.
  virtual bool Lock(OsHandle handle, std::uint16_t* code) = 0;
  virtual bool Stat(OsHandle handle, OsFileInfo* info, std::uint16_t* code) = 0;
  // Removes the name `path`, which the caller has found to lead to the file
  // open as `handle` (kNoHandle: none is open). Where a file open without
  // sharing cannot be removed by name, the platform removes it by handle.
  virtual bool Remove(OsHandle handle, const std::string& path,
                      std::uint16_t* code) = 0;

  // The new copy, made aside and put in place.
  // Creates a file for writing in `folder` ("" for the working folder)
  // with no name at all, gone however the process ends unless linked.
  // kNotSupported where the file system has no such files.
  virtual OsHandle CreateUnnamed(const std::string& folder,
                                 std::uint16_t* code) = 0;
  // Creates the file `path` for writing, hidden where the platform marks
  // hidden files, never over an existing name (kFileExists) nor through a
  // link. Until Rename gives it its name, it is gone however the process
  // ends, as far as the platform allows: a signal handler removes it,
  // checking that the name still leads to it, or it is deleted on close.
  virtual OsHandle CreateHidden(const std::string& path,
                                std::uint16_t* code) = 0;
  virtual bool SetOwner(OsHandle handle, std::uint32_t owner,
                        std::uint32_t group, std::uint16_t* code) = 0;
  virtual bool SetMode(OsHandle handle, std::uint32_t mode,
                       std::uint16_t* code) = 0;
  // Puts what was written on the device.
  virtual bool SyncData(OsHandle handle, std::uint16_t* code) = 0;
  // Gives the unnamed file the name `path`; kFileExists when it is taken.
  virtual bool Link(OsHandle handle, const std::string& path,
                    std::uint16_t* code) = 0;
  // Renames the hidden file `from`, open as `handle`, to `path` in one
  // step, never over an existing name (kFileExists: the old copy is gone by
  // then, so whatever is there came from elsewhere). On success nothing
  // will remove it any more; on failure it is still `from`.
  virtual bool Rename(OsHandle handle, const std::string& from,
                      const std::string& path, std::uint16_t* code) = 0;
  // Makes the names added to and removed from `folder` durable. Where the
  // folder cannot be opened, the whole file system that holds `handle` is
  // flushed instead.
  virtual bool SyncFolder(const std::string& folder, OsHandle handle,
                          std::uint16_t* code) = 0;

  // One request each; the result is the number of bytes moved, or -1.
  virtual long Read(OsHandle handle, void* buffer, std::size_t size,
                    std::uint16_t* code) = 0;
  virtual long Write(OsHandle handle, const void* buffer, std::size_t size,
                     std::uint16_t* code) = 0;
  // Closes; an unnamed file not linked goes with it. The descriptor is gone
  // either way.
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

// Six digits for the hidden name of a copy on its way, mixed from the
// platform's `clock` and `process` number and drawn afresh each call, so
// that a name found taken is not tried again: what Ticket() gives.
unsigned AsideNumber(unsigned clock, unsigned process);

// The folder part of `path`, ending in its separator, "" for a bare name;
// and the name after it. On Windows both slashes separate.
std::string FolderOf(const std::string& path);
std::string BaseOf(const std::string& path);

namespace platform {
#ifdef _WIN32
// Waits while a copy is being put in place, and keeps any other from it:
// for a thread that is about to end the process.
void FreezeCopy();
#else
// Removes the hidden name of a copy still being written, if there is one
// and it still leads to that copy: for the signal handlers, which may call
// it at any moment.
void RemoveUnfinishedCopy();
#endif
}  // namespace platform

}  // namespace kestrel

#endif  // KESTREL_RUNTIME_OS_H_
