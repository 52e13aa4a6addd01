#include "cli/front_end.h"
#include "runtime/process.h"

int main(int argc, char** argv) {
  kestrel::StartTool(argc, argv);
  kestrel::EndProcess(kestrel::RunFrontEnd());
}
