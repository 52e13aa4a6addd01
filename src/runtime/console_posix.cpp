#include <fcntl.h>
#include <langinfo.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <clocale>
#include <cstring>

#include "runtime/arguments.h"
#include "runtime/console.h"
#include "runtime/os.h"
#include "runtime/posix_io.h"

namespace kestrel {
namespace platform {

namespace {

struct termios saved_input_mode;
struct termios tool_mode;
volatile sig_atomic_t input_mode_saved = 0;

// Only the terminal's foreground job may take its keys and change its mode.
bool InForeground() { return ::tcgetpgrp(STDIN_FILENO) == ::getpgrp(); }

bool SameMode(const struct termios& a, const struct termios& b) {
  return a.c_lflag == b.c_lflag && a.c_iflag == b.c_iflag &&
         a.c_cc[VMIN] == b.c_cc[VMIN] && a.c_cc[VTIME] == b.c_cc[VTIME];
}

// Saves the terminal's mode, to be put back at the end, and sets the
// tool's: keys arrive one by one, unechoed, and reads never block. Nothing
// here but calls a signal handler may make.
bool TakeTerminal() {
  struct termios now;
  if (!InForeground() || ::tcgetattr(STDIN_FILENO, &now) != 0) return false;
  if (input_mode_saved && SameMode(now, tool_mode)) return true;
  saved_input_mode = now;
  tool_mode = now;
  tool_mode.c_lflag &= ~static_cast<tcflag_t>(ISIG | ICANON | ECHO);
  // Ctrl+S and Ctrl+Q are keys like any other, not flow control.
  tool_mode.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF);
  tool_mode.c_cc[VMIN] = 0;
  tool_mode.c_cc[VTIME] = 0;
  input_mode_saved = ::tcsetattr(STDIN_FILENO, TCSANOW, &tool_mode) == 0;
  return input_mode_saved != 0;
}

ConsoleDevice::Controls TerminalControls();

class TerminalConsole final : public ConsoleDevice {
 public:
  TerminalConsole(int out, bool keyboard) : out_(out), keyboard_(keyboard) {}

  // The terminal places, wraps and scrolls the text itself.
  void Show(const char* data, std::size_t size) override {
    WriteAll(out_, data, size);
  }

