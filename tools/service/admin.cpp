// The command line: "serve" and the administration commands that fill and
// read the store.
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <random>
#include <stdexcept>

#include "tools/service/service.h"

namespace vesk::service_tool {

namespace {

namespace fs = std::filesystem;

constexpr const char* kUsage =
    "usage: vesk-service serve --data DIR [--listen ADDR] [--port N]\n"
    "           [--cut-after BYTES] [--cuts N] [--encoding "
    "utf-8|gbk|utf-16le]\n"
    "           [--clock-offset SECONDS]\n"
    "       vesk-service --data DIR add-account --name N --password P\n"
    "           [--email E] [--display-name D] [--province V] [--gender G]\n"
    "           [--figure F] [--valid-for SECONDS]\n"
    "       vesk-service --data DIR add-content --key K --file F\n"
    "       vesk-service --data DIR add-package --path P --file F\n"
    "       vesk-service --data DIR queue-notification --user-id U\n"
    "           --kind content|message|advert [--key K] [--title T] [--text "
    "X]\n"
    "           [--mime M] [--size N] [--media M] [--href H]\n"
    "       vesk-service --data DIR list-deliveries | list-uploads\n"
    "       vesk-service --data DIR --seed-demo\n";

struct UsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// "--name value" pairs after the command.
struct Options {
  std::map<std::string, std::string> values;

