// How both patchers end their output stage: the copy kept with the success
// block, or removed with the output stage's block.
#ifndef KESTREL_STAMP_COPY_H_
#define KESTREL_STAMP_COPY_H_

#include <string_view>

#include "runtime/files.h"

namespace kestrel {

// For a copy written whole and closed: kept, with the success block, when
// its name still leads to it; otherwise raises a failure of the output
// stage. The status.
int KeepCopy(HeldFile& output, std::string_view output_name);
// After a failure of the output stage: the copy removed and the stage's
// block. The status.
int DiscardCopy(HeldFile& output, std::string_view output_name);

}  // namespace kestrel

#endif  // KESTREL_STAMP_COPY_H_
