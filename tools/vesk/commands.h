// The subcommands: each reads its options, calls its operation (ops.h) and
// prints the outcome for people or as JSON.
#ifndef VESK_TOOLS_VESK_COMMANDS_H_
#define VESK_TOOLS_VESK_COMMANDS_H_

#include <string>

#include "tools/vesk/cli.h"

namespace vesk::tool {

// What every command gets besides its own options.
struct Context {
  std::string deviceRoot;       // absolute host directory
  std::string environmentPath;  // handset path of the environment file
  bool json = false;
  bool progress = false;  // draw the progress line (a terminal, no --quiet)
};

int RunActivate(const CommandLine& cl, const Context& cx);
int RunAccount(const CommandLine& cl, const Context& cx);
int RunBeat(const CommandLine& cl, const Context& cx);
int RunDownload(const CommandLine& cl, const Context& cx);
int RunLoad(const CommandLine& cl, const Context& cx);
int RunSave(const CommandLine& cl, const Context& cx);

// A usage error: the message and a pointer to --help on standard error.
int UsageError(const std::string& command, const std::string& message);

}  // namespace vesk::tool

#endif  // VESK_TOOLS_VESK_COMMANDS_H_