  std::string Get(const std::string& name,
                  const std::string& fallback = "") const {
    const auto found = values.find(name);
    return found == values.end() ? fallback : found->second;
  }
  std::string Need(const std::string& name) const {
    const auto found = values.find(name);
    if (found == values.end()) throw UsageError("missing --" + name);
    return found->second;
  }
  int64_t Number(const std::string& name, int64_t fallback) const {
    const auto found = values.find(name);
    if (found == values.end()) return fallback;
    char* end = nullptr;
    const long long value = std::strtoll(found->second.c_str(), &end, 10);
    if (found->second.empty() || *end != '\0') {
      throw UsageError("--" + name + " needs a number");
    }
    return value;
  }
};

std::string CopyIntoStore(const std::string& dataDir, const std::string& from,
                          const std::string& relative) {
  const fs::path target = fs::path(dataDir) / relative;
  fs::create_directories(target.parent_path());
  fs::copy_file(from, target, fs::copy_options::overwrite_existing);
  return relative;
}

int64_t AddAccount(Store& store, const Options& options, std::string* code) {
  Account account;
  account.username = options.Need("name");
  account.password = options.Need("password");
  account.email = options.Get("email");
  account.name = options.Get("display-name", account.username);
  account.province = options.Get("province");
  account.gender = options.Number("gender", 0);
  account.figure = options.Number("figure", 0);
  std::random_device random;
  account.validation = std::to_string(100000 + random() % 900000);
  account.validationExpires =
      std::time(nullptr) + options.Number("valid-for", 7 * 24 * 3600);
  if (!AccountReplyFits(account)) {
    throw UsageError("the account's values are too long for a handset reply");
  }
  const int64_t id = store.AddAccount(account);
  if (id == 0)
    throw std::runtime_error("account name taken: " + account.username);
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
  if (!fs::is_regular_file(file))
    throw std::runtime_error("cannot read " + file);
  store.AddPackage(path,
                   CopyIntoStore(store.DataDir(), file, "packages/" + path));
}

// ---- A stored zip archive for the demo --------------------------------------

uint32_t Crc32(const std::string& data) {
  uint32_t crc = 0xFFFFFFFFu;
  for (unsigned char byte : data) {
    crc ^= byte;
    for (int bit = 0; bit < 8; ++bit) {
      crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
  }
  return ~crc;
}

void Put16(std::string& out, uint32_t value) {
  out.push_back(static_cast<char>(value & 0xFF));
  out.push_back(static_cast<char>((value >> 8) & 0xFF));
}
void Put32(std::string& out, uint32_t value) {
  Put16(out, value & 0xFFFF);
  Put16(out, value >> 16);
}

// An archive of stored (uncompressed) entries. Handsets read entry names in
// their code page, GBK, so the names are written in it.
std::string StoredZip(
    const std::vector<std::pair<std::string, std::string>>& files) {
  std::string archive, directory;
  const uint32_t dosTime = (12u << 11),
                 dosDate = ((2024u - 1980u) << 9) | (1u << 5) | 1u;
  for (const auto& [utf8Name, data] : files) {
    const std::string name = FromUtf8(utf8Name, "GBK");
    const uint32_t offset = static_cast<uint32_t>(archive.size());
    const uint32_t crc = Crc32(data);
    auto common = [&](std::string& out) {
      Put16(out, 20);  // version needed
      Put16(out, 0);   // flags
      Put16(out, 0);   // stored
      Put16(out, dosTime);
      Put16(out, dosDate);
      Put32(out, crc);
      Put32(out, static_cast<uint32_t>(data.size()));
      Put32(out, static_cast<uint32_t>(data.size()));
      Put16(out, static_cast<uint32_t>(name.size()));
      Put16(out, 0);  // extra field
    };
    Put32(archive, 0x04034b50);
    common(archive);
    archive += name + data;
    Put32(directory, 0x02014b50);
    Put16(directory, 20);  // made by
    common(directory);
    Put16(directory, 0);  // comment
    Put16(directory, 0);  // disk
    Put16(directory, 0);  // internal attributes
    Put32(directory, 0);  // external attributes
    Put32(directory, offset);
    directory += name;
  }
  const uint32_t start = static_cast<uint32_t>(archive.size());
  archive += directory;
  Put32(archive, 0x06054b50);
  Put16(archive, 0);
  Put16(archive, 0);
  Put16(archive, static_cast<uint32_t>(files.size()));
  Put16(archive, static_cast<uint32_t>(files.size()));
  Put32(archive, static_cast<uint32_t>(directory.size()));
  Put32(archive, start);
  Put16(archive, 0);
  return archive;
}

void WriteFile(const fs::path& path, const std::string& bytes) {
  fs::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path.string());
}

std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (static_cast<unsigned char>(c) < 0x20) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04x", c);
      out += escape;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

// A demo account, contents of three sizes, a package and notifications
// with Chinese text, queued for the first handset that registers.
int SeedDemo(Store& store) {
  const std::string dir = store.DataDir();
  if (store.AccountByName("demo")) {
    throw std::runtime_error("the data directory is seeded already");
  }
  Options account;
  account.values = {{"name", "demo"},
                    {"password", "demo1234"},
                    {"email", "demo@vesk.test"},
                    {"display-name", "张伟"},
                    {"province", "广东"},
                    {"gender", "1"},
                    {"figure", "3"}};
  std::string code;
  AddAccount(store, account, &code);

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
  WriteFile(scratch / "demo.zip", StoredZip(files));
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
  for (const Notification* n : {&content, &message, &advert}) {
    store.QueueNotification(0, *n);
  }

  std::string json =
      "{\n  \"account\": {\"name\": \"demo\", \"password\": "
      "\"demo1234\", \"validationCode\": " +
      JsonString(code) + "},\n  \"contents\": [";
  for (size_t i = 0; i < contents.size(); ++i) {
    json += std::string(i ? ",\n" : "\n") +
            "    {\"key\": " + JsonString(contents[i].key) +
            ", \"size\": " + std::to_string(contents[i].size) +
            ", \"md5\": " + JsonString(contents[i].md5) + "}";
  }
  json += "\n  ],\n  \"packages\": [{\"path\": \"demo.zip\", \"files\": [";
  for (size_t i = 0; i < files.size(); ++i) {
    json += std::string(i ? ", " : "") + JsonString(files[i].first);
  }
  json += "]}],\n  \"notifications\": 3\n}\n";
  WriteFile(fs::path(dir) / "demo.json", json);
  std::printf("seeded %s: account demo, validation code %s\n", dir.c_str(),
              code.c_str());
  return 0;
}

int RunCommand(const std::string& command, const std::string& dataDir,
               const Options& options) {
  if (dataDir.empty()) throw UsageError("--data DIR is required");
  fs::create_directories(dataDir);
  Store store(fs::absolute(dataDir).string());

  if (command == "serve") {
    ServeOptions serve;
    serve.listen = options.Get("listen", serve.listen);
    serve.port = static_cast<int>(options.Number("port", serve.port));
    serve.cutAfter = options.Number("cut-after", -1);
    serve.cuts = static_cast<int>(options.Number("cuts", 1));
    serve.encoding = options.Get("encoding", serve.encoding);
    serve.clockOffset = options.Number("clock-offset", 0);
    if (serve.encoding != "utf-8" && serve.encoding != "gbk" &&
        serve.encoding != "utf-16le") {
      throw UsageError("--encoding is utf-8, gbk or utf-16le");
    }
    if (serve.port < 0 || serve.port > 65535) throw UsageError("bad --port");
    return Serve(store, serve);
  }
  if (command == "add-account") {
    std::string code;
    const int64_t id = AddAccount(store, options, &code);
    std::printf("%lld %s\n", static_cast<long long>(id), code.c_str());
    return 0;
  }
  if (command == "add-content") {
    const Content content =
        AddContent(store, options.Need("key"), options.Need("file"));
    std::printf("%s %lld %s\n", content.key.c_str(),
                static_cast<long long>(content.size), content.md5.c_str());
    return 0;
  }
  if (command == "add-package") {
    AddPackage(store, options.Need("path"), options.Need("file"));
    return 0;
  }
  if (command == "queue-notification") {
    Notification n;
    n.kind = options.Need("kind");
    if (n.kind != "content" && n.kind != "message" && n.kind != "advert") {
      throw UsageError("--kind is content, message or advert");
    }
    n.key = options.Get("key");
    n.title = options.Get("title");
    n.text = options.Get("text");
    n.mime = options.Get("mime");
    n.size = options.Number("size", 0);
    n.media = options.Get("media");
    n.href = options.Get("href");
    const int64_t userId = options.Number("user-id", -1);
    if (userId <= 0) throw UsageError("--user-id needs a user id");
    std::printf("%lld\n",
                static_cast<long long>(store.QueueNotification(userId, n)));
    return 0;
  }
  if (command == "list-deliveries") {
    for (const Delivery& d : store.Deliveries()) {
      std::printf("%lld %s %lld\n", static_cast<long long>(d.userId),
                  d.key.c_str(), static_cast<long long>(d.size));
    }
    return 0;
  }
  if (command == "list-uploads") {
    for (const Upload& u : store.Uploads()) {
      std::printf("%lld %s %lld %s\n", static_cast<long long>(u.userId),
                  u.handsetPath.c_str(), static_cast<long long>(u.size),
                  u.md5.c_str());
    }
    return 0;
  }
  if (command == "seed-demo") return SeedDemo(store);
  throw UsageError("unknown command: " + command);
}

}  // namespace

int RunCommandLine(int argc, char** argv) {
  std::string command, dataDir;
  Options options;
  try {
    for (int i = 1; i < argc; ++i) {
      const std::string word = argv[i];
      if (word == "--help" || word == "-h") {
        std::fputs(kUsage, stdout);
        return 0;
      }
      if (word == "--seed-demo") {
        command = "seed-demo";
      } else if (word.rfind("--", 0) == 0) {
        if (i + 1 >= argc) throw UsageError(word + " needs a value");
        if (word == "--data") {
          dataDir = argv[++i];
        } else {
          options.values[word.substr(2)] = argv[++i];
        }
      } else if (command.empty()) {
        command = word;
      } else {
        throw UsageError("unexpected argument: " + word);
      }
    }
    if (command.empty()) throw UsageError("no command");
    return RunCommand(command, dataDir, options);
  } catch (const UsageError& problem) {
    std::fprintf(stderr, "vesk-service: %s\n%s", problem.what(), kUsage);
    return 2;
  } catch (const std::exception& problem) {
    std::fprintf(stderr, "vesk-service: %s\n", problem.what());
    return 1;
  }
}

}  // namespace vesk::service_tool
