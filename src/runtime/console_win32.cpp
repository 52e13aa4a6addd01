#include <windows.h>

#include <string>

#include "runtime/console.h"
#include "runtime/os.h"

namespace kestrel {
namespace platform {

namespace {

HANDLE input_handle = INVALID_HANDLE_VALUE;
DWORD saved_input_mode = 0;
volatile LONG input_mode_saved = 0;
// Set when a Ctrl+C arrives as a control event instead of a key.
volatile LONG ctrl_c_event = 0;

// Wine's terminal front end raises the Ctrl+C event even with processed
// input off, where Windows queues the key. Either way it is a key press:
// it ends a key wait and never stops the tool.
BOOL WINAPI OnControlEvent(DWORD event) {
  if (event == CTRL_C_EVENT) {
    InterlockedExchange(&ctrl_c_event, 1);
    return TRUE;
  }
  // Ctrl+Break, a closed window, a logoff or a shutdown end the tool as
  // they end any program, with the input mode put back. The copy being
  // written goes with its handle, unless it is being put in place: that is
  // waited out, and then the main thread can no longer touch it.
  FreezeCopy();
  RestoreConsole();
  constexpr UINT kControlCExit = 0xC000013A;  // STATUS_CONTROL_C_EXIT
  TerminateProcess(GetCurrentProcess(), kControlCExit);
  return TRUE;
}

// Hands each whole line to the console in one WriteConsoleW call. The
// console serialises such calls and places, wraps and scrolls the text
// itself, on a buffer of any size, as a terminal does: a line another
// program on the same console writes meanwhile never cuts into one of the
// tool's. Reading the cursor, writing the cells and moving the cursor
// would be three steps, and another program may write between any two.
class StreamConsole final : public ConsoleDevice {
 public:
  StreamConsole(HANDLE out, bool keyboard) : out_(out), keyboard_(keyboard) {}

  void Show(const char* data, std::size_t size) override {
    line_.append(data, size);
    if (line_.empty() || line_.back() != '\n') return;
    // The text is UTF-8, names as they were typed (console.h): shown in
    // UTF-16, a name keeps its characters (café, not cafΘ; Zaślepka, not
    // Za?lepka), whatever the code page lacks.
    int length = MultiByteToWideChar(
        CP_UTF8, 0, line_.data(), static_cast<int>(line_.size()), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(length > 0 ? length : 0), L' ');
    MultiByteToWideChar(CP_UTF8, 0, line_.data(),
                        static_cast<int>(line_.size()), wide.data(), length);
    line_.clear();
    // The tool's lines need CR and LF processed and long lines wrapped.
    // Under wine a handle without read access lets SetConsoleMode switch
    // processing off, so a mode is put back only where it could be read.
    DWORD mode = 0;
    bool known = GetConsoleMode(out_, &mode) != 0;
    DWORD wanted = mode | ENABLE_PROCESSED_OUTPUT | ENABLE_WRAP_AT_EOL_OUTPUT;
    if (known && wanted != mode) SetConsoleMode(out_, wanted);
    DWORD written = 0;
    WriteConsoleW(out_, wide.data(), static_cast<DWORD>(wide.size()), &written,
                  nullptr);
    if (known && wanted != mode) SetConsoleMode(out_, mode);
  }

  bool TakeKeys() override;

  bool HasKeyboard() override { return keyboard_; }

