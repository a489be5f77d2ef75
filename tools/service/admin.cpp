// The command line: "serve" and the administration commands that fill and
// read the store, with --data and --seed-demo valid anywhere on the line.
#include <zip.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <random>
#include <stdexcept>

#include "tools/service/service.h"

namespace vesk::service_tool {

namespace {

namespace fs = std::filesystem;

// A command line that parses but asks for something the store cannot take;
// reported like a parse error, with exit status 2.
struct UsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

constexpr int kExitUsage = 2;
constexpr int64_t kValidForDefault = 7 * 24 * 3600;

// The demo account, printed when it is seeded and written to demo.json.
constexpr char kDemoName[] = "demo";
constexpr char kDemoPassword[] = "demo1234";

std::string CopyIntoStore(const std::string& dataDir, const std::string& from,
                          const std::string& relative) {
  const fs::path target = fs::path(dataDir) / relative;
  fs::create_directories(target.parent_path());
  fs::copy_file(from, target, fs::copy_options::overwrite_existing);
  return relative;
}

// Adds the account with a fresh validation code that binds handsets for
// validFor seconds; its id, the code in *code.
int64_t AddAccount(Store& store, Account account, int64_t validFor,
                   std::string* code) {
  std::random_device random;
  account.validation = std::to_string(100000 + random() % 900000);
  account.validationExpires = std::time(nullptr) + validFor;
  if (!AccountReplyFits(account)) {
    throw UsageError("the account's values are too long for a handset reply");
  }
  const int64_t id = store.AddAccount(account);
  if (id == 0) {
    throw std::runtime_error("account name taken: " + account.username);
  }
  *code = account.validation;
  return id;
}

Content AddContent(Store& store, const std::string& key,
                   const std::string& file) {
  Content content;
  content.key = key;
  content.md5 = FileMd5(file);
  if (content.md5.empty()) throw std::runtime_error("cannot read " + file);
  content.size = static_cast<int64_t>(fs::file_size(file));
  content.file =
      CopyIntoStore(store.DataDir(), file, "contents/" + content.md5);
  store.AddContent(content);
  return content;
}

bool SafePackagePath(const std::string& path) {
  if (path.empty() || path[0] == '/') return false;
  for (const auto& part : fs::path(path)) {
    if (part == ".." || part == ".") return false;
  }
  return true;
}

void AddPackage(Store& store, const std::string& path,
                const std::string& file) {
  if (!SafePackagePath(path)) throw UsageError("bad package path: " + path);
  if (!fs::is_regular_file(file)) {
    throw std::runtime_error("cannot read " + file);
  }
  store.AddPackage(path,
                   CopyIntoStore(store.DataDir(), file, "packages/" + path));
}

// ---- The demo data
// ------------------------------------------------------------

void WriteFile(const fs::path& path, const std::string& bytes) {
  fs::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path.string());
}

// A zip archive of stored (uncompressed) entries. Handsets read entry names
// in their code page, GBK, so the names are written in it.
void WriteZip(const fs::path& path,
              const std::vector<std::pair<std::string, std::string>>& files) {
  fs::create_directories(path.parent_path());
  const zipFile zip = zipOpen64(path.c_str(), APPEND_STATUS_CREATE);
  if (zip == nullptr) throw std::runtime_error("cannot write " + path.string());
  bool ok = true;
  for (const auto& [utf8Name, data] : files) {
    zip_fileinfo info{};
    info.tmz_date.tm_year = 2024;
    info.tmz_date.tm_mday = 1;
    info.tmz_date.tm_hour = 12;
    const std::string name = FromUtf8(utf8Name, "GBK");
    ok = ok &&
         zipOpenNewFileInZip64(zip, name.c_str(), &info, nullptr, 0, nullptr, 0,
                               nullptr, /*method: stored*/ 0, 0,
                               /*zip64*/ 0) == ZIP_OK &&
         zipWriteInFileInZip(zip, data.data(),
                             static_cast<unsigned>(data.size())) == ZIP_OK &&
         zipCloseFileInZip(zip) == ZIP_OK;
  }
  ok = zipClose(zip, nullptr) == ZIP_OK && ok;
  if (!ok) throw std::runtime_error("cannot write " + path.string());
}

// The demo account, contents of three sizes, a package and notifications
// with Chinese text, queued for the first handset that registers; described
// in DIR/demo.json.
void SeedDemo(Store& store) {
  const std::string dir = store.DataDir();
  if (store.AccountByName(kDemoName)) {
    throw std::runtime_error("the data directory is seeded already");
  }
  Account account;
  account.username = kDemoName;
  account.password = kDemoPassword;
  account.email = "demo@vesk.test";
  account.name = "张伟";
  account.province = "广东";
  account.gender = 1;
  account.figure = 3;
  std::string code;
  AddAccount(store, account, kValidForDefault, &code);

  const fs::path scratch = fs::path(dir) / "seed";
  std::mt19937 generator(80);
  std::vector<Content> contents;
  const std::pair<const char*, size_t> sizes[] = {
      {"demo-small", 100},
      {"demo-medium", 6000},
      {"demo-large", 3 * 1000 * 1000}};
  for (const auto& [key, size] : sizes) {
    std::string bytes(size, '\0');
    for (char& c : bytes) c = static_cast<char>(generator() & 0xFF);
    WriteFile(scratch / key, bytes);
    contents.push_back(AddContent(store, key, (scratch / key).string()));
  }

  const std::vector<std::pair<std::string, std::string>> files = {
      {"a.txt", "first file of the demo package\n"},
      {"dir/b.txt", "second file, in a folder\n"},
      {"dir/说明.txt", "演示包中的中文说明。\n"}};
  WriteZip(scratch / "demo.zip", files);
  AddPackage(store, "demo.zip", (scratch / "demo.zip").string());
  fs::remove_all(scratch);

  Notification content;
  content.kind = "content";
  content.key = "demo-medium";
  content.title = "新内容：演示文件";
  content.text = "一个六千字节的演示文件 & more";
  content.mime = "application/octet-stream";
  content.size = 6000;
  Notification message;
  message.kind = "message";
  message.key = "welcome";
  message.title = "欢迎";
  message.text = "欢迎使用演示服务。";
  Notification advert;
  advert.kind = "advert";
  advert.key = "spring";
  advert.title = "春季活动";
  advert.text = "限时优惠 <50%>";
  advert.media = "image/png";
  advert.href = "http://127.0.0.1/spring";
  const Notification* queued[] = {&content, &message, &advert};
  for (const Notification* n : queued) store.QueueNotification(0, *n);

  using Json = nlohmann::ordered_json;
  Json description;
  description["account"] = {{"name", kDemoName},
                            {"password", kDemoPassword},
                            {"validationCode", code}};
  description["contents"] = Json::array();
  for (const Content& c : contents) {
    description["contents"].push_back(
        {{"key", c.key}, {"size", c.size}, {"md5", c.md5}});
  }
  Json names = Json::array();
  for (const auto& file : files) names.push_back(file.first);
  description["packages"] = Json::array();
  description["packages"].push_back({{"path", "demo.zip"}, {"files", names}});
  description["notifications"] = std::size(queued);
  WriteFile(fs::path(dir) / "demo.json", description.dump(2) + "\n");
  std::printf("seeded %s: account %s, password %s, validation code %s\n",
              dir.c_str(), kDemoName, kDemoPassword, code.c_str());
}

// ---- The command line
// ----------------------------------------------------------

// What the administration commands read from the command line.
struct AccountOptions {
  Account account;
  CLI::Option* displayName = nullptr;
  int64_t validFor = kValidForDefault;
};

struct ContentOptions {
  std::string key, file;
};

struct PackageOptions {
  std::string path, file;
};

struct NotificationOptions {
  int64_t userId = 0;
  Notification notification;
};

// Help whose lines end with the option's default.
class HelpFormatter : public CLI::Formatter {
 public:
  std::string make_option_opts(const CLI::Option* option) const override {
    std::string text;
    if (option->get_type_size() != 0) {
      if (!option->get_type_name().empty()) {
        text += " " + get_label(option->get_type_name());
      }
      if (option->get_required()) text += " " + get_label("REQUIRED");
    }
    return text;
  }
  std::string make_option_desc(const CLI::Option* option) const override {
    std::string text = option->get_description();
    if (option->get_type_size() != 0 && !option->get_default_str().empty()) {
      text += " [default: " + option->get_default_str() + "]";
    }
    return text;
  }
};

CLI::App* AddCommand(CLI::App& app, const char* name, const char* what) {
  // Options of the program (--data, --seed-demo) may follow the command.
  CLI::App* command =
      app.add_subcommand(name, what)->fallthrough()->group("Commands");
  command->footer(
      "With --data DIR (and --seed-demo) before or after the command: see "
      "'vesk-service --help'.");
  return command;
}

void AddServeOptions(CLI::App& command, ServeOptions& serve) {
  command.add_option("--listen", serve.listen, "IPv4 address to listen on")
      ->type_name("ADDR")
      ->capture_default_str();
  command
      .add_option("--port", serve.port,
                  "TCP port to listen on; 0 takes a free one")
      ->type_name("N")
      ->capture_default_str()
      ->check(CLI::Range(0, 65535));
  command
      .add_option("--cut-after", serve.cutAfter,
                  "Close the first --cuts download or package replies after "
                  "this many body bytes, to exercise resuming [default: no "
                  "cuts]")
      ->type_name("BYTES")
      ->check(CLI::NonNegativeNumber);
  command.add_option("--cuts", serve.cuts, "How many replies --cut-after cuts")
      ->type_name("N")
      ->capture_default_str()
      ->check(CLI::NonNegativeNumber);
  command
      .add_option("--encoding", serve.encoding,
                  "Encoding of the heartbeat's notification document")
      ->capture_default_str()
      ->check(CLI::IsMember({"utf-8", "gbk", "utf-16le"}));
  command
      .add_option("--clock-offset", serve.clockOffset,
                  "Seconds added to the service's clock (certificate times, "
                  "validation codes, replies' time stamps)")
      ->type_name("SECONDS")
      ->capture_default_str();
  command
      .add_option("--head-timeout", serve.headTimeout,
                  "Seconds a connection has for its whole request head; "
                  "later, it is answered 408")
      ->type_name("SECONDS")
      ->capture_default_str()
      ->check(CLI::Range(1, 3600));
  command
      .add_option("--body-timeout", serve.bodyTimeout,
                  "Seconds a request body has for every started MiB it "
                  "declares; later, it is answered 408")
      ->type_name("SECONDS")
      ->capture_default_str()
      ->check(CLI::Range(1, 3600));
  command
      .add_option("--idle-timeout", serve.idleTimeout,
                  "Seconds a connection may read a body or send a reply "
                  "without a byte moving")
      ->type_name("SECONDS")
      ->capture_default_str()
      ->check(CLI::Range(1, 3600));
  command
      .add_option("--max-connections", serve.maxConnections,
                  "Connections served at once; more are answered 503 (code "
                  "999)")
      ->type_name("N")
      ->capture_default_str()
      ->check(CLI::Range(1, 1000000));
  command
      .add_option("--threads", serve.threads,
                  "Threads that run the connections' work")
      ->type_name("N")
      ->capture_default_str()
      ->check(CLI::Range(1, 256));
  command
      .add_option("--quota", serve.quota,
                  "Bytes of uploads one handset may keep stored; beyond, a "
                  "save is answered 507 (code 920); 0: no quota")
      ->type_name("BYTES")
      ->capture_default_str()
      ->check(CLI::NonNegativeNumber);
  command
      .add_option("--disk-reserve", serve.diskReserve,
                  "Uploads are answered 507 (code 920) when they would leave "
                  "less than this free on the data directory's disk")
      ->type_name("BYTES")
      ->capture_default_str()
      ->check(CLI::NonNegativeNumber);
}

void AddAccountOptions(CLI::App& command, AccountOptions& options) {
  Account& account = options.account;
  command.add_option("--name", account.username, "Account name")->required();
  command.add_option("--password", account.password, "Password")->required();
  command.add_option("--email", account.email,
                     "E-mail address [default: none]");
  options.displayName = command.add_option(
      "--display-name", account.name,
      "Name the account replies show [default: the account name]");
  command.add_option("--province", account.province,
                     "Province [default: none]");
  command.add_option("--gender", account.gender, "Gender, a number")
      ->capture_default_str();
  command.add_option("--figure", account.figure, "Figure, a number")
      ->capture_default_str();
  command
      .add_option("--valid-for", options.validFor,
                  "Seconds the validation code binds handsets (7 days; "
                  "negative: expired already)")
      ->type_name("SECONDS")
      ->capture_default_str();
}

void AddNotificationOptions(CLI::App& command, NotificationOptions& options) {
  Notification& n = options.notification;
  command
      .add_option("--user-id", options.userId,
                  "User id of the handset it is for (its activation "
                  "returned it)")
      ->required()
      ->check(CLI::PositiveNumber);
  command.add_option("--kind", n.kind, "Kind of notification")
      ->required()
      ->check(CLI::IsMember({"content", "message", "advert"}));
  command.add_option("--key", n.key,
                     "The content's key, or the message's or advertisement's "
                     "own [default: none]");
  command.add_option("--title", n.title, "Title [default: none]");
  command.add_option("--text", n.text, "Text [default: none]");
  command.add_option("--mime", n.mime,
                     "Content only: MIME type [default: none]");
  command.add_option("--size", n.size, "Content only: size in bytes")
      ->capture_default_str()
      ->check(CLI::NonNegativeNumber);
  command.add_option("--media", n.media,
                     "Advertisement only: MIME type of its media "
                     "[default: none]");
  command.add_option("--href", n.href,
                     "Advertisement only: its link [default: none]");
}

int Refuse(const std::string& why) {
  std::fprintf(stderr,
               "vesk-service: %s\nRun with --help for more information.\n",
               why.c_str());
  return kExitUsage;
}

}  // namespace

