#include "runtime/files.h"

#include <cstring>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include "runtime/failure.h"
#include "runtime/failure_codes.h"

namespace kestrel {
namespace {

constexpr char kCtrlZ = 26;

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
#elif defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
  // Eight bytes a step elsewhere (ARM): a CR or LF makes its byte of x ^ CRs
  // or x ^ LFs zero, and the lowest byte that (v - ones) & ~v marks is the
  // first zero byte.
  constexpr std::uint64_t kOnes = 0x0101010101010101u;
  constexpr std::uint64_t kHighs = 0x8080808080808080u;
  for (; at + 8 <= size; at += 8) {
    std::uint64_t x;
    std::memcpy(&x, text + at, 8);
    std::uint64_t cr = x ^ (kOnes * '\r');
    std::uint64_t lf = x ^ (kOnes * '\n');
    std::uint64_t ends = (((cr - kOnes) & ~cr) | ((lf - kOnes) & ~lf)) & kHighs;
    if (ends != 0)
      return at + static_cast<std::size_t>(__builtin_ctzll(ends)) / 8;
  }
#endif
  while (at < size && text[at] != '\r' && text[at] != '\n') ++at;
  return at;
}

// A call that failed without saying why still failed.
void Fail(std::uint16_t code) {
  if (PendingIoError == 0) PendingIoError = code != 0 ? code : kGeneralFailure;
}

}  // namespace

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

void TextFile::Open(std::string_view name, Mode mode, const HeldFile* image) {
  name_ = std::string(name);
  if (PendingIoError != 0) return;
  if (mode_ != Mode::kClosed) CloseText(*this);
  if (PendingIoError != 0) return;
  if (mode == Mode::kWriting) {
    CreateHeld(name, image);
  } else {
    OpenHeld(name, OsAccess::kRead);
  }
  if (handle_ == kNoHandle) return;
  mode_ = mode;
  device_ = opened_.type == OsFileType::kCharacterDevice;
  position_ = valid_ = 0;
}

void OpenTextForRead(TextFile& file, std::string_view name) {
  file.Open(name, TextFile::Mode::kReading, nullptr);
}

void CreateTextForWrite(TextFile& file, std::string_view name,
                        const HeldFile* image) {
  file.Open(name, TextFile::Mode::kWriting, image);
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

// Most lines lie whole in the input's buffer, their end with them, and fit
// in the output's: those are copied here, and anything else goes through
// the single operations, so no system call comes sooner or later than
// theirs would.
bool CopyTextLines(TextFile& input, TextFile& output,
                   bool (*take)(std::string_view, void*), void* context) {
  std::string scratch;
  bool usual = input.mode_ == TextFile::Mode::kReading &&
               output.mode_ == TextFile::Mode::kWriting && !output.device_;
  while (PendingIoError == 0) {
    const char* start = input.buffer_ + input.position_;
    std::size_t left = input.valid_ - input.position_;
    if (usual && left > 0 && *start != kCtrlZ) {
      std::size_t n = UntilLineEnd(start, left);
      bool end_seen = n + 1 < left || (n < left && start[n] == '\n');
      if (end_seen && n + 2 < TextFile::kBufferSize - output.position_) {
        char* to = output.buffer_ + output.position_;
        std::memcpy(to, start, n);
        to[n] = '\r';
        to[n + 1] = '\n';
        output.position_ += n + 2;
        input.position_ +=
            start[n] == '\r' && start[n + 1] == '\n' ? n + 2 : n + 1;
        if (!take(std::string_view(start, n), context)) return false;
        continue;
      }
    }
    if (TextAtEnd(input)) return true;
    std::string_view line = ReadTextLine(input, scratch);
    if (PendingIoError == 0) WriteTextLine(output, line);
    if (PendingIoError == 0 && !take(line, context)) return false;
  }
  return true;
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
    file.Keep();
  }
  file.mode_ = TextFile::Mode::kClosed;
  file.device_ = false;
  file.position_ = file.valid_ = 0;
}

void ByteFile::Open(std::string_view name, std::size_t record_size, bool create,
                    const HeldFile* image) {
  name_ = std::string(name);
  if (PendingIoError != 0) return;
  if (is_open()) CloseByteFile(*this);
  if (PendingIoError != 0) return;
  if (record_size == 0) {
    Fail(kFileNotFound);
    return;
  }
  if (create) {
    CreateHeld(name, image);
  } else {
    OpenHeld(name, OsAccess::kReadWrite);
  }
  record_size_ = record_size;
}

void OpenByteFile(ByteFile& file, std::string_view name,
                  std::size_t record_size) {
  file.Open(name, record_size, false, nullptr);
}

void CreateByteFile(ByteFile& file, std::string_view name,
                    std::size_t record_size, const HeldFile* image) {
  file.Open(name, record_size, true, image);
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
  file.Keep();
}

}  // namespace kestrel
