// vesk: the host tool of the VESK80 library.
#include "tools/vesk/cli.h"

int main(int argc, char** argv) { return vesk::tool::Main(argc, argv); }
