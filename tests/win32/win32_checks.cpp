// Checks of the Windows build's own pieces, run under wine: the error
// mapping and the splitting of the command line as Windows hands it over.
// GoogleTest is not built for the cross compiler, so this counts by hand.
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "runtime/arguments.h"
#include "runtime/exit_status.h"
#include "runtime/failure_codes.h"
#include "runtime/os.h"
#include "runtime/process.h"
#include "runtime/standard_streams.h"

namespace {

int passed = 0;
int failed = 0;

template <typename A, typename B>
void Check(const A& actual, const B& expected, const std::string& what) {
  if (actual == expected) {
    ++passed;
  } else {
    ++failed;
    std::printf("FAILED: %s\n", what.c_str());
  }
}

using Words = std::vector<std::string>;

}  // namespace

// Runs this program again as `how` ("fault", "wild"), which faults inside
// the tool's runtime; the report it writes to standard output, and its
// exit status.
std::string RunFaultingCopy(const std::string& how, DWORD* status) {
  SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
  HANDLE read_end = nullptr;
  HANDLE write_end = nullptr;
  CreatePipe(&read_end, &write_end, &inherit, 0);
  SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = write_end;
  startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  char program[MAX_PATH] = {};
  GetModuleFileNameA(nullptr, program, MAX_PATH);
  std::string command = std::string("\"") + program + "\" " + how;
  PROCESS_INFORMATION process = {};
  if (!CreateProcessA(nullptr, command.data(), nullptr, nullptr, TRUE, 0,
                      nullptr, nullptr, &startup, &process)) {
    return "";
  }
  CloseHandle(write_end);
  std::string output;
  char buffer[4096];
  DWORD got = 0;
  while (ReadFile(read_end, buffer, sizeof buffer, &got, nullptr) && got > 0) {
    output.append(buffer, got);
  }
  WaitForSingleObject(process.hProcess, INFINITE);
  GetExitCodeProcess(process.hProcess, status);
  CloseHandle(process.hProcess);
  CloseHandle(process.hThread);
  CloseHandle(read_end);
  return output;
}

__attribute__((noinline)) int Fault() {
  volatile int* nowhere = nullptr;
  *nowhere = 1;
  return 0;
}

// A jump to a wild address, as a smashed return address makes.
__attribute__((noinline)) int WildJump() {
  int (*volatile wild)() =
      reinterpret_cast<int (*)()>(std::uintptr_t{0xDEADBEEF});
  return wild();
}

// A fault on another thread than the main one, as in a control handler,
// while the main thread goes on writing lines and would end with 73.
DWORD WINAPI FaultLater(void* started) {
  SetEvent(started);
  return static_cast<DWORD>(Fault());
}

int FaultBesideTheMainThread() {
  HANDLE started = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  CreateThread(nullptr, 0, FaultLater, started, 0, nullptr);
  WaitForSingleObject(started, INFINITE);
  for (ULONGLONG end = GetTickCount64() + 3000; GetTickCount64() < end;)
    kestrel::platform::WriteStandardOutput("main\r\n", 6);
  return kestrel::kStatusCantCreate;
}

bool IsAddressLine(const std::string& line) {
  return line.size() == 12 && line.compare(0, 4, "  0x") == 0 &&
         line.find_first_not_of("0123456789ABCDEF", 4) == std::string::npos;
}

