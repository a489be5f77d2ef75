// vesk-service: a reference counterpart of the content service for demos
// and end-to-end tests of the handset library.
#include "tools/service/service.h"

int main(int argc, char** argv) {
  return vesk::service_tool::RunCommandLine(argc, argv);
}
