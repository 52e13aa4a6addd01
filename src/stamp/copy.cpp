#include "stamp/copy.h"

#include "runtime/exit_status.h"
#include "runtime/failure.h"
#include "stamp/messages.h"

namespace kestrel {

int KeepCopy(HeldFile& output, std::string_view output_name) {
  // Another program may have removed or renamed it meanwhile.
  if (!StillThere(output)) throw IoError("the copy is gone");
  KeepOutput(output);
  PrintSuccessBlock(output_name);
  return kStatusSuccess;
}

int DiscardCopy(HeldFile& output, std::string_view output_name) {
  DiscardOutput(output);
  PrintCantCreateBlock(output_name);
  return kStatusCantCreate;
}

}  // namespace kestrel
