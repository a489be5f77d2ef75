#include "tools/vesk/demo.h"

#include <openssl/evp.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "tools/common/process.h"
#include "tools/vesk/ops.h"
#include "tools/vesk/progress.h"
#include "tools/vesk/text.h"

namespace vesk::tool {

namespace {

namespace fs = std::filesystem;

constexpr auto kStartTimeout = std::chrono::seconds(20);
constexpr int kWaitSliceMs = 200;  // how often a wait looks at the signals
constexpr char kEnvironment[] = "\\PocketDisk1\\handset.env";

// The signal that asks the demo to end (SIGINT, SIGTERM), 0 while none.
volatile sig_atomic_t g_stopSignal = 0;

void OnStopSignal(int signal) { g_stopSignal = signal; }

// Handlers only note the signal: the demo looks at it between steps and in
// its waits, and then stops the service and removes its directory. No
// SA_RESTART, so that a blocking wait returns early.
void CatchStopSignals() {
  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;
  ::sigaction(SIGINT, &action, nullptr);
  ::sigaction(SIGTERM, &action, nullptr);
}

// Ends the process by the signal, as it would have ended without the
// handler, so that a shell sees what stopped it.
[[noreturn]] void EndBySignal(int signal) {
  std::fflush(stdout);
  ::signal(signal, SIG_DFL);
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, signal);
  ::sigprocmask(SIG_UNBLOCK, &set, nullptr);
  ::raise(signal);
  std::_Exit(128 + signal);
}

// Stops the service and answers its exit status (-1: ended by a signal).
int StopService(tools::Child& server, int timeoutMs) {
  return server.Stop(timeoutMs);
}

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

// The report: for people, each step printed as soon as it is over; with
// --json, one document at the end. A write that fails (the reader of a
// pipe has gone) ends the demo.
class Report {
 public:
  Report(int steps, bool json)
      : steps_(steps), json_(json), stepList_(Json::array()) {}

  // A line for people; nothing with --json.
  void Say(const std::string& line) {
    if (!json_) Write(line + "\n");
  }

  void Step(const std::string& title, bool ok,
            const std::vector<std::string>& lines) {
    ++done_;
    if (ok) ++passed_;
    stepList_.push_back(Json{{"title", title}, {"ok", ok}, {"details", lines}});
    if (json_) return;
    std::string head = "[" + std::to_string(done_) + "/" +
                       std::to_string(steps_) + "] " + title + " ";
    if (head.size() < 46) head.resize(46, '.');
    std::string text = head + (ok ? " ok\n" : " FAILED\n");
    for (const std::string& l : lines) text += "      " + l + "\n";
    Write(text);
  }

  Json& document() { return document_; }
  bool AllPassed() const { return passed_ == steps_; }
  int passed() const { return passed_; }
  int steps() const { return steps_; }
  bool closed() const { return closed_; }

  // The JSON document, with --json; kept: the directory kept, or null.
  void Finish(const Json& kept) {
    document_["steps"] = stepList_;
    document_["passed"] = passed_;
    document_["total"] = steps_;
    document_["ok"] = AllPassed();
    document_["kept"] = kept;
    if (json_) {
      Write(document_.dump(2, ' ', false, Json::error_handler_t::replace) +
            "\n");
    }
  }

 private:
  void Write(const std::string& text) {
    if (closed_) return;
    if (std::fputs(text.c_str(), stdout) < 0 || std::fflush(stdout) != 0) {
      closed_ = true;
    }
  }

