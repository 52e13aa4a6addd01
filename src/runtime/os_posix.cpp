#include <fcntl.h>
#include <linux/fs.h>
#include <linux/magic.h>
#include <signal.h>
#include <strings.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

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
  info->mode = static_cast<std::uint32_t>(status.st_mode & 0777);
}

// The folder part of `path`, ending in a slash; "./" for a bare name.
std::string FolderOf(const std::string& path) {
  std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? "./" : path.substr(0, slash + 1);
}

std::string BaseOf(const std::string& path) {
  return path.substr(path.rfind('/') + 1);
}

// Every signal held back for the few calls that must not be cut apart.
class SignalsHeld {
 public:
  SignalsHeld() {
    sigset_t all;
    sigfillset(&all);
    ::sigprocmask(SIG_BLOCK, &all, &previous_);
  }
  ~SignalsHeld() { ::sigprocmask(SIG_SETMASK, &previous_, nullptr); }

 private:
  sigset_t previous_;
};

// The copy being written under a hidden name, where the file system gives
// no unnamed file: kept where a signal handler can reach it.
struct HiddenCopy {
  char name[PATH_MAX];
  dev_t device;
  ino_t inode;
  int fd;
  volatile sig_atomic_t named;
};
HiddenCopy hidden = {};

// A hidden name beside `path` for a copy on its way: ".NAME.123456", which
// ends in neither hex nor bin, so that nothing that looks for images takes
// it for one. False when it does not fit.
bool HiddenName(const std::string& path, char (&name)[PATH_MAX]) {
  struct timespec now;
  ::clock_gettime(CLOCK_REALTIME, &now);
  int length = std::snprintf(name, sizeof name, "%s.%s.%06u",
                             FolderOf(path).c_str(), BaseOf(path).c_str(),
                             AsideNumber(static_cast<unsigned>(now.tv_nsec),
                                         static_cast<unsigned>(::getpid())));
  return length > 0 && static_cast<std::size_t>(length) < sizeof name;
}

// The name under /proc by which the file open as `fd` can be reached.
struct ProcName {
  explicit ProcName(int fd) {
    std::snprintf(text, sizeof text, "/proc/self/fd/%d", fd);
  }
  char text[32];
};

// True when `name` is still the file `fd` is open on.
bool NamesFile(const char* name, int fd) {
  struct stat named, open;
  return ::lstat(name, &named) == 0 && ::fstat(fd, &open) == 0 &&
         S_ISREG(named.st_mode) && named.st_dev == open.st_dev &&
         named.st_ino == open.st_ino;
}

// Creates the copy aside: unnamed where the file system can (O_TMPFILE),
// else under a hidden name, taken with every signal held back so that a
// handler never finds a file that has no record yet.
int CreateAsideFile(const std::string& path) {
  constexpr int kFlags = O_WRONLY | O_CLOEXEC | O_NOCTTY;
  int fd = RetryOnInterrupt(
      [&] { return ::open(FolderOf(path).c_str(), O_TMPFILE | kFlags, 0666); });
  // exFAT, FAT, FUSE and NFS have no unnamed files; nor has an old kernel,
  // which takes O_TMPFILE for O_DIRECTORY.
  if (fd >= 0 || (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL))
    return fd;
  SignalsHeld held;
  for (int attempt = 0; attempt < 100; ++attempt) {
    if (!HiddenName(path, hidden.name)) {
      errno = ENAMETOOLONG;
      return -1;
    }
    fd = RetryOnInterrupt([&] {
      return ::open(hidden.name, O_CREAT | O_EXCL | O_NOFOLLOW | kFlags, 0666);
    });
    if (fd >= 0 || errno != EEXIST) break;
  }
  struct stat status;
  if (fd >= 0 && ::fstat(fd, &status) == 0) {
    hidden.device = status.st_dev;
    hidden.inode = status.st_ino;
    hidden.fd = fd;
    hidden.named = 1;
  } else if (fd >= 0) {
    int error = errno;
    ::unlink(hidden.name);
    ::close(fd);
    errno = error;
    fd = -1;
  }
  return fd;
}

