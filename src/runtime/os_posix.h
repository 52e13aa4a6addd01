// The POSIX side of the OS seam, in three files: plain calls and the error
// mapping (os_posix.cpp); creating, naming and flushing the copy aside
// (os_posix_aside.cpp); holds and locks (os_posix_locks.cpp).
#ifndef KESTREL_RUNTIME_OS_POSIX_H_
#define KESTREL_RUNTIME_OS_POSIX_H_

#include <signal.h>
#include <sys/stat.h>

#include <string>

#include "runtime/os.h"

namespace kestrel::posix {

// Stores the code for errno, or for `error`, and fails.
bool Failed(std::uint16_t* code);
OsHandle Refuse(int error, std::uint16_t* code);

// `folder` as a name the system takes: "." for the working folder.
inline std::string Folder(const std::string& folder) {
  return folder.empty() ? "." : folder;
}

// True when `name` is still the regular file `fd` is open on.
bool NamesFile(const char* name, int fd);

// Makes a file just opened without blocking block again, once `fd` passed
// the look that `refused` says how it failed (0: it did not); -1 and the
// file closed when it did.
int Checked(int fd, int refused, std::uint16_t* code);

// Every signal held back for the few calls that must not be cut apart.
class SignalsHeld {
 public:
  SignalsHeld();
  ~SignalsHeld();
  SignalsHeld(const SignalsHeld&) = delete;
  SignalsHeld& operator=(const SignalsHeld&) = delete;

 private:
  sigset_t previous_;
};

// The hidden copy is no longer the signal handlers' to remove: it was
// removed, renamed or closed.
void ForgetHiddenCopy(int fd);

class PosixOs final : public Os {
 public:
  OsHandle Open(const std::string& name, OsAccess access,
                std::uint16_t* code) override;
  bool Look(const std::string& path, bool follow, OsFileInfo* info,
            std::uint16_t* code) override;
  bool ReadLink(const std::string& path, std::string* target,
                std::uint16_t* code) override;
  bool FoldsCase(const std::string& folder, bool* folds,
                 std::uint16_t* code) override;
  bool ListFolder(const std::string& folder, std::vector<std::string>* names,
                  std::uint16_t* code) override;
  std::uint32_t UserId() override;
  unsigned Ticket() override;
  OsHandle TakeLock(const std::string& path, std::uint16_t* code) override;
  bool DropLock(OsHandle lock, const std::string& path,
                std::uint16_t* code) override;
  OsHandle OpenCopy(const std::string& path, std::uint16_t* code) override;
  bool Lock(OsHandle handle, std::uint16_t* code) override;
  bool Stat(OsHandle handle, OsFileInfo* info, std::uint16_t* code) override;
  bool Remove(OsHandle handle, const std::string& path,
              std::uint16_t* code) override;
  OsHandle CreateUnnamed(const std::string& folder,
                         std::uint16_t* code) override;
  OsHandle CreateHidden(const std::string& path, std::uint16_t* code) override;
  bool SetOwner(OsHandle handle, std::uint32_t owner, std::uint32_t group,
                std::uint16_t* code) override;
  bool SetMode(OsHandle handle, std::uint32_t mode,
               std::uint16_t* code) override;
  bool SyncData(OsHandle handle, std::uint16_t* code) override;
  bool Link(OsHandle handle, const std::string& path,
            std::uint16_t* code) override;
  bool Rename(OsHandle handle, const std::string& from, const std::string& path,
              std::uint16_t* code) override;
  bool SyncFolder(const std::string& folder, OsHandle handle,
                  std::uint16_t* code) override;
  long Read(OsHandle handle, void* buffer, std::size_t size,
            std::uint16_t* code) override;
  long Write(OsHandle handle, const void* buffer, std::size_t size,
             std::uint16_t* code) override;
  bool Close(OsHandle handle, std::uint16_t* code) override;
};

}  // namespace kestrel::posix

#endif  // KESTREL_RUNTIME_OS_POSIX_H_
