#include "runtime/files.h"

#include <cctype>
#include <csignal>
#include <cstring>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include "runtime/failure.h"
#include "runtime/failure_codes.h"

namespace kestrel {
namespace {

constexpr char kCtrlZ = 26;
constexpr std::size_t kMaxNameLength = 255;

// How many of the `size` bytes at `text` come before the first CR or LF.
std::size_t UntilLineEnd(const char* text, std::size_t size) {
  std::size_t at = 0;
#ifdef __SSE2__
  // Every line of an image goes through here: sixteen bytes a step.
  const __m128i cr = _mm_set1_epi8('\r');
  const __m128i lf = _mm_set1_epi8('\n');
  for (; at + 16 <= size; at += 16) {
    __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + at));
    int ends = _mm_movemask_epi8(
        _mm_or_si128(_mm_cmpeq_epi8(x, cr), _mm_cmpeq_epi8(x, lf)));
    if (ends != 0) return at + static_cast<std::size_t>(__builtin_ctz(ends));
  }
#endif
  while (at < size && text[at] != '\r' && text[at] != '\n') ++at;
  return at;
}

// A call that failed without saying why still failed.
void Fail(std::uint16_t code) {
  if (PendingIoError == 0) PendingIoError = code != 0 ? code : kGeneralFailure;
}

// The image this run holds, which no copy may ever be.
const HeldFile* held_image = nullptr;

// The copy being written, kept where the signal and fault handlers can
// reach it without allocating.
struct UnfinishedOutput {
  char name[kMaxNameLength + 1];
  OsFileInfo file;
  bool identified;  // else made by this run before it was looked at
  OsHandle handle;
  volatile std::sig_atomic_t active;
};
UnfinishedOutput unfinished = {};

void Register(const std::string& name, OsHandle handle,
              const OsFileInfo* file) {
  unfinished.active = 0;
  std::memcpy(unfinished.name, name.c_str(), name.size() + 1);
  unfinished.identified = file != nullptr;
  if (file != nullptr) unfinished.file = *file;
  unfinished.handle = handle;
  unfinished.active = 1;
}

bool EqualIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  }
  return true;
}

// On a file system that folds case (exFAT and FAT, as USB sticks come),
// the image "Kestrel.Bin" in the working directory is the copy
// "kestrel.bin", though the kernel may give the two spellings different
// inode numbers. The folding shows in a third spelling that finds a file.
bool SpelledLikeTheCopy(const std::string& image, const std::string& copy) {
  std::size_t slash = image.rfind('/');
  std::string base =
      slash == std::string::npos ? image : image.substr(slash + 1);
  if (!EqualIgnoringCase(base, copy)) return false;
  Os& os = CurrentOs();
  std::uint16_t code = 0;
  OsFileInfo folder, here;
  std::string directory =
      slash == std::string::npos ? "." : image.substr(0, slash + 1);
  if (!os.StatName(directory.c_str(), &folder, &code) ||
      !os.StatName(".", &here, &code) || !SameFile(folder, here)) {
    return false;
  }
  std::string probe = copy;
  for (char& c : probe) {
    c = static_cast<char>(std::isupper(static_cast<unsigned char>(c))
                              ? std::tolower(static_cast<unsigned char>(c))
                              : std::toupper(static_cast<unsigned char>(c)));
  }
  if (probe == base)
    probe = copy, probe[0] = static_cast<char>(std::toupper(probe[0]));
  OsFileInfo found;
  return os.StatName(probe.c_str(), &found, &code);
}

}  // namespace

HeldFile::~HeldFile() { Drop(); }

void HeldFile::Drop() {
  if (handle_ == kNoHandle) return;
  std::uint16_t pending = PendingIoError;
  CloseHeld();
  PendingIoError = pending;
}

// Opens and locks the file, and empties it only once the lock is held and
// it is known not to be the image, so that neither a file held by this or
// another run nor the input is ever emptied. A name too long for the table
// is refused whole: cut short, it would name another file.
void HeldFile::OpenHeld(std::string_view name, OsAccess access, bool create) {
  name_ = std::string(name);
  if (name_.size() > kMaxNameLength) return Fail(kPathNotFound);
  Os& os = CurrentOs();
  std::uint16_t code = 0;
  handle_ = os.Open(name_, access, create, &made_, &code);
  if (handle_ == kNoHandle) return Fail(code);
  // From here on a signal removes a file this open made; from before the
  // copy is emptied, the copy.
  if (made_) Register(name_, handle_, nullptr);
  bool ok = os.Stat(handle_, &opened_, &code);
  if (ok && create && held_image != nullptr &&
      (SameFile(opened_, held_image->opened_) ||
       SpelledLikeTheCopy(held_image->name_, name_))) {
    code = kAccessDenied;
    ok = false;
  }
  ok = ok && os.Lock(handle_, &code);
  bool regular = opened_.type == OsFileType::kDisk;
  if (ok && create && regular) {
    Register(name_, handle_, &opened_);
    ok = os.Truncate(handle_, &code);
  }
  if (!ok) {
    DiscardOutput(*this);
    return Fail(code);
  }
  output_ = create && regular;
  if (!create) held_image = this;
}

