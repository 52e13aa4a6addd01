#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "runtime/failure_codes.h"
#include "runtime/os.h"

namespace kestrel {

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
    case EIO:
      return kGeneralFailure;
    default:
      return static_cast<std::uint16_t>(error);
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
    int flags = O_CLOEXEC | O_NOCTTY;
    flags |= access == OsAccess::kRead    ? O_RDONLY
             : access == OsAccess::kWrite ? O_WRONLY
                                          : O_RDWR;
    if (create) flags |= O_CREAT;
    int fd;
    do {
      fd = ::open(name.c_str(), flags, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
      Failed(code);
      return kNoHandle;
    }
    // Root may write anything, but a file whose write bits are all clear is
    // read-only to this tool, as the read-only attribute is on Windows.
    struct stat info;
    int refused = 0;
    if (::fstat(fd, &info) != 0) {
      refused = errno;
    } else if (S_ISDIR(info.st_mode)) {
      refused = EISDIR;
    } else if (access != OsAccess::kRead && S_ISREG(info.st_mode) &&
               (info.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) {
      refused = EACCES;
    }
    if (refused != 0) {
      ::close(fd);
      *code = IoCodeFromSystemError(static_cast<unsigned long>(refused));
      return kNoHandle;
    }
    return fd;
  }

  bool Lock(OsHandle handle, std::uint16_t* code) override {
    int result;
    do {
      result = ::flock(static_cast<int>(handle), LOCK_EX | LOCK_NB);
    } while (result != 0 && errno == EINTR);
    return result == 0 || Failed(code);
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
    ssize_t got;
    do {
      got = ::read(static_cast<int>(handle), buffer, size);
    } while (got < 0 && errno == EINTR);
    if (got < 0) Failed(code);
    return static_cast<long>(got);
  }

  long Write(OsHandle handle, const void* buffer, std::size_t size,
             std::uint16_t* code) override {
    ssize_t put;
    do {
      put = ::write(static_cast<int>(handle), buffer, size);
    } while (put < 0 && errno == EINTR);
    if (put < 0) Failed(code);
    return static_cast<long>(put);
  }

  // Not retried on EINTR: the descriptor is gone either way.
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
