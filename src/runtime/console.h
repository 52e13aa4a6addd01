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

// True once a key press has arrived; never blocks. The key is taken out of
// the console's input queue, so it does not reach the next program.
bool KeyWaiting();
// False when standard input is not a console: no key can ever arrive.
bool ConsoleHasKeyboard();

// The platform side of the console, set up once at start-up.
class ConsoleDevice {
 public:
  virtual ~ConsoleDevice() = default;
  // Shows the bytes as they are. Console writes never fail.
  virtual void Show(const char* data, std::size_t size) = 0;
  // Takes every key press waiting, without blocking; true when there was
  // one, with the last of them in *key.
  virtual bool TakeKeys(char* key) = 0;
  virtual bool HasKeyboard() = 0;
};

// Installs the device the layer writes to and starts with an empty buffer
// and no pending key. The platform's start-up calls it; so do tests.
void InstallConsole(ConsoleDevice* device);

}  // namespace kestrel

#endif  // KESTREL_RUNTIME_CONSOLE_H_
