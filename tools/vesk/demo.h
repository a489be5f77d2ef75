// `vesk demo`: the whole system against a fresh reference service.
#ifndef VESK_TOOLS_VESK_DEMO_H_
#define VESK_TOOLS_VESK_DEMO_H_

#include "tools/vesk/commands.h"

namespace vesk::tool {

// Runs the demo. SIGINT, SIGTERM and a closed standard output end it early:
// the service is stopped, the temporary directory removed (unless --keep),
// and the program then ends by that signal.
int RunDemo(const CommandLine& cl, const Context& cx);

}  // namespace vesk::tool

#endif  // VESK_TOOLS_VESK_DEMO_H_
