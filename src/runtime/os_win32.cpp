#include <windows.h>

#include <string>
#include <vector>

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

// Held while a copy is put in place: a control handler about to end the
// process waits for it, so that the copy is whole under its name or gone.
SRWLOCK placing = SRWLOCK_INIT;

// Windows refuses write access to a read-only file by itself; wine run by
// root would not, so the attribute is asked for first.
bool ReadOnly(const std::string& name) {
  DWORD attributes = GetFileAttributesA(name.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES &&
         (attributes & FILE_ATTRIBUTE_READONLY) != 0;
}

bool MarkForDeletion(HANDLE handle, bool marked) {
  FILE_DISPOSITION_INFO disposition = {};
  disposition.DeleteFile = marked ? TRUE : FALSE;
  return SetFileInformationByHandle(handle, FileDispositionInfo, &disposition,
                                    sizeof disposition) != 0;
}

std::string FullPath(const std::string& name) {
  char path[MAX_PATH + 1];
  DWORD length = GetFullPathNameA(name.c_str(), sizeof path, path, nullptr);
  return length > 0 && length < sizeof path ? std::string(path, length) : name;
}

// Renames the open file to `path`, replacing what is there. A virus
// scanner or an indexer may hold the old file a moment: that is waited
// out for a second, as Windows' own tools do.
bool RenameOver(HANDLE handle, const std::string& path) {
  std::string full = FullPath(path);
  int length = MultiByteToWideChar(CP_ACP, 0, full.c_str(), -1, nullptr, 0);
  if (length <= 0) return false;
  std::vector<char> buffer(sizeof(FILE_RENAME_INFO) +
                           static_cast<std::size_t>(length) * sizeof(WCHAR));
  auto* rename = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
  rename->ReplaceIfExists = TRUE;
  rename->RootDirectory = nullptr;
  rename->FileNameLength = static_cast<DWORD>(length - 1) * sizeof(WCHAR);
  MultiByteToWideChar(CP_ACP, 0, full.c_str(), -1, rename->FileName, length);
  for (int attempt = 0;; ++attempt) {
    if (SetFileInformationByHandle(handle, FileRenameInfo, rename,
                                   static_cast<DWORD>(buffer.size()))) {
      return true;
    }
    DWORD error = GetLastError();
    if ((error != ERROR_SHARING_VIOLATION && error != ERROR_ACCESS_DENIED) ||
        attempt == 20) {
      return false;
    }
    Sleep(50);
  }
}

class Win32Os final : public Os {
 public:
  // Share mode 0 holds the file for this open alone, so Lock has nothing
  // left to do. An image is a disk file: CON, AUX or COM1 would be read
  // from forever.
  OsHandle Open(const std::string& name, OsAccess access,
                std::uint16_t* code) override {
    DWORD wanted = access == OsAccess::kRead    ? GENERIC_READ
                   : access == OsAccess::kWrite ? GENERIC_WRITE
                                                : GENERIC_READ | GENERIC_WRITE;
    if (access != OsAccess::kRead && ReadOnly(name)) {
      *code = kAccessDenied;
      return kNoHandle;
    }
    return Opened(CreateFileA(name.c_str(), wanted, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr),
                  false, code);
  }

  // The copy's place is its name: a link there would be replaced, not
  // followed. The old copy is held without sharing until it is removed,
  // so another program's hold refuses it; a device (NUL) takes the copy
  // as it comes, a pipe does not.
  OsHandle OpenCopy(const std::string& name, OsCopyPlace* place,
                    std::uint16_t* code) override {
    place->path = FullPath(name);
    place->linked = false;
    if (ReadOnly(name)) {
      *code = kAccessDenied;
      return kNoHandle;
    }
    return Opened(CreateFileA(name.c_str(), GENERIC_WRITE | DELETE, 0, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr),
                  true, code);
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

  // The image is held without sharing, which refuses the copy by itself.
  bool SpelledAlike(OsHandle, const std::string&) override { return false; }

  bool Remove(OsHandle handle, const std::string&,
              std::uint16_t* code) override {
    return MarkForDeletion(AsHandle(handle), true) || Failed(code);
  }

  // Hidden, and marked to be deleted when its handle is closed: a kill, a
  // closed window or a crash leaves nothing. Windows keeps no permission
  // bits to take over.
  OsHandle CreateAside(const std::string& path, const OsFileInfo*,
                       std::uint16_t* code) override {
    std::size_t slash = path.find_last_of("\\/");
    std::string folder =
        slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
    std::string base = path.substr(slash == std::string::npos ? 0 : slash + 1);
    HANDLE handle = INVALID_HANDLE_VALUE;
    for (int attempt = 0; attempt < 100; ++attempt) {
      char digits[8];
      wsprintfA(digits, "%06u",
                AsideNumber(static_cast<unsigned>(GetTickCount64()),
                            GetCurrentProcessId()));
      std::string name = folder + "." + base + "." + digits;
      handle =
          CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE, 0,
                      nullptr, CREATE_NEW, FILE_ATTRIBUTE_HIDDEN, nullptr);
      if (handle != INVALID_HANDLE_VALUE || GetLastError() != ERROR_FILE_EXISTS)
        break;
    }
    if (handle == INVALID_HANDLE_VALUE) {
      Failed(code);
      return kNoHandle;
    }
    if (!MarkForDeletion(handle, true)) {
      Failed(code);
      CloseHandle(handle);
      return kNoHandle;
    }
    return reinterpret_cast<OsHandle>(handle);
  }

  bool PutInPlace(OsHandle aside, const std::string& path,
                  std::uint16_t* code) override {
    HANDLE handle = AsHandle(aside);
    if (!FlushFileBuffers(handle)) return Failed(code);
    AcquireSRWLockExclusive(&placing);
    bool placed = MarkForDeletion(handle, false) && RenameOver(handle, path);
    if (placed) {
      FILE_BASIC_INFO basic = {};
      basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
      SetFileInformationByHandle(handle, FileBasicInfo, &basic, sizeof basic);
    } else {
      Failed(code);
      MarkForDeletion(handle, true);
    }
    ReleaseSRWLockExclusive(&placing);
    return placed;
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

 private:
  // An image must be a disk file; a copy may be a device, not a pipe.
  static OsHandle Opened(HANDLE handle, bool copy, std::uint16_t* code) {
    if (handle == INVALID_HANDLE_VALUE) {
      Failed(code);
      return kNoHandle;
    }
    DWORD type = GetFileType(handle);
    if (copy ? type == FILE_TYPE_PIPE : type != FILE_TYPE_DISK) {
      CloseHandle(handle);
      *code = kAccessDenied;
      return kNoHandle;
    }
    return reinterpret_cast<OsHandle>(handle);
  }
};

}  // namespace

Os& PlatformOs() {
  static Win32Os os;
  return os;
}

void platform::FreezeCopy() { AcquireSRWLockExclusive(&placing); }

}  // namespace kestrel
