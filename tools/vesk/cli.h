// The host tool's command line: global options, six subcommands that call
// the library's operations, the demo and `help`, read by CLI11.
#ifndef VESK_TOOLS_VESK_CLI_H_
#define VESK_TOOLS_VESK_CLI_H_

#include <cstdint>
#include <set>
#include <string>
#include <vector>

namespace vesk::tool {

// Options of every command, before or after it.
struct GlobalOptions {
  std::string environmentPath = "\\PocketDisk1\\handset.env";
  std::string deviceRoot;  // default: $VESK_DEVICE_ROOT, else "device"
  int codepage = 0;        // 0: not given
  bool json = false;
  bool quiet = false;
};

// The resource of an operation: --url, or --base with the command's path.
struct EndpointOptions {
  std::string url, base;
  int port = 0;  // 0: the URL's own
};

struct ActivateOptions {
  int mode = 4;
  std::string username, password, name, email, province, validation, bom;
  std::string userAgent = "vesk host tool";
  std::string serial;  // empty: a fresh random one
  int32_t gender = 0, figure = 0;
};

struct TransferOptions {
  int64_t offset = 0;
  int64_t rangeEnd = 0;
  bool resume = false;   // the default; kept for scripts that say it
  bool restart = false;  // remove the transfer files of an earlier call
};

struct DownloadOptions : TransferOptions {
  std::string key;
  std::string to;  // "-": standard output
  std::string confirmUrl;
  int confirmPort = 0;
};

struct LoadOptions : TransferOptions {
  std::string package, archive;
  std::string target = "\\Storage Card";
  bool deleteArchive = false;
};

// One entry of a save, in command-line order.
struct SaveEntryOption {
  enum class Kind { kUpdate, kUpdateEmpty, kDelete } kind;
  std::string path;
};

struct DemoOptions {
  std::string service;  // empty: beside this program
  bool keep = false;
};

// The command line as read.
struct CommandLine {
  std::string command;
  GlobalOptions global;
  EndpointOptions endpoint;
  ActivateOptions activate;
  DownloadOptions download;
  LoadOptions load;
  std::vector<SaveEntryOption> save;
  DemoOptions demo;
  // Long names (without "--") of the options given.
  std::set<std::string> given;

  bool Has(const std::string& name) const { return given.count(name) > 0; }
};

// What reading the command line came to.
struct Parsed {
  enum class Kind {
    kRun,         // run cl
    kPrint,       // print text on standard output and exit 0 (help, version)
    kUsageError,  // text says what is wrong; exit 2
  };
  Kind kind = Kind::kRun;
  std::string text;
  std::string command;  // the command named, when one could be made out
  CommandLine cl;
};

// Reads argv[1..]. Options may stand anywhere: before the command or after
// it, in any order; the option names are those of the command.
Parsed ParseCommandLine(const std::vector<std::string>& args);

// The --help text of a command, or of the program for "".
std::string HelpText(const std::string& command);

// The names of the commands, in the order of the help.
std::vector<std::string> CommandNames();

// The whole program: parses, prepares the device root and the code page,
// runs the command and returns the exit status.
int Main(int argc, char** argv);

}  // namespace vesk::tool

#endif  // VESK_TOOLS_VESK_CLI_H_
