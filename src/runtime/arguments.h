// The argument table, built once at start-up.
#ifndef KESTREL_RUNTIME_ARGUMENTS_H_
#define KESTREL_RUNTIME_ARGUMENTS_H_

#include <string>
#include <string_view>
#include <vector>

namespace kestrel {

// The table holds the program's own file name and at most 126 arguments.
constexpr std::size_t kMaxArgumentEntries = 127;

// Splits a raw command line into its words, the program name as typed
// included: blanks, tabs and CRs separate; a word opened by a double quote
// or an apostrophe runs to the same character or the end of the line, and
// the next word starts right after the closing quote. No escapes.
std::vector<std::string> SplitCommandLine(std::string_view line);

// Entry 0 becomes `program` (cut to 255 characters); `arguments` are the
// words after the program name. Entries beyond the table's size are dropped.
void SetArgumentTable(std::string_view program,
                      const std::vector<std::string>& arguments);

// Where the platform's text may lack characters the user typed (Windows'
// code page), the same arguments in UTF-8, as typed; nothing elsewhere.
void SetArgumentsAsTyped(const std::vector<std::string>& arguments);
// The argument whose text is `text` as it was typed, in UTF-8 where the
// platform gave that; otherwise `text`.
std::string_view ArgumentAsTyped(std::string_view text);

// The number of arguments after entry 0.
int ArgumentCount();
// Entry `index`, or the empty text outside 0..ArgumentCount().
const std::string& Argument(int index);

}  // namespace kestrel

#endif  // KESTREL_RUNTIME_ARGUMENTS_H_