bool HeldFile::CloseHeld() {
  std::uint16_t code = 0;
  bool closed = CurrentOs().Close(handle_, &code);
  if (unfinished.handle == handle_) unfinished.handle = kNoHandle;
  if (held_image == this) held_image = nullptr;
  handle_ = kNoHandle;
  if (!closed) Fail(code);
  return closed;
}

bool UnchangedSinceOpened(const HeldFile& file) {
  OsFileInfo now;
  std::uint16_t code = 0;
  if (!CurrentOs().Stat(file.handle_, &now, &code)) {
    Fail(code);
    return true;
  }
  return SameState(now, file.opened_);
}

std::uint64_t SizeWhenOpened(const HeldFile& file) { return file.opened_.size; }

bool StillThere(const HeldFile& file) {
  OsFileInfo now;
  std::uint16_t code = 0;
  return CurrentOs().StatName(file.name_.c_str(), &now, &code) &&
         SameFile(now, file.opened_);
}

// One copy a run: whatever becomes of this one, no other is unfinished.
void KeepOutput(HeldFile& file) {
  unfinished.active = 0;
  file.output_ = file.made_ = false;
}

void DiscardOutput(HeldFile& file) {
  unfinished.active = 0;
  file.Drop();
  std::uint16_t code = 0;
  if (file.output_) {
    CurrentOs().Remove(file.name_.c_str(), &file.opened_, &code);
  } else if (file.made_) {
    // Made by this run a moment ago and refused since: no copy of anything.
    CurrentOs().Remove(file.name_.c_str(), nullptr, &code);
  }
  file.output_ = file.made_ = false;
}

void DiscardUnfinishedOutput() {
  if (!unfinished.active) return;
  unfinished.active = 0;
  Os& os = PlatformOs();
  std::uint16_t code = 0;
  if (unfinished.handle != kNoHandle) os.Close(unfinished.handle, &code);
  unfinished.handle = kNoHandle;
  os.Remove(unfinished.name, unfinished.identified ? &unfinished.file : nullptr,
            &code);
}

bool TextFile::Refill() {
  position_ = 0;
  valid_ = 0;
  std::uint16_t code = 0;
  long got = CurrentOs().Read(handle_, buffer_, kBufferSize, &code);
  if (got < 0) {
    Fail(code);
    return false;
  }
  valid_ = static_cast<std::size_t>(got);
  return valid_ > 0;
}

void TextFile::Flush() {
  if (position_ == 0) return;
  std::uint16_t code = 0;
  long put = CurrentOs().Write(handle_, buffer_, position_, &code);
  if (put < 0) {
    Fail(code);
  } else if (static_cast<std::size_t>(put) < position_) {
    Fail(kShortWrite);
  }
  position_ = 0;
}

void TextFile::Open(std::string_view name, Mode mode) {
  name_ = std::string(name);
  if (PendingIoError != 0) return;
  if (mode_ != Mode::kClosed) CloseText(*this);
  if (PendingIoError != 0) return;
  bool create = mode == Mode::kWriting;
  OpenHeld(name, create ? OsAccess::kWrite : OsAccess::kRead, create);
  if (handle_ == kNoHandle) return;
  mode_ = mode;
  device_ = opened_.type == OsFileType::kCharacterDevice;
  position_ = valid_ = 0;
}

void OpenTextForRead(TextFile& file, std::string_view name) {
  file.Open(name, TextFile::Mode::kReading);
}

void CreateTextForWrite(TextFile& file, std::string_view name) {
  file.Open(name, TextFile::Mode::kWriting);
}

std::string ReadTextLine(TextFile& file) {
  std::string scratch;
  return std::string(ReadTextLine(file, scratch));
}

std::string_view ReadTextLine(TextFile& file, std::string& scratch) {
  scratch.clear();
  if (PendingIoError != 0) return {};
  if (file.mode_ != TextFile::Mode::kReading) {
    Fail(file.mode_ == TextFile::Mode::kClosed ? kFileNotOpen
                                               : kNotOpenForInput);
    return {};
  }
  while (file.position_ < file.valid_ || file.Refill()) {
    const char* start = file.buffer_ + file.position_;
    std::size_t left = file.valid_ - file.position_;
    std::size_t n = UntilLineEnd(start, left);
    file.position_ += n;
    if (n == left) {  // the line goes on in the next buffer
      scratch.append(start, n);
      continue;
    }
    std::string_view line(start, n);
    // A CR that ends the buffer has the buffer refilled to look for an LF.
    bool refill = file.buffer_[file.position_] == '\r' &&
                  file.position_ + 1 == file.valid_;
    if (!scratch.empty() || refill) {
      scratch.append(start, n);
      line = scratch;
    }
    char end = file.buffer_[file.position_++];
    if (end == '\r' && (file.position_ < file.valid_ || file.Refill()) &&
        file.buffer_[file.position_] == '\n') {
      ++file.position_;
    }
    return line;
  }
  return scratch;
}

