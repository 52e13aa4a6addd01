// Runs the guide's batch file under cmd as a station does, with a flasher
// stand-in that keeps what it was given, and checks that the board is
// flashed after a good stamp only: not after a refused serial number, nor
// after Ctrl+Break ends kestrel mid-copy. Run under wine in a terminal:
//   batch_example PATH\TO\kestrel.exe PATH\TO\stamp.cmd
#include <windows.h>
// After windows.h, which it needs.
#include <tlhelp32.h>

#include <cstdio>
#include <string>

namespace {

void Write(const char* name, const std::string& bytes) {
  HANDLE file =
      CreateFileA(name, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  DWORD put = 0;
  WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &put,
            nullptr);
  CloseHandle(file);
}

// The kestrel.exe that `parent` started, or 0.
DWORD ChildOf(DWORD parent) {
  HANDLE all = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  PROCESSENTRY32 entry = {};
  entry.dwSize = sizeof entry;
  DWORD child = 0;
  for (BOOL more = Process32First(all, &entry); more && !child;
       more = Process32Next(all, &entry)) {
    if (entry.th32ParentProcessID == parent &&
        lstrcmpiA(entry.szExeFile, "kestrel.exe") == 0) {
      child = entry.th32ProcessID;
    }
  }
  CloseHandle(all);
  return child;
}

// True once a copy on its way has bytes in it.
bool CopyUnderWay() {
  WIN32_FIND_DATAA found;
  HANDLE search = FindFirstFileA(".kestrel.bin.*", &found);
  bool bytes = false;
  for (BOOL more = search != INVALID_HANDLE_VALUE; more && !bytes;
       more = FindNextFileA(search, &found)) {
    bytes = found.nFileSizeLow > 0;
  }
  if (search != INVALID_HANDLE_VALUE) FindClose(search);
  return bytes;
}

// Runs the batch file; with `interrupted`, sends kestrel Ctrl+Break as
// Windows delivers it (a thread started at CtrlRoutine) once it copies.
long RunBatch(const std::string& arguments, bool interrupted) {
  std::string command = "cmd /c stamp.cmd " + arguments;
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION batch = {};
  if (!CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0,
                      nullptr, nullptr, &startup, &batch)) {
    return -1;
  }
  DWORD tool = 0;
  for (int i = 0; interrupted && i < 5000 && !(tool && CopyUnderWay()); ++i) {
    Sleep(2);
    tool = ChildOf(batch.dwProcessId);
  }
  if (HANDLE process = OpenProcess(PROCESS_ALL_ACCESS, FALSE, tool)) {
    auto routine =
        reinterpret_cast<LPTHREAD_START_ROUTINE>(reinterpret_cast<void*>(
            GetProcAddress(GetModuleHandleA("kernelbase.dll"), "CtrlRoutine")));
    CloseHandle(CreateRemoteThread(
        process, nullptr, 0, routine,
        reinterpret_cast<void*>(static_cast<DWORD_PTR>(CTRL_BREAK_EVENT)), 0,
        nullptr));
    CloseHandle(process);
  }
  DWORD status = 1;
  WaitForSingleObject(batch.hProcess, 60000);
  GetExitCodeProcess(batch.hProcess, &status);
  CloseHandle(batch.hProcess);
  CloseHandle(batch.hThread);
  return static_cast<long>(status);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::printf("usage: batch_example KESTREL_EXE STAMP_CMD\n");
    return 2;
  }
  char folder[MAX_PATH];
  char* name = nullptr;
  GetFullPathNameA(argv[1], MAX_PATH, folder, &name);
  *name = '\0';
  char path[32767];
  GetEnvironmentVariableA("PATH", path, sizeof path);
  SetEnvironmentVariableA("PATH", (std::string(folder) + ";" + path).c_str());
  CopyFileA(argv[2], "stamp.cmd", FALSE);
  Write("flash-board.cmd", "@type %1 > flashed\r\n");
  Write("board.bin", std::string(8 << 20, 'b'));
  const struct {
    const char* arguments;
    bool interrupted, flashed;
  } cases[] = {{"board.bin 001234567", false, true},
               {"board.bin 12345", false, false},
               {"board.bin 001234567", true, false}};
  int failed = 0;
  for (const auto& c : cases) {
    Write("kestrel.bin", "an earlier board's");
    DeleteFileA("flashed");
    long status = RunBatch(c.arguments, c.interrupted);
    bool flashed = GetFileAttributesA("flashed") != INVALID_FILE_ATTRIBUTES;
    if ((status == 0) != c.flashed || flashed != c.flashed) {
      ++failed;
      std::printf("FAILED: %s%s: status %ld, %s\n", c.arguments,
                  c.interrupted ? " and Ctrl+Break" : "", status,
                  flashed ? "flashed" : "not flashed");
    }
  }
  std::printf("%d of 3 failed\n", failed);
  return failed == 0 ? 0 : 1;
}
