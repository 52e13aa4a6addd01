// Processor faults: each becomes the unhandled-failure report on standard
// output and status 217, with the console's input mode put back first.
#ifndef KESTREL_RUNTIME_FAULTS_H_
#define KESTREL_RUNTIME_FAULTS_H_

namespace kestrel {
namespace platform {

void InstallFaultHandlers();

}  // namespace platform
}  // namespace kestrel

#endif  // KESTREL_RUNTIME_FAULTS_H_