int main(int argc, char** argv) {
  if (argc > 1 && std::string(argv[1]) == "fault") {
    kestrel::StartTool(argc, argv);
    kestrel::EndProcess(Fault());
  }
  if (argc > 1 && std::string(argv[1]) == "wild") {
    kestrel::StartTool(argc, argv);
    kestrel::EndProcess(WildJump());
  }
  if (argc > 1 && std::string(argv[1]) == "thread") {
    kestrel::StartTool(argc, argv);
    kestrel::EndProcess(FaultBesideTheMainThread());
  }

  // The tool says its version to Properties and to a test executive.
  std::string version;
  if (argc > 1) {
    DWORD size = GetFileVersionInfoSizeA(argv[1], nullptr);
    std::vector<char> info(size);
    VS_FIXEDFILEINFO* fixed = nullptr;
    char* text = nullptr;
    UINT length = 0;
    if (size > 0 && GetFileVersionInfoA(argv[1], 0, size, info.data()) &&
        VerQueryValueA(info.data(), "\\", reinterpret_cast<void**>(&fixed),
                       &length) &&
        VerQueryValueA(info.data(),
                       "\\StringFileInfo\\040904B0\\ProductVersion",
                       reinterpret_cast<void**>(&text), &length)) {
      version = std::to_string(HIWORD(fixed->dwFileVersionMS)) + "." +
                std::to_string(LOWORD(fixed->dwFileVersionMS)) + "." +
                std::to_string(HIWORD(fixed->dwFileVersionLS)) + " " + text;
    }
  }
  Check(version, std::string(KESTREL_VERSION " " KESTREL_VERSION),
        "kestrel.exe gives its version, seen \"" + version + "\"");

  using kestrel::IoCodeFromSystemError;
  Check(IoCodeFromSystemError(ERROR_FILE_NOT_FOUND), kestrel::kFileNotFound,
        "missing file is 2");
  Check(IoCodeFromSystemError(ERROR_PATH_NOT_FOUND), kestrel::kPathNotFound,
        "missing folder is 3");
  Check(IoCodeFromSystemError(ERROR_TOO_MANY_OPEN_FILES),
        kestrel::kTooManyOpenFiles, "too many files is 4");
  Check(IoCodeFromSystemError(ERROR_ACCESS_DENIED), kestrel::kAccessDenied,
        "access denied is 5");
  Check(IoCodeFromSystemError(ERROR_INVALID_HANDLE), kestrel::kInvalidHandle,
        "bad handle is 6");
  Check(IoCodeFromSystemError(ERROR_SHARING_VIOLATION), kestrel::kAccessDenied,
        "sharing violation is 5");
  Check(IoCodeFromSystemError(ERROR_WRITE_PROTECT), kestrel::kWriteProtected,
        "19 becomes 150");
  Check(IoCodeFromSystemError(ERROR_GEN_FAILURE), kestrel::kGeneralFailure,
        "31 becomes 162");
  Check(IoCodeFromSystemError(18), 18, "18 passes unchanged");
  Check(IoCodeFromSystemError(ERROR_LOCK_VIOLATION), 33, "33 passes unchanged");
  Check(IoCodeFromSystemError(ERROR_DISK_FULL), 112, "112 passes unchanged");
  Check(IoCodeFromSystemError(ERROR_ALREADY_EXISTS), kestrel::kFileExists,
        "a name taken is 80, as a link or a rename says it too");

  using kestrel::SplitCommandLine;
  Check(SplitCommandLine("C:\\tools\\kestrel.exe \"my image.hex\" 001.234.567"),
        Words{"C:\\tools\\kestrel.exe", "my image.hex", "001.234.567"},
        "quoted blank");
  Check(SplitCommandLine("\"C:\\Program Files\\kestrel.exe\"'a b'c"),
        Words{"C:\\Program Files\\kestrel.exe", "a b", "c"},
        "quotes back to back");
  Check(SplitCommandLine("k a\\\"b \"\""), Words{"k", "a\\\"b", ""},
        "no escapes");

  // A processor fault inside the tool, or a jump out of it to a wild
  // address, gives the unhandled-failure report with the fault's address
  // and the frames that led to it; on another thread too, and then the
  // main thread writes nothing more and ends nothing.
  for (const char* how : {"fault", "wild", "thread"}) {
    DWORD status = 0;
    std::string report = RunFaultingCopy(how, &status);
    Check(status, DWORD{kestrel::kStatusUnhandled},
          std::string(how) + ": ends with status 217");
    std::vector<std::string> lines;
    for (std::size_t at = 0, end;
         (end = report.find("\r\n", at)) != std::string::npos; at = end + 2) {
      lines.push_back(report.substr(at, end - at));
    }
    while (!lines.empty() && lines.front() == "main")
      lines.erase(lines.begin());
    bool shaped =
        lines.size() >= 5 &&
        lines[0].compare(0, 37, "An unhandled exception occurred at 0x") == 0 &&
        lines[0].size() == 47 && lines[1] == "Access violation" &&
        lines[2] == "  0x" + lines[0].substr(37, 8) && lines.back().empty();
    for (std::size_t i = 2; shaped && i + 1 < lines.size(); ++i) {
      shaped = IsAddressLine(lines[i]);
    }
    Check(shaped, true,
          std::string(how) + ": the report has its address and frame lines");
    if (!shaped) std::printf("%s", report.c_str());
  }

  std::printf("%d passed, %d failed\n", passed, failed);
  return failed == 0 ? 0 : 1;
}