  int steps_;
  bool json_;
  int done_ = 0;
  int passed_ = 0;
  bool closed_ = false;
  Json stepList_;  // the steps so far
  Json document_;
};

std::string Describe(const Outcome& o) {
  if (o.status == 0) return o.reason;
  std::string s = "status " + std::to_string(o.status);
  if (o.error.code != 0 || !o.error.message.empty()) {
    s += ", code " + std::to_string(o.error.code) + " " + o.error.message;
  }
  if (!o.ok()) s += " (" + o.reason + ")";
  return s;
}

// "list-uploads" lines: "<user-id> <handset path> <size> <md5>", the path
// may hold blanks.
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
  if (!cl.demo.service.empty()) return cl.demo.service;
  const std::string here = tools::OwnDirectory();
  for (const std::string& candidate :
       {here + "/vesk-service", here + "/../service/vesk-service"}) {
    if (::access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return "";
}

// A fresh directory for the demo under $TMPDIR (default /tmp).
std::string MakeWorkDirectory() {
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern =
      std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") +
      "/vesk-demo-XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (::mkdtemp(buffer.data()) == nullptr) return "";
  return buffer.data();
}

// A JSON value as text or number, "" or 0 when it is missing or another
// type: the demo description is the service's, read as it comes.
std::string Text(const Json& j, const char* key) {
  const auto found = j.find(key);
  return found != j.end() && found->is_string() ? found->get<std::string>()
                                                : "";
}
int64_t Number(const Json& j, const char* key) {
  const auto found = j.find(key);
  return found != j.end() && found->is_number_integer() ? found->get<int64_t>()
                                                        : 0;
}

}  // namespace

int RunDemo(const CommandLine& cl, const Context& cx) {
  tools::IgnoreBrokenPipes();
  CatchStopSignals();
  const std::string service = FindService(cl);
  if (service.empty()) {
    std::fprintf(stderr,
                 "vesk demo: vesk-service not found beside this program; "
                 "give --service PATH\n");
    return kExitUsage;
  }
  const std::string work = MakeWorkDirectory();
  if (work.empty()) {
    std::perror("vesk demo: temporary directory");
    return kExitRefused;
  }
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

  Report report(7, cx.json);
  report.document()["workDirectory"] = work;
  report.document()["deviceRoot"] = device;
  report.Say("VESK80 demo\n  work directory  " + work);
  tools::Child server;
  bool keep = cl.demo.keep;
  // The end of the demo, in every case: the service stopped, the directory
  // removed unless kept, the report finished; then, when a signal or a
  // closed output ended it, the process ends by that signal.
  const auto finish = [&](int exit, const std::string& problem = "") {
    if (server.Running()) StopService(server, 10000);
    const bool interrupted = g_stopSignal != 0 || report.closed();
    if (!problem.empty()) {
      std::fprintf(stderr, "vesk demo: %s\n", problem.c_str());
      report.document()["error"] = problem;
    }
    if (exit != kExitOk && !interrupted) keep = true;
    if (keep) {
      report.Say("  kept            " + work + " (service log: " + log + ")");
    } else {
      fs::remove_all(work, ec);
    }
    if (g_stopSignal != 0) {
      std::fprintf(stderr, "vesk demo: interrupted; the service is stopped%s\n",
                   keep ? "" : " and its directory removed");
      EndBySignal(g_stopSignal);
    }
    if (report.closed()) EndBySignal(SIGPIPE);
    report.Finish(keep ? Json(work) : Json());
    return exit;
  };
  const auto stopping = [&] { return g_stopSignal != 0 || report.closed(); };

  // The store and its description.
  if (tools::RunToEnd({service, "--data", data, "--seed-demo"}, nullptr,
                      {log}) != 0) {
    return finish(kExitRefused,
                  service + " --seed-demo failed (see " + log + ")");
  }
  Json demo;
  try {
    demo = Json::parse(ReadFile(data + "/demo.json"));
  } catch (const Json::exception& e) {
    return finish(kExitRefused, std::string("demo.json: ") + e.what());
  }
  if (!demo.is_object()) {
    return finish(kExitRefused, "demo.json does not hold an object");
  }
  const Json account = demo.value("account", Json::object());
  const Json contents = demo.value("contents", Json::array());
  const Json packages = demo.value("packages", Json::array());
  if (!account.is_object() || !contents.is_array() || contents.empty() ||
      !packages.is_array() || packages.empty()) {
    return finish(kExitRefused,
                  "demo.json lacks the account, the contents "
                  "or the packages");
  }
  size_t biggest = 0;
  for (size_t i = 1; i < contents.size(); ++i) {
    if (Number(contents[i], "size") > Number(contents[biggest], "size")) {
      biggest = i;
    }
  }
  const Json& content = contents[biggest];
  const int64_t contentSize = Number(content, "size");
  const int64_t cutAfter = contentSize / 3;

  std::string error;
  if (!server.Start({service, "serve", "--data", data, "--port", "0",
                     "--cut-after", std::to_string(cutAfter), "--cuts", "1"},
                    {log}, &error)) {
    return finish(kExitRefused, error);
  }
  // Its first line, looking at the signals while waiting.
  std::string line;
  bool started = false;
  const auto deadline = std::chrono::steady_clock::now() + kStartTimeout;
  while (!stopping() && std::chrono::steady_clock::now() < deadline) {
    if (server.ReadLine(&line, kWaitSliceMs)) {
      started = true;
      break;
    }
    if (!server.Running()) break;
  }
  if (stopping()) return finish(kExitRefused);
  const std::string prefix = "listening on ";
  if (!started || line.compare(0, prefix.size(), prefix) != 0) {
    return finish(kExitRefused, "the service did not start (see " + log + ")");
  }
  const std::string address = line.substr(prefix.size());
  const std::string base = "http://" + address;
  const int32_t port = UrlPort(base + "/");
  report.document()["service"] =
      Json{{"address", address}, {"pid", static_cast<int>(server.pid())}};
  report.Say("  service         " + address + ", pid " +
             std::to_string(server.pid()) + ", data " + data);
  report.Say("  device root     " + device + "\n");
  const auto at = [&](const std::string& path) {
    return Endpoint{base + path, port};
  };

  // 1. Activation, mode 4: a new handset registers its key.
  {
    ActivateParams p;
    p.environmentPath = kEnvironment;
    p.mode = 4;
    p.userAgent = "vesk demo";
    p.serial = "DEMO-0001";
    p.username = Text(account, "name");
    p.password = Text(account, "password");
    p.validation = Text(account, "validationCode");
    p.name = Text(account, "displayName");
    if (p.name.empty()) p.name = "Demo";
    p.email = Text(account, "email");
    p.province = Text(account, "province");
    p.gender = static_cast<int32_t>(Number(account, "gender"));
    p.figure = static_cast<int32_t>(Number(account, "figure"));
    const ActivateOutcome o = Activate(p, at("/activate"));
    if (stopping()) return finish(kExitRefused);
    const bool stored = fs::is_regular_file(host(kEnvironment), ec);
    report.Step(
        "activate a handset (mode 4)", o.ok() && stored && o.environmentPrivate,
        {Describe(o) + ", user id " + std::to_string(o.userId) + ", user no " +
             std::to_string(o.userNo) + ", username " + o.username,
         std::string("credentials ") +
             (stored ? "stored in " : "NOT stored in ") + kEnvironment +
             (o.environmentPrivate ? ", mode 0600" : ", NOT mode 0600")});
  }
  if (stopping()) return finish(kExitRefused);

  // 2. Account information with the stored credentials.
  {
    const AccountOutcome o = Account(kEnvironment, at("/account"));
    if (stopping()) return finish(kExitRefused);
    report.Step("account information",
                o.ok() && o.username == Text(account, "name"),
                {Describe(o) + ", account " + std::to_string(o.accountId) +
                 " \"" + o.username + "\" <" + o.email + ">"});
  }
  if (stopping()) return finish(kExitRefused);

  // 3. Heartbeat: the notifications queued for the new handset.
  {
    const BeatOutcome o = Beat(kEnvironment, at("/heartbeat"));
    if (stopping()) return finish(kExitRefused);
    const int64_t expected = Number(demo, "notifications");
    std::vector<std::string> lines = {
        Describe(o) + ", " + std::to_string(o.notifications.size()) +
        " notifications (" + std::to_string(expected) + " queued)"};
    for (const Notification& n : o.notifications) {
      lines.push_back("  " + n.kind + " " + n.key + ": " +
                      FitColumns(n.title, 30) + " - " + FitColumns(n.text, 40));
    }
    report.Step(
        "heartbeat",
        o.ok() && static_cast<int64_t>(o.notifications.size()) == expected,
        lines);
  }
  if (stopping()) return finish(kExitRefused);

  // 4. Download of the biggest content, cut once by the service and
  // resumed inside the same call, then checked against the store's MD5.
  {
    DownloadParams p;
    p.environmentPath = kEnvironment;
    p.key = Text(content, "key");
    p.localPath = "\\Storage Card\\" + p.key;
    const std::string file = host(p.localPath);
    DownloadOutcome o;
    {
      ProgressLine progress(
          "download", [file] { return SampleTransfer(file); }, cx.progress);
      o = Download(p, at("/download"), at("/download/confirm"));
    }
    if (stopping()) return finish(kExitRefused);
    const std::string md5 = FileMd5(file);
    std::string deliveries;
    tools::RunToEnd({service, "--data", data, "list-deliveries"}, &deliveries,
                    {log});
    const bool confirmed =
        deliveries.find(" " + p.key + " ") != std::string::npos;
    const bool matches = !md5.empty() && md5 == Text(content, "md5");
    report.Step(
        "download, cut once and resumed",
        o.ok() && o.rangeStart > 0 && matches && confirmed,
        {"content \"" + p.key + "\", " + std::to_string(contentSize) +
             " bytes; the service cuts the first reply after " +
             std::to_string(cutAfter) + " bytes",
         "last attempt: " + Describe(o) + ", resumed at byte " +
             std::to_string(o.rangeStart) + ", received " +
             std::to_string(o.received) + " of " + std::to_string(o.fileSize),
         "MD5 " + (md5.empty() ? std::string("(no file)") : md5) +
             (matches ? " matches the store" : " does NOT match the store"),
         std::string("arrival ") +
             (confirmed ? "confirmed to the service" : "NOT confirmed")});
  }
  if (stopping()) return finish(kExitRefused);

  // 5. Package load: fetched and unpacked.
  {
    const Json& package = packages[0];
    const std::string name = Text(package, "path");
    const Json files = package.value("files", Json::array());
    LoadParams p;
    p.environmentPath = kEnvironment;
    p.archivePath = "\\Storage Card\\" + name;
    p.targetDirectory = "\\Storage Card\\package";
    const std::string archive = host(p.archivePath);
    LoadOutcome o;
    {
      ProgressLine progress(
          "load", [archive] { return SampleTransfer(archive); }, cx.progress);
      o = Load(p, at("/packages/" + name));
    }
    if (stopping()) return finish(kExitRefused);
    size_t found = 0;
    std::vector<std::string> missing;
    for (const Json& file : files) {
      const std::string entry = file.is_string() ? file.get<std::string>() : "";
      if (fs::is_regular_file(host(p.targetDirectory + "\\" + entry), ec)) {
        ++found;
      } else {
        missing.push_back(entry);
      }
    }
    std::vector<std::string> lines = {
        "package \"" + name + "\": " + Describe(o) + ", " +
            std::to_string(o.received) + " bytes",
        std::to_string(found) + " of " + std::to_string(files.size()) +
            " files unpacked into " + p.targetDirectory};
    for (const std::string& m : missing) lines.push_back("missing: " + m);
    report.Step("package load",
                o.ok() && !files.empty() && found == files.size(), lines);
  }
  if (stopping()) return finish(kExitRefused);

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
    tools::RunToEnd({service, "--data", data, "list-uploads"}, &listed, {log});
    const std::vector<Upload> before = ParseUploads(listed);

    WriteFile(host(notes), "second notes, longer than the first\n");
    const SaveOutcome second =
        Save(kEnvironment, {{notes, true}, {photo, false}}, at("/save"));
    tools::RunToEnd({service, "--data", data, "list-uploads"}, &listed, {log});
    const std::vector<Upload> after = ParseUploads(listed);
    if (stopping()) return finish(kExitRefused);

    const auto find = [](const std::vector<Upload>& list,
                         const std::string& path) -> const Upload* {
      for (const Upload& u : list) {
        if (u.path == path) return &u;
      }
      return nullptr;
    };
    const Upload* notesAfter = find(after, notes);
    const bool updated =
        notesAfter != nullptr && notesAfter->md5 == FileMd5(host(notes));
    report.Step(
        "save: upload, then update and delete",
        first.ok() && second.ok() && find(before, notes) &&
            find(before, photo) && updated && find(after, photo) == nullptr,
        {"first save (update notes.txt, update photo.bin): " + Describe(first) +
             ", service holds " + std::to_string(before.size()) + " files",
         "second save (update notes.txt, delete photo.bin): " +
             Describe(second) + ", service holds " +
             std::to_string(after.size()) + " file(s)",
         std::string("notes.txt ") +
             (updated ? "stored with the new content"
                      : "NOT stored with the new content") +
             ", photo.bin " +
             (find(after, photo) ? "still stored" : "deleted")});
  }
  if (stopping()) return finish(kExitRefused);

  // 7. The service stops cleanly.
  {
    const int status = StopService(server, 10000);
    report.Step("stop the service", status == 0,
                {"exit status " + std::to_string(status)});
  }

  report.Say("\ndemo: " + std::to_string(report.passed()) + " of " +
             std::to_string(report.steps()) + " steps passed");
  return finish(report.AllPassed() ? kExitOk : kExitRefused);
}

}  // namespace vesk::tool
