// Message blocks shared by the front end and both patchers.
#ifndef KESTREL_CLI_MESSAGES_H_
#define KESTREL_CLI_MESSAGES_H_

#include <string_view>

namespace kestrel {

// An empty line and "Kestrel Tool 2. **** Error ****".
void PrintErrorTitle();
// The input-stage block: the title and "Can't find file " with the name.
void PrintInputStageBlock(std::string_view name);
// The output-stage block: the title and "Can't create file " with the name.
void PrintOutputStageBlock(std::string_view output_name);

}  // namespace kestrel

#endif  // KESTREL_CLI_MESSAGES_H_
