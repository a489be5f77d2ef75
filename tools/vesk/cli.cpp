#include "tools/vesk/cli.h"

#include <sys/stat.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>

#include "tools/vesk/commands.h"
#include "tools/vesk/demo.h"
#include "tools/vesk/ops.h"

namespace vesk::tool {

namespace {

constexpr char kVersionText[] = "vesk " VESK_TOOL_VERSION;
constexpr size_t kHelpColumns = 79;
constexpr size_t kOptionColumn = 26;

// Word-wraps text to `width` columns; the help formatter indents every line
// after a line feed under the first.
std::string Wrap(const std::string& text, size_t width) {
  std::string out, line;
  size_t at = 0;
  while (at <= text.size()) {
    size_t end = text.find_first_of(" \n", at);
    if (end == std::string::npos) end = text.size();
    const std::string word = text.substr(at, end - at);
    if (!line.empty() && line.size() + 1 + word.size() > width) {
      out += line + "\n";
      line.clear();
    }
    line += (line.empty() ? "" : " ") + word;
    if (end < text.size() && text[end] == '\n') {
      out += line + "\n";
      line.clear();
    }
    at = end + 1;
  }
  return out + line;
}

std::string Describe(const std::string& text) {
  return Wrap(text, kHelpColumns - kOptionColumn);
}

// Paragraphs of a footer, each wrapped to the help's width; a paragraph
// with line feeds of its own is kept as it is.
std::string Footer(const std::vector<std::string>& paragraphs) {
  std::string out;
  for (const std::string& p : paragraphs) {
    if (!out.empty()) out += "\n\n";
    out += p.find('\n') != std::string::npos ? p : Wrap(p, kHelpColumns);
  }
  return out;
}

// Option names in the help with the name of their value only: what an
// option excludes or needs is said in its text.
class HelpFormatter : public CLI::Formatter {
 public:
  std::string make_option_opts(const CLI::Option* option) const override {
    if (option->get_expected_max() == 0 || option->get_type_name().empty()) {
      return "";
    }
    return " " + option->get_type_name();
  }
};

const char kPathNote[] =
    "Handset paths are written as on the handset, \"\\Storage "
    "Card\\a.bin\"; \"/\" works as the separator too (\"/Storage "
    "Card/a.bin\"). An absolute handset path lies under the device root "
    "(--device-root).";

const char kExitStatuses[] =
    "Exit status:\n"
    "  0  the operation did what was asked (load: the whole archive arrived\n"
    "     and every entry was unpacked; activate in modes 2 and 4: a user id\n"
    "     came back; account: an account came back)\n"
    "  1  refused: by the service (its status, code and message) or by the\n"
    "     library (its message); or the reply was not what was asked: a file\n"
    "     that fails its checksum, entries not unpacked, no user id, no\n"
    "     account\n"
    "  2  usage error, or a guard stopped the command before the call (save\n"
    "     --update of a file that is not there, ...)\n"
    "  3  no response (cannot resolve host, connection refused, timed out,\n"
    "     connection closed), or a transfer that did not complete: the same\n"
    "     command continues it";

const char kEnvironment[] =
    "Environment:\n"
    "  VESK_DEVICE_ROOT      the default of --device-root\n"
    "  VESK_TIMEOUT_SECONDS  the longest wait for the service in which no\n"
    "                        byte moves (default 60; 0 waits without limit)\n"
    "  VESK_ANSI_CODEPAGE    the handset's ANSI code page (default 936;\n"
    "                        --codepage sets it)";

struct Command {
  const char* name;
  const char* summary;  // one line of the list of commands: 53 columns
  const char* details;  // footer of its help
};

const std::vector<Command>& Commands() {
  static const std::vector<Command> commands = {
      {"activate", "send account data; modes 2 and 4 register the handset",
       "Modes: 1 account data only; 2 register the handset with an existing "
       "account (validation code); 3 and 5 name and password only; 4 "
       "register a new account and the handset in one. Modes 2 and 4 "
       "generate the handset's key pair and, when the service assigns a "
       "user id, the library writes the environment file (--env), which "
       "holds the private key: vesk makes it readable by its owner alone "
       "(mode 0600). They succeed only when a user id comes back."},
      {"account", "show the account of the handset's credentials",
       "Succeeds only when the reply holds an account (a nonzero account "
       "id)."},
      {"beat", "report the handset alive and list its notifications",
       "The service's notification document is stored in \\Storage "
       "Card\\savepush.xml on the way."},
      {"download", "fetch one content file, verify it and confirm it",
       "The file arrives in PATH.Down (with the state file PATH.Down.cfg) "
       "and takes its name when it is complete and its MD5 matches. A data "
       "file that an earlier call left is continued from its size; "
       "--restart removes both files first and starts over. With --to - the "
       "file arrives at its default path and is then copied to standard "
       "output; the report goes to standard error (--json cannot go with "
       "it)."},
      {"load", "fetch a zip package and unpack it",
       "The archive arrives in PATH.Down and is unpacked once it is whole; "
       "a data file that an earlier call left is continued, --restart "
       "starts over. When a file already holds the archive path, the "
       "library unpacks that older file and keeps the new archive beside it "
       "under a free name (\"(1)\" before the extension); vesk says which. "
       "--delete-archive deletes the archive only when every entry was "
       "unpacked."},
      {"save", "upload files and ask the service to delete files",
       "Entries are sent in the order given, at most 9. --update refuses a "
       "file that is not there (exit status 2): the library would send an "
       "empty part for it. --update-empty sends that empty part on purpose, "
       "for a file that is not there."},
      {"demo", "run everything against a fresh reference service",
       "Starts vesk-service on a free loopback port with a fresh seeded "
       "data directory in $TMPDIR (default /tmp) and runs every operation "
       "against it with a fresh device root, with a report of each step "
       "(--json: one JSON document at the end). Exit status 0 when every "
       "step did what it should, 1 when one did not. Interrupted (SIGINT, "
       "SIGTERM, standard output closed), it stops the service and removes "
       "its directory unless --keep, and ends by that signal."},
      {"help", "show the help of a command", ""},
  };
  return commands;
}

// An option with a value named `value` in the help, and a flag.
template <typename T>
CLI::Option* Add(CLI::App& app, const char* name, T& variable,
                 const char* value, const std::string& help) {
  return app.add_option(name, variable, Describe(help))->type_name(value);
}
CLI::Option* Flag(CLI::App& app, const char* name, bool& variable,
                  const std::string& help) {
  return app.add_flag(name, variable, Describe(help));
}
template <typename T>
CLI::Validator Within(T low, T high) {
  return CLI::Range(low, high).description("");  // said in the option's text
}

void AddGlobalOptions(CLI::App& app, GlobalOptions& g) {
  const char* group = "Global options";
  Add(app, "--env", g.environmentPath, "PATH",
      "handset environment file (default \\PocketDisk1\\handset.env)")
      ->group(group);
  Add(app, "--device-root", g.deviceRoot, "DIR",
      "host directory that holds the handset's storage (default: "
      "$VESK_DEVICE_ROOT, else ./device); created with \"Storage Card\" and "
      "\"PocketDisk1\"")
      ->group(group);
  Add(app, "--codepage", g.codepage, "N",
      "the handset's ANSI code page, a Windows code page number (sets "
      "VESK_ANSI_CODEPAGE; default 936)")
      ->check(Within(1, 65535))
      ->group(group);
  Flag(app, "--json", g.json, "print the outcome as one JSON document")
      ->group(group);
  Flag(app, "-q,--quiet", g.quiet, "no progress line")->group(group);
  app.set_help_flag("-h,--help", "show this help")->group(group);
  app.set_version_flag("--version", kVersionText)
      ->description("show the version")
      ->group(group);
}

void AddEndpointOptions(CLI::App& app, EndpointOptions& e) {
  CLI::Option* url =
      Add(app, "--url", e.url, "URL",
          "the service resource, http://host[:port]/path (or --base)");
  Add(app, "--base", e.base, "URL",
      "the reference service's address, http://host:port; the command's own "
      "path is appended (or --url)")
      ->excludes(url);
  Add(app, "--port", e.port, "N",
      "TCP port to connect to (default: the URL's port, or 80)")
      ->check(Within(1, 65535));
}

void AddTransferOptions(CLI::App& app, TransferOptions& t, int64_t largest) {
  CLI::Option* offset =
      Add(app, "--offset", t.offset, "N",
          "ask for the file from this byte on (default: the size of the data "
          "file an earlier call left, else 0)")
          ->check(Within(int64_t{0}, largest));
  Add(app, "--range-end", t.rangeEnd, "N", "last byte wanted")
      ->check(Within(int64_t{0}, largest));
  CLI::Option* resume =
      Flag(app, "--resume", t.resume,
           "continue from the data file an earlier call left (the default)");
  Flag(app, "--restart", t.restart,
       "remove the data and state files of an earlier call and start over "
       "(not with --offset or --resume)")
      ->excludes(offset)
      ->excludes(resume);
}

void AddActivateOptions(CLI::App& app, ActivateOptions& a) {
  Add(app, "--mode", a.mode, "N", "activation mode 1-5 (default 4)")
      ->check(Within(1, 5));
  Add(app, "--username", a.username, "NAME", "account name (required)")
      ->required();
  Add(app, "--password", a.password, "WORD", "account password (required)")
      ->required();
  Add(app, "--name", a.name, "TEXT", "the user's full name");
  Add(app, "--email", a.email, "ADDR", "e-mail address");
  Add(app, "--province", a.province, "TEXT", "province");
  Add(app, "--validation", a.validation, "CODE", "validation code");
  Add(app, "--bom", a.bom, "TEXT", "value of the form field \"bom\"");
  Add(app, "--gender", a.gender, "N", "gender code (default 0)");
  Add(app, "--figure", a.figure, "N", "figure number (default 0)");
  Add(app, "--user-agent", a.userAgent, "TEXT",
      "the handset's user agent (default \"vesk host tool\")");
  Add(app, "--serial", a.serial, "TEXT",
      "the handset's serial (default: a fresh random one)");
}

void AddDownloadOptions(CLI::App& app, DownloadOptions& d) {
  Add(app, "--key", d.key, "KEY", "content key (required)")->required();
  Add(app, "--to", d.to, "PATH",
      "handset path of the file (default \\Storage Card\\KEY); - copies the "
      "finished file to standard output");
  Add(app, "--confirm-url", d.confirmUrl, "URL",
      "where the arrival is confirmed (default: the download URL followed "
      "by /confirm)");
  Add(app, "--confirm-port", d.confirmPort, "N",
      "port of the confirmation (default: the confirmation URL's)")
      ->check(Within(1, 65535));
  AddTransferOptions(app, d, UINT32_MAX);
}

void AddLoadOptions(CLI::App& app, LoadOptions& l) {
  Add(app, "--package", l.package, "NAME", "package name, with --base");
  Add(app, "--archive", l.archive, "PATH",
      "handset path of the archive (default \\Storage Card\\ and the URL's "
      "last segment)");
  Add(app, "--target", l.target, "DIR",
      "handset directory to unpack into (default \\Storage Card)");
  Flag(app, "--delete-archive", l.deleteArchive,
       "delete the archive once every entry is unpacked");
  AddTransferOptions(app, l, INT32_MAX);
}

struct Built {
  std::unique_ptr<CLI::App> app;
  std::map<std::string, CLI::App*> commands;
  // The save's entries, each option's values, and the options.
  std::vector<std::string> updates, emptyUpdates, deletions;
  CLI::Option* update = nullptr;
  CLI::Option* updateEmpty = nullptr;
  CLI::Option* remove = nullptr;
  std::string topic;  // of `help`
};

void AddSaveOptions(CLI::App& app, Built& b) {
  b.update = Add(app, "--update", b.updates, "PATH",
                 "upload this handset file, which must be there "
                 "(repeatable)");
  b.updateEmpty = Add(app, "--update-empty", b.emptyUpdates, "PATH",
                      "send an empty part for this handset file, which must "
                      "not be there (repeatable)");
  b.remove = Add(app, "--delete", b.deletions, "PATH",
                 "ask the service to delete this file (repeatable)");
  for (CLI::Option* o : {b.update, b.updateEmpty, b.remove}) {
    o->multi_option_policy(CLI::MultiOptionPolicy::TakeAll)
        ->expected(1)
        ->allow_extra_args(false);
  }
}

// The whole command line bound to cl.
std::unique_ptr<Built> Build(CommandLine& cl) {
  auto b = std::make_unique<Built>();
  b->app = std::make_unique<CLI::App>(
      "vesk: the VESK80 library's host tool, one operation per command",
      "vesk");
  CLI::App& app = *b->app;
  auto formatter = std::make_shared<HelpFormatter>();
  formatter->column_width(kOptionColumn);
  formatter->label("SUBCOMMAND", "COMMAND");
  app.formatter(formatter);
  // One command; a command name after it is a value (`vesk help load`).
  app.require_subcommand(0, 1);
  AddGlobalOptions(app, cl.global);
  app.footer(Footer({kPathNote, kExitStatuses, kEnvironment,
                     "`vesk help COMMAND` or `vesk COMMAND --help` "
                     "describes a command; `man vesk` describes them all."}));

  for (const Command& c : Commands()) {
    CLI::App* sub = app.add_subcommand(c.name, c.summary);
    sub->group("Commands");
    if (c.details[0] != '\0') sub->footer(Footer({c.details, kPathNote}));
    b->commands[c.name] = sub;
    const std::string name = c.name;
    if (name == "help") {
      sub->set_help_flag("-h,--help", "show this help");
      sub->add_option("command", b->topic, "the command to describe")
          ->type_name("COMMAND");
      continue;
    }
    if (name == "demo") {
      Add(*sub, "--service", cl.demo.service, "PATH",
          "the vesk-service program (default: beside this program)");
      Flag(*sub, "--keep", cl.demo.keep,
           "keep the temporary data directory and device root");
    } else {
      AddEndpointOptions(*sub, cl.endpoint);
    }
    if (name == "activate") AddActivateOptions(*sub, cl.activate);
    if (name == "download") AddDownloadOptions(*sub, cl.download);
    if (name == "load") AddLoadOptions(*sub, cl.load);
    if (name == "save") AddSaveOptions(*sub, *b);
    AddGlobalOptions(*sub, cl.global);
  }
  return b;
}

// What a first look at the arguments finds: where the command word stands
// (args.size() when there is none), and what CLI11 would report less
// plainly: a word that is no command, or an option that the command (or,
// without one, the program) does not know.
struct Scan {
  size_t command = 0;
  std::string problem;
};

Scan ScanArguments(const Built& b, const std::vector<std::string>& args) {
  std::vector<const CLI::App*> apps = {b.app.get()};
  for (const auto& c : b.commands) apps.push_back(c.second);
  const auto findAnywhere = [&](const std::string& name) {
    for (const CLI::App* app : apps) {
      if (const CLI::Option* o = app->get_option_no_throw(name)) return o;
    }
    return static_cast<const CLI::Option*>(nullptr);
  };
  const auto isOption = [](const std::string& a) {
    return a.size() > 1 && a[0] == '-';
  };
  const auto nameOf = [](const std::string& a) {
    return a.substr(0, a.find('='));
  };
  const auto takesValue = [&](const CLI::Option* o, const std::string& a) {
    return o != nullptr && o->get_expected_max() > 0 &&
           a.find('=') == std::string::npos;
  };

  // The command word: the first argument that is neither an option nor
  // the value of one.
  Scan scan;
  scan.command = args.size();
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--") break;
    if (isOption(a)) {
      const CLI::Option* o = findAnywhere(nameOf(a));
      if (o == nullptr) {
        scan.problem = "unknown option " + nameOf(a);
        return scan;
      }
      if (takesValue(o, a)) ++i;
      continue;
    }
    if (b.commands.count(a) > 0) {
      scan.command = i;
    } else {
      scan.problem = "unknown command \"" + a + "\"";
    }
    break;
  }
  if (!scan.problem.empty()) return scan;

