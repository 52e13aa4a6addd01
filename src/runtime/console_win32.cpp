#include <windows.h>

#include <vector>

#include "runtime/console.h"
#include "runtime/files.h"

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
  // they end any program, with the input mode put back and the copy being
  // written removed first.
  DiscardUnfinishedOutput();
  RestoreConsole();
  return FALSE;
}

// Writes into the screen buffer at the console's cursor, in the colour the
// console had at start-up, wrapping at the last column and scrolling at the
// bottom, as the console of a full-screen tool would.
class ScreenBufferConsole final : public ConsoleDevice {
 public:
  ScreenBufferConsole(HANDLE out, const CONSOLE_SCREEN_BUFFER_INFO& info,
                      bool keyboard)
      : out_(out), keyboard_(keyboard), colour_(info.wAttributes) {
    TakeCursor(info);
  }

  void Show(const char* data, std::size_t size) override {
    // Another program on the same console (start /b, a tool earlier in
    // the batch) may have written and moved the cursor since.
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (GetConsoleScreenBufferInfo(out_, &info)) TakeCursor(info);
    for (std::size_t i = 0; i < size; ++i) {
      char c = data[i];
      if (c == '\r') {
        FlushRun();
        x_ = 0;
      } else if (c == '\n') {
        FlushRun();
        NextRow();
      } else if (c == '\b') {
        FlushRun();
        if (x_ > 0) --x_;
      } else if (c == '\a') {
        // The bell is silent.
      } else {
        if (run_.empty()) run_x_ = x_;
        CHAR_INFO cell;
        cell.Char.AsciiChar = c;
        cell.Attributes = colour_;
        run_.push_back(cell);
        if (++x_ == columns_) {
          FlushRun();
          x_ = 0;
          NextRow();
        }
      }
    }
    FlushRun();
    COORD cursor = {x_, y_};
    SetConsoleCursorPosition(out_, cursor);
  }

  bool TakeKeys() override;

  bool HasKeyboard() override { return keyboard_; }

 private:
  void FlushRun() {
    if (run_.empty()) return;
    COORD size = {static_cast<SHORT>(run_.size()), 1};
    COORD from = {0, 0};
    SMALL_RECT area = {run_x_, y_, static_cast<SHORT>(run_x_ + run_.size() - 1),
                       y_};
    WriteConsoleOutputA(out_, run_.data(), size, from, &area);
    run_.clear();
  }

  // The whole screen buffer, in the console's own coordinates: a Windows
  // console has 9001 rows by default, and may be wider than 256 columns.
  void TakeCursor(const CONSOLE_SCREEN_BUFFER_INFO& info) {
    columns_ = info.dwSize.X > 0 ? info.dwSize.X : 80;
    rows_ = info.dwSize.Y > 0 ? info.dwSize.Y : 25;
    x_ = info.dwCursorPosition.X < columns_ ? info.dwCursorPosition.X : 0;
    y_ = info.dwCursorPosition.Y < rows_ ? info.dwCursorPosition.Y : rows_ - 1;
  }

  void NextRow() {
    if (y_ + 1 < rows_) {
      ++y_;
      return;
    }
    if (rows_ == 1) {
      // Nothing to scroll up: the one row is cleared instead.
      DWORD done = 0;
      FillConsoleOutputCharacterA(out_, ' ', static_cast<DWORD>(columns_),
                                  COORD{0, 0}, &done);
      FillConsoleOutputAttribute(out_, colour_, static_cast<DWORD>(columns_),
                                 COORD{0, 0}, &done);
      return;
    }
    SMALL_RECT moved = {0, 1, static_cast<SHORT>(columns_ - 1),
                        static_cast<SHORT>(rows_ - 1)};
    COORD to = {0, 0};
    CHAR_INFO fill;
    fill.Char.AsciiChar = ' ';
    fill.Attributes = colour_;
    ScrollConsoleScreenBufferA(out_, &moved, nullptr, to, &fill);
  }

  HANDLE out_;
  bool keyboard_;
  WORD colour_;
  SHORT columns_ = 80;
  SHORT rows_ = 25;
  SHORT x_ = 0;
  SHORT y_ = 0;
  std::vector<CHAR_INFO> run_;
  SHORT run_x_ = 0;
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

bool ScreenBufferConsole::TakeKeys() {
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
  bool keyboard = GetConsoleMode(input_handle, &mode) != 0;
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

  static ScreenBufferConsole console(out, info, keyboard);
  InstallConsole(&console);
  return nullptr;
}

void RestoreConsole() {
  if (input_mode_saved) SetConsoleMode(input_handle, saved_input_mode);
}

}  // namespace platform
}  // namespace kestrel