 private:
  HANDLE out_;
  bool keyboard_;
  std::string line_;  // the line being handed over, until its end
  unsigned alt_code_ = 0;
};

bool IsModifier(WORD key) {
  return key == VK_SHIFT || key == VK_CONTROL || key == VK_MENU ||
         key == VK_CAPITAL || key == VK_NUMLOCK || key == VK_SCROLL;
}

// The digit of a numeric-keypad key, with Num Lock on or off; -1 otherwise.
int KeypadDigit(const KEY_EVENT_RECORD& event) {
  WORD key = event.wVirtualKeyCode;
  if (key >= VK_NUMPAD0 && key <= VK_NUMPAD9) return key - VK_NUMPAD0;
  if ((event.dwControlKeyState & ENHANCED_KEY) != 0) return -1;
  switch (key) {
    case VK_INSERT:
      return 0;
    case VK_END:
      return 1;
    case VK_DOWN:
      return 2;
    case VK_NEXT:
      return 3;
    case VK_LEFT:
      return 4;
    case VK_CLEAR:
      return 5;
    case VK_RIGHT:
      return 6;
    case VK_HOME:
      return 7;
    case VK_UP:
      return 8;
    case VK_PRIOR:
      return 9;
    default:
      return -1;
  }
}

bool StreamConsole::TakeKeys() {
  if (!keyboard_) return false;
  bool any = InterlockedExchange(&ctrl_c_event, 0) != 0;
  // Under wine this makes pending terminal input visible as events; on
  // Windows it returns at once.
  WaitForSingleObject(input_handle, 0);
  DWORD queued = 0;
  if (!GetNumberOfConsoleInputEvents(input_handle, &queued)) return any;
  for (DWORD i = 0; i < queued; ++i) {
    INPUT_RECORD record;
    DWORD got = 0;
    if (!ReadConsoleInputA(input_handle, &record, 1, &got) || got == 0) break;
    if (record.EventType != KEY_EVENT) continue;
    const KEY_EVENT_RECORD& event = record.Event.KeyEvent;
    bool alt =
        (event.dwControlKeyState & (LEFT_ALT_PRESSED | RIGHT_ALT_PRESSED)) != 0;
    if (!event.bKeyDown) {
      // Releasing Alt after keypad digits types the character they coded.
      if (event.wVirtualKeyCode == VK_MENU) {
        unsigned code = alt_code_;
        alt_code_ = 0;
        if (code != 0) return true;
      }
      continue;
    }
    if (IsModifier(event.wVirtualKeyCode)) continue;
    int digit = KeypadDigit(event);
    if (alt && digit >= 0) {
      alt_code_ = (alt_code_ * 10 + static_cast<unsigned>(digit)) % 256;
      continue;
    }
    any = true;
    if (digit >= 0) break;
  }
  return any;
}

}  // namespace

const char* SetUpConsole() {
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  CONSOLE_SCREEN_BUFFER_INFO info;
  if (!GetConsoleScreenBufferInfo(out, &info)) {
    // Standard output is redirected: write to the console itself.
    out = CreateFileA("CONOUT$", GENERIC_READ | GENERIC_WRITE,
                      FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                      OPEN_EXISTING, 0, nullptr);
    if (out == INVALID_HANDLE_VALUE) return "No way to get the console handle";
    if (!GetConsoleScreenBufferInfo(out, &info)) {
      return "No way to get console screen buffer info";
    }
  }

  input_handle = GetStdHandle(STD_INPUT_HANDLE);
  DWORD mode = 0;
  // A console without a window (a tool started with CREATE_NO_WINDOW, as
  // test executives and services start them) has input but no keyboard:
  // nobody could ever end a wait there.
  bool keyboard =
      GetConsoleMode(input_handle, &mode) != 0 && GetConsoleWindow() != nullptr;
  if (keyboard) {
    saved_input_mode = mode;
    input_mode_saved = 1;
    SetConsoleMode(input_handle,
                   mode & ~static_cast<DWORD>(ENABLE_PROCESSED_INPUT |
                                              ENABLE_MOUSE_INPUT));
  }
  // In every case: in a batch job reading from NUL or a file, Ctrl+C still
  // reaches the tool as an event, and must not end a stamp half-way.
  SetConsoleCtrlHandler(OnControlEvent, TRUE);

  static StreamConsole console(out, keyboard);
  InstallConsole(&console);
  return nullptr;
}

void RestoreConsole() {
  if (input_mode_saved) SetConsoleMode(input_handle, saved_input_mode);
}

}  // namespace platform
}  // namespace kestrel
