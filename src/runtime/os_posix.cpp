#include <fcntl.h>
#include <signal.h>
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

OsHandle Refuse(int error, std::uint16_t* code) {
  *code = IoCodeFromSystemError(static_cast<unsigned long>(error));
  return kNoHandle;
}

void Describe(const struct stat& status, OsFileInfo* info) {
  constexpr std::int64_t kNano = 1000000000;
  info->type = S_ISCHR(status.st_mode) ? OsFileType::kCharacterDevice
                                       : OsFileType::kDisk;
  info->device = static_cast<std::uint64_t>(status.st_dev);
  info->inode = static_cast<std::uint64_t>(status.st_ino);
  info->size = static_cast<std::uint64_t>(status.st_size);
  info->modified = status.st_mtim.tv_sec * kNano + status.st_mtim.tv_nsec;
  info->changed = status.st_ctim.tv_sec * kNano + status.st_ctim.tv_nsec;
}

// In a sticky folder that anyone may write to (/tmp), another user can
// plant a link named like the copy. As fs.protected_symlinks does, and
// whether or not it is set, such a link is followed only when it belongs
// to the running user or to the folder's owner.
bool MayFollow(const std::string& name) {
  std::size_t slash = name.rfind('/');
  std::string folder =
      slash == std::string::npos ? "." : name.substr(0, slash + 1);
  struct stat link, directory;
  if (::lstat(name.c_str(), &link) != 0 ||
      ::stat(folder.c_str(), &directory) != 0) {
    return false;
  }
  bool shared =
      (directory.st_mode & S_ISVTX) != 0 && (directory.st_mode & S_IWOTH) != 0;
  return !shared || link.st_uid == ::geteuid() ||
         link.st_uid == directory.st_uid;
}

// Opens the copy without emptying it, and says whether this open made it.
int OpenOutput(const std::string& name, int flags, bool* made) {
  int fd = RetryOnInterrupt(
      [&] { return ::open(name.c_str(), flags | O_CREAT | O_EXCL, 0666); });
  if (fd >= 0 || errno != EEXIST) {
    *made = fd >= 0;
    return fd;
  }
  fd = RetryOnInterrupt(
      [&] { return ::open(name.c_str(), flags | O_CREAT | O_NOFOLLOW, 0666); });
  if (fd >= 0 || errno != ELOOP) return fd;
  if (!MayFollow(name)) {
    errno = EACCES;
    return -1;
  }
  return RetryOnInterrupt(
      [&] { return ::open(name.c_str(), flags | O_CREAT, 0666); });
}

// Whether another program has the file open, seen through a lease taken
// and given back at once: a read lease is refused while any other open may
// write the file, a write lease while any other open exists. The kernel
// tells a lease holder of another program's open by SIGIO, so SIGIO waits
// meanwhile, and one that came from the kernel means the file is in use;
// one sent by a process ends the tool afterwards, as it would have.
// Where no lease can be had (a file of another owner without CAP_LEASE, a
// network file system, a device) there is nothing to see.
bool InUseElsewhere(int fd) {
  sigset_t io, previous;
  sigemptyset(&io);
  sigaddset(&io, SIGIO);
  ::sigprocmask(SIG_BLOCK, &io, &previous);
  int lease =
      (::fcntl(fd, F_GETFL) & O_ACCMODE) == O_RDONLY ? F_RDLCK : F_WRLCK;
  bool in_use = false;
  if (::fcntl(fd, F_SETLEASE, lease) == 0) {
    ::fcntl(fd, F_SETLEASE, F_UNLCK);
  } else {
    in_use = errno == EAGAIN;
  }
  bool sent = false;
  siginfo_t info;
  const struct timespec now = {0, 0};
  while (!sigismember(&previous, SIGIO) &&
         ::sigtimedwait(&io, &info, &now) == SIGIO) {
    (info.si_code > 0 ? in_use : sent) = true;
  }
  ::sigprocmask(SIG_SETMASK, &previous, nullptr);
  if (sent) ::raise(SIGIO);
  return in_use;
}

