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
                std::uint16_t* code) override {
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
    // An image is a disk file: CON, AUX or COM1 would be read from forever.
    // An output may be a device (NUL), but not a pipe.
    DWORD type = GetFileType(handle);
    if (create ? type == FILE_TYPE_PIPE : type != FILE_TYPE_DISK) {
      CloseHandle(handle);
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

  OsFileType Stat(OsHandle handle, std::uint16_t*) override {
    return GetFileType(AsHandle(handle)) == FILE_TYPE_CHAR
               ? OsFileType::kCharacterDevice
               : OsFileType::kDisk;
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
