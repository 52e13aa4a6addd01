#include <dlfcn.h>
#include <execinfo.h>
#include <signal.h>
#include <sys/stat.h>
#include <ucontext.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "runtime/arguments.h"
#include "runtime/failure.h"
#include "runtime/os.h"
#include "runtime/process.h"

namespace kestrel {
namespace platform {

namespace {

constexpr int kMaxFrames = 258;

void WriteAll(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    ssize_t put = ::write(fd, data, size);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return;
    data += put;
    size -= static_cast<std::size_t>(put);
  }
}

// --- Processor faults -----------------------------------------------------
// The handler may run on a broken heap or an exhausted stack, so it formats
// into fixed buffers and calls nothing that allocates.

char fault_stack[64 * 1024];

int FaultNumber(int signal, int code) {
  switch (signal) {
    case SIGSEGV:
    case SIGBUS:
      return 216;
    case SIGILL:
      return 217;
    case SIGFPE:
      switch (code) {
        case FPE_INTDIV:
        case FPE_FLTDIV:
          return 200;
        case FPE_INTOVF:
          return 215;
        case FPE_FLTOVF:
          return 205;
        case FPE_FLTUND:
          return 206;
        case FPE_FLTSUB:
          return 201;
        default:
          return 207;
      }
    default:
      return 217;
  }
}

const char* FaultMessage(int number) {
  const char* text = FailureText(number);
  return text != nullptr ? text : "Unknown Run-Time error : 217";
}

struct Line {
  char text[128];
  std::size_t size = 0;
  void Add(const char* piece) {
    while (*piece != '\0' && size < sizeof text) text[size++] = *piece++;
  }
  void AddHex8(std::uint32_t value) {
    for (int shift = 28; shift >= 0; shift -= 4) {
      char digit[2] = {"0123456789ABCDEF"[(value >> shift) & 0xF], '\0'};
      Add(digit);
    }
  }
  void Emit() {
    Add("\r\n");
    WriteAll(STDOUT_FILENO, text, size);
    size = 0;
  }
};

void* FaultAddress(const siginfo_t* info, void* context) {
#if defined(__x86_64__)
  (void)info;
  auto* uc = static_cast<ucontext_t*>(context);
  return reinterpret_cast<void*>(uc->uc_mcontext.gregs[REG_RIP]);
#else
  (void)context;
  return info->si_addr;
#endif
}

void OnFault(int signal, siginfo_t* info, void* context) {
  RestoreConsole();
  int number = FaultNumber(signal, info->si_code);
  void* address = FaultAddress(info, context);

  void* frames[kMaxFrames];
  int count = ::backtrace(frames, kMaxFrames);
  // Skip this handler and the signal trampoline: the walk starts at the
  // caller of the faulting frame.
  int first = count;
  for (int i = 0; i < count; ++i) {
    if (frames[i] == address) {
      first = i + 1;
      break;
    }
  }
  if (first == count) first = count < 2 ? count : 2;

  Line line;
  line.Add("An unhandled exception occurred at 0x");
  line.AddHex8(RelativeAddress(address));
  line.Add(" :");
  line.Emit();
  line.Add(FaultMessage(number));
  line.Emit();
  line.Add("  0x");
  line.AddHex8(RelativeAddress(address));
  line.Emit();
  std::size_t limit = ReportFrameLimit();
  for (int i = first; i < count && static_cast<std::size_t>(i - first) < limit;
       ++i) {
    line.Add("  0x");
    line.AddHex8(RelativeAddress(frames[i]));
    line.Emit();
  }
  line.Emit();
  ::_exit(kStatusUnhandled);
}

// A run ended from outside must not leave the terminal without echo.
void OnTermination(int signal) {
  RestoreConsole();
  ::signal(signal, SIG_DFL);
  ::raise(signal);
}

void InstallSignalHandlers() {
  void* warm_up[1];
  ::backtrace(warm_up, 1);  // loads the unwinder now, not inside a handler

  stack_t stack = {};
  stack.ss_sp = fault_stack;
  stack.ss_size = sizeof fault_stack;
  ::sigaltstack(&stack, nullptr);

  struct sigaction fault = {};
  fault.sa_sigaction = OnFault;
  fault.sa_flags = static_cast<int>(SA_SIGINFO | SA_ONSTACK | SA_RESETHAND);
  sigemptyset(&fault.sa_mask);
  for (int signal : {SIGSEGV, SIGBUS, SIGFPE, SIGILL}) {
    ::sigaction(signal, &fault, nullptr);
  }
  for (int signal : {SIGTERM, SIGHUP}) ::signal(signal, OnTermination);
  ::signal(SIGPIPE, SIG_IGN);
}

}  // namespace

std::vector<void*> CaptureFrames(int skip) {
  void* frames[kMaxFrames];
  int count = ::backtrace(frames, kMaxFrames);
  int first = skip + 1;
  if (first > count) first = count;
  return std::vector<void*>(frames + first, frames + count);
}

std::uint32_t RelativeAddress(const void* address) {
  Dl_info info;
  auto value = reinterpret_cast<std::uintptr_t>(address);
  if (::dladdr(address, &info) != 0 && info.dli_fbase != nullptr) {
    value -= reinterpret_cast<std::uintptr_t>(info.dli_fbase);
  }
  return static_cast<std::uint32_t>(value);
}

std::size_t ReportFrameLimit() {
  struct stat info;
  bool device = ::fstat(STDOUT_FILENO, &info) == 0 && S_ISCHR(info.st_mode);
  return device ? 9 : 257;
}

void WriteStandardOutput(const std::string& text) {
  WriteAll(STDOUT_FILENO, text.data(), text.size());
}

void ExitProcess(int status) {
  RestoreConsole();
  ::_exit(status & 0xFF);
}

// Standard error is the last way left to tell the user; when it cannot be
// written either, the start-up report on standard output says why.
__attribute__((noinline)) void EndWithoutConsole(const char* message) {
  std::string line = std::string(message) + "\r\n";
  ssize_t put;
  do {
    put = ::write(STDERR_FILENO, line.data(), line.size());
  } while (put < 0 && errno == EINTR);
  if (put == static_cast<ssize_t>(line.size())) ExitProcess(1);
  int number =
      put < 0 ? IoCodeFromSystemError(static_cast<unsigned long>(errno)) : 101;
  ReportRunTimeError(number, __builtin_return_address(0));
  ExitProcess(number);
}

}  // namespace platform

void RunTool(int argc, char** argv, void (*body)()) {
  char path[4096];
  ssize_t length = ::readlink("/proc/self/exe", path, sizeof path);
  std::string program =
      length > 0 ? std::string(path, static_cast<std::size_t>(length))
      : argc > 0 ? argv[0]
                 : "";
  std::vector<std::string> arguments;
  for (int i = 1; i < argc; ++i) arguments.emplace_back(argv[i]);
  SetArgumentTable(program, arguments);

  platform::SetUpConsole();
  platform::InstallSignalHandlers();

  RunBody(body);
}

}  // namespace kestrel