  // Every option against the command that reads it.
  const bool named = scan.command < args.size();
  const CLI::App* reader =
      named ? b.commands.at(args[scan.command]) : b.app.get();
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--") break;
    if (i == scan.command || !isOption(a)) continue;
    const std::string name = nameOf(a);
    const CLI::Option* o = reader->get_option_no_throw(name);
    if (o == nullptr) {
      if (findAnywhere(name) == nullptr) {
        scan.problem = "unknown option " + name;
      } else if (named) {
        scan.problem = "\"" + args[scan.command] + "\" has no option " + name;
      } else {
        scan.problem = "option " + name + " needs a command";
      }
      return scan;
    }
    if (takesValue(o, a)) ++i;
  }
  return scan;
}

}  // namespace

std::vector<std::string> CommandNames() {
  std::vector<std::string> names;
  for (const Command& c : Commands()) names.push_back(c.name);
  return names;
}

std::string HelpText(const std::string& command) {
  CommandLine cl;
  const std::unique_ptr<Built> b = Build(cl);
  if (command.empty()) return b->app->help();
  const auto found = b->commands.find(command);
  if (found == b->commands.end()) return "";
  return found->second->help("vesk");
}

Parsed ParseCommandLine(const std::vector<std::string>& args) {
  Parsed parsed;
  CommandLine& cl = parsed.cl;
  std::unique_ptr<Built> b = Build(cl);
  // The command word goes first, so that every option, wherever it stood,
  // is read by the command that knows it.
  std::vector<std::string> ordered = args;
  const Scan scan = ScanArguments(*b, args);
  const size_t at = scan.command;
  if (at < args.size()) parsed.command = args[at];
  if (!scan.problem.empty()) {
    parsed.kind = Parsed::Kind::kUsageError;
    parsed.text = scan.problem;
    return parsed;
  }
  if (at < args.size()) {
    ordered.erase(ordered.begin() + static_cast<std::ptrdiff_t>(at));
    ordered.insert(ordered.begin(), args[at]);
  }
  std::reverse(ordered.begin(), ordered.end());  // CLI11 reads from the back
  try {
    b->app->parse(ordered);
  } catch (const CLI::CallForHelp&) {
    parsed.kind = Parsed::Kind::kPrint;
    parsed.text = HelpText(parsed.command == "help" ? "" : parsed.command);
    return parsed;
  } catch (const CLI::CallForVersion& version) {
    parsed.kind = Parsed::Kind::kPrint;
    parsed.text = std::string(version.what()) + "\n";
    return parsed;
  } catch (const CLI::ParseError& error) {
    parsed.kind = Parsed::Kind::kUsageError;
    parsed.text = error.what();
    return parsed;
  }
  if (parsed.command.empty()) {
    parsed.kind = Parsed::Kind::kUsageError;
    parsed.text = "a command is needed";
    return parsed;
  }
  cl.command = parsed.command;
  if (cl.command == "help") {
    parsed.kind = Parsed::Kind::kPrint;
    parsed.text = HelpText(b->topic);
    if (parsed.text.empty()) {
      parsed.kind = Parsed::Kind::kUsageError;
      parsed.text = "there is no command \"" + b->topic + "\"";
      parsed.command.clear();
    }
    return parsed;
  }
  const CLI::App* sub = b->commands.at(cl.command);
  for (const CLI::Option* o : sub->get_options()) {
    if (o->count() > 0 && !o->get_lnames().empty()) {
      cl.given.insert(o->get_lnames().front());
    }
  }
  if (cl.command == "save") {
    // The entries in command-line order across the three options.
    std::map<const CLI::Option*, size_t> taken;
    for (const CLI::Option* o : sub->parse_order()) {
      if (o != b->update && o != b->updateEmpty && o != b->remove) continue;
      const size_t index = taken[o]++;
      if (index >= o->results().size()) continue;
      const SaveEntryOption::Kind kind =
          o == b->update        ? SaveEntryOption::Kind::kUpdate
          : o == b->updateEmpty ? SaveEntryOption::Kind::kUpdateEmpty
                                : SaveEntryOption::Kind::kDelete;
      cl.save.push_back(SaveEntryOption{kind, o->results()[index]});
    }
  }
  return parsed;
}

