#include "tools/vesk/demo.h"

#include <openssl/evp.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "tools/vesk/json.h"
#include "tools/vesk/ops.h"
#include "tools/vesk/process.h"
#include "tools/vesk/progress.h"
#include "tools/vesk/text.h"

namespace vesk::tool {

namespace {

namespace fs = std::filesystem;

constexpr int kStartTimeoutMs = 20000;
constexpr char kEnvironment[] = "\\PocketDisk1\\handset.env";

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)),
                     std::istreambuf_iterator<char>());
}

bool WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
  return static_cast<bool>(out);
}

// MD5 of a host file as 32 lower-case hex digits, computed apart from the
// library; "" when it cannot be read.
std::string FileMd5(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return "";
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  EVP_DigestInit_ex(ctx, EVP_md5(), nullptr);
  char buf[65536];
  while (in.read(buf, sizeof buf) || in.gcount() > 0) {
    EVP_DigestUpdate(ctx, buf, static_cast<size_t>(in.gcount()));
  }
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int n = 0;
  EVP_DigestFinal_ex(ctx, digest, &n);
  EVP_MD_CTX_free(ctx);
  std::string hex;
  char two[3];
  for (unsigned int i = 0; i < n; ++i) {
    std::snprintf(two, sizeof two, "%02x", digest[i]);
    hex += two;
  }
  return hex;
}

// One step of the report: printed as soon as it is over.
class Report {
 public:
  explicit Report(int steps) : steps_(steps) {}

  void Step(const std::string& title, bool ok,
            const std::vector<std::string>& lines) {
    ++done_;
    if (ok) ++passed_;
    std::string head = "[" + std::to_string(done_) + "/" +
                       std::to_string(steps_) + "] " + title + " ";
    if (head.size() < 46) head.resize(46, '.');
    std::printf("%s %s\n", head.c_str(), ok ? "ok" : "FAILED");
    for (const std::string& l : lines) std::printf("      %s\n", l.c_str());
    std::fflush(stdout);
  }
  bool AllPassed() const { return passed_ == steps_; }
  int passed() const { return passed_; }
  int steps() const { return steps_; }

 private:
  int steps_;
  int done_ = 0;
  int passed_ = 0;
};

std::string Describe(int32_t status, const CallError& e) {
  if (status == 0) {
    return "no response" + (e.message.empty() ? "" : ": " + e.message);
  }
  std::string s = "status " + std::to_string(status);
  if (e.code != 0 || !e.message.empty()) {
    s += ", code " + std::to_string(e.code) + " " + e.message;
  }
  return s;
}

// "list-uploads" lines: "<user-id> <handset path> <size> <md5>", the path
// may hold blanks. Answers path -> (size, md5).
struct Upload {
  std::string path;
  long long size = 0;
  std::string md5;
};
std::vector<Upload> ParseUploads(const std::string& text) {
  std::vector<Upload> out;
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    const size_t first = line.find(' ');
    const size_t last = line.rfind(' ');
    if (first == std::string::npos || last <= first) continue;
    const size_t middle = line.rfind(' ', last - 1);
    if (middle == std::string::npos || middle < first) continue;
    Upload u;
    u.path = line.substr(first + 1, middle - first - 1);
    u.size = std::atoll(line.substr(middle + 1, last - middle - 1).c_str());
    u.md5 = line.substr(last + 1);
    out.push_back(u);
  }
  return out;
}