  // Takes every byte waiting, so that the key that ends a wait (and the
  // rest of an escape sequence) never reaches the shell.
  // A terminal that has hung up (its window closed while SIGHUP is
  // ignored) gives no key ever again, only ends of file: that ends a wait
  // as a key does, and its mode is left alone.
  bool TakeKeys() override {
    if (!keyboard_) return false;
    struct pollfd input = {STDIN_FILENO, POLLIN, 0};
    bool gone = ::poll(&input, 1, 0) > 0 &&
                (input.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
    bool any = false;
    char bytes[64];
    while (!gone) {
      ssize_t got = RetryOnInterrupt(
          [&] { return ::read(STDIN_FILENO, bytes, sizeof bytes); });
      if (got == 0 || (got < 0 && errno == EAGAIN)) return any;
      gone = got < 0;
      any = true;
    }
    input_mode_saved = 0;
    return true;
  }

  bool HasKeyboard() override { return keyboard_; }
  // Looked up only for a name with bytes above 127: reading the locale
  // would add about 50 microseconds to every run.
  Controls controls() const override {
    if (!controls_known_) controls_ = TerminalControls();
    controls_known_ = true;
    return controls_;
  }

 private:
  int out_;
  bool keyboard_;
  mutable bool controls_known_ = false;
  mutable Controls controls_ = Controls::kAsciiOnly;
};

// A terminal in a UTF-8 locale takes U+0080 to U+009F for C1 controls; an
// 8-bit one (xterm +u8, the Linux console without UTF-8) the bytes.
ConsoleDevice::Controls TerminalControls() {
  const char* locale = ::setlocale(LC_CTYPE, "");
  bool utf8 =
      locale != nullptr && std::strcmp(::nl_langinfo(CODESET), "UTF-8") == 0;
  ::setlocale(LC_CTYPE, "C");
  return utf8 ? ConsoleDevice::Controls::kC1CodePoints
              : ConsoleDevice::Controls::kC1Bytes;
}

// Installs `handler` for `signal`, unless the caller ignores it: an ignored
// signal stays ignored (a SIGXFSZ ignored then fails the write instead).
// With `alone`, every other signal waits while the handler runs.
void CatchUnlessIgnored(int signal, void (*handler)(int), unsigned flags,
                        bool alone = false) {
  struct sigaction current;
  if (::sigaction(signal, nullptr, &current) == 0 &&
      current.sa_handler == SIG_IGN) {
    return;
  }
  struct sigaction action = {};
  action.sa_handler = handler;
  action.sa_flags = static_cast<int>(flags);
  if (alone) {
    sigfillset(&action.sa_mask);
  } else {
    sigemptyset(&action.sa_mask);
  }
  ::sigaction(signal, &action, nullptr);
}

void OnEndingSignal(int signal) {
  RemoveUnfinishedCopy();
  RestoreConsole();
  // The default action is back; raised again, the signal waits until this
  // handler returns and then ends the process by it, so the caller still
  // sees the signal.
  ::raise(signal);
}

// A stop from the keyboard or job control gives the terminal back to the
// shell first; continued, the tool takes it again if it is still the
// foreground job, since the shell has put line mode back meanwhile.
void OnStop(int signal) {
  int saved_errno = errno;
  RestoreConsole();
  ::signal(signal, SIG_DFL);
  ::raise(signal);  // stops here, unless nobody could ever continue us
  CatchUnlessIgnored(signal, OnStop, SA_NODEFER | SA_RESTART);
  TakeTerminal();
  errno = saved_errno;
}

void OnContinue(int) {
  int saved_errno = errno;
  TakeTerminal();
  errno = saved_errno;
}

// Every signal whose default action ends the process and that can be
// caught, but for the processor faults, which have their own report, and
// SIGPIPE, which the tool ignores so that a broken pipe is a failed write.
// Caught in batch jobs too: a copy being written under a hidden name goes
// first.
void InstallEndingHandlers() {
  for (int signal : {
           SIGHUP,
           SIGINT,
           SIGQUIT,
           SIGTRAP,
           SIGABRT,
           SIGUSR1,
           SIGUSR2,
           SIGALRM,
           SIGTERM,
           SIGXCPU,
           SIGXFSZ,
           SIGVTALRM,
           SIGPROF,
           SIGIO,
           SIGSYS,
#ifdef SIGSTKFLT
           SIGSTKFLT,
#endif
#ifdef SIGPWR
           SIGPWR,
#endif
       }) {
    CatchUnlessIgnored(signal, OnEndingSignal, SA_RESETHAND, true);
  }
  for (int signal = SIGRTMIN; signal <= SIGRTMAX; ++signal) {
    CatchUnlessIgnored(signal, OnEndingSignal, SA_RESETHAND, true);
  }
}

void InstallStopHandlers() {
  CatchUnlessIgnored(SIGTSTP, OnStop, SA_NODEFER | SA_RESTART);
  CatchUnlessIgnored(SIGCONT, OnContinue, SA_RESTART);
}

}  // namespace

const char* SetUpConsole() {
  struct winsize size;
  int out = STDOUT_FILENO;
  if (::ioctl(out, TIOCGWINSZ, &size) != 0) {
    out = ::open("/dev/tty", O_RDWR | O_CLOEXEC | O_NOCTTY);
    if (out < 0) return "No way to get the console handle";
    if (::ioctl(out, TIOCGWINSZ, &size) != 0) {
      return "No way to get console screen buffer info";
    }
  }
  // A background job still shows its messages, even where the terminal
  // stops background output, and puts a changed mode back even after it
  // was moved to the background.
  ::signal(SIGTTOU, SIG_IGN);
  // A write to a pipe whose reader has gone fails like any other write.
  ::signal(SIGPIPE, SIG_IGN);

  // A background job has no keyboard, like a batch job.
  bool keyboard = ::isatty(STDIN_FILENO) == 1 && InForeground();
  InstallEndingHandlers();
  if (keyboard) {
    InstallStopHandlers();
    keyboard = TakeTerminal();
  }

  static TerminalConsole console(out, keyboard);
  // Names come from the arguments. Where one may be shown with bytes above
  // 127, the locale is read now, while few files are open: later, a run
  // short of descriptors would find no locale and show such a name as for
  // an 8-bit terminal.
  for (int i = 1; i <= ArgumentCount(); ++i) {
    if (HasBytesAbove127(Argument(i))) {
      console.controls();
      break;
    }
  }
  InstallConsole(&console);
  return nullptr;
}

void RestoreConsole() {
  if (input_mode_saved) ::tcsetattr(STDIN_FILENO, TCSANOW, &saved_input_mode);
}

}  // namespace platform
}  // namespace kestrel
