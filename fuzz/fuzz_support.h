// Shared by the fuzz targets: a property check that stops the run.
#ifndef KESTREL_FUZZ_FUZZ_SUPPORT_H_
#define KESTREL_FUZZ_FUZZ_SUPPORT_H_

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#define FUZZ_ASSERT(condition)                                                 \
  do {                                                                         \
    if (!(condition)) {                                                        \
      std::fprintf(stderr, "%s:%d: property broken: %s\n", __FILE__, __LINE__, \
                   #condition);                                                \
      std::abort();                                                            \
    }                                                                          \
  } while (0)

// The lines of an image by the text-file rules: LF, CR LF or a lone CR ends
// a line, and a Ctrl-Z at the start of a line ends the image, except at
// the very start when `first_line_whole` is set (a first line is read
// without asking for the end).
inline std::vector<std::string> ReferenceLines(const std::string& text,
                                               bool first_line_whole) {
  std::vector<std::string> lines;
  std::size_t at = 0;
  while (at < text.size() &&
         (text[at] != 26 || (first_line_whole && lines.empty()))) {
    std::size_t end = text.find_first_of("\r\n", at);
    if (end == std::string::npos) {
      lines.push_back(text.substr(at));
      break;
    }
    lines.push_back(text.substr(at, end - at));
    at = end + (text.compare(end, 2, "\r\n") == 0 ? 2 : 1);
  }
  return lines;
}

#endif  // KESTREL_FUZZ_FUZZ_SUPPORT_H_
