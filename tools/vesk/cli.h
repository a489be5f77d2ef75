// The host tool's command line: global options, six subcommands that call
// the library's operations, and the demo.
#ifndef VESK_TOOLS_VESK_CLI_H_
#define VESK_TOOLS_VESK_CLI_H_

#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace vesk::tool {

struct OptionInfo {
  const char* name;   // without the leading "--"
  const char* value;  // name of its value in the help, null for a flag
  const char* help;
  bool repeatable = false;
};

struct CommandInfo {
  const char* name;
  const char* summary;
  const char* usage;    // the line after "vesk NAME"
  const char* details;  // more text for --help, may be empty
  std::vector<OptionInfo> options;
};

// The parsed command line. Options may stand before or after the command.
struct CommandLine {
  std::string command;  // empty when none was given
  // Every option in command-line order; a flag has an empty value.
  std::vector<std::pair<std::string, std::string>> given;
  std::vector<std::string> operands;

  bool Has(const std::string& name) const;
  // The last value given for the option.
  std::optional<std::string> Get(const std::string& name) const;
  std::vector<std::string> All(const std::string& name) const;
};

const std::vector<OptionInfo>& GlobalOptions();
const std::vector<CommandInfo>& Commands();
const CommandInfo* FindCommand(const std::string& name);

// Parses argv[1..]; on a usage error answers nothing and says why.
std::optional<CommandLine> ParseCommandLine(
    const std::vector<std::string>& args, std::string* error);

// "--help" texts.
std::string GeneralHelp();
std::string CommandHelp(const CommandInfo& info);

// Parses a decimal integer option in [min, max]; nothing when it is not one.
std::optional<long long> ParseInteger(const std::string& text, long long min,
                                      long long max);

// The whole program: parses, prepares the device root and the code page,
// runs the command and returns the exit status.
int Main(int argc, char** argv);

}  // namespace vesk::tool

#endif  // VESK_TOOLS_VESK_CLI_H_
