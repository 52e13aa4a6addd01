// Drives kestrel.exe through the real console API, as a Windows user's
// console would: it shares its console with the tool, queues input records
// with WriteConsoleInput and reads the screen buffer back with
// ReadConsoleOutputCharacter. Run under wine inside a terminal:
//   console_driver PATH\TO\kestrel.exe
// GoogleTest is not built for the cross compiler, so this counts by hand.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

namespace {

int passed = 0;
int failed = 0;

void Check(bool ok, const std::string& what) {
  if (ok) {
    ++passed;
  } else {
    ++failed;
    std::printf("FAILED: %s\n", what.c_str());
  }
}

HANDLE in = INVALID_HANDLE_VALUE;
HANDLE out = INVALID_HANDLE_VALUE;
std::string tool;

// Starts the tool; with `input`, that is its standard input.
HANDLE Start(const std::string& arguments, HANDLE input = nullptr,
             DWORD flags = 0) {
  std::string command = "\"" + tool + "\"" + arguments;
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  if (input != nullptr) {
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = input;
    startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  }
  PROCESS_INFORMATION process = {};
  if (!CreateProcessA(nullptr, command.data(), nullptr, nullptr,
                      input != nullptr, flags, nullptr, nullptr, &startup,
                      &process)) {
    return nullptr;
  }
  CloseHandle(process.hThread);
  return process.hProcess;
}

// The exit status, or -1 when the tool is still running after `ms`.
long Finish(HANDLE process, DWORD ms) {
  if (WaitForSingleObject(process, ms) != WAIT_OBJECT_0) return -1;
  DWORD status = 0;
  GetExitCodeProcess(process, &status);
  return static_cast<long>(status);
}

DWORD Queued() {
  DWORD count = 0;
  GetNumberOfConsoleInputEvents(in, &count);
  return count;
}

// --- Keys ------------------------------------------------------------------

INPUT_RECORD Key(WORD key, bool down, char c = 0, DWORD state = 0) {
  INPUT_RECORD record = {};
  record.EventType = KEY_EVENT;
  record.Event.KeyEvent.bKeyDown = down;
  record.Event.KeyEvent.wRepeatCount = 1;
  record.Event.KeyEvent.wVirtualKeyCode = key;
  record.Event.KeyEvent.uChar.AsciiChar = c;
  record.Event.KeyEvent.dwControlKeyState = state;
  return record;
}

std::vector<INPUT_RECORD> Press(WORD key, char c = 0, DWORD state = 0) {
  return {Key(key, true, c, state), Key(key, false, c, state)};
}

std::vector<INPUT_RECORD> Others() {
  INPUT_RECORD mouse = {};
  mouse.EventType = MOUSE_EVENT;
  mouse.Event.MouseEvent.dwButtonState = FROM_LEFT_1ST_BUTTON_PRESSED;
  INPUT_RECORD focus = {};
  focus.EventType = FOCUS_EVENT;
  focus.Event.FocusEvent.bSetFocus = TRUE;
  INPUT_RECORD size = {};
  size.EventType = WINDOW_BUFFER_SIZE_EVENT;
  size.Event.WindowBufferSizeEvent.dwSize = {80, 25};
  INPUT_RECORD menu = {};
  menu.EventType = MENU_EVENT;
  return {mouse, focus, size, menu};
}

std::vector<INPUT_RECORD> Join(std::vector<std::vector<INPUT_RECORD>> parts) {
  std::vector<INPUT_RECORD> all;
  for (const auto& part : parts)
    all.insert(all.end(), part.begin(), part.end());
  return all;
}

// Alt held while keypad digits are pressed, then released.
std::vector<INPUT_RECORD> AltCode(std::vector<WORD> digits) {
  std::vector<INPUT_RECORD> records = {Key(VK_MENU, true, 0, LEFT_ALT_PRESSED)};
  for (WORD digit : digits) {
    for (bool down : {true, false}) {
      records.push_back(Key(static_cast<WORD>(VK_NUMPAD0 + digit), down, 0,
                            LEFT_ALT_PRESSED));
    }
  }
  records.push_back(Key(VK_MENU, false));
  return records;
}

struct KeyCase {
  const char* name;
  std::vector<INPUT_RECORD> records;
  bool ends;   // the usage wait ends
  DWORD left;  // events still queued after the tool has ended
};

void CheckKeyWait(const KeyCase& c) {
  FlushConsoleInputBuffer(in);
  DWORD written = 0;
  WriteConsoleInputA(in, c.records.data(), static_cast<DWORD>(c.records.size()),
                     &written);
  HANDLE process = Start("");
  if (process == nullptr) {
    Check(false, std::string(c.name) + ": kestrel.exe starts");
    return;
  }
  long status = -1;
  if (c.ends) {
    status = Finish(process, 20000);
  } else {
    // Once the tool has taken every event, it must still be waiting.
    for (int i = 0; i < 200 && Queued() > 0; ++i) Sleep(50);
    Sleep(300);
    status = Finish(process, 0);
  }
  Check((status >= 0) == c.ends,
        std::string(c.name) + (c.ends ? ": the wait ends" : ": still waits"));
  if (status < 0) {
    std::vector<INPUT_RECORD> end = Press('X', 'x');
    WriteConsoleInputA(in, end.data(), 2, &written);
    status = Finish(process, 20000);
  } else {
    DWORD left = Queued();
    std::string kinds;
    std::vector<INPUT_RECORD> records(left + 1);
    DWORD peeked = 0;
    PeekConsoleInputA(in, records.data(), left, &peeked);
    for (DWORD i = 0; i < peeked; ++i) {
      kinds += " " + std::to_string(records[i].EventType) + "/" +
               std::to_string(records[i].Event.KeyEvent.wVirtualKeyCode);
    }
    Check(left == c.left, std::string(c.name) + ": " + std::to_string(c.left) +
                              " events left, seen" + kinds);
  }
  Check(status == 64, std::string(c.name) + ": ends with status 64");
  CloseHandle(process);
}

// --- Screen buffers ----------------------------------------------------------

std::string Row(SHORT y, SHORT width) {
  std::string text(static_cast<std::size_t>(width), ' ');
  DWORD got = 0;
  ReadConsoleOutputCharacterA(out, text.data(), static_cast<DWORD>(width),
                              COORD{0, y}, &got);
  text.resize(got);
  while (!text.empty() && text.back() == ' ') text.pop_back();
  return text;
}

void Put(SHORT x, SHORT y, const std::string& text) {
  DWORD put = 0;
  WriteConsoleOutputCharacterA(
      out, text.data(), static_cast<DWORD>(text.size()), COORD{x, y}, &put);
}

// A fresh buffer of `width` by `height`, blank, with rows `marks` marked.
void Prepare(SHORT width, SHORT height, const std::vector<SHORT>& marks) {
  // The window must fit in the buffer.
  SMALL_RECT window = {0, 0, static_cast<SHORT>((width < 80 ? width : 80) - 1),
                       static_cast<SHORT>((height < 25 ? height : 25) - 1)};
  SetConsoleWindowInfo(out, TRUE, &window);
  SetConsoleScreenBufferSize(out, COORD{width, height});
  DWORD put = 0;
  FillConsoleOutputCharacterA(out, ' ', static_cast<DWORD>(width) * height,
                              COORD{0, 0}, &put);
  for (SHORT y : marks) Put(0, y, "row " + std::to_string(y));
}

COORD Cursor() {
  CONSOLE_SCREEN_BUFFER_INFO info = {};
  GetConsoleScreenBufferInfo(out, &info);
  return info.dwCursorPosition;
}

struct ScreenCase {
  const char* name;
  SHORT width, height, start_row;
  std::string image;
  std::vector<SHORT> marks;  // rows marked before the run
  // (row, text) after the run; an empty text is a blank row.
  std::vector<std::pair<SHORT, std::string>> rows;
  SHORT end_row;
};

void CheckScreen(const ScreenCase& c) {
  Prepare(c.width, c.height, c.marks);
  CONSOLE_SCREEN_BUFFER_INFO info = {};
  GetConsoleScreenBufferInfo(out, &info);
  Check(info.dwSize.X == c.width && info.dwSize.Y == c.height,
        std::string(c.name) + ": the console takes the buffer size");
  SetConsoleCursorPosition(out, COORD{0, c.start_row});
  std::vector<std::string> above;
  bool scrolls = c.start_row == c.height - 1;
  for (SHORT y = 0; y < c.start_row && !scrolls; ++y) {
    above.push_back(Row(y, c.width));
  }

  HANDLE process = Start(" " + c.image + " 001234567");
  long status = process != nullptr ? Finish(process, 20000) : -1;
  if (process != nullptr) CloseHandle(process);
  Check(status == 64, std::string(c.name) + ": ends with status 64");
  for (const auto& [y, text] : c.rows) {
    std::string seen = Row(y, c.width);
    Check(seen == text, std::string(c.name) + ": row " + std::to_string(y) +
                            " is \"" + text + "\", seen \"" + seen + "\"");
  }
  for (SHORT y = 0; y < static_cast<SHORT>(above.size()); ++y) {
    if (Row(y, c.width) != above[static_cast<std::size_t>(y)]) {
      Check(false, std::string(c.name) + ": row " + std::to_string(y) +
                       " above the cursor changed");
      break;
    }
  }
  COORD cursor = Cursor();
  Check(cursor.X == 0 && cursor.Y == c.end_row,
        std::string(c.name) + ": the cursor ends at row " +
            std::to_string(c.end_row) + ", seen " + std::to_string(cursor.Y));
}

// --- A batch job ------------------------------------------------------------

// Standard input from NUL, as in a batch job; while the tool copies a large
// image, another program writes a line to the console and Ctrl+C is
// pressed. The stamp must finish whole, its block below the other line.
// Another program writes a line every 2 ms beside the tool, as a test
// executive logging to the same console does: every line of both stays
// whole, each on a row of its own.
DWORD WINAPI WriteLines(void* stop) {
  for (int i = 0; *static_cast<volatile LONG*>(stop) == 0; ++i) {
    std::string line = "other " + std::to_string(i) + "\r\n";
    DWORD put = 0;
    WriteConsoleA(out, line.data(), static_cast<DWORD>(line.size()), &put,
                  nullptr);
    Sleep(2);
  }
  return 0;
}

void CheckSharedConsole() {
  const std::string unknown =
      "Unknown file type. x.txt is not a BIN or HEX file";
  int whole = 0;
  constexpr int kRounds = 20;
  for (int round = 0; round < kRounds; ++round) {
    Prepare(120, 9001, {});
    SetConsoleCursorPosition(out, COORD{0, 0});
    volatile LONG stop = 0;
    HANDLE other = CreateThread(nullptr, 0, WriteLines,
                                const_cast<LONG*>(&stop), 0, nullptr);
    Sleep(10);
    HANDLE process = Start(" x.txt 001234567");
    if (process != nullptr) {
      Finish(process, 20000);
      CloseHandle(process);
    }
    InterlockedExchange(&stop, 1);
    WaitForSingleObject(other, INFINITE);
    CloseHandle(other);
    int titles = 0, unknowns = 0, broken = 0;
    for (SHORT y = 0; y < Cursor().Y; ++y) {
      std::string row = Row(y, 120);
      if (row == "Kestrel Tool 2. **** Error ****") {
        ++titles;
      } else if (row == unknown) {
        ++unknowns;
      } else if (!row.empty() && (row.rfind("other ", 0) != 0 ||
                                  row.find_first_not_of("0123456789", 6) !=
                                      std::string::npos)) {
        ++broken;
      }
    }
    whole += titles == 1 && unknowns == 1 && broken == 0;
  }
  Check(whole == kRounds, "shared console: every line whole in " +
                              std::to_string(whole) + " of " +
                              std::to_string(kRounds) + " rounds");
}

// The bytes of a copy on its way, in its hidden file (the empty lock file
// beside it aside); -1 when there is none.
long BytesAside() {
  WIN32_FIND_DATAA found;
  HANDLE search = FindFirstFileA(".kestrel.bin.*", &found);
  long bytes = -1;
  for (bool more = search != INVALID_HANDLE_VALUE; more;
       more = FindNextFileA(search, &found))
    bytes = std::max(bytes, static_cast<long>(found.nFileSizeLow));
  if (search != INVALID_HANDLE_VALUE) FindClose(search);
  return bytes;
}

// Starts a stamp of batch.bin, standard input NUL, and waits until its
// copy is under way; the bytes copied by then.
long StartMidCopy(HANDLE nul, HANDLE* process) {
  DeleteFileA("kestrel.bin");
  *process = Start(" batch.bin 001234567", nul);
  long copied = 0;
  for (int i = 0; i < 2000 && (copied = BytesAside()) <= 0; ++i) Sleep(5);
  return copied;
}

// Ended mid-copy, by a test executive's TerminateProcess or by Ctrl+Break
// as Windows delivers it (a thread started at CtrlRoutine in the tool),
// the tool leaves no copy, whole or partial; Ctrl+Break ends it as it
// ends any program.
void CheckEndedMidCopy(HANDLE nul) {
  auto routine =
      reinterpret_cast<LPTHREAD_START_ROUTINE>(reinterpret_cast<void*>(
          GetProcAddress(GetModuleHandleA("kernelbase.dll"), "CtrlRoutine")));
  constexpr long kControlCExit = static_cast<long>(0xC000013A);
  int rounds = 16, left = 0, statuses = 0;
  for (int round = 0; round <= rounds; ++round) {
    HANDLE process = nullptr;
    StartMidCopy(nul, &process);
    if (process == nullptr) continue;
    long status;
    if (round == rounds) {
      TerminateProcess(process, 9);
      status = Finish(process, 20000) == 9 ? kControlCExit : -1;
    } else {
      HANDLE thread = CreateRemoteThread(
          process, nullptr, 0, routine,
          reinterpret_cast<void*>(static_cast<DWORD_PTR>(CTRL_BREAK_EVENT)), 0,
          nullptr);
      if (thread != nullptr) CloseHandle(thread);
      status = Finish(process, 20000);
    }
    CloseHandle(process);
    left += GetFileAttributesA("kestrel.bin") != INVALID_FILE_ATTRIBUTES ||
            BytesAside() >= 0;
    statuses += status == kControlCExit;
  }
  Check(left == 0, "ended mid-copy: a copy left in " + std::to_string(left) +
                       " of " + std::to_string(rounds + 1) + " rounds");
  Check(statuses == rounds + 1,
        "ended mid-copy: Ctrl+Break ends with 0xC000013A in " +
            std::to_string(statuses) + " of " + std::to_string(rounds) +
            " rounds");
}

void WriteWhole(const char* name, const std::string& bytes) {
  HANDLE file =
      CreateFileA(name, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  DWORD put = 0;
  WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &put,
            nullptr);
  CloseHandle(file);
}

// While one stamp copies, a second is refused at once with 73 and the
// first ends whole. Then another program takes the copy's name while the
// stamp copies: refused its name, or ended while it waits for it, the
// stamp leaves no hidden copy.
void CheckOneStampAtATime(HANDLE nul, std::size_t size) {
  WriteWhole("second.bin", "0123456789ABCDEF");
  auto pause = [](const char* name, HANDLE process) {
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    reinterpret_cast<LONG(WINAPI*)(HANDLE)>(
        reinterpret_cast<void*>(GetProcAddress(ntdll, name)))(process);
  };
  HANDLE first = nullptr;
  StartMidCopy(nul, &first);
  pause("NtSuspendProcess", first);  // however fast it copies
  HANDLE second = Start(" second.bin 001234567", nul);
  long refused = second != nullptr ? Finish(second, 20000) : -1;
  pause("NtResumeProcess", first);
  long status = first != nullptr ? Finish(first, 60000) : -1;
  CloseHandle(first);
  CloseHandle(second);
  WIN32_FILE_ATTRIBUTE_DATA copy = {};
  GetFileAttributesExA("kestrel.bin", GetFileExInfoStandard, &copy);
  Check(refused == 73 && status == 0 && copy.nFileSizeLow == size,
        "two stamps at once: the second ends with 73, seen " +
            std::to_string(refused) + ", the first with 0, seen " +
            std::to_string(status) + ", and its copy is whole");

  StartMidCopy(nul, &first);
  HANDLE held = CreateFileA("kestrel.bin", GENERIC_WRITE, 0, nullptr,
                            CREATE_NEW, 0, nullptr);
  for (int i = 0; i < 2000 && BytesAside() != static_cast<long>(size); ++i)
    Sleep(5);
  Sleep(200);
  if (first != nullptr) TerminateProcess(first, 9);
  Finish(first, 20000);
  CloseHandle(first);
  CloseHandle(held);
  Check(BytesAside() < 0, "the name taken meanwhile: no hidden copy is left");
}

// Stamped in place, not hidden, in working folders named in letters the
// ANSI code page lacks, one beside a look-alike, and one whose path with
// the copy's hidden name is longer than MAX_PATH; a killed run's hidden
// copy there is removed.
void CheckFolders(HANDLE nul) {
  wchar_t start[MAX_PATH] = {};
  DWORD length = GetCurrentDirectoryW(MAX_PATH, start);
  const std::string image = "0123456789ABCDEF";
  CreateDirectoryW(L"Zaslepka", nullptr);
  WriteWhole("Zaslepka\\kestrel.bin", "other");
  for (const std::wstring& folder :
       {std::wstring(L"\u0141\u00F3d\u017A"),
        std::wstring(L"\u041F\u0430\u043F\u043A\u0430"),
        std::wstring(L"\u6587\u4EF6\u5939"), std::wstring(L"Za\u015Blepka"),
        std::wstring(246 - length, L'f')}) {
    CreateDirectoryW(folder.c_str(), nullptr);
    SetCurrentDirectoryW(folder.c_str());
    WriteWhole("board.bin", image);
    WriteWhole("kestrel.bin", "old");
    WriteWhole(".kestrel.bin.123456", "left by a killed run");
    HANDLE process = Start(" board.bin 001234567", nul);
    long status = process != nullptr ? Finish(process, 20000) : -1;
    if (process != nullptr) CloseHandle(process);
    WIN32_FILE_ATTRIBUTE_DATA copy = {};
    GetFileAttributesExA("kestrel.bin", GetFileExInfoStandard, &copy);
    Check(status == 0 && copy.nFileSizeLow == image.size() &&
              (copy.dwFileAttributes & FILE_ATTRIBUTE_HIDDEN) == 0 &&
              BytesAside() < 0,
          "a folder of " + std::to_string(length + 1 + folder.size()) +
              " characters: stamped in place, status " +
              std::to_string(status));
    SetCurrentDirectoryW(start);
  }
  WIN32_FILE_ATTRIBUTE_DATA other = {};
  GetFileAttributesExA("Zaslepka\\kestrel.bin", GetFileExInfoStandard, &other);
  Check(other.nFileSizeLow == 5, "the look-alike folder's copy is untouched");
}

void CheckBatchStamp() {
  const std::string image(128 << 20, 'b');
  WriteWhole("batch.bin", image);
  SECURITY_ATTRIBUTES inherited = {sizeof inherited, nullptr, TRUE};
  HANDLE nul = CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ, &inherited,
                           OPEN_EXISTING, 0, nullptr);
  CheckEndedMidCopy(nul);
  CheckOneStampAtATime(nul, image.size());
  CheckFolders(nul);
  Prepare(120, 9001, {});
  SetConsoleCursorPosition(out, COORD{0, 100});
  HANDLE process = nullptr;
  long copied = StartMidCopy(nul, &process);
  WIN32_FILE_ATTRIBUTE_DATA output = {};
  const std::string other = "another program\r\n";
  DWORD put = 0;
  WriteConsoleA(out, other.data(), static_cast<DWORD>(other.size()), &put,
                nullptr);
  GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0);
  long status = process != nullptr ? Finish(process, 60000) : -1;
  CloseHandle(nul);
  GetFileAttributesExA("kestrel.bin", GetFileExInfoStandard, &output);
  Check(copied > 0 && static_cast<std::size_t>(copied) < image.size(),
        "batch job: Ctrl+C comes while the tool copies");
  Check(output.nFileSizeLow == image.size(), "batch job: the copy is whole");
  Check(status == 0, "batch job: Ctrl+C does not end the stamp, status " +
                         std::to_string(status));
  Check(Row(100, 120) == "another program" && Row(101, 120).empty() &&
            Row(102, 120) ==
                "Kestrel Tool 2. File kestrel.bin successfully created",
        "batch job: the block comes below the other program's line, seen \"" +
            Row(101, 120) + "\"");
  DeleteFileA("batch.bin");
  DeleteFileA("kestrel.bin");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::printf("usage: console_driver KESTREL_EXE\n");
    return 2;
  }
  tool = argv[1];
  in = GetStdHandle(STD_INPUT_HANDLE);
  // Standard output carries the results; the screen is the console's own.
  out = CreateFileA("CONOUT$", GENERIC_READ | GENERIC_WRITE,
                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                    0, nullptr);
  // Queued Ctrl+C records must not raise the Ctrl+C event in the driver.
  DWORD mode = 0;
  GetConsoleMode(in, &mode);
  SetConsoleMode(in, mode & ~static_cast<DWORD>(ENABLE_PROCESSED_INPUT));
  // Nor end the driver; a handler, unlike ignoring Ctrl+C, is not passed on
  // to the tool.
  SetConsoleCtrlHandler([](DWORD) -> BOOL { return TRUE; }, TRUE);
  // What the terminal sent before the driver ran (`script` sends a NUL when
  // its own input ends) is not ours: wine queues it once asked to wait.
  for (int i = 0; i < 5; ++i) {
    WaitForSingleObject(in, 100);
    FlushConsoleInputBuffer(in);
  }

  const DWORD ctrl = LEFT_CTRL_PRESSED;
  for (const KeyCase& c : std::vector<KeyCase>{
           {"a letter", Press('X', 'x'), true, 0},
           {"a key without a character", Press(VK_F1), true, 0},
           {"Ctrl+C as a key", Press('C', 3, ctrl), true, 0},
           {"modifiers alone",
            Join({Press(VK_SHIFT, 0, SHIFT_PRESSED), Press(VK_CONTROL, 0, ctrl),
                  Press(VK_MENU, 0, LEFT_ALT_PRESSED), Press(VK_CAPITAL),
                  Press(VK_NUMLOCK), Press(VK_SCROLL)}),
            false, 0},
           {"a key-up alone", {Key('X', false, 'x')}, false, 0},
           {"mouse, focus, size and menu events", Others(), false, 0},
           {"Alt+65 on the keypad", AltCode({6, 5}), true, 0},
           {"Alt+0 on the keypad", AltCode({0}), false, 0},
           {"a keypad digit stops the taking",
            Join({Press(VK_NUMPAD5, '5'), Press('X', 'x')}), true, 3},
       }) {
    CheckKeyWait(c);
  }

  const std::string title = "Kestrel Tool 2. **** Error ****";
  const std::string unknown =
      "Unknown file type. x.txt is not a BIN or HEX file";
  const std::string long_name(400, 'n');
  const std::string long_line =
      "Unknown file type. " + long_name + " is not a BIN or HEX file";
  for (const ScreenCase& c : std::vector<ScreenCase>{
           {"120x9001, cursor at row 300",
            120,
            9001,
            300,
            "x.txt",
            {0, 299},
            {{299, "row 299"}, {300, ""}, {301, title}, {302, unknown}},
            303},
           {"120x9001, cursor at the last row",
            120,
            9001,
            9000,
            "x.txt",
            {5, 8999},
            {{2, "row 5"},
             {8996, "row 8999"},
             {8997, ""},
             {8998, title},
             {8999, unknown},
             {9000, ""}},
            9000},
           {"300 columns, a line wider than 256",
            300,
            9001,
            10,
            long_name,
            {9},
            {{9, "row 9"},
             {11, title},
             {12, long_line.substr(0, 300)},
             {13, long_line.substr(300)}},
            14},
           // Each line end clears the one row: no line is left half over
           // another.
           {"one row", 120, 1, 0, "x.txt", {}, {{0, ""}}, 0},
           {"300 columns, at the last row",
            300,
            9001,
            9000,
            "x.txt",
            {},
            {{8997, ""}, {8998, title}, {8999, unknown}, {9000, ""}},
            9000},
       }) {
    CheckScreen(c);
  }
  // Columns beyond 256 scroll with the rest of the row.
  Prepare(300, 9001, {});
  Put(280, 8999, "right");
  SetConsoleCursorPosition(out, COORD{0, 9000});
  HANDLE process = Start(" x.txt 001234567");
  if (process != nullptr) {
    Finish(process, 20000);
    CloseHandle(process);
  }
  std::string moved = Row(8996, 300);
  Check(moved.size() == 285 && moved.substr(280) == "right",
        "300 columns: the far right of a row scrolls up with it");

  CheckBatchStamp();
  CheckSharedConsole();

  HANDLE hidden = Start("", nullptr, CREATE_NO_WINDOW);
  Check(hidden != nullptr && Finish(hidden, 10000) == 64,
        "no window: the usage wait ends at once with status 64");

  std::printf("%d passed, %d failed\n", passed, failed);
  return failed == 0 ? 0 : 1;
}