class PosixOs final : public Os {
 public:
  OsHandle Open(const std::string& name, OsAccess access, bool create,
                bool* made, std::uint16_t* code) override {
    *made = false;
    struct stat before;
    // An image is looked at before it is opened: opening a FIFO would
    // release a writer waiting on it, and opening a serial line would
    // toggle its control lines.
    if (!create) {
      if (::stat(name.c_str(), &before) != 0) return Refuse(errno, code);
      if (!S_ISREG(before.st_mode)) return Refuse(EACCES, code);
    }
    // Not blocking: opening a FIFO would wait for its other end forever.
    int flags = O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
    flags |= access == OsAccess::kRead    ? O_RDONLY
             : access == OsAccess::kWrite ? O_WRONLY
                                          : O_RDWR;
    int fd =
        create ? OpenOutput(name, flags, made)
               : RetryOnInterrupt([&] { return ::open(name.c_str(), flags); });
    if (fd < 0) return Refuse(errno, code);
    struct stat info;
    int refused = 0;
    if (::fstat(fd, &info) != 0) {
      refused = errno;
    } else if (!create
                   ? !S_ISREG(info.st_mode) || info.st_dev != before.st_dev ||
                         info.st_ino != before.st_ino
                   : S_ISDIR(info.st_mode) || S_ISFIFO(info.st_mode) ||
                         S_ISSOCK(info.st_mode) || S_ISBLK(info.st_mode)) {
      // An image is the regular file looked at. An output may be a
      // character device (/dev/null), but not a FIFO, which this open
      // would hold both ends of, nor a disk, nor anything that keeps no
      // file.
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
      if (*made) ::unlink(name.c_str());
      *made = false;
      return Refuse(refused, code);
    }
    return fd;
  }

  // flock sees only other flock holders; the lease sees every other open.
  // A network file system may have no lock to give (NFS refuses an
  // exclusive lock on a file open only for reading): there, as where no
  // lease can be had, nothing more is seen.
  bool Lock(OsHandle handle, std::uint16_t* code) override {
    int fd = static_cast<int>(handle);
    if (RetryOnInterrupt([&] { return ::flock(fd, LOCK_EX | LOCK_NB); }) != 0 &&
        errno != EBADF && errno != ENOLCK && errno != EOPNOTSUPP &&
        errno != EINVAL) {
      return Failed(code);
    }
    if (InUseElsewhere(fd)) {
      *code = kAccessDenied;
      return false;
    }
    return true;
  }

  bool Truncate(OsHandle handle, std::uint16_t* code) override {
    struct stat info;
    if (::fstat(static_cast<int>(handle), &info) != 0) return Failed(code);
    if (!S_ISREG(info.st_mode)) return true;
    return ::ftruncate(static_cast<int>(handle), 0) == 0 || Failed(code);
  }

  bool Stat(OsHandle handle, OsFileInfo* info, std::uint16_t* code) override {
    struct stat status;
    if (::fstat(static_cast<int>(handle), &status) != 0) return Failed(code);
    Describe(status, info);
    return true;
  }

  bool StatName(const char* name, OsFileInfo* info,
                std::uint16_t* code) override {
    struct stat status;
    if (::stat(name, &status) != 0) return Failed(code);
    Describe(status, info);
    return true;
  }

  bool Remove(const char* name, const OsFileInfo* file,
              std::uint16_t* code) override {
    struct stat status;
    if (file != nullptr) {
      if (::lstat(name, &status) != 0) return Failed(code);
      if (!S_ISREG(status.st_mode) ||
          static_cast<std::uint64_t>(status.st_dev) != file->device ||
          static_cast<std::uint64_t>(status.st_ino) != file->inode) {
        *code = kAccessDenied;
        return false;
      }
    }
    return ::unlink(name) == 0 || Failed(code);
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
