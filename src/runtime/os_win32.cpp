#include <windows.h>
#include <winternl.h>

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
  // A link or a rename onto a name taken says so as a create does.
  if (error == ERROR_ALREADY_EXISTS) return kFileExists;
  // A refusal that left no error number must not read as success.
  if (error == 0 || error > 0xFFFF) return kGeneralFailure;
  return static_cast<std::uint16_t>(error);
}

namespace {

HANDLE AsHandle(OsHandle handle) { return reinterpret_cast<HANDLE>(handle); }
OsHandle AsOsHandle(HANDLE handle) {
  return reinterpret_cast<OsHandle>(handle);
}

bool Failed(std::uint16_t* code) {
  *code = IoCodeFromSystemError(GetLastError());
  return false;
}

OsHandle NoHandle(std::uint16_t* code) {
  Failed(code);
  return kNoHandle;
}

// Held while a copy is put in place: a control handler about to end the
// process waits for it, so that the copy is whole under its name or gone.
SRWLOCK placing = SRWLOCK_INIT;

// The copy on its way. Where the file system has hard links it is created
// to be deleted when closed, a mark that nothing can take back, and gets
// its name as a second link: a kill at any moment leaves the old copy, no
// copy or the new one whole, never the hidden one. Elsewhere (FAT, exFAT)
// the mark is set after the create and taken off for each try of the
// rename.
struct Aside {
  HANDLE handle = INVALID_HANDLE_VALUE;
  std::wstring path;  // its hidden name, in full
  bool linked = false;
  bool copied = false;  // put in place as a copy of itself, flushed
} aside;

// A path the tool was given or built, in full and wide, in the form that
// no length limit applies to: never through the ANSI code page, so a
// working folder named in letters outside it, or longer than MAX_PATH
// with the copy's name added, is reached as it is. "" is the working
// folder. A device name (NUL, CON) stays as Windows spells it.
std::wstring FullPath(const std::string& path) {
  std::string given = path.empty() ? "." : path;
  int length = MultiByteToWideChar(CP_ACP, 0, given.c_str(), -1, nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(length > 0 ? length : 1), L'\0');
  MultiByteToWideChar(CP_ACP, 0, given.c_str(), -1, wide.data(), length);
  std::wstring full(MAX_PATH, L'\0');
  DWORD size = 0;
  while ((size = GetFullPathNameW(wide.c_str(), static_cast<DWORD>(full.size()),
                                  full.data(), nullptr)) >= full.size()) {
    full.resize(size);
  }
  if (size == 0) return wide.c_str();
  full.resize(size);
  if (full.compare(0, 4, L"\\\\?\\") == 0 ||
      full.compare(0, 4, L"\\\\.\\") == 0)
    return full;
  if (full.compare(0, 2, L"\\\\") == 0) return L"\\\\?\\UNC\\" + full.substr(2);
  return L"\\\\?\\" + full;
}

// Windows refuses write access to a read-only file by itself; wine run by
// root would not, so the attribute is asked for first.
bool ReadOnly(HANDLE handle) {
  FILE_BASIC_INFO basic;
  return GetFileInformationByHandleEx(handle, FileBasicInfo, &basic,
                                      sizeof basic) &&
         (basic.FileAttributes & FILE_ATTRIBUTE_READONLY) != 0;
}

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

bool Describe(HANDLE handle, OsFileInfo* info, std::uint16_t* code) {
  *info = OsFileInfo();
  DWORD type = GetFileType(handle);
  if (type == FILE_TYPE_CHAR) {
    info->type = OsFileType::kCharacterDevice;
    return true;
  }
  if (type != FILE_TYPE_DISK) {
    info->type = OsFileType::kOther;
    return true;
  }
  BY_HANDLE_FILE_INFORMATION file;
  FILE_BASIC_INFO times;
  if (!GetFileInformationByHandle(handle, &file) ||
      !GetFileInformationByHandleEx(handle, FileBasicInfo, &times,
                                    sizeof times)) {
    return Failed(code);
  }
  info->type = (file.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0
                   ? OsFileType::kFolder
                   : OsFileType::kDisk;
  info->device = file.dwVolumeSerialNumber;
  info->inode = (std::uint64_t{file.nFileIndexHigh} << 32) | file.nFileIndexLow;
  info->size = (std::uint64_t{file.nFileSizeHigh} << 32) | file.nFileSizeLow;
  info->modified = times.LastWriteTime.QuadPart;
  info->changed = times.ChangeTime.QuadPart;
  return true;
}

// True where the file's volume gives a file a second name: NTFS does, FAT
// and exFAT, which USB sticks come with, do not. Wine names every volume
// NTFS without the flag.
bool HardLinks(HANDLE handle) {
  wchar_t system[MAX_PATH + 1] = {};
  DWORD flags = 0;
  return GetVolumeInformationByHandleW(handle, nullptr, 0, nullptr, nullptr,
                                       &flags, system, MAX_PATH + 1) &&
         ((flags & FILE_SUPPORTS_HARD_LINKS) != 0 ||
          std::wstring(system) == L"NTFS");
}

// Gives the open file the name `path` (a full path), never over another
// file: as a second link, or by renaming it.
bool Name(HANDLE handle, const std::wstring& path, bool link) {
  // The native name of \\?\C:\... is \??\C:\...
  std::wstring target = link ? L"\\??\\" + path.substr(4) : path;
  std::vector<char> buffer(sizeof(FILE_RENAME_INFO) +
                           target.size() * sizeof(WCHAR));
  auto* rename = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
  rename->ReplaceIfExists = FALSE;
  rename->RootDirectory = nullptr;
  rename->FileNameLength = static_cast<DWORD>(target.size() * sizeof(WCHAR));
  target.copy(rename->FileName, target.size());
  if (!link) {
    return SetFileInformationByHandle(handle, FileRenameInfo, rename,
                                      static_cast<DWORD>(buffer.size())) != 0;
  }
  // A second name is given only through ntdll, which every process has.
  using SetInformation = NTSTATUS(NTAPI*)(HANDLE, PIO_STATUS_BLOCK, PVOID,
                                          ULONG, FILE_INFORMATION_CLASS);
  using ToDosError = ULONG(NTAPI*)(NTSTATUS);
  HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  auto set = reinterpret_cast<SetInformation>(
      reinterpret_cast<void*>(GetProcAddress(ntdll, "NtSetInformationFile")));
  auto to_dos = reinterpret_cast<ToDosError>(
      reinterpret_cast<void*>(GetProcAddress(ntdll, "RtlNtStatusToDosError")));
  if (set == nullptr || to_dos == nullptr) return false;
  IO_STATUS_BLOCK status;
  constexpr auto kFileLinkInformation = static_cast<FILE_INFORMATION_CLASS>(11);
  NTSTATUS result =
      set(handle, &status, rename, static_cast<ULONG>(buffer.size()),
          kFileLinkInformation);
  if (result >= 0) return true;
  SetLastError(to_dos(result));
  return false;
}

// Takes the hidden mark off the file, never after it has its name, and
// gives it the name `path`. A name whose file is being deleted while a
// virus scanner or an indexer still holds it is waited out for a second,
// as Windows' own tools do. A file renamed rather than linked is marked
// for deletion again between the tries.
bool Place(HANDLE file, const std::wstring& path, bool link) {
  FILE_BASIC_INFO now = {};
  FILE_BASIC_INFO shown = {};  // times left at 0 stay as they are
  if (!GetFileInformationByHandleEx(file, FileBasicInfo, &now, sizeof now))
    return false;
  shown.FileAttributes = now.FileAttributes & ~DWORD{FILE_ATTRIBUTE_HIDDEN};
  if (shown.FileAttributes == 0) shown.FileAttributes = FILE_ATTRIBUTE_NORMAL;
  if (!SetFileInformationByHandle(file, FileBasicInfo, &shown, sizeof shown))
    return false;
  for (int attempt = 0;; ++attempt) {
    if ((link || MarkForDeletion(file, false)) && Name(file, path, link))
      return true;
    DWORD error = GetLastError();
    if (!link) MarkForDeletion(file, true);
    SetLastError(error);
    if ((error != ERROR_SHARING_VIOLATION && error != ERROR_ACCESS_DENIED) ||
        attempt == 20) {
      return false;
    }
    Sleep(50);
  }
}

// Copies the copy on its way into a file under another number of its
// hidden name, so that a run after a kill sweeps it too, marked for
// deletion as soon as it exists, and renames that.
bool PlaceCopy(HANDLE file, const std::wstring& path) {
  std::wstring hidden = aside.path;
  std::size_t number = hidden.rfind(L'.') + 1;
  std::size_t width = hidden.size() - number;
  HANDLE copy = INVALID_HANDLE_VALUE;
  for (int attempt = 0; copy == INVALID_HANDLE_VALUE && attempt < 100;
       ++attempt) {
    std::wstring digits = std::to_wstring(AsideNumber(
        static_cast<unsigned>(GetTickCount64()), GetCurrentProcessId()));
    if (digits.size() < width) digits.insert(0, width - digits.size(), L'0');
    hidden.replace(number, std::wstring::npos, digits);
    copy = CreateFileW(hidden.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE,
                       FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                       FILE_ATTRIBUTE_HIDDEN, nullptr);
    if (copy == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_EXISTS)
      return false;
  }
  if (copy == INVALID_HANDLE_VALUE || !MarkForDeletion(copy, true)) {
    DWORD error = GetLastError();
    if (copy != INVALID_HANDLE_VALUE) CloseHandle(copy);
    SetLastError(error);
    return false;
  }
  std::vector<char> block(1 << 16);
  DWORD got = 0;
  DWORD put = 0;
  bool copied = SetFilePointer(file, 0, nullptr, FILE_BEGIN) == 0;
  while (
      copied &&
      (copied = ReadFile(file, block.data(), static_cast<DWORD>(block.size()),
                         &got, nullptr) != 0) &&
      got > 0) {
    copied = WriteFile(copy, block.data(), got, &put, nullptr) && put == got;
  }
  bool placed = copied && FlushFileBuffers(copy) && Place(copy, path, false);
  // The new name made durable, or gone with the file.
  if (placed && !FlushFileBuffers(copy)) {
    placed = false;
    DWORD error = GetLastError();
    MarkForDeletion(copy, true);
    SetLastError(error);
  }
  DWORD error = GetLastError();
  CloseHandle(copy);
  SetLastError(error);
  return placed;
}

class Win32Os final : public Os {
 public:
  // Share mode 0 holds the file for this open alone, so Lock has nothing
  // left to do. An image is a disk file: CON, AUX or COM1 would be read
  // from forever. Its name is opened as the command line gave it.
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

  // A link not followed is looked at as a file of its own, which the copy
  // replaces (wine follows every link all the same). A file another
  // program holds is looked at all the same.
  bool Look(const std::string& path, bool follow, OsFileInfo* info,
            std::uint16_t* code) override {
    HANDLE handle =
        CreateFileW(FullPath(path).c_str(), FILE_READ_ATTRIBUTES,
                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING,
                    FILE_FLAG_BACKUP_SEMANTICS |
                        (follow ? 0 : FILE_FLAG_OPEN_REPARSE_POINT),
                    nullptr);
    if (handle == INVALID_HANDLE_VALUE) return Failed(code);
    bool ok = Describe(handle, info, code);
    CloseHandle(handle);
    return ok;
  }

  bool ReadLink(const std::string&, std::string*,
                std::uint16_t* code) override {
    *code = kNotSupported;
    return false;
  }

  bool FoldsCase(const std::string&, bool* folds, std::uint16_t*) override {
    *folds = true;
    return true;
  }

  // Names the code page cannot spell are left out: the tool makes none.
  bool ListFolder(const std::string& folder, std::vector<std::string>* names,
                  std::uint16_t* code) override {
    names->clear();
    // A \\?\ path is taken as written: one separator before the *.
    std::wstring pattern = FullPath(folder);
    if (pattern.back() != L'\\') pattern += L'\\';
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileExW((pattern + L"*").c_str(), FindExInfoBasic,
                                     &found, FindExSearchNameMatch, nullptr, 0);
    if (search == INVALID_HANDLE_VALUE) return Failed(code);
    do {
      char name[4 * MAX_PATH];
      BOOL missing = FALSE;
      int length =
          WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, found.cFileName, -1,
                              name, sizeof name, nullptr, &missing);
      std::string narrow(name, length > 0 ? length - 1 : 0);
      if (length > 0 && !missing && narrow != "." && narrow != "..")
        names->push_back(narrow);
    } while (FindNextFileW(search, &found));
    FindClose(search);
    return true;
  }

  std::uint32_t UserId() override { return 0; }

  unsigned Ticket() override {
    return AsideNumber(static_cast<unsigned>(GetTickCount64()),
                       GetCurrentProcessId());
  }

  // Held without sharing, which SMB servers enforce between stations too,
  // and deleted when closed, however the process ends.
  OsHandle TakeLock(const std::string& path, std::uint16_t* code) override {
    HANDLE handle = CreateFileW(
        FullPath(path).c_str(), GENERIC_READ | GENERIC_WRITE | DELETE, 0,
        nullptr, OPEN_ALWAYS,
        FILE_ATTRIBUTE_HIDDEN | FILE_FLAG_DELETE_ON_CLOSE |
            FILE_FLAG_OPEN_REPARSE_POINT,
        nullptr);
    return handle != INVALID_HANDLE_VALUE ? AsOsHandle(handle) : NoHandle(code);
  }

  bool DropLock(OsHandle lock, const std::string&,
                std::uint16_t* code) override {
    return CloseHandle(AsHandle(lock)) || Failed(code);
  }

  // The old copy, a link itself rather than what it leads to, is held
  // without sharing until it is removed, so another program's hold refuses
  // it; a device (NUL) takes the copy as it comes, a pipe does not. Stat reads
  // its attributes, a right of its own.
  OsHandle OpenCopy(const std::string& path, std::uint16_t* code) override {
    HANDLE handle = CreateFileW(
        FullPath(path).c_str(), GENERIC_WRITE | DELETE | FILE_READ_ATTRIBUTES,
        0, nullptr, OPEN_EXISTING,
        FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle != INVALID_HANDLE_VALUE &&
        GetFileType(handle) == FILE_TYPE_DISK && ReadOnly(handle)) {
      CloseHandle(handle);
      *code = kAccessDenied;
      return kNoHandle;
    }
    return Opened(handle, true, code);
  }

  bool Lock(OsHandle, std::uint16_t*) override { return true; }

  bool Stat(OsHandle handle, OsFileInfo* info, std::uint16_t* code) override {
    return Describe(AsHandle(handle), info, code);
  }

  // A file held open goes by its handle, at its close. The new copy's
  // second name, held by the same handle, goes by its name.
  bool Remove(OsHandle handle, const std::string& path,
              std::uint16_t* code) override {
    std::wstring full = FullPath(path);
    if (handle == kNoHandle ||
        (AsHandle(handle) == aside.handle && full != aside.path)) {
      return DeleteFileW(full.c_str()) || Failed(code);
    }
    return MarkForDeletion(AsHandle(handle), true) || Failed(code);
  }

  OsHandle CreateUnnamed(const std::string&, std::uint16_t* code) override {
    *code = kNotSupported;
    return kNoHandle;
  }

  // Shared for deletion alone, so that its second name can be removed
  // while it is held.
  OsHandle CreateHidden(const std::string& path, std::uint16_t* code) override {
    std::wstring full = FullPath(path);
    for (bool linked : {true, false}) {
      HANDLE handle = CreateFileW(
          full.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE,
          FILE_SHARE_DELETE, nullptr, CREATE_NEW,
          FILE_ATTRIBUTE_HIDDEN | (linked ? FILE_FLAG_DELETE_ON_CLOSE : 0),
          nullptr);
      if (handle == INVALID_HANDLE_VALUE) return NoHandle(code);
      if (linked && !HardLinks(handle)) {
        CloseHandle(handle);
        continue;
      }
      if (!linked && !MarkForDeletion(handle, true)) {
        Failed(code);
        CloseHandle(handle);
        return kNoHandle;
      }
      aside = {handle, full, linked};
      return AsOsHandle(handle);
    }
    return kNoHandle;
  }

  // Windows keeps neither owners nor permission bits to carry over.
  bool SetOwner(OsHandle, std::uint32_t, std::uint32_t,
                std::uint16_t*) override {
    return true;
  }
  bool SetMode(OsHandle, std::uint32_t, std::uint16_t*) override {
    return true;
  }

  bool SyncData(OsHandle handle, std::uint16_t* code) override {
    return FlushFileBuffers(AsHandle(handle)) || Failed(code);
  }

  bool Link(OsHandle, const std::string&, std::uint16_t* code) override {
    *code = kNotSupported;
    return false;
  }

  // Where a volume that says it has hard links has none (wine calls every
  // volume NTFS, and so does a Samba share on a FAT disk), the copy is
  // made again as a copy that is renamed.
  bool Rename(OsHandle handle, const std::string&, const std::string& path,
              std::uint16_t* code) override {
    HANDLE file = AsHandle(handle);
    bool linked = file == aside.handle && aside.linked;
    std::wstring full = FullPath(path);
    AcquireSRWLockExclusive(&placing);
    bool named = Place(file, full, linked);
    DWORD error = GetLastError();
    if (!named && linked && error != ERROR_ALREADY_EXISTS) {
      named = aside.copied = PlaceCopy(file, full);
      error = GetLastError();
    }
    if (!named) *code = IoCodeFromSystemError(error);
    ReleaseSRWLockExclusive(&placing);
    return named;
  }

  // What NTFS offers to make a new name durable: the file's own flush,
  // which writes out its entries in the folder with it.
  bool SyncFolder(const std::string&, OsHandle handle,
                  std::uint16_t* code) override {
    if (AsHandle(handle) == aside.handle && aside.copied) return true;
    return FlushFileBuffers(AsHandle(handle)) || Failed(code);
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
    if (AsHandle(handle) == aside.handle) aside = Aside();
    return CloseHandle(AsHandle(handle)) || Failed(code);
  }

 private:
  // An image must be a disk file; a copy may be a device, not a pipe.
  static OsHandle Opened(HANDLE handle, bool copy, std::uint16_t* code) {
    if (handle == INVALID_HANDLE_VALUE) return NoHandle(code);
    DWORD type = GetFileType(handle);
    if (copy ? type == FILE_TYPE_PIPE : type != FILE_TYPE_DISK) {
      CloseHandle(handle);
      *code = kAccessDenied;
      return kNoHandle;
    }
    return AsOsHandle(handle);
  }
};

}  // namespace

Os& PlatformOs() {
  static Win32Os os;
  return os;
}

void platform::FreezeCopy() { AcquireSRWLockExclusive(&placing); }

}  // namespace kestrel
