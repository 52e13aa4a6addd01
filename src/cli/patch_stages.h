// What both patchers share: their stages, each inside its own handler, and
// the message blocks those handlers print.
#ifndef KESTREL_CLI_PATCH_STAGES_H_
#define KESTREL_CLI_PATCH_STAGES_H_

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace kestrel {

// An empty line and "Kestrel Tool 2. **** Error ****".
void PrintErrorTitle();

// Runs a patch in three nested stages. `open_input` runs in the input stage
// (a failure prints "Can't find file " and the name, status 66). Then the
// serial number is parsed and `prepare` runs with its value in the serial
// stage (a failure prints the not-a-number block, status 64; a wrong length
// the length block). `copy` runs in the output stage (a failure prints
// "Can't create file " and `output_name`, status 73).
void RunPatchStages(const std::string& name, const std::string& serial_text,
                    std::string_view output_name,
                    const std::function<void()>& open_input,
                    const std::function<void(std::int32_t serial)>& prepare,
                    const std::function<void()>& copy);

}  // namespace kestrel

#endif  // KESTREL_CLI_PATCH_STAGES_H_
