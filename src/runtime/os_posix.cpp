#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "runtime/failure_codes.h"
#include "runtime/os.h"
#include "runtime/posix_io.h"

namespace kestrel {

static_assert(sizeof(off_t) == 8, "images past 2 GiB need 64-bit offsets");

std::uint16_t IoCodeFromSystemError(unsigned long error) {
  switch (error) {
    case ENOENT:
      return kFileNotFound;
    case ENOTDIR:
      return kPathNotFound;
    case EMFILE:
    case ENFILE:
      return kTooManyOpenFiles;
    case EACCES:
    case EPERM:
    case EISDIR:
    case EWOULDBLOCK:
      return kAccessDenied;
    case EBADF:
      return kInvalidHandle;
    case ENOSPC:
      return kShortWrite;
    case EROFS:
      return kWriteProtected;
    case ENAMETOOLONG:
    case ELOOP:
      return kPathNotFound;
    case EFBIG:
      return kShortWrite;
    default:
      // EIO and whatever else: a number passed on unchanged would read as
      // another code (ENETDOWN as a short read, ENETUNREACH as a full disk).
      return kGeneralFailure;
  }
}

namespace {

bool Failed(std::uint16_t* code) {
  *code = IoCodeFromSystemError(static_cast<unsigned long>(errno));
  return false;
}

class PosixOs final : public Os {
 public:
  OsHandle Open(const std::string& name, OsAccess access, bool create,
                std::uint16_t* code) override {
    // Not blocking: opening a FIFO would wait for its other end forever.
    int flags = O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
    flags |= access == OsAccess::kRead    ? O_RDONLY
             : access == OsAccess::kWrite ? O_WRONLY
                                          : O_RDWR;
    if (create) flags |= O_CREAT;
    int fd =
        RetryOnInterrupt([&] { return ::open(name.c_str(), flags, 0666); });
    if (fd < 0) {
      Failed(code);
      return kNoHandle;
    }
    struct stat info;
    int refused = 0;
    if (::fstat(fd, &info) != 0) {
      refused = errno;
    } else if (!create ? !S_ISREG(info.st_mode)
                       : S_ISDIR(info.st_mode) || S_ISFIFO(info.st_mode) ||
                             S_ISSOCK(info.st_mode)) {
      // An image is a file: a FIFO or a device would be read forever. An
      // output may be a device (/dev/null), but not a FIFO, which this
      // open would hold both ends of, nor anything that keeps no file.
      refused = EACCES;
    } else if (access != OsAccess::kRead && S_ISREG(info.st_mode) &&
               (info.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) {
      // Root may write anything, but a file whose write bits are all clear
      // is read-only to this tool, as the read-only attribute is on Windows.
      refused = EACCES;
    } else if (::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0) {
      refused = errno;
    }
    if (refused != 0) {
      ::close(fd);
      *code = IoCodeFromSystemError(static_cast<unsigned long>(refused));
      return kNoHandle;
    }
    return fd;
  }

  // flock sees only other flock holders. A lease, taken and given back at
  // once, sees every other open of the file: a read lease is refused while
  // any other open may write it, a write lease while any other open exists.
  // Where no lease can be had at all (a file of another owner without
  // CAP_LEASE, a network file system, a device), flock is all there is.
  bool Lock(OsHandle handle, std::uint16_t* code) override {
    int fd = static_cast<int>(handle);
    if (RetryOnInterrupt([&] { return ::flock(fd, LOCK_EX | LOCK_NB); }) != 0) {
      return Failed(code);
    }
    int lease =
        (::fcntl(fd, F_GETFL) & O_ACCMODE) == O_RDONLY ? F_RDLCK : F_WRLCK;
    if (::fcntl(fd, F_SETLEASE, lease) == 0) {
      ::fcntl(fd, F_SETLEASE, F_UNLCK);
    } else if (errno == EAGAIN) {
      return Failed(code);
    }
    return true;
  }

  bool Truncate(OsHandle handle, std::uint16_t* code) override {
    struct stat info;
    if (::fstat(static_cast<int>(handle), &info) != 0) return Failed(code);
    if (!S_ISREG(info.st_mode)) return true;
    return ::ftruncate(static_cast<int>(handle), 0) == 0 || Failed(code);
  }

  OsFileType Stat(OsHandle handle, std::uint16_t* code) override {
    struct stat info;
    if (::fstat(static_cast<int>(handle), &info) != 0) {
      Failed(code);
      return OsFileType::kDisk;
    }
    return S_ISCHR(info.st_mode) ? OsFileType::kCharacterDevice
                                 : OsFileType::kDisk;
  }

  long Read(OsHandle handle, void* buffer, std::size_t size,
            std::uint16_t* code) override {
    ssize_t got = RetryOnInterrupt(
        [&] { return ::read(static_cast<int>(handle), buffer, size); });
    if (got < 0) Failed(code);
    return static_cast<long>(got);
  }

  long Write(OsHandle handle, const void* buffer, std::size_t size,
             std::uint16_t* code) override {
    ssize_t put = RetryOnInterrupt(
        [&] { return ::write(static_cast<int>(handle), buffer, size); });
    if (put < 0) Failed(code);
    return static_cast<long>(put);
  }

  // Never made again: the descriptor is gone either way.
  bool Close(OsHandle handle, std::uint16_t* code) override {
    return ::close(static_cast<int>(handle)) == 0 || Failed(code);
  }
};

}  // namespace

Os& PlatformOs() {
  static PosixOs os;
  return os;
}

}  // namespace kestrel
