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

// Runs a patch in three nested stages, each inside a handler that catches
// a failure of any kind and prints the stage's own block:
// - `input_stage` opens the image (a failure prints "Can't find file " and
//   the name, status 66);
// - then the serial number is parsed and `serial_stage` runs with its value
//   (a failure prints the not-a-number block, status 64; a wrong length
//   the length block, and `serial_stage` does not run);
// - `output_stage` creates, copies, closes and reports success (a failure
//   prints "Can't create file " and `output_name`, status 73).
void RunPatchStages(
    const std::string& name, const std::string& serial_text,
    std::string_view output_name, const std::function<void()>& input_stage,
    const std::function<void(std::int32_t serial)>& serial_stage,
    const std::function<void()>& output_stage);

}  // namespace kestrel

#endif  // KESTREL_CLI_PATCH_STAGES_H_