// Gives the copy written aside the name `path`, replacing what is there:
// an unnamed file is linked under a hidden name first, since only rename
// replaces in one step. No signal can fall between the two.
bool NameAsideFile(int fd, const std::string& path) {
  SignalsHeld held;
  if (hidden.named && hidden.fd == fd) {
    if (!NamesFile(hidden.name, fd)) {
      errno = ENOENT;  // another program took the hidden name away
      return false;
    }
    if (::rename(hidden.name, path.c_str()) != 0) return false;
    hidden.named = 0;
    return true;
  }
  ProcName through(fd);
  char name[PATH_MAX];
  int linked = -1;
  for (int attempt = 0; attempt < 100 && linked != 0; ++attempt) {
    if (!HiddenName(path, name)) {
      errno = ENAMETOOLONG;
      return false;
    }
    linked =
        ::linkat(AT_FDCWD, through.text, AT_FDCWD, name, AT_SYMLINK_FOLLOW);
    // Without /proc, only a process that may read any file links by the
    // descriptor itself.
    if (linked != 0 && errno == ENOENT)
      linked = ::linkat(fd, "", AT_FDCWD, name, AT_EMPTY_PATH);
    if (linked != 0 && errno != EEXIST) return false;
  }
  if (linked != 0) return false;
  if (::rename(name, path.c_str()) == 0) return true;
  int error = errno;
  ::unlink(name);
  errno = error;
  return false;
}

// File systems that find a name in any case: FAT and exFAT (through the
// kernel or FUSE), SMB shares; and a folder with ext4's or f2fs's casefold
// flag. Any FUSE file system counts, which can only refuse more.
bool FoldsCase(const std::string& folder) {
  constexpr long kExfat = 0x2011BAB0;
  constexpr long kFuse = 0x65735546;
  constexpr long kCifs = static_cast<long>(0xFF534D42);
  constexpr long kSmb2 = static_cast<long>(0xFE534D42);
  struct statfs fs;
  if (::statfs(folder.c_str(), &fs) != 0) return false;
  long type = static_cast<long>(fs.f_type);
  if (type == MSDOS_SUPER_MAGIC || type == kExfat || type == kFuse ||
      type == kCifs || type == kSmb2 || type == SMB_SUPER_MAGIC) {
    return true;
  }
  int directory = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (directory < 0) return false;
  int flags = 0;
  bool casefold = ::ioctl(directory, FS_IOC_GETFLAGS, &flags) == 0 &&
                  (flags & FS_CASEFOLD_FL) != 0;
  ::close(directory);
  return casefold;
}

