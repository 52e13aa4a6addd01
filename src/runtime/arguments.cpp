#include "runtime/arguments.h"

namespace kestrel {
namespace {

std::vector<std::string> table{std::string()};
std::vector<std::string> as_typed;  // entry i is argument i + 1

bool IsSeparator(char c) { return c == ' ' || c == '\t' || c == '\r'; }

}  // namespace

std::vector<std::string> SplitCommandLine(std::string_view line) {
  std::vector<std::string> words;
  std::size_t i = 0;
  while (true) {
    while (i < line.size() && IsSeparator(line[i])) ++i;
    if (i == line.size()) break;
    char quote = line[i];
    if (quote == '"' || quote == '\'') {
      std::size_t close = line.find(quote, i + 1);
      std::size_t end = close == std::string_view::npos ? line.size() : close;
      words.emplace_back(line.substr(i + 1, end - i - 1));
      i = close == std::string_view::npos ? line.size() : close + 1;
    } else {
      std::size_t start = i;
      while (i < line.size() && !IsSeparator(line[i])) ++i;
      words.emplace_back(line.substr(start, i - start));
    }
  }
  return words;
}

void SetArgumentTable(std::string_view program,
                      const std::vector<std::string>& arguments) {
  table.assign(1, std::string(program.substr(0, 255)));
  for (const std::string& argument : arguments) {
    if (table.size() == kMaxArgumentEntries) break;
    table.push_back(argument);
  }
}

void SetArgumentsAsTyped(const std::vector<std::string>& arguments) {
  as_typed = arguments;
}

std::string_view ArgumentAsTyped(std::string_view text) {
  for (std::size_t i = 1; i < table.size() && i <= as_typed.size(); ++i) {
    if (table[i] == text) return as_typed[i - 1];
  }
  return text;
}

int ArgumentCount() { return static_cast<int>(table.size()) - 1; }

const std::string& Argument(int index) {
  static const std::string empty;
  if (index < 0 || index > ArgumentCount()) return empty;
  return table[static_cast<std::size_t>(index)];
}

}  // namespace kestrel
