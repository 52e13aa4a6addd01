// An in-memory file system behind the OS seam, with failures on demand.
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
    bool held_elsewhere = false;  // another program has it open
    int writes = 0;               // write calls that reached it
    int id = 0;                   // which file it is; 0 until first opened
    int changes = 0;              // its modification time, in changes
    std::string link_to;          // a link: the name of the file it leads to
  };

  std::map<std::string, File> files;
  // One entry per call: "open kestrel.hex", "read 3 256", "close 3", ...
  std::vector<std::string> calls;

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

  int open_handles() const { return static_cast<int>(handles_.size()); }

  OsHandle Open(const std::string& name, OsAccess access,
                std::uint16_t* code) override;
  OsHandle OpenCopy(const std::string& name, OsCopyPlace* place,
                    std::uint16_t* code) override;
  bool Lock(OsHandle handle, std::uint16_t* code) override;
  bool Truncate(OsHandle handle, std::uint16_t* code) override;
  bool Stat(OsHandle handle, OsFileInfo* info, std::uint16_t* code) override;
  bool SpelledAlike(OsHandle, const std::string&) override { return false; }
  bool Remove(OsHandle handle, const std::string& path,
              std::uint16_t* code) override;
  OsHandle CreateAside(const std::string& path, const OsFileInfo* like,
                       std::uint16_t* code) override;
  bool PutInPlace(OsHandle aside, const std::string& path,
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
    bool aside = false;  // gone when closed, unless put in place
  };

  OsHandle Hold(const std::string& name, OsAccess access, bool aside);

  // Records the call; true when it is to fail, with the code stored.
  bool Injected(const std::string& call, std::uint16_t* code);
  std::size_t Allowed(std::size_t size) const;
  static void Describe(const File& file, OsFileInfo* info);

  std::map<int, std::uint16_t> failures_;
  std::map<int, std::size_t> short_calls_;
  int exhausted_at_ = 0;
  int change_at_ = 0;
  std::string changed_name_;
  int next_id_ = 1;
  std::map<OsHandle, Open_> handles_;
  OsHandle next_handle_ = 3;
};

}  // namespace kestrel

#endif  // KESTREL_TESTS_SUPPORT_FAKE_OS_H_