namespace {

// The device root as an absolute directory with the handset's two storage
// folders in it.
bool PrepareDeviceRoot(const std::string& given, std::string* root,
                       std::string* error) {
  std::string path = given;
  if (path.empty() || path[0] != '/') {
    char cwd[PATH_MAX];
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

int UsageError(const std::string& command, const std::string& message) {
  std::fprintf(stderr, "vesk: %s\nTry `vesk%s%s --help`.\n", message.c_str(),
               command.empty() ? "" : " ", command.c_str());
  return kExitUsage;
}

int Main(int argc, char** argv) {
  const Parsed parsed =
      ParseCommandLine(std::vector<std::string>(argv + 1, argv + argc));
  switch (parsed.kind) {
    case Parsed::Kind::kPrint:
      std::fputs(parsed.text.c_str(), stdout);
      return kExitOk;
    case Parsed::Kind::kUsageError:
      return UsageError(parsed.command, parsed.text);
    case Parsed::Kind::kRun:
      break;
  }
  const CommandLine& cl = parsed.cl;
  Context cx;
  cx.json = cl.global.json;
  cx.progress = !cl.global.quiet && ::isatty(2) == 1;
  cx.environmentPath = cl.global.environmentPath;
  if (cl.global.codepage != 0) {
    ::setenv("VESK_ANSI_CODEPAGE", std::to_string(cl.global.codepage).c_str(),
             1);
  }
  if (cl.command == "demo") return RunDemo(cl, cx);

  // The library reads the device root whenever it resolves a path, so it is
  // set before the first call; the variable, when set, is the default.
  std::string root = cl.global.deviceRoot;
  if (root.empty()) {
    const char* inherited = std::getenv("VESK_DEVICE_ROOT");
    root = inherited != nullptr && *inherited != '\0' ? inherited : "device";
  }
  std::string error;
  if (!PrepareDeviceRoot(root, &cx.deviceRoot, &error)) {
    std::fprintf(stderr, "vesk: %s\n", error.c_str());
    return kExitUsage;
  }
  ::setenv("VESK_DEVICE_ROOT", cx.deviceRoot.c_str(), 1);

  if (cl.command == "activate") return RunActivate(cl, cx);
  if (cl.command == "account") return RunAccount(cl, cx);
  if (cl.command == "beat") return RunBeat(cl, cx);
  if (cl.command == "download") return RunDownload(cl, cx);
  if (cl.command == "load") return RunLoad(cl, cx);
  return RunSave(cl, cx);
}

}  // namespace vesk::tool
