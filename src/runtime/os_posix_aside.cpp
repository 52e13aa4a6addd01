// The copy on its way: made aside, given its owner and mode, flushed, put
// in place and its folder flushed.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

#include "runtime/failure_codes.h"
#include "runtime/os_posix.h"
#include "runtime/posix_io.h"

namespace kestrel {
namespace posix {
namespace {

constexpr int kAsideFlags = O_WRONLY | O_CLOEXEC | O_NOCTTY;

// The copy being written under a hidden name, where the file system gives
// no unnamed file: kept where a signal handler can reach it.
struct HiddenCopy {
  char name[PATH_MAX];
  dev_t device;
  ino_t inode;
  int fd;
  volatile sig_atomic_t named;
  bool placed;
};
HiddenCopy hidden = {};

// Records `path` as the copy's name for the signal handlers: a hidden name
// while it is written, and its own once `placed`, until its folder is
// flushed, since that name may not outlast a power cut and success was
// never reported. Called with every signal held back.
bool Record(int fd, const std::string& path, bool placed) {
  struct stat status;
  hidden.named = 0;
  if (path.size() >= sizeof hidden.name || ::fstat(fd, &status) != 0)
    return false;
  std::memcpy(hidden.name, path.c_str(), path.size() + 1);
  hidden.device = status.st_dev;
  hidden.inode = status.st_ino;
  hidden.fd = fd;
  hidden.placed = placed;
  hidden.named = 1;
  return true;
}

}  // namespace

void ForgetHiddenCopy(int fd) {
  if (hidden.named && hidden.fd == fd) hidden.named = 0;
}

// exFAT, FAT, FUSE and NFS have no unnamed files; nor has an old kernel,
// which takes O_TMPFILE for O_DIRECTORY. Without /proc only a process that
// may read any file could link one to its name.
OsHandle PosixOs::CreateUnnamed(const std::string& folder,
                                std::uint16_t* code) {
  if (::access("/proc/self/fd", X_OK) != 0 && ::geteuid() != 0) {
    *code = kNotSupported;
    return kNoHandle;
  }
  int fd = RetryOnInterrupt([&] {
    return ::open(Folder(folder).c_str(), O_TMPFILE | kAsideFlags, 0666);
  });
  if (fd >= 0) return fd;
  if (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL) {
    *code = kNotSupported;
    return kNoHandle;
  }
  return Refuse(errno, code);
}

// Taken with every signal held back, so that a handler never finds a file
// that has no record yet.
OsHandle PosixOs::CreateHidden(const std::string& path, std::uint16_t* code) {
  if (path.size() >= sizeof hidden.name) return Refuse(ENAMETOOLONG, code);
  SignalsHeld held;
  int fd = RetryOnInterrupt([&] {
    return ::open(path.c_str(), O_CREAT | O_EXCL | O_NOFOLLOW | kAsideFlags,
                  0666);
  });
  if (fd < 0) return Refuse(errno, code);
  if (!Record(fd, path, false)) {
    int error = errno;
    ::unlink(path.c_str());
    ::close(fd);
    return Refuse(error, code);
  }
  return fd;
}

bool PosixOs::SetOwner(OsHandle handle, std::uint32_t owner,
                       std::uint32_t group, std::uint16_t* code) {
  return ::fchown(static_cast<int>(handle), owner, group) == 0 || Failed(code);
}

bool PosixOs::SetMode(OsHandle handle, std::uint32_t mode,
                      std::uint16_t* code) {
  return ::fchmod(static_cast<int>(handle), mode) == 0 || Failed(code);
}

bool PosixOs::SyncData(OsHandle handle, std::uint16_t* code) {
  return ::fsync(static_cast<int>(handle)) == 0 || Failed(code);
}

bool PosixOs::Link(OsHandle handle, const std::string& path,
                   std::uint16_t* code) {
  int fd = static_cast<int>(handle);
  char through[32];
  std::snprintf(through, sizeof through, "/proc/self/fd/%d", fd);
  SignalsHeld held;
  if (::linkat(AT_FDCWD, through, AT_FDCWD, path.c_str(), AT_SYMLINK_FOLLOW) ==
          0 ||
      (errno == ENOENT &&
       ::linkat(fd, "", AT_FDCWD, path.c_str(), AT_EMPTY_PATH) == 0)) {
    Record(fd, path, true);
    return true;
  }
  return Failed(code);
}

// No signal can fall between the rename and the record of it. A file
// system that cannot refuse to replace (EINVAL) is looked at first.
bool PosixOs::Rename(OsHandle handle, const std::string& from,
                     const std::string& path, std::uint16_t* code) {
  SignalsHeld held;
  struct stat there;
  int renamed = ::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, path.c_str(),
                            RENAME_NOREPLACE);
  if (renamed != 0 && errno == EINVAL) {
    renamed = ::lstat(path.c_str(), &there) == 0 ? (errno = EEXIST, -1)
              : errno != ENOENT                  ? -1
                                : ::rename(from.c_str(), path.c_str());
  }
  if (renamed != 0) return Failed(code);
  Record(static_cast<int>(handle), path, true);
  return true;
}

// A folder that may be written but not read (0333) cannot be opened for
// its flush, nor can one on a file system that flushes no folder: there the
// whole file system is flushed. What the device says is never ignored.
bool PosixOs::SyncFolder(const std::string& folder, OsHandle handle,
                         std::uint16_t* code) {
  int directory = RetryOnInterrupt([&] {
    return ::open(Folder(folder).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  });
  int error = directory >= 0 ? 0 : EINVAL;
  if (directory >= 0) {
    error = ::fsync(directory) == 0 ? 0 : errno;
    ::close(directory);
  }
  if (error == EINVAL || error == EOPNOTSUPP || error == ENOSYS)
    error = ::syncfs(static_cast<int>(handle)) == 0 ? 0 : errno;
  if (error != 0) {
    Refuse(error, code);
    return false;
  }
  SignalsHeld held;
  if (hidden.placed) ForgetHiddenCopy(static_cast<int>(handle));
  return true;
}

}  // namespace posix

void platform::RemoveUnfinishedCopy() {
  using posix::hidden;
  if (!hidden.named) return;
  hidden.named = 0;
  struct stat now;
  if (::lstat(hidden.name, &now) == 0 && now.st_dev == hidden.device &&
      now.st_ino == hidden.inode) {
    ::unlink(hidden.name);
  }
}

}  // namespace kestrel
