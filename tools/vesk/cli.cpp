#include "tools/vesk/cli.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "tools/vesk/commands.h"
#include "tools/vesk/demo.h"
#include "tools/vesk/ops.h"

namespace vesk::tool {

namespace {

constexpr char kDefaultEnvironment[] = "\\PocketDisk1\\handset.env";
constexpr char kVersion[] = "0.1.0";

const char kPathNote[] =
    "Handset paths are written as on the handset, \"\\Storage Card\\a.bin\";\n"
    "\"/\" works as the separator too (\"/Storage Card/a.bin\"). An absolute\n"
    "handset path lies under the device root (--device-root).\n";

// Every operation's resource: a full URL, or the reference service's
// address with the command's own path appended (/activate, /account,
// /heartbeat, /download, /packages/NAME, /save).
std::vector<OptionInfo> EndpointOptions() {
  return {
      {"url", "URL", "the service resource, http://host[:port]/path"},
      {"base", "URL",
       "the reference service's address, http://host:port; the "
       "command's own path is appended"},
      {"port", "N", "TCP port to connect to (default: the URL's port, or 80)"},
  };
}

std::vector<OptionInfo> With(std::vector<OptionInfo> a,
                             const std::vector<OptionInfo>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

}  // namespace

const std::vector<OptionInfo>& GlobalOptions() {
  static const std::vector<OptionInfo> options = {
      {"env", "PATH",
       "handset environment file (default \\PocketDisk1\\handset.env)"},
      {"device-root", "DIR",
       "host directory that holds the handset's storage (default ./device; "
       "created with \"Storage Card\" and \"PocketDisk1\")"},
      {"codepage", "N",
       "the handset's ANSI code page, a Windows code page number (default "
       "936)"},
      {"json", nullptr, "print the outcome as one JSON object"},
      {"quiet", nullptr, "no progress line"},
      {"help", nullptr, "show help"},
      {"version", nullptr, "show the version"},
  };
  return options;
}

const std::vector<CommandInfo>& Commands() {
  static const std::vector<CommandInfo> commands = {
      {"activate", "send the account data; modes 2 and 4 register the handset",
       "--username NAME --password WORD [options]",
       "Modes: 1 account data only; 2 register with a validation code; 3 and\n"
       "5 name and password only; 4 register a new account with all fields.\n"
       "Modes 2 and 4 generate the handset's key pair and, on success, write\n"
       "the environment file (--env).\n",
       With(EndpointOptions(),
            {{"mode", "N", "activation mode 1-5 (default 4)"},
             {"username", "NAME", "account name"},
             {"password", "WORD", "account password"},
             {"name", "TEXT", "the user's full name"},
             {"email", "ADDR", "e-mail address"},
             {"province", "TEXT", "province"},
             {"validation", "CODE", "validation code"},
             {"bom", "TEXT", "value of the form field \"bom\""},
             {"gender", "N", "gender code (default 0)"},
             {"figure", "N", "figure number (default 0)"},
             {"user-agent", "TEXT", "the handset's user agent"},
             {"serial", "TEXT",
              "the handset's serial (default: a fresh random one)"}})},
      {"account", "show the account that the handset's credentials belong to",
       "[--url URL | --base URL] [--port N]", "", EndpointOptions()},
      {"beat", "report the handset alive and list its notifications",
       "[--url URL | --base URL] [--port N]",
       "The service's notification document is stored in\n"
       "\\Storage Card\\savepush.xml on the way.\n",
       EndpointOptions()},
      {"download", "fetch one content file, verify it and confirm it",
       "[--url URL | --base URL] --key KEY [--to PATH] [options]",
       "The file arrives in PATH.Down (with the state file PATH.Down.cfg) and\n"
       "takes its name when it is complete and its MD5 matches. A cut "
       "transfer\n"
       "leaves both files; --resume continues from the data file.\n",
       With(EndpointOptions(),
            {{"key", "KEY", "content key"},
             {"to", "PATH",
              "handset path of the file (default \\Storage Card\\KEY)"},
             {"confirm-url", "URL",
              "where the arrival is confirmed (default: the download URL "
              "followed by /confirm)"},
             {"confirm-port", "N",
              "port of the confirmation (default: the confirmation URL's)"},
             {"offset", "N", "resume from this position"},
             {"range-end", "N", "last byte wanted"},
             {"resume", nullptr,
              "continue from the data file a previous call left"}})},
      {"load", "fetch a zip package and unpack it",
       "(--url URL | --base URL --package NAME) [options]",
       "The archive arrives in PATH.Down and is unpacked once it is whole.\n",
       With(EndpointOptions(),
            {{"package", "NAME", "package name, with --base"},
             {"archive", "PATH",
              "handset path of the archive (default \\Storage Card\\ and the "
              "URL's last segment)"},
             {"target", "DIR",
              "handset directory to unpack into (default \\Storage Card)"},
             {"offset", "N", "resume from this position"},
             {"range-end", "N", "last byte wanted"},
             {"delete-archive", nullptr, "delete the archive after unpacking"},
             {"resume", nullptr,
              "continue from the data file a previous call left"}})},
      {"save", "upload files and ask the service to delete files",
       "[--url URL | --base URL] (--update PATH | --delete PATH)...",
       "Entries are sent in the order given, at most 9.\n",
       With(EndpointOptions(),
            {{"update", "PATH", "upload this handset file", true},
             {"delete", "PATH", "ask the service to delete this file", true}})},
      {"demo",
       "run the whole system against a fresh reference service",
       "[--service PATH] [--keep]",
       "Starts vesk-service on a free loopback port with a fresh seeded data\n"
       "directory, and runs every operation against it with a fresh device\n"
       "root, with a report of each step. Exit status 0 when every step did\n"
       "what it should.\n",
       {{"service", "PATH",
         "the vesk-service program (default: beside this program)"},
        {"keep", nullptr,
         "keep the temporary data directory and device root"}}},
  };
  return commands;
}

const CommandInfo* FindCommand(const std::string& name) {
  for (const CommandInfo& c : Commands()) {
    if (name == c.name) return &c;
  }
  return nullptr;
}

bool CommandLine::Has(const std::string& name) const {
  for (const auto& g : given) {
    if (g.first == name) return true;
  }
  return false;
}

std::optional<std::string> CommandLine::Get(const std::string& name) const {
  std::optional<std::string> value;
  for (const auto& g : given) {
    if (g.first == name) value = g.second;
  }
  return value;
}

std::vector<std::string> CommandLine::All(const std::string& name) const {
  std::vector<std::string> values;
  for (const auto& g : given) {
    if (g.first == name) values.push_back(g.second);
  }
  return values;
}

namespace {

const OptionInfo* FindOption(const std::vector<OptionInfo>& known,
                             const std::string& name) {
  for (const OptionInfo& o : known) {
    if (name == o.name) return &o;
  }
  return nullptr;
}

}  // namespace

std::optional<CommandLine> ParseCommandLine(
    const std::vector<std::string>& args, std::string* error) {
  // Whether an option takes a value does not depend on the command (an
  // option name means the same everywhere), so options may stand before the
  // command too; whether the command accepts them is checked at the end.
  const auto lookup = [](const std::string& name) -> const OptionInfo* {
    if (const OptionInfo* o = FindOption(GlobalOptions(), name)) return o;
    for (const CommandInfo& c : Commands()) {
      if (const OptionInfo* o = FindOption(c.options, name)) return o;
    }
    return nullptr;
  };
  CommandLine cl;
  bool optionsEnd = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (!optionsEnd && a == "--") {
      optionsEnd = true;
      continue;
    }
    if (!optionsEnd && (a == "-h" || a == "-q")) {
      cl.given.emplace_back(a == "-h" ? "help" : "quiet", "");
      continue;
    }
    if (!optionsEnd && a.size() > 2 && a.compare(0, 2, "--") == 0) {
      std::string name = a.substr(2);
      std::optional<std::string> value;
      const size_t eq = name.find('=');
      if (eq != std::string::npos) {
        value = name.substr(eq + 1);
        name.resize(eq);
      }
      const OptionInfo* info = lookup(name);
      if (info == nullptr) {
        *error = "unknown option --" + name;
        return std::nullopt;
      }
      if (info->value == nullptr && value) {
        *error = "option --" + name + " takes no value";
        return std::nullopt;
      }
      if (info->value != nullptr && !value) {
        if (i + 1 >= args.size()) {
          *error = "option --" + name + " needs a value (" + info->value + ")";
          return std::nullopt;
        }
        value = args[++i];
      }
      cl.given.emplace_back(name, value.value_or(""));
      continue;
    }
    if (!optionsEnd && a.size() > 1 && a[0] == '-') {
      *error = "unknown option " + a;
      return std::nullopt;
    }
    if (cl.command.empty()) {
      cl.command = a;
    } else {
      cl.operands.push_back(a);
    }
  }
  const CommandInfo* command = nullptr;
  if (!cl.command.empty()) {
    command = FindCommand(cl.command);
    if (command == nullptr) {
      *error = "unknown command \"" + cl.command + "\"";
      return std::nullopt;
    }
  }
  for (const auto& g : cl.given) {
    if (FindOption(GlobalOptions(), g.first) != nullptr) continue;
    if (command == nullptr) {
      *error = "option --" + g.first + " needs a command";
      return std::nullopt;
    }
    const OptionInfo* info = FindOption(command->options, g.first);
    if (info == nullptr) {
      *error = "\"" + cl.command + "\" has no option --" + g.first;
      return std::nullopt;
    }
    if (!info->repeatable && info->value != nullptr &&
        cl.All(g.first).size() > 1) {
      *error = "option --" + g.first + " given twice";
      return std::nullopt;
    }
  }
  if (!cl.operands.empty()) {
    *error = "unexpected argument \"" + cl.operands.front() + "\"";
    return std::nullopt;
  }
  return cl;
}

std::optional<long long> ParseInteger(const std::string& text, long long min,
                                      long long max) {
  if (text.empty()) return std::nullopt;
  errno = 0;
  char* end = nullptr;
  const long long v = std::strtoll(text.c_str(), &end, 10);
  if (errno != 0 || end != text.c_str() + text.size() || v < min || v > max) {
    return std::nullopt;
  }
  return v;
}

namespace {

std::string OptionLines(const std::vector<OptionInfo>& options) {
  std::string out;
  for (const OptionInfo& o : options) {
    std::string left = std::string("  --") + o.name;
    if (o.value != nullptr) left += std::string(" ") + o.value;
    if (left.size() < 24) {
      left.resize(24, ' ');
    } else {
      left += "\n" + std::string(24, ' ');
    }
    // The help text wrapped at 79 columns, continued under itself.
    std::string help =
        std::string(o.help) + (o.repeatable ? " (repeatable)" : "");
    std::string line = left;
    size_t at = 0;
    while (at < help.size()) {
      size_t end = help.find(' ', at);
      if (end == std::string::npos) end = help.size();
      const std::string word = help.substr(at, end - at);
      if (line.size() > 24 && line.size() + 1 + word.size() > 79) {
        out += line + "\n";
        line = std::string(24, ' ');
      } else if (line.size() > 24) {
        line += ' ';
      }
      line += word;
      at = end + 1;
    }
    out += line + "\n";
  }
  return out;
}

}  // namespace

std::string GeneralHelp() {
  std::string out =
      "vesk: the VESK80 library's host tool\n\n"
      "Usage: vesk [global options] COMMAND [options]\n\nCommands:\n";
  for (const CommandInfo& c : Commands()) {
    std::string name = std::string("  ") + c.name;
    name.resize(12, ' ');
    out += name + c.summary + "\n";
  }
  out += "\nGlobal options:\n" + OptionLines(GlobalOptions());
  out += "\n";
  out += kPathNote;
  out +=
      "\nExit status: 0 success; 1 the service refused (or a download failed\n"
      "its checksum, code 916); 2 usage error; 3 no response (or a transfer\n"
      "that did not complete).\n"
      "\n`vesk COMMAND --help` describes a command.\n";
  return out;
}

std::string CommandHelp(const CommandInfo& info) {
  std::string summary = info.summary;
  summary[0] = static_cast<char>(std::toupper(summary[0]));
  std::string out = std::string("Usage: vesk ") + info.name + " " + info.usage +
                    "\n\n" + summary + ".\n";
  if (info.details[0] != '\0') out += std::string("\n") + info.details;
  out += "\nOptions:\n" + OptionLines(info.options);
  out += "\nGlobal options:\n" + OptionLines(GlobalOptions());
  if (std::string(info.name) != "demo") out += std::string("\n") + kPathNote;
  return out;
}

int UsageError(const std::string& command, const std::string& message) {
  std::fprintf(stderr, "vesk: %s\nTry `vesk%s%s --help`.\n", message.c_str(),
               command.empty() ? "" : " ", command.c_str());
  return kExitUsage;
}

namespace {

// The device root as an absolute directory with the handset's two storage
// folders in it.
bool PrepareDeviceRoot(const std::string& given, std::string* root,
                       std::string* error) {
  std::string path = given;
  if (path.empty() || path[0] != '/') {
    char cwd[4096];
    if (::getcwd(cwd, sizeof cwd) == nullptr) {
      *error = "cannot read the current directory";
      return false;
    }
    path = std::string(cwd) + "/" + path;
  }
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  for (const std::string& dir :
       {path, path + "/Storage Card", path + "/PocketDisk1"}) {
    // Parents first, as mkdir -p.
    for (size_t at = 1; at <= dir.size(); ++at) {
      if (at != dir.size() && dir[at] != '/') continue;
      const std::string part = dir.substr(0, at);
      if (::mkdir(part.c_str(), 0777) != 0 && errno != EEXIST) {
        *error = "cannot create the device root " + part + ": " +
                 std::strerror(errno);
        return false;
      }
    }
  }
  *root = path;
  return true;
}

}  // namespace

int Main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  std::string error;
  const std::optional<CommandLine> parsed = ParseCommandLine(args, &error);
  if (!parsed) {
    // Name the command in the hint when one can be made out.
    std::string command;
    for (const std::string& a : args) {
      if (FindCommand(a) != nullptr) {
        command = a;
        break;
      }
    }
    return UsageError(command, error);
  }
  const CommandLine& cl = *parsed;
  if (cl.Has("version")) {
    std::printf("vesk %s\n", kVersion);
    return kExitOk;
  }
  if (cl.command.empty()) {
    if (cl.Has("help")) {
      std::fputs(GeneralHelp().c_str(), stdout);
      return kExitOk;
    }
    std::fputs(GeneralHelp().c_str(), stderr);
    return kExitUsage;
  }
  const CommandInfo* info = FindCommand(cl.command);
  if (cl.Has("help")) {
    std::fputs(CommandHelp(*info).c_str(), stdout);
    return kExitOk;
  }