void WriteTextLine(TextFile& file, std::string_view text) {
  if (PendingIoError != 0) return;
  if (file.mode_ != TextFile::Mode::kWriting) {
    Fail(file.mode_ == TextFile::Mode::kClosed ? kFileNotOpen
                                               : kNotOpenForOutput);
    return;
  }
  if (text.size() + 2 < TextFile::kBufferSize - file.position_) {
    // The usual line, which fits with room to spare.
    char* to = file.buffer_ + file.position_;
    std::memcpy(to, text.data(), text.size());
    to[text.size()] = '\r';
    to[text.size() + 1] = '\n';
    file.position_ += text.size() + 2;
    if (file.device_) file.Flush();
    return;
  }
  for (std::string_view piece : {text, std::string_view("\r\n")}) {
    while (!piece.empty() && PendingIoError == 0) {
      std::size_t room = TextFile::kBufferSize - file.position_;
      std::size_t take = piece.size() < room ? piece.size() : room;
      std::memcpy(file.buffer_ + file.position_, piece.data(), take);
      file.position_ += take;
      piece.remove_prefix(take);
      if (file.position_ == TextFile::kBufferSize) file.Flush();
    }
  }
  if (file.device_) file.Flush();
}

bool TextAtCtrlZ(const TextFile& file) {
  return file.mode_ == TextFile::Mode::kReading &&
         file.position_ < file.valid_ && file.buffer_[file.position_] == kCtrlZ;
}

bool TextAtEnd(TextFile& file) {
  if (PendingIoError != 0) return true;
  if (file.mode_ != TextFile::Mode::kReading) {
    Fail(file.mode_ == TextFile::Mode::kClosed ? kFileNotOpen
                                               : kNotOpenForInput);
    return true;
  }
  if (file.position_ == file.valid_ && !file.Refill()) return true;
  return file.buffer_[file.position_] == kCtrlZ;
}

void CloseText(TextFile& file) {
  if (PendingIoError != 0) return;
  if (file.mode_ == TextFile::Mode::kClosed) {
    Fail(kFileNotOpen);
    return;
  }
  if (file.mode_ == TextFile::Mode::kWriting) file.Flush();
  // A character device stays open, as the standard devices do.
  if (file.device_) {
    file.handle_ = kNoHandle;
  } else {
    file.CloseHeld();
  }
  file.mode_ = TextFile::Mode::kClosed;
  file.device_ = false;
  file.position_ = file.valid_ = 0;
}

void ByteFile::Open(std::string_view name, std::size_t record_size,
                    bool create) {
  name_ = std::string(name);
  if (PendingIoError != 0) return;
  if (is_open()) CloseByteFile(*this);
  if (PendingIoError != 0) return;
  if (record_size == 0) {
    Fail(kFileNotFound);
    return;
  }
  OpenHeld(name, OsAccess::kReadWrite, create);
  record_size_ = record_size;
}

void OpenByteFile(ByteFile& file, std::string_view name,
                  std::size_t record_size) {
  file.Open(name, record_size, false);
}

void CreateByteFile(ByteFile& file, std::string_view name,
                    std::size_t record_size) {
  file.Open(name, record_size, true);
}

template <typename Move>
void ByteFile::Transfer(std::size_t count, std::size_t* moved,
                        std::uint16_t short_code, Move move) {
  std::size_t records = 0;
  if (PendingIoError != 0) {
    if (moved == nullptr && count > 0) PendingIoError = short_code;
  } else if (!is_open()) {
    Fail(kFileNotOpen);
  } else {
    std::uint16_t code = 0;
    long bytes = move(count * record_size_, &code);
    if (bytes < 0) {
      Fail(code);
    } else {
      records = static_cast<std::size_t>(bytes) / record_size_;
      if (moved == nullptr && records < count) Fail(short_code);
    }
  }
  if (moved != nullptr) *moved = records;
}

void ReadBlock(ByteFile& file, void* buffer, std::size_t count,
               std::size_t* delivered) {
  file.Transfer(count, delivered, kShortRead,
                [&](std::size_t size, std::uint16_t* code) {
                  return CurrentOs().Read(file.handle_, buffer, size, code);
                });
}

void WriteBlock(ByteFile& file, const void* buffer, std::size_t count,
                std::size_t* written) {
  file.Transfer(count, written, kShortWrite,
                [&](std::size_t size, std::uint16_t* code) {
                  return CurrentOs().Write(file.handle_, buffer, size, code);
                });
}

void CloseByteFile(ByteFile& file) {
  if (PendingIoError != 0) return;
  if (!file.is_open()) {
    Fail(kFileNotOpen);
    return;
  }
  file.CloseHeld();
}

}  // namespace kestrel
