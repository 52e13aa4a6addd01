#include <fcntl.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>

#include "runtime/console.h"
#include "runtime/process.h"

namespace kestrel {
namespace platform {

namespace {

struct termios saved_input_mode;
volatile bool input_mode_saved = false;

class TerminalConsole final : public ConsoleDevice {
 public:
  TerminalConsole(int out, bool keyboard) : out_(out), keyboard_(keyboard) {}

  // The terminal places, wraps and scrolls the text itself.
  void Show(const char* data, std::size_t size) override {
    while (size > 0) {
      ssize_t put = ::write(out_, data, size);
      if (put < 0 && errno == EINTR) continue;
      if (put <= 0) return;
      data += put;
      size -= static_cast<std::size_t>(put);
    }
  }

  // Takes every byte waiting, so that the key that ends a wait (and the
  // rest of an escape sequence) never reaches the shell.
  bool TakeKeys(char* key) override {
    if (!keyboard_) return false;
    bool any = false;
    char bytes[64];
    while (true) {
      ssize_t got = ::read(STDIN_FILENO, bytes, sizeof bytes);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) return any;
      *key = bytes[got - 1];
      any = true;
    }
  }

  bool HasKeyboard() override { return keyboard_; }

 private:
  int out_;
  bool keyboard_;
};

}  // namespace

void SetUpConsole() {
  struct winsize size;
  int out = STDOUT_FILENO;
  if (::ioctl(out, TIOCGWINSZ, &size) != 0) {
    out = ::open("/dev/tty", O_RDWR | O_CLOEXEC | O_NOCTTY);
    if (out < 0) EndWithoutConsole("No way to get the console handle");
    if (::ioctl(out, TIOCGWINSZ, &size) != 0) {
      EndWithoutConsole("No way to get console screen buffer info");
    }
  }

  bool keyboard = ::isatty(STDIN_FILENO) == 1 &&
                  ::tcgetattr(STDIN_FILENO, &saved_input_mode) == 0;
  if (keyboard) {
    struct termios raw = saved_input_mode;
    raw.c_lflag &= ~static_cast<tcflag_t>(ISIG | ICANON | ECHO);
    raw.c_cc[VMIN] = 0;  // reads return at once: the key test never blocks
    raw.c_cc[VTIME] = 0;
    input_mode_saved = ::tcsetattr(STDIN_FILENO, TCSANOW, &raw) == 0;
    keyboard = input_mode_saved;
  }

  static TerminalConsole console(out, keyboard);
  InstallConsole(&console);
}

void RestoreConsole() {
  if (input_mode_saved) ::tcsetattr(STDIN_FILENO, TCSANOW, &saved_input_mode);
}

}  // namespace platform
}  // namespace kestrel
