// The console layer: every message of the tool goes through here, to the
// console itself even when standard output is redirected.
#ifndef KESTREL_RUNTIME_CONSOLE_H_
#define KESTREL_RUNTIME_CONSOLE_H_

#include <cstddef>
#include <string_view>

namespace kestrel {

// Appends `text` to the output buffer, which is handed to the console
// whenever it fills.
void ConsoleWrite(std::string_view text);
// Appends `text` and CR LF, then hands the buffer to the console.
void ConsoleWriteLine(std::string_view text = {});
// Appends text that came from outside the tool (a file name, a serial
// number) as data: every byte below 32 but tab, and 127, is shown as '?',
// and so are the C1 controls where the console takes them (the code points
// U+0080 to U+009F and every byte that is no valid UTF-8 on a UTF-8
// console, the bytes 0x80 to 0x9F on another 8-bit one), so that no name
// can move the cursor, forge a line or drive the terminal.
void ConsoleWriteArgument(std::string_view text);
// Whether `text` has bytes above 127: only such a name needs the console's
// controls beyond the ASCII ones to be shown.
bool HasBytesAbove127(std::string_view text);

// True once a key press has arrived; never blocks. The key is taken out of
// the console's input queue, so it does not reach the next program.
bool KeyWaiting();
// False when standard input is not a console: no key can ever arrive.
bool ConsoleHasKeyboard();

// The platform side of the console, set up once at start-up.
class ConsoleDevice {
 public:
  virtual ~ConsoleDevice() = default;
  // Shows the bytes as they are: a CR, LF or backspace moves the cursor.
  // Console writes never fail.
  virtual void Show(const char* data, std::size_t size) = 0;
  // Takes the key presses waiting, without blocking; true when there was
  // one. A key that is taken never reaches the next program.
  virtual bool TakeKeys() = 0;
  virtual bool HasKeyboard() = 0;
  // What the console takes for controls beyond the ASCII ones.
  enum class Controls { kAsciiOnly, kC1Bytes, kC1CodePoints };
  virtual Controls controls() const { return Controls::kAsciiOnly; }
};

// Installs the device the layer writes to and starts with an empty buffer
// and no pending key. The platform's set-up calls it; so do tests.
void InstallConsole(ConsoleDevice* device);

namespace platform {

// Sets the console layer up: finds the console even when standard output
// is redirected, and makes the keyboard's signal keys ordinary keys. Returns
// nullptr, or without a console the message that says which part is missing.
const char* SetUpConsole();
// Puts the console input mode back as it was at start-up. Safe to call from
// a signal handler, and more than once.
void RestoreConsole();

}  // namespace platform

}  // namespace kestrel

#endif  // KESTREL_RUNTIME_CONSOLE_H_
