// Runs the guide's batch file under cmd as a station does, with a flasher
// stand-in that notes each call: the board is flashed after a good stamp
// only, not after a refused serial number nor after Ctrl+Break ends
// kestrel. Run under wine in a terminal, kestrel.exe on PATH:
//   batch_example PATH\TO\stamp.cmd
#include <windows.h>
// After windows.h, which it needs.
#include <tlhelp32.h>

#include <cstdio>
#include <fstream>
#include <string>

namespace {

// The kestrel.exe that `batch` started, once it stamps (its lock file is
// there); or 0.
DWORD StampingTool(DWORD batch) {
  if (GetFileAttributesA(".kestrel.bin.lock") == INVALID_FILE_ATTRIBUTES) {
    return 0;
  }
  HANDLE all = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  PROCESSENTRY32 entry = {};
  entry.dwSize = sizeof entry;
  DWORD tool = 0;
  for (BOOL more = Process32First(all, &entry); more && !tool;
       more = Process32Next(all, &entry)) {
    if (entry.th32ParentProcessID == batch &&
        lstrcmpiA(entry.szExeFile, "kestrel.exe") == 0) {
      tool = entry.th32ProcessID;
    }
  }
  CloseHandle(all);
  return tool;
}

// Runs the batch file and gives its status; with `interrupted`, sends
// kestrel Ctrl+Break as Windows delivers it (a thread started at
// CtrlRoutine) while it stamps.
long RunBatch(std::string command, bool interrupted) {
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION batch = {};
  CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                 nullptr, &startup, &batch);
  DWORD tool = 0;
  for (int i = 0; interrupted && !tool && i < 10000; ++i) {
    Sleep(1);
    tool = StampingTool(batch.dwProcessId);
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
  return static_cast<long>(status);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2 || !CopyFileA(argv[1], "stamp.cmd", FALSE)) return 2;
  std::ofstream("flash-board.cmd") << "@echo %1 > flashed\n";
  std::ofstream("board.bin", std::ios::binary) << std::string(64 << 20, 'b');
  const struct {
    const char* serial;
    bool interrupted, flashed;
  } cases[] = {{"001234567", false, true},
               {"12345", false, false},
               {"001234567", true, false}};
  int failed = 0;
  for (const auto& c : cases) {
    std::ofstream("kestrel.bin") << "an earlier board's";
    DeleteFileA("flashed");
    long status = RunBatch(
        std::string("cmd /c stamp.cmd board.bin ") + c.serial, c.interrupted);
    bool flashed = GetFileAttributesA("flashed") != INVALID_FILE_ATTRIBUTES;
    if ((status == 0) != c.flashed || flashed != c.flashed) {
      ++failed;
      std::printf("FAILED: %s%s: status %ld, flashed %d\n", c.serial,
                  c.interrupted ? " and Ctrl+Break" : "", status, flashed);
    }
  }
  return failed == 0 ? 0 : 1;
}
