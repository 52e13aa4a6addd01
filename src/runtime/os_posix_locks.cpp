// Holds and locks: the lock file under which a copy is made, and the look
// at whether another program has a file open.
#include <fcntl.h>
#include <locale.h>
#include <signal.h>
#include <strings.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cwctype>
#include <memory>
#include <string>
#include <vector>

#include "runtime/failure_codes.h"
#include "runtime/os_posix.h"
#include "runtime/posix_io.h"

namespace kestrel::posix {
namespace {

constexpr int kLockTries = 5;

// An open-file-description lock, which NFS carries to the server and which
// ends with the last descriptor of the open, however the process ends;
// flock only where the file system has no such locks, so that every run
// there takes flock. Where neither can be had the file is taken unheld: 0.
// Else 0 or the error of the refusal.
int Hold(int fd) {
  struct flock whole = {};
  whole.l_type = F_WRLCK;
  whole.l_whence = SEEK_SET;
  if (::fcntl(fd, F_OFD_SETLK, &whole) == 0) return 0;
  if (errno != EINVAL && errno != ENOLCK && errno != EOPNOTSUPP) return errno;
  if (RetryOnInterrupt([&] { return ::flock(fd, LOCK_EX | LOCK_NB); }) == 0)
    return 0;
  return errno == EINVAL || errno == ENOLCK || errno == EOPNOTSUPP ? 0 : errno;
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

// Whether two names in UTF-8 are one where names are found in any case:
// exFAT folds by Unicode's upper case, not only ASCII's.
bool SameIgnoringCase(const std::string& a, const std::string& b) {
  static const locale_t utf8 = ::newlocale(LC_CTYPE_MASK, "C.UTF-8", nullptr);
  if (utf8 == nullptr) return ::strcasecmp(a.c_str(), b.c_str()) == 0;
  std::wstring wide[2] = {std::wstring(a.size() + 1, L'\0'),
                          std::wstring(b.size() + 1, L'\0')};
  locale_t previous = ::uselocale(utf8);
  std::size_t lengths[2] = {std::mbstowcs(wide[0].data(), a.c_str(), a.size()),
                            std::mbstowcs(wide[1].data(), b.c_str(), b.size())};
  ::uselocale(previous);
  constexpr std::size_t kNotUtf8 = static_cast<std::size_t>(-1);
  if (lengths[0] == kNotUtf8 || lengths[1] == kNotUtf8)
    return ::strcasecmp(a.c_str(), b.c_str()) == 0;
  if (lengths[0] != lengths[1]) return false;
  for (std::size_t i = 0; i < lengths[0]; ++i) {
    if (::towupper_l(static_cast<wint_t>(wide[0][i]), utf8) !=
        ::towupper_l(static_cast<wint_t>(wide[1][i]), utf8)) {
      return false;
    }
  }
  return true;
}

// The name every run reaches the lock file `path` by. A FUSE driver that
// finds names in any case gives each spelling of a path a file of its own
// to the kernel, so that a lock taken through one spelling of the folder is
// not seen through another: there the folder's absolute path is spelled as
// the listing of each folder above it spells it.
std::string LockName(PosixOs& os, const std::string& path) {
  bool folds = false;
  std::uint16_t ignored = 0;
  if (!os.FoldsCase(FolderOf(path), &folds, &ignored) || !folds) return path;
  std::unique_ptr<char, decltype(&std::free)> real(
      ::realpath(Folder(FolderOf(path)).c_str(), nullptr), &std::free);
  if (!real) return path;
  std::string spelled = "/", rest = real.get() + 1;
  while (!rest.empty()) {
    std::size_t end = rest.find('/');
    std::string part = rest.substr(0, end);
    rest = end == std::string::npos ? "" : rest.substr(end + 1);
    std::vector<std::string> names;
    os.ListFolder(spelled, &names, &ignored);
    if (std::find(names.begin(), names.end(), part) == names.end()) {
      for (const std::string& name : names) {
        if (SameIgnoringCase(name, part)) {
          part = name;
          break;
        }
      }
    }
    spelled += part + "/";
  }
  return spelled + BaseOf(path);
}

}  // namespace

// Never emptied, never through a link. A run that removes the lock file as
// it ends may do so between this open and the hold: the hold is then on a
// file no other run will find, and is taken again on the new one. Every
// run takes the same lock on a descriptor open for writing too, so a lock
// file made here is left open to every user's runs whatever the umask,
// where the file system lets the mode be set (FAT mounted for everyone
// does not, and lets every user write); one that this user may only read
// is refused.
OsHandle PosixOs::TakeLock(const std::string& given, std::uint16_t* code) {
  const std::string path = LockName(*this, given);
  constexpr int kFlags =
      O_RDWR | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
  for (int attempt = 0; attempt < kLockTries; ++attempt) {
    bool made = true;
    int fd = RetryOnInterrupt(
        [&] { return ::open(path.c_str(), kFlags | O_CREAT | O_EXCL, 0666); });
    if (fd < 0 && errno == EEXIST) {
      made = false;
      fd = RetryOnInterrupt([&] { return ::open(path.c_str(), kFlags); });
      if (fd < 0 && errno == ENOENT) continue;
    }
    if (fd < 0) return Refuse(errno == ELOOP ? EACCES : errno, code);
    struct stat info;
    if (made) ::fchmod(fd, 0666);
    int refused = ::fstat(fd, &info) != 0  ? errno
                  : !S_ISREG(info.st_mode) ? EACCES
                                           : Hold(fd);
    if (refused == EAGAIN || refused == EWOULDBLOCK) refused = EACCES;
    if (refused == 0 && !NamesFile(path.c_str(), fd)) {
      ::close(fd);
      continue;
    }
    int checked = Checked(fd, refused, code);
    return checked < 0 ? kNoHandle : checked;
  }
  return Refuse(EACCES, code);
}

bool PosixOs::DropLock(OsHandle lock, const std::string& given,
                       std::uint16_t* code) {
  const std::string path = LockName(*this, given);
  int fd = static_cast<int>(lock);
  bool removed = !NamesFile(path.c_str(), fd) || ::unlink(path.c_str()) == 0 ||
                 Failed(code);
  return (::close(fd) == 0 || Failed(code)) && removed;
}

// flock sees only other flock holders; the lease sees every other open.
// A network file system may have no lock to give (NFS refuses an
// exclusive lock on a file open only for reading): there, as where no
// lease can be had, nothing more is seen.
bool PosixOs::Lock(OsHandle handle, std::uint16_t* code) {
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

}  // namespace kestrel::posix
