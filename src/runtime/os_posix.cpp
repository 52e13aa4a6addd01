#include "runtime/os_posix.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/magic.h>
#include <sys/vfs.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

#include "runtime/failure_codes.h"
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
    case EBUSY:
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
    case EEXIST:
      return kFileExists;
    case EOPNOTSUPP:
      return kNotSupported;
    default:
      // EIO and whatever else: a number passed on unchanged would read as
      // another code (ENETDOWN as a short read, ENETUNREACH as a full disk).
      return kGeneralFailure;
  }
}

namespace posix {

bool Failed(std::uint16_t* code) {
  *code = IoCodeFromSystemError(static_cast<unsigned long>(errno));
  return false;
}

OsHandle Refuse(int error, std::uint16_t* code) {
  *code = IoCodeFromSystemError(static_cast<unsigned long>(error));
  return kNoHandle;
}

bool NamesFile(const char* name, int fd) {
  struct stat named, open;
  return ::lstat(name, &named) == 0 && ::fstat(fd, &open) == 0 &&
         S_ISREG(named.st_mode) && named.st_dev == open.st_dev &&
         named.st_ino == open.st_ino;
}

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

SignalsHeld::SignalsHeld() {
  sigset_t all;
  sigfillset(&all);
  ::sigprocmask(SIG_BLOCK, &all, &previous_);
}

SignalsHeld::~SignalsHeld() { ::sigprocmask(SIG_SETMASK, &previous_, nullptr); }

namespace {

void Describe(const struct statx& status, OsFileInfo* info) {
  constexpr std::int64_t kNano = 1000000000;
  mode_t mode = status.stx_mode;
  info->type = S_ISREG(mode)   ? OsFileType::kDisk
               : S_ISCHR(mode) ? OsFileType::kCharacterDevice
               : S_ISLNK(mode) ? OsFileType::kLink
               : S_ISDIR(mode) ? OsFileType::kFolder
                               : OsFileType::kOther;
  info->device =
      (std::uint64_t{status.stx_dev_major} << 32) | status.stx_dev_minor;
  info->inode = status.stx_ino;
  info->size = status.stx_size;
  info->modified = status.stx_mtime.tv_sec * kNano + status.stx_mtime.tv_nsec;
  info->changed = status.stx_ctime.tv_sec * kNano + status.stx_ctime.tv_nsec;
  info->mode = mode & 07777;
  info->owner = status.stx_uid;
  info->group = status.stx_gid;
  info->mount_root = (status.stx_attributes & STATX_ATTR_MOUNT_ROOT) != 0;
}

bool Statx(int at, const char* path, int flags, OsFileInfo* info,
           std::uint16_t* code) {
  struct statx status;
  if (::statx(at, path, flags | AT_STATX_SYNC_AS_STAT, STATX_BASIC_STATS,
              &status) != 0) {
    return Failed(code);
  }
  Describe(status, info);
  return true;
}

// Root may write anything, but a file whose write bits are all clear is
// read-only to this tool, as the read-only attribute is on Windows.
bool ReadOnly(const struct stat& info) {
  return (info.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0;
}

}  // namespace

// An image is looked at before it is opened: opening a FIFO would release
// a writer waiting on it, and opening a serial line would toggle its
// control lines. What is opened must be the regular file looked at.
OsHandle PosixOs::Open(const std::string& name, OsAccess access,
                       std::uint16_t* code) {
  struct stat before, info;
  if (::stat(name.c_str(), &before) != 0) return Refuse(errno, code);
  if (!S_ISREG(before.st_mode)) return Refuse(EACCES, code);
  int flags = O_CLOEXEC | O_NOCTTY | O_NONBLOCK |
              (access == OsAccess::kRead    ? O_RDONLY
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

// A copy opened for writing: a regular file or a character device
// (/dev/null), never a link; a FIFO would be held at both ends, and a disk
// is no place for a file.
OsHandle PosixOs::OpenCopy(const std::string& path, std::uint16_t* code) {
  int fd = RetryOnInterrupt([&] {
    return ::open(path.c_str(),
                  O_WRONLY | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  });
  if (fd < 0) return Refuse(errno == ELOOP ? EACCES : errno, code);
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

bool PosixOs::Look(const std::string& path, bool follow, OsFileInfo* info,
                   std::uint16_t* code) {
  return Statx(AT_FDCWD, path.c_str(), follow ? 0 : AT_SYMLINK_NOFOLLOW, info,
               code);
}

bool PosixOs::Stat(OsHandle handle, OsFileInfo* info, std::uint16_t* code) {
  return Statx(static_cast<int>(handle), "", AT_EMPTY_PATH, info, code);
}

bool PosixOs::ReadLink(const std::string& path, std::string* target,
                       std::uint16_t* code) {
  char text[PATH_MAX];
  ssize_t length = ::readlink(path.c_str(), text, sizeof text);
  if (length < 0) return Failed(code);
  if (static_cast<std::size_t>(length) == sizeof text) {
    *code = kPathNotFound;
    return false;
  }
  target->assign(text, static_cast<std::size_t>(length));
  return true;
}

// File systems that find a name in any case and may give each spelling its
// own inode number: FAT and exFAT (through the kernel or FUSE), SMB shares.
// Any FUSE file system counts, which can only refuse more. A folder with
// ext4's or f2fs's casefold flag finds every spelling as the same inode,
// which the identity check sees by itself.
bool PosixOs::FoldsCase(const std::string& folder, bool* folds,
                        std::uint16_t* code) {
  constexpr long kExfat = 0x2011BAB0;
  constexpr long kFuse = 0x65735546;
  constexpr long kCifs = static_cast<long>(0xFF534D42);
  constexpr long kSmb2 = static_cast<long>(0xFE534D42);
  struct statfs fs;
  if (::statfs(Folder(folder).c_str(), &fs) != 0) return Failed(code);
  long type = static_cast<long>(fs.f_type);
  *folds = type == MSDOS_SUPER_MAGIC || type == kExfat || type == kFuse ||
           type == kCifs || type == kSmb2 || type == SMB_SUPER_MAGIC;
  return true;
}

bool PosixOs::ListFolder(const std::string& folder,
                         std::vector<std::string>* names, std::uint16_t* code) {
  DIR* listing = ::opendir(Folder(folder).c_str());
  if (listing == nullptr) return Failed(code);
  errno = 0;
  while (const struct dirent* entry = ::readdir(listing)) {
    if (std::strcmp(entry->d_name, ".") != 0 &&
        std::strcmp(entry->d_name, "..") != 0) {
      names->push_back(entry->d_name);
    }
  }
  bool listed = errno == 0 || Failed(code);
  ::closedir(listing);
  return listed;
}

std::uint32_t PosixOs::UserId() { return ::geteuid(); }

unsigned PosixOs::Ticket() {
  struct timespec now;
  ::clock_gettime(CLOCK_REALTIME, &now);
  return AsideNumber(static_cast<unsigned>(now.tv_nsec),
                     static_cast<unsigned>(::getpid()));
}

bool PosixOs::Remove(OsHandle handle, const std::string& path,
                     std::uint16_t* code) {
  SignalsHeld held;
  if (::unlink(path.c_str()) != 0) return Failed(code);
  ForgetHiddenCopy(static_cast<int>(handle));
  return true;
}

long PosixOs::Read(OsHandle handle, void* buffer, std::size_t size,
                   std::uint16_t* code) {
  ssize_t got = RetryOnInterrupt(
      [&] { return ::read(static_cast<int>(handle), buffer, size); });
  if (got < 0) Failed(code);
  return static_cast<long>(got);
}

long PosixOs::Write(OsHandle handle, const void* buffer, std::size_t size,
                    std::uint16_t* code) {
  ssize_t put = RetryOnInterrupt(
      [&] { return ::write(static_cast<int>(handle), buffer, size); });
  if (put < 0) Failed(code);
  return static_cast<long>(put);
}

// Never made again: the descriptor is gone either way.
bool PosixOs::Close(OsHandle handle, std::uint16_t* code) {
  int fd = static_cast<int>(handle);
  SignalsHeld held;
  ForgetHiddenCopy(fd);
  return ::close(fd) == 0 || Failed(code);
}

}  // namespace posix

Os& PlatformOs() {
  static posix::PosixOs os;
  return os;
}

}  // namespace kestrel
