// An in-memory file system behind the OS seam, with failures on demand,
// and what a power cut would leave of it.
#ifndef KESTREL_TESTS_SUPPORT_FAKE_OS_H_
#define KESTREL_TESTS_SUPPORT_FAKE_OS_H_

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "runtime/os.h"

namespace kestrel {

class FakeOs final : public Os {
 public:
  struct File {
    std::string data;
    bool read_only = false;
    bool directory = false;
    bool device = false;
    bool held_elsewhere = false;  // another program has it open, or locked
    int writes = 0;               // write calls that reached it
    int id = 0;                   // which file it is; 0 until first seen
    int changes = 0;              // its modification time, in changes
    std::string link_to;          // a link: the name of the file it leads to
    std::uint32_t owner = 1000;
    std::uint32_t group = 1000;
    std::uint32_t mode = 0644;
    bool mount_root = false;
  };

  std::map<std::string, File> files;
  // Folders, by name without their last slash ("." for the working one):
  // present whether or not they are named here.
  std::map<std::string, File> folders;
  // One entry per call: "open kestrel.hex", "read 3 256", "close 3", ...
  std::vector<std::string> calls;
  bool unnamed = true;      // the file system gives unnamed files
  bool folds_case = false;  // it finds names in any case
  // Another spelling of a folder, which finds the same names but is a
  // folder of its own (exFAT through FUSE): "../DIR/" -> "".
  std::map<std::string, std::string> spellings;
  std::uint32_t user = 1000;

  // Call number `n` (counting every call from 1) fails with `code`.
  void FailCall(int n, std::uint16_t code) { failures_[n] = code; }
  // Call number `n`, a read or write, moves at most `bytes` bytes.
  void ShortCall(int n, std::size_t bytes) { short_calls_[n] = bytes; }
  // Call number `n` runs out of memory: it throws std::bad_alloc.
  void ExhaustMemoryAt(int n) { exhausted_at_ = n; }
  // Before call number `n`, another program rewrites `name` in place.
  void ChangeAt(int n, const std::string& name) {
    change_at_ = n;
    changed_name_ = name;
  }
  // Before the first call that begins with `call`, another program puts
  // another file at `name`, or, given `link_to`, a link leading there.
  void ReplaceBefore(const std::string& call, const std::string& name,
                     const std::string& link_to = "") {
    replace_before_ = call;
    replaced_name_ = name;
    replaced_link_ = link_to;
  }
  // What a power cut would leave: each name that reached the device, with
  // its data that did.
  std::map<std::string, std::string> Disk() const;

  int open_handles() const { return static_cast<int>(handles_.size()); }

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
  std::uint32_t UserId() override { return user; }
  unsigned Ticket() override { return ++tickets_; }
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

 private:
  struct Open_ {
    std::string name;
    OsAccess access;
    std::size_t position = 0;
    bool locked = false;
    bool aside = false;  // unnamed: gone when closed, unless linked
  };

  OsHandle Hold(const std::string& name, OsAccess access, bool aside);
  File& At(OsHandle handle) { return files.at(handles_.at(handle).name); }
  int IdOf(File& file) { return file.id != 0 ? file.id : file.id = next_id_++; }

  // Records the call; true when it is to fail, with the code stored.
  bool Injected(const std::string& call, std::uint16_t* code);
  std::size_t Allowed(std::size_t size) const;
  // What is at `path`, following links or not; nullptr when nothing is.
  File* Find(const std::string& path, bool follow);

  std::map<int, std::uint16_t> failures_;
  std::map<int, std::size_t> short_calls_;
  int exhausted_at_ = 0;
  int change_at_ = 0;
  std::string changed_name_;
  std::string replace_before_;
  std::string replaced_name_;
  std::string replaced_link_;
  bool settled_ = false;
  std::map<std::string, int> durable_names_;
  std::map<int, std::string> durable_data_;
  int next_id_ = 1;
  unsigned tickets_ = 0;
  int unnamed_made_ = 0;  // named "#1", "#2", ... in their folder
  std::map<OsHandle, Open_> handles_;
  OsHandle next_handle_ = 3;
};

}  // namespace kestrel

#endif  // KESTREL_TESTS_SUPPORT_FAKE_OS_H_
