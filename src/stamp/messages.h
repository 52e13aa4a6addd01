// The blocks that both patchers' stage handlers print; the serial stage's
// two are in serial.h.
#ifndef KESTREL_STAMP_MESSAGES_H_
#define KESTREL_STAMP_MESSAGES_H_

#include <string_view>

namespace kestrel {

constexpr char kErrorTitle[] = "Kestrel Tool 2. **** Error ****";

// An empty line and kErrorTitle.
void PrintErrorTitle();
// The input stage's block: the title and "Can't find file " and the name.
void PrintCantFindBlock(std::string_view name);
// An empty line and "Kestrel Tool 2. File " and the output's name and
// " successfully created".
void PrintSuccessBlock(std::string_view output_name);
// The output stage's block: the title and "Can't create file " and the
// output's name.
void PrintCantCreateBlock(std::string_view output_name);

}  // namespace kestrel

#endif  // KESTREL_STAMP_MESSAGES_H_