// In a sticky folder that anyone may write to (/tmp), another user can
// plant a link named like the copy. As fs.protected_symlinks does, and
// whether or not it is set, such a link is followed only when it belongs
// to the running user or to the folder's owner.
bool MayFollow(const std::string& name) {
  struct stat link, directory;
  if (::lstat(name.c_str(), &link) != 0 ||
      ::stat(FolderOf(name).c_str(), &directory) != 0) {
    return false;
  }
  bool shared =
      (directory.st_mode & S_ISVTX) != 0 && (directory.st_mode & S_IWOTH) != 0;
  return !shared || link.st_uid == ::geteuid() ||
         link.st_uid == directory.st_uid;
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

// Makes a file just opened without blocking block again, once `fd` passed
// the look that `refused` says how it failed (0: it did not).
int Checked(int fd, int refused, std::uint16_t* code) {
  if (refused == 0 &&
      ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0) {
    refused = errno;
  }
  if (refused == 0) return fd;
  ::close(fd);
  Refuse(refused, code);
  return -1;
}

// Root may write anything, but a file whose write bits are all clear is
// read-only to this tool, as the read-only attribute is on Windows.
bool ReadOnly(const struct stat& info) {
  return (info.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0;
}

// Not blocking: opening a FIFO would wait for its other end forever.
constexpr int kOpenFlags = O_CLOEXEC | O_NOCTTY | O_NONBLOCK;

class PosixOs final : public Os {
 public:
  // An image is looked at before it is opened: opening a FIFO would
  // release a writer waiting on it, and opening a serial line would toggle
  // its control lines. What is opened must be the regular file looked at.
  OsHandle Open(const std::string& name, OsAccess access,
                std::uint16_t* code) override {
    struct stat before, info;
    if (::stat(name.c_str(), &before) != 0) return Refuse(errno, code);
    if (!S_ISREG(before.st_mode)) return Refuse(EACCES, code);
    int flags = kOpenFlags | (access == OsAccess::kRead    ? O_RDONLY
                              : access == OsAccess::kWrite ? O_WRONLY
                                                           : O_RDWR);
    int fd = RetryOnInterrupt([&] { return ::open(name.c_str(), flags); });
    if (fd < 0) return Refuse(errno, code);
    int refused = 0;
    if (::fstat(fd, &info) != 0) {
      refused = errno;
    } else if (!S_ISREG(info.st_mode) || info.st_dev != before.st_dev ||
               info.st_ino != before.st_ino ||
               (access != OsAccess::kRead && ReadOnly(info))) {
      refused = EACCES;
    }
    int checked = Checked(fd, refused, code);
    return checked < 0 ? kNoHandle : checked;
  }

  // The links are followed by hand, so that the place is known even where
  // nothing is there yet; the file there is then opened without following
  // another.
  OsHandle OpenCopy(const std::string& name, OsCopyPlace* place,
                    std::uint16_t* code) override {
    place->path = name;
    place->linked = false;
    for (int hops = 0;; ++hops) {
      struct stat link;
      if (::lstat(place->path.c_str(), &link) != 0) {
        if (errno == ENOENT) break;
        return Refuse(errno, code);
      }
      if (!S_ISLNK(link.st_mode)) break;
      if (hops == 0 && !MayFollow(name)) return Refuse(EACCES, code);
      char target[PATH_MAX];
      ssize_t length = hops == 40 ? -1
                                  : ::readlink(place->path.c_str(), target,
                                               sizeof target - 1);
      if (length < 0) return Refuse(hops == 40 ? ELOOP : errno, code);
      target[length] = '\0';
      place->path = target[0] == '/' ? target : FolderOf(place->path) + target;
      place->linked = true;
    }
    int fd = RetryOnInterrupt([&] {
      return ::open(place->path.c_str(), kOpenFlags | O_WRONLY | O_NOFOLLOW);
    });
    if (fd < 0) return Refuse(errno, code);
    // A character device (/dev/null) takes the copy as it comes; a FIFO
    // would be held at both ends, and a disk is no place for a file.
    struct stat info;
    int refused = 0;
    if (::fstat(fd, &info) != 0) {
      refused = errno;
    } else if (!S_ISREG(info.st_mode) && !S_ISCHR(info.st_mode)) {
      refused = EACCES;
    } else if (S_ISREG(info.st_mode) && ReadOnly(info)) {
      refused = EACCES;
    }
    int checked = Checked(fd, refused, code);
    return checked < 0 ? kNoHandle : checked;
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

  bool SpelledAlike(OsHandle image, const std::string& path) override {
    std::string folder = FolderOf(path);
    if (!FoldsCase(folder)) return false;
    char image_path[PATH_MAX], folder_path[PATH_MAX];
    ssize_t length = ::readlink(ProcName(static_cast<int>(image)).text,
                                image_path, sizeof image_path - 1);
    if (length < 0 || ::realpath(folder.c_str(), folder_path) == nullptr)
      return false;
    image_path[length] = '\0';
    std::string copy = std::string(folder_path) + "/" + BaseOf(path);
    return ::strcasecmp(image_path, copy.c_str()) == 0;
  }

  bool Remove(OsHandle handle, const std::string& path,
              std::uint16_t* code) override {
    if (!NamesFile(path.c_str(), static_cast<int>(handle))) {
      *code = kAccessDenied;
      return false;
    }
    return ::unlink(path.c_str()) == 0 || Failed(code);
  }

  OsHandle CreateAside(const std::string& path, const OsFileInfo* like,
                       std::uint16_t* code) override {
    int fd = CreateAsideFile(path);
    if (fd < 0) return Refuse(errno, code);
    if (like != nullptr && ::fchmod(fd, like->mode) != 0) {
      Failed(code);
      Close(fd, code);
      return kNoHandle;
    }
    return fd;
  }

  // On the device before it has its name, so that "successfully created"
  // holds even for a stick pulled at once; the folder follows, as far as
  // the file system lets a folder be flushed.
  bool PutInPlace(OsHandle aside, const std::string& path,
                  std::uint16_t* code) override {
    int fd = static_cast<int>(aside);
    if (::fsync(fd) != 0 || !NameAsideFile(fd, path)) return Failed(code);
    int folder =
        ::open(FolderOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder >= 0) {
      ::fsync(folder);
      ::close(folder);
    }
    return true;
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
    int fd = static_cast<int>(handle);
    if (hidden.named && hidden.fd == fd) {
      SignalsHeld held;
      platform::RemoveUnfinishedCopy();
    }
    return ::close(fd) == 0 || Failed(code);
  }
};

}  // namespace

Os& PlatformOs() {
  static PosixOs os;
  return os;
}

void platform::RemoveUnfinishedCopy() {
  if (!hidden.named) return;
  hidden.named = 0;
  struct stat now;
  if (::lstat(hidden.name, &now) == 0 && now.st_dev == hidden.device &&
      now.st_ino == hidden.inode) {
    ::unlink(hidden.name);
  }
}

}  // namespace kestrel