  Context cx;
  cx.json = cl.Has("json");
  cx.progress = !cl.Has("quiet") && ::isatty(2) == 1;
  cx.environmentPath = cl.Get("env").value_or(kDefaultEnvironment);
  if (const auto cp = cl.Get("codepage")) {
    if (!ParseInteger(*cp, 1, 65535)) {
      return UsageError(cl.command, "--codepage needs a code page number");
    }
    ::setenv("VESK_ANSI_CODEPAGE", cp->c_str(), 1);
  }
  if (cl.command != "demo") {
    // The library reads the device root whenever it resolves a path, so it
    // is set before the first call.
    if (!PrepareDeviceRoot(cl.Get("device-root").value_or("device"),
                           &cx.deviceRoot, &error)) {
      std::fprintf(stderr, "vesk: %s\n", error.c_str());
      return kExitUsage;
    }
    ::setenv("VESK_DEVICE_ROOT", cx.deviceRoot.c_str(), 1);
  }

  if (cl.command == "activate") return RunActivate(cl, cx);
  if (cl.command == "account") return RunAccount(cl, cx);
  if (cl.command == "beat") return RunBeat(cl, cx);
  if (cl.command == "download") return RunDownload(cl, cx);
  if (cl.command == "load") return RunLoad(cl, cx);
  if (cl.command == "save") return RunSave(cl, cx);
  return RunDemo(cl, cx);
}

}  // namespace vesk::tool
