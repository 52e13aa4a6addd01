// The body of the tool: argument check, usage block and dispatch.
#ifndef KESTREL_CLI_FRONT_END_H_
#define KESTREL_CLI_FRONT_END_H_

#include <string>
#include <string_view>

namespace kestrel {

// The last three characters of `name` (all of it when shorter), with only
// the ASCII letters upper-cased.
std::string FileKind(std::string_view name);

// Runs once per process, after the runtime is set up; the exit status.
int RunFrontEnd();

}  // namespace kestrel

#endif  // KESTREL_CLI_FRONT_END_H_