int RunCommandLine(int argc, char** argv) {
  CLI::App app(
      "A reference counterpart of the content service: serves the handset "
      "library's requests from a store in a data directory, and fills and "
      "reads that store.",
      "vesk-service");
  app.set_version_flag("--version",
                       std::string("vesk-service ") + VESK_SERVICE_VERSION,
                       "Print the version and exit");
  app.require_subcommand(0, 1);
  auto help = std::make_shared<HelpFormatter>();
  help->label("SUBCOMMAND", "COMMAND");
  app.formatter(help);
  app.footer(
      "The data directory holds the store (store.db) and the files it names:\n"
      "contents/, packages/ and uploads/<user-id>/. 'vesk-service COMMAND "
      "--help'\nlists a command's options; vesk-service(1) describes the "
      "resources and\nerror codes.");

  std::string dataDir;
  bool seedDemo = false;
  app.add_option(
         "--data", dataDir,
         "Data directory, created when missing (every command needs it)")
      ->type_name("DIR")
      ->required();
  app.add_flag("--seed-demo", seedDemo,
               std::string("Before the command, if any, fill the data "
                           "directory with the demo data: account ") +
                   kDemoName + ", password " + kDemoPassword +
                   ", three contents, a package, three notifications; "
                   "described in DIR/demo.json");

  ServeOptions serve;
  CLI::App* serveCommand =
      AddCommand(app, "serve",
                 "Serve the handsets' requests until SIGINT or SIGTERM; prints "
                 "\"listening on ADDR:PORT\" first");
  AddServeOptions(*serveCommand, serve);

  AccountOptions account;
  CLI::App* addAccount = AddCommand(
      app, "add-account", "Add an account; prints its id and validation code");
  AddAccountOptions(*addAccount, account);

  ContentOptions content;
  CLI::App* addContent = AddCommand(
      app, "add-content",
      "Store a file as content under a key; prints key, size and MD5");
  addContent->add_option("--key", content.key, "Content key")->required();
  addContent->add_option("--file", content.file, "The file to store")
      ->required()
      ->check(CLI::ExistingFile);

  PackageOptions package;
  CLI::App* addPackage = AddCommand(
      app, "add-package", "Store a zip file as the package at /packages/PATH");
  addPackage
      ->add_option("--path", package.path,
                   "Relative path under /packages/, without . or ..")
      ->required();
  addPackage->add_option("--file", package.file, "The zip file to store")
      ->required()
      ->check(CLI::ExistingFile);

  NotificationOptions notification;
  CLI::App* queue = AddCommand(
      app, "queue-notification",
      "Queue a notification for a handset's next heartbeat; prints its id");
  AddNotificationOptions(*queue, notification);

  CLI::App* listDeliveries =
      AddCommand(app, "list-deliveries",
                 "List confirmed downloads: user id, content key, size");
  CLI::App* listUploads =
      AddCommand(app, "list-uploads",
                 "List stored uploads: user id, handset path, size, MD5");

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& problem) {
    if (problem.get_exit_code() == 0) return app.exit(problem);  // help
    return Refuse(problem.what());
  }
  if (!seedDemo && app.get_subcommands().empty()) {
    return Refuse("name a command, or --seed-demo");
  }

  try {
    fs::create_directories(dataDir);
    Store store(fs::absolute(dataDir).string());
    if (seedDemo) SeedDemo(store);

    if (serveCommand->parsed()) return Serve(store, serve);
    if (addAccount->parsed()) {
      if (account.displayName->count() == 0) {
        account.account.name = account.account.username;
      }
      std::string code;
      const int64_t id =
          AddAccount(store, account.account, account.validFor, &code);
      std::printf("%lld %s\n", static_cast<long long>(id), code.c_str());
    } else if (addContent->parsed()) {
      const Content added = AddContent(store, content.key, content.file);
      std::printf("%s %lld %s\n", added.key.c_str(),
                  static_cast<long long>(added.size), added.md5.c_str());
    } else if (addPackage->parsed()) {
      AddPackage(store, package.path, package.file);
    } else if (queue->parsed()) {
      std::printf("%lld\n",
                  static_cast<long long>(store.QueueNotification(
                      notification.userId, notification.notification)));
    } else if (listDeliveries->parsed()) {
      for (const Delivery& d : store.Deliveries()) {
        std::printf("%lld %s %lld\n", static_cast<long long>(d.userId),
                    d.key.c_str(), static_cast<long long>(d.size));
      }
    } else if (listUploads->parsed()) {
      for (const Upload& u : store.Uploads()) {
        std::printf("%lld %s %lld %s\n", static_cast<long long>(u.userId),
                    u.handsetPath.c_str(), static_cast<long long>(u.size),
                    u.md5.c_str());
      }
    }
    return 0;
  } catch (const UsageError& problem) {
    return Refuse(problem.what());
  } catch (const std::exception& problem) {
    std::fprintf(stderr, "vesk-service: %s\n", problem.what());
    return 1;
  }
}

}  // namespace vesk::service_tool
