// `vesk demo`: the whole system against a fresh reference service.
#ifndef VESK_TOOLS_VESK_DEMO_H_
#define VESK_TOOLS_VESK_DEMO_H_

#include "tools/vesk/commands.h"

namespace vesk::tool {

int RunDemo(const CommandLine& cl, const Context& cx);

}  // namespace vesk::tool

#endif  // VESK_TOOLS_VESK_DEMO_H_
