#include <windows.h>

#include "runtime/failure_codes.h"
#include "runtime/os.h"

namespace kestrel {

std::uint16_t IoCodeFromSystemError(unsigned long error) {
  if (error >= ERROR_WRITE_PROTECT && error <= ERROR_GEN_FAILURE) {
    return static_cast<std::uint16_t>(kWriteProtected +
                                      (error - ERROR_WRITE_PROTECT));
  }
  if (error == ERROR_SHARING_VIOLATION) return kAccessDenied;
  // A refusal that left no error number must not read as success.
  if (error == 0 || error > 0xFFFF) return kGeneralFailure;
  return static_cast<std::uint16_t>(error);
}

namespace {

HANDLE AsHandle(OsHandle handle) { return reinterpret_cast<HANDLE>(handle); }

bool Failed(std::uint16_t* code) {
  *code = IoCodeFromSystemError(GetLastError());
  return false;
}

class Win32Os final : public Os {
 public:
  // Share mode 0 holds the file for this open alone, so Lock has nothing
  // left to do; a directory or a read-only file refuses write access with
  // ERROR_ACCESS_DENIED.
  OsHandle Open(const std::string& name, OsAccess access, bool create,
                bool* made, std::uint16_t* code) override {
    DWORD wanted = access == OsAccess::kRead    ? GENERIC_READ
                   : access == OsAccess::kWrite ? GENERIC_WRITE
                                                : GENERIC_READ | GENERIC_WRITE;
    // Windows refuses write access to a read-only file by itself; wine run
    // by root would not, so the attribute is asked for first.
    DWORD attributes = GetFileAttributesA(name.c_str());
    if (access != OsAccess::kRead && attributes != INVALID_FILE_ATTRIBUTES &&
        (attributes & FILE_ATTRIBUTE_READONLY) != 0) {
      *code = kAccessDenied;
      return kNoHandle;
    }
    HANDLE handle = CreateFileA(name.c_str(), wanted, 0, nullptr,
                                create ? OPEN_ALWAYS : OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
      Failed(code);
      return kNoHandle;
    }
    *made = create && GetLastError() != ERROR_ALREADY_EXISTS;
    // An image is a disk file: CON, AUX or COM1 would be read from forever.
    // An output may be a device (NUL), but not a pipe.
    DWORD type = GetFileType(handle);
    if (create ? type == FILE_TYPE_PIPE : type != FILE_TYPE_DISK) {
      CloseHandle(handle);
      if (*made) DeleteFileA(name.c_str());
      *made = false;
      *code = kAccessDenied;
      return kNoHandle;
    }
    return reinterpret_cast<OsHandle>(handle);
  }

  bool Lock(OsHandle, std::uint16_t*) override { return true; }

  bool Truncate(OsHandle handle, std::uint16_t* code) override {
    if (GetFileType(AsHandle(handle)) != FILE_TYPE_DISK) return true;
    return (SetFilePointer(AsHandle(handle), 0, nullptr, FILE_BEGIN) !=
                INVALID_SET_FILE_POINTER &&
            SetEndOfFile(AsHandle(handle))) ||
           Failed(code);
  }

  bool Stat(OsHandle handle, OsFileInfo* info, std::uint16_t* code) override {
    *info = OsFileInfo();
    if (GetFileType(AsHandle(handle)) == FILE_TYPE_CHAR) {
      info->type = OsFileType::kCharacterDevice;
      return true;
    }
    BY_HANDLE_FILE_INFORMATION file;
    FILE_BASIC_INFO times;
    if (!GetFileInformationByHandle(AsHandle(handle), &file) ||
        !GetFileInformationByHandleEx(AsHandle(handle), FileBasicInfo, &times,
                                      sizeof times)) {
      return Failed(code);
    }
    info->device = file.dwVolumeSerialNumber;
    info->inode =
        (std::uint64_t{file.nFileIndexHigh} << 32) | file.nFileIndexLow;
    info->size = (std::uint64_t{file.nFileSizeHigh} << 32) | file.nFileSizeLow;
    info->modified = times.LastWriteTime.QuadPart;
    info->changed = times.ChangeTime.QuadPart;
    return true;
  }

  // Asking for no access to the data meets no share mode, so even a file
  // this process holds can be looked at.
  bool StatName(const char* name, OsFileInfo* info,
                std::uint16_t* code) override {
    HANDLE handle = CreateFileA(
        name, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
        nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return Failed(code);
    bool ok = Stat(reinterpret_cast<OsHandle>(handle), info, code);
    CloseHandle(handle);
    return ok;
  }

  // The file must be closed first: it was opened without sharing.
  bool Remove(const char* name, const OsFileInfo* file,
              std::uint16_t* code) override {
    OsFileInfo now;
    if (file != nullptr &&
        (!StatName(name, &now, code) || !SameFile(now, *file))) {
      if (*code == 0) *code = kAccessDenied;
      return false;
    }
    return DeleteFileA(name) || Failed(code);
  }

  long Read(OsHandle handle, void* buffer, std::size_t size,
            std::uint16_t* code) override {
    DWORD got = 0;
    if (!ReadFile(AsHandle(handle), buffer, static_cast<DWORD>(size), &got,
                  nullptr)) {
      // A pipe whose writer has gone is at its end, not broken.
      if (GetLastError() == ERROR_BROKEN_PIPE) return 0;
      Failed(code);
      return -1;
    }
    return static_cast<long>(got);
  }

  long Write(OsHandle handle, const void* buffer, std::size_t size,
             std::uint16_t* code) override {
    DWORD put = 0;
    if (!WriteFile(AsHandle(handle), buffer, static_cast<DWORD>(size), &put,
                   nullptr)) {
      Failed(code);
      return -1;
    }
    return static_cast<long>(put);
  }

  bool Close(OsHandle handle, std::uint16_t* code) override {
    return CloseHandle(AsHandle(handle)) || Failed(code);
  }
};

}  // namespace

Os& PlatformOs() {
  static Win32Os os;
  return os;
}

}  // namespace kestrel