std::string FindService(const CommandLine& cl) {
  if (const auto given = cl.Get("service")) return *given;
  const std::string here = OwnDirectory();
  for (const std::string& candidate :
       {here + "/vesk-service", here + "/../service/vesk-service"}) {
    if (::access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return "";
}

}  // namespace

int RunDemo(const CommandLine& cl, const Context& cx) {
  (void)cx;
  const std::string service = FindService(cl);
  if (service.empty()) {
    std::fprintf(stderr,
                 "vesk demo: vesk-service not found beside this program; "
                 "give --service PATH\n");
    return kExitUsage;
  }
  char pattern[] = "/tmp/vesk-demo-XXXXXX";
  if (::mkdtemp(pattern) == nullptr) {
    std::perror("vesk demo: temporary directory");
    return kExitNoResponse;
  }
  const std::string work = pattern;
  const std::string data = work + "/data";
  const std::string device = work + "/device";
  const std::string log = work + "/service.log";
  std::error_code ec;
  fs::create_directories(device + "/Storage Card", ec);
  fs::create_directories(device + "/PocketDisk1", ec);
  fs::create_directories(data, ec);
  ::setenv("VESK_DEVICE_ROOT", device.c_str(), 1);
  const auto host = [&](const std::string& handset) {
    return HostPath(device, handset);
  };

  std::printf("VESK80 demo\n  work directory  %s\n", work.c_str());
  bool keep = cl.Has("keep");
  const auto finish = [&](int exit) {
    if (exit != kExitOk) keep = true;
    if (keep) {
      std::printf("  kept            %s (service log: %s)\n", work.c_str(),
                  log.c_str());
    } else {
      fs::remove_all(work, ec);
    }
    return exit;
  };

  // The store and its description.
  std::string output;
  if (RunCapture({service, "--data", data, "--seed-demo"}, &output, log) != 0) {
    std::fprintf(stderr, "vesk demo: %s --seed-demo failed\n", service.c_str());
    return finish(kExitNoResponse);
  }
  std::string jsonError;
  const auto demo = Json::Parse(ReadFile(data + "/demo.json"), &jsonError);
  if (!demo) {
    std::fprintf(stderr, "vesk demo: demo.json: %s\n", jsonError.c_str());
    return finish(kExitNoResponse);
  }
  const Json& account = (*demo)["account"];
  const Json& contents = (*demo)["contents"];
  size_t biggest = 0;
  for (size_t i = 1; i < contents.size(); ++i) {
    if (contents[i]["size"].AsInt() > contents[biggest]["size"].AsInt()) {
      biggest = i;
    }
  }
  const Json& content = contents[biggest];
  const int64_t contentSize = content["size"].AsInt();
  const int64_t cutAfter = contentSize / 3;

  Child server;
  std::string error;
  if (!server.Start({service, "serve", "--data", data, "--port", "0",
                     "--cut-after", std::to_string(cutAfter), "--cuts", "1"},
                    log, &error)) {
    std::fprintf(stderr, "vesk demo: %s\n", error.c_str());
    return finish(kExitNoResponse);
  }
  std::string line;
  const std::string prefix = "listening on ";
  if (!server.ReadLine(&line, kStartTimeoutMs) ||
      line.compare(0, prefix.size(), prefix) != 0) {
    std::fprintf(stderr, "vesk demo: the service did not start (see %s)\n",
                 log.c_str());
    return finish(kExitNoResponse);
  }
  const std::string address = line.substr(prefix.size());
  const std::string base = "http://" + address;
  const int32_t port = UrlPort(base + "/");
  std::printf("  service         %s, pid %d, data %s\n", address.c_str(),
              static_cast<int>(server.pid()), data.c_str());
  std::printf("  device root     %s\n\n", device.c_str());
  const auto at = [&](const std::string& path) {
    return Endpoint{base + path, port};
  };

  Report report(7);

  // 1. Activation, mode 4: a new handset registers its key.
  {
    ActivateParams p;
    p.environmentPath = kEnvironment;
    p.mode = 4;
    p.userAgent = "vesk demo";
    p.serial = "DEMO-0001";
    p.username = account["name"].AsString();
    p.password = account["password"].AsString();
    p.validation = account["validationCode"].AsString();
    p.name = account["displayName"].AsString("Demo");
    p.email = account["email"].AsString();
    p.province = account["province"].AsString();
    p.gender = static_cast<int32_t>(account["gender"].AsInt());
    p.figure = static_cast<int32_t>(account["figure"].AsInt());
    const ActivateOutcome o = Activate(p, at("/activate"));
    const bool stored = fs::is_regular_file(host(kEnvironment), ec);
    const bool ok = o.status == 200 && o.userId > 0 && stored;
    report.Step(
        "activate a handset (mode 4)", ok,
        {Describe(o.status, o.error) + ", user id " + std::to_string(o.userId) +
             ", user no " + std::to_string(o.userNo) + ", username " +
             o.username,
         std::string("credentials ") +
             (stored ? "stored in " : "NOT stored in ") + kEnvironment});
  }

  // 2. Account information with the stored credentials.
  {
    const AccountOutcome o = Account(kEnvironment, at("/account"));
    const bool ok = o.status == 200 && o.username == account["name"].AsString();
    report.Step("account information", ok,
                {Describe(o.status, o.error) + ", account " +
                 std::to_string(o.accountId) + " \"" + o.username + "\" <" +
                 o.email + ">"});
  }

  // 3. Heartbeat: the notifications queued for the new handset.
  {
    const BeatOutcome o = Beat(kEnvironment, at("/heartbeat"));
    const int64_t expected = (*demo)["notifications"].AsInt();
    const bool ok = o.status == 200 &&
                    static_cast<int64_t>(o.notifications.size()) == expected;
    std::vector<std::string> lines = {Describe(o.status, o.error) + ", " +
                                      std::to_string(o.notifications.size()) +
                                      " notifications (" +
                                      std::to_string(expected) + " queued)"};
    for (const Notification& n : o.notifications) {
      lines.push_back("  " + n.kind + " " + n.key + ": " +
                      FitColumns(n.title, 30) + " - " + FitColumns(n.text, 40));
    }
    report.Step("heartbeat", ok, lines);
  }

  // 4. Download of the biggest content, cut once by the service and
  // resumed inside the same call, then checked against the store's MD5.
  {
    DownloadParams p;
    p.environmentPath = kEnvironment;
    p.key = content["key"].AsString();
    p.localPath = "\\Storage Card\\" + p.key;
    const std::string file = host(p.localPath);
    DownloadOutcome o;
    {
      ProgressLine progress(
          "download", [file] { return SampleTransfer(file); }, cx.progress);
      o = Download(p, at("/download"), at("/download/confirm"), file);
    }
    const std::string md5 = FileMd5(file);
    std::string deliveries;
    RunCapture({service, "--data", data, "list-deliveries"}, &deliveries, log);
    const bool confirmed =
        deliveries.find(" " + p.key + " ") != std::string::npos;
    const bool ok = o.complete && o.rangeStart > 0 &&
                    md5 == content["md5"].AsString() && confirmed;
    report.Step(
        "download, cut once and resumed", ok,
        {"content \"" + p.key + "\", " + std::to_string(contentSize) +
             " bytes; the service cuts the first reply after " +
             std::to_string(cutAfter) + " bytes",
         "last attempt: " + Describe(o.status, o.error) + ", resumed at byte " +
             std::to_string(o.rangeStart) + ", received " +
             std::to_string(o.received) + " of " + std::to_string(o.fileSize),
         "MD5 " + (md5.empty() ? std::string("(no file)") : md5) +
             (md5 == content["md5"].AsString() ? " matches the store"
                                               : " does NOT match the store"),
         std::string("arrival ") +
             (confirmed ? "confirmed to the service" : "NOT confirmed")});
  }

  // 5. Package load: fetched and unpacked.
  {
    const Json& package = (*demo)["packages"][0];
    LoadParams p;
    p.environmentPath = kEnvironment;
    p.archivePath = "\\Storage Card\\" + package["path"].AsString();
    p.targetDirectory = "\\Storage Card\\package";
    const std::string archive = host(p.archivePath);
    LoadOutcome o;
    {
      ProgressLine progress(
          "load", [archive] { return SampleTransfer(archive); }, cx.progress);
      o = Load(p, at("/packages/" + package["path"].AsString()));
    }
    size_t found = 0;
    std::vector<std::string> missing;
    for (size_t i = 0; i < package["files"].size(); ++i) {
      const std::string name = package["files"][i].AsString();
      if (fs::is_regular_file(host(p.targetDirectory + "\\" + name), ec)) {
        ++found;
      } else {
        missing.push_back(name);
      }
    }
    const bool ok = ExitFor(o) == kExitOk && package["files"].size() > 0 &&
                    found == package["files"].size();
    std::vector<std::string> lines = {
        "package \"" + package["path"].AsString() +
            "\": " + Describe(o.status, o.error) + ", " +
            std::to_string(o.received) + " bytes",
        std::to_string(found) + " of " +
            std::to_string(package["files"].size()) + " files unpacked into " +
            p.targetDirectory};
    for (const std::string& m : missing) lines.push_back("missing: " + m);
    report.Step("package load", ok, lines);
  }

  // 6. Save: two files uploaded, then one updated and the other deleted.
  const std::string notes = "\\Storage Card\\notes.txt";
  const std::string photo = "\\Storage Card\\photo.bin";
  {
    WriteFile(host(notes), "first notes\n");
    std::string bytes;
    for (int i = 0; i < 5000; ++i) bytes += static_cast<char>(i * 7 % 256);
    WriteFile(host(photo), bytes);
    const SaveOutcome first =
        Save(kEnvironment, {{notes, true}, {photo, true}}, at("/save"));
    std::string listed;
    RunCapture({service, "--data", data, "list-uploads"}, &listed, log);
    const std::vector<Upload> before = ParseUploads(listed);

    WriteFile(host(notes), "second notes, longer than the first\n");
    const SaveOutcome second =
        Save(kEnvironment, {{notes, true}, {photo, false}}, at("/save"));
    RunCapture({service, "--data", data, "list-uploads"}, &listed, log);
    const std::vector<Upload> after = ParseUploads(listed);

    const auto find = [](const std::vector<Upload>& list,
                         const std::string& path) -> const Upload* {
      for (const Upload& u : list) {
        if (u.path == path) return &u;
      }
      return nullptr;
    };
    const Upload* notesAfter = find(after, notes);
    const bool ok = first.status == 200 && second.status == 200 &&
                    find(before, notes) && find(before, photo) && notesAfter &&
                    notesAfter->md5 == FileMd5(host(notes)) &&
                    find(after, photo) == nullptr;
    report.Step(
        "save: upload, then update and delete", ok,
        {"first save (update notes.txt, update photo.bin): " +
             Describe(first.status, first.error) + ", service holds " +
             std::to_string(before.size()) + " files",
         "second save (update notes.txt, delete photo.bin): " +
             Describe(second.status, second.error) + ", service holds " +
             std::to_string(after.size()) + " file(s)",
         std::string("notes.txt ") +
             (notesAfter && notesAfter->md5 == FileMd5(host(notes))
                  ? "stored with the new content"
                  : "NOT stored with the new content") +
             ", photo.bin " +
             (find(after, photo) ? "still stored" : "deleted")});
  }

  // 7. The service stops cleanly.
  {
    const int status = server.Stop(10000);
    report.Step("stop the service", status == 0,
                {"exit status " + std::to_string(status)});
  }

  std::printf("\ndemo: %d of %d steps passed\n", report.passed(),
              report.steps());
  return finish(report.AllPassed() ? kExitOk : kExitRefused);
}

}  // namespace vesk::tool
