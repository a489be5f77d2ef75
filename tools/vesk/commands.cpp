#include "tools/vesk/commands.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "tools/vesk/ops.h"
#include "tools/vesk/progress.h"
#include "tools/vesk/text.h"
#include "vesk80.h"

namespace vesk::tool {

namespace {

using Fields = std::vector<std::pair<std::string, std::string>>;

void PrintFields(FILE* to, const std::string& headline, const Fields& fields) {
  std::string out = headline + "\n";
  size_t width = 0;
  for (const auto& f : fields) width = std::max(width, f.first.size());
  for (const auto& f : fields) {
    out += "  " + f.first + std::string(width - f.first.size() + 2, ' ') +
           f.second + "\n";
  }
  std::fputs(out.c_str(), to);
}

void AddAccountFields(const AccountFields& account, Fields& fields) {
  fields.insert(fields.end(), {{"username", account.username},
                               {"e-mail", account.email},
                               {"name", account.name},
                               {"province", account.province},
                               {"gender", std::to_string(account.gender)},
                               {"figure", std::to_string(account.figure)}});
}

void PrintJson(const Json& j) {
  const std::string text =
      j.dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
  std::fputs(text.c_str(), stdout);
}

// What a call that did not do what was asked says on standard error.
void PrintFailure(const std::string& what, const Outcome& o) {
  std::fprintf(stderr, "%s: %s\n", what.c_str(), o.reason.c_str());
}

// The URL and port of a command's resource: --url, or --base with the
// command's path; --port, or the URL's own port.
bool ResolveEndpoint(const CommandLine& cl, const std::string& path,
                     Endpoint* at, std::string* error) {
  if (cl.Has("url")) {
    at->url = cl.endpoint.url;
  } else if (cl.Has("base")) {
    std::string b = cl.endpoint.base;
    while (!b.empty() && b.back() == '/') b.pop_back();
    at->url = b + path;
  } else {
    *error = "--url (or --base) is needed";
    return false;
  }
  const int32_t own = UrlPort(at->url);
  if (own < 0) {
    *error = "\"" + at->url + "\" is not of the form http://host[:port]/path";
    return false;
  }
  at->port = cl.Has("port") ? cl.endpoint.port : own;
  return true;
}

std::string RandomSerial() {
  unsigned char bytes[8] = {};
  const int fd = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC);
  if (fd >= 0) {
    (void)!::read(fd, bytes, sizeof bytes);
    ::close(fd);
  }
  std::string out;
  char buf[3];
  for (const unsigned char b : bytes) {
    std::snprintf(buf, sizeof buf, "%02X", b);
    out += buf;
  }
  return out;
}

int64_t HostFileSize(const std::string& hostPath) {
  struct stat st {};
  if (::stat(hostPath.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return -1;
  return st.st_size;
}

// The last segment of a URL's path ("demo.zip" of ".../packages/demo.zip").
std::string LastSegment(const std::string& url) {
  const size_t slash = url.rfind('/');
  return slash == std::string::npos ? url : url.substr(slash + 1);
}

// Where a transfer to host path `host` starts: --offset when given; after
// --restart, 0 with the earlier call's data and state files removed; else
// the size of the data file an earlier call left (0 without one).
int64_t TransferStart(const CommandLine& cl, const TransferOptions& t,
                      const std::string& host, int64_t largest) {
  if (cl.Has("offset")) return t.offset;
  if (t.restart) {
    std::remove((host + ".Down").c_str());
    std::remove((host + ".Down.cfg").c_str());
    return 0;
  }
  return std::clamp<int64_t>(HostFileSize(host + ".Down"), 0, largest);
}

// Copies a host file to standard output; false with errno set when it
// cannot be read or written whole.
bool CopyToStandardOutput(const std::string& hostPath) {
  std::ifstream in(hostPath, std::ios::binary);
  if (!in) return false;
  char block[65536];
  while (in.read(block, sizeof block) || in.gcount() > 0) {
    const size_t n = static_cast<size_t>(in.gcount());
    if (std::fwrite(block, 1, n, stdout) != n) return false;
  }
  return std::fflush(stdout) == 0;
}

}  // namespace

int RunActivate(const CommandLine& cl, const Context& cx) {
  std::string error;
  Endpoint at;
  if (!ResolveEndpoint(cl, "/activate", &at, &error)) {
    return UsageError("activate", error);
  }
  const ActivateOptions& a = cl.activate;
  ActivateParams p;
  p.environmentPath = cx.environmentPath;
  p.mode = a.mode;
  p.userAgent = a.userAgent;
  p.serial = a.serial.empty() ? RandomSerial() : a.serial;
  p.username = a.username;
  p.password = a.password;
  p.name = a.name;
  p.email = a.email;
  p.province = a.province;
  p.validation = a.validation;
  p.bom = a.bom;
  p.gender = a.gender;
  p.figure = a.figure;

  const ActivateOutcome o = Activate(p, at);
  if (cx.json) {
    PrintJson(ToJson(o));
  } else if (o.ok()) {
    Fields f = {{"mode", std::to_string(p.mode)}};
    if (p.mode != 1 && p.mode != 5) {
      f.insert(f.end(), {{"user id", std::to_string(o.userId)},
                         {"user no", std::to_string(o.userNo)}});
      AddAccountFields(o, f);
    }
    f.emplace_back("server date", o.serverDate);
    if (ModeRegisters(p.mode)) {
      f.emplace_back("credentials",
                     "stored in " + cx.environmentPath +
                         (o.environmentPrivate ? " (mode 0600)" : ""));
    }
    PrintFields(stdout, "activated (status 200)", f);
  } else {
    PrintFailure("activate", o);
  }
  return o.exit();
}

int RunAccount(const CommandLine& cl, const Context& cx) {
  std::string error;
  Endpoint at;
  if (!ResolveEndpoint(cl, "/account", &at, &error)) {
    return UsageError("account", error);
  }
  const AccountOutcome o = Account(cx.environmentPath, at);
  if (cx.json) {
    PrintJson(ToJson(o));
  } else if (o.ok()) {
    Fields f = {{"account id", std::to_string(o.accountId)}};
    AddAccountFields(o, f);
    PrintFields(stdout, "account (status 200)", f);
  } else {
    PrintFailure("account", o);
  }
  return o.exit();
}

namespace {

// A table cell of `columns` display columns: cut with "…" or padded.
std::string Cell(const std::string& text, size_t columns) {
  std::string flat = text;
  for (char& c : flat) {
    if (c == '\n' || c == '\r' || c == '\t') c = ' ';
  }
  const std::string out = FitColumns(flat, columns);
  const size_t width = DisplayWidth(out);
  return out + std::string(width < columns ? columns - width : 0, ' ');
}

void PrintNotifications(const BeatOutcome& o) {
  size_t counts[3] = {0, 0, 0};
  for (const Notification& n : o.notifications) {
    counts[n.kind == "content" ? 0 : n.kind == "message" ? 1 : 2]++;
  }
  std::string out = "heartbeat (status 200): total " + std::to_string(o.total) +
                    ", " + std::to_string(counts[0]) + " content, " +
                    std::to_string(counts[1]) + " message, " +
                    std::to_string(counts[2]) + " advertisement\n";
  if (!o.notifications.empty()) {
    out += "  " + Cell("KIND", 8) + " " + Cell("KEY", 16) + " " +
           Cell("TITLE", 24) + " " + Cell("DETAIL", 22) + " TEXT\n";
    for (const Notification& n : o.notifications) {
      std::string detail;
      if (n.kind == "content") {
        detail = n.mime + ", " + std::to_string(n.size) + " B";
      } else if (n.kind == "advertisement") {
        detail = n.href.empty() ? n.media : n.href;
      }
      const std::string kind = n.kind == "advertisement" ? "advert" : n.kind;
      std::string line = "  " + Cell(kind, 8) + " " + Cell(n.key, 16) + " " +
                         Cell(n.title, 24) + " " + Cell(detail, 22) + " " +
                         Cell(n.text, 40);
      while (!line.empty() && line.back() == ' ') line.pop_back();
      out += line + "\n";
    }
  }
  std::fputs(out.c_str(), stdout);
}

}  // namespace

int RunBeat(const CommandLine& cl, const Context& cx) {
  std::string error;
  Endpoint at;
  if (!ResolveEndpoint(cl, "/heartbeat", &at, &error)) {
    return UsageError("beat", error);
  }
  const BeatOutcome o = Beat(cx.environmentPath, at);
  if (cx.json) {
    PrintJson(ToJson(o));
  } else if (o.ok()) {
    PrintNotifications(o);
  } else {
    PrintFailure("beat", o);
  }
  return o.exit();
}

int RunDownload(const CommandLine& cl, const Context& cx) {
  std::string error;
  Endpoint at;
  if (!ResolveEndpoint(cl, "/download", &at, &error)) {
    return UsageError("download", error);
  }
  const DownloadOptions& d = cl.download;
  Endpoint confirm{at.url + "/confirm", at.port};
  if (cl.Has("confirm-url")) {
    confirm.url = d.confirmUrl;
    confirm.port = UrlPort(d.confirmUrl);
    if (confirm.port < 0) {
      return UsageError("download", "\"" + d.confirmUrl +
                                        "\" is not of the form "
                                        "http://host[:port]/path");
    }
  }
  if (cl.Has("confirm-port")) confirm.port = d.confirmPort;
  const bool toStandardOutput = d.to == "-";
  if (toStandardOutput && cx.json) {
    return UsageError("download",
                      "--to - and --json both want standard output");
  }
  DownloadParams p;
  p.environmentPath = cx.environmentPath;
  p.key = d.key;
  p.localPath = HandsetPath(
      d.to.empty() || toStandardOutput ? "\\Storage Card\\" + p.key : d.to);
  const std::string host = HostPath(cx.deviceRoot, p.localPath);
  p.offset = static_cast<uint32_t>(TransferStart(cl, d, host, UINT32_MAX));
  p.rangeEnd = static_cast<uint32_t>(d.rangeEnd);

  DownloadOutcome o;
  {
    ProgressLine progress(
        "download", [host] { return SampleTransfer(host); }, cx.progress);
    o = Download(p, at, confirm);
  }
  if (cx.json) {
    Json j = ToJson(o);
    j["continuedFrom"] = p.offset;
    PrintJson(j);
    return o.exit();
  }
  // With the file on standard output, the report goes to standard error.
  FILE* report = toStandardOutput ? stderr : stdout;
  if (!o.ok()) {
    PrintFailure("download", o);
    return o.exit();
  }
  Fields f = {{"file", p.localPath}, {"host file", host}};
  if (p.offset > 0 && !cl.Has("offset")) {
    f.emplace_back("continued", "from byte " + std::to_string(p.offset) +
                                    ", the data file an earlier call left");
  }
  f.insert(f.end(), {{"range start", std::to_string(o.rangeStart)},
                     {"received", std::to_string(o.received)},
                     {"file size", std::to_string(o.fileSize)},
                     {"checksum", o.checksum + " (verified)"}});
  if (toStandardOutput) {
    if (!CopyToStandardOutput(host)) {
      std::fprintf(stderr, "download: standard output: %s\n",
                   std::strerror(errno));
      return kExitRefused;
    }
    f.emplace_back("copied to", "standard output");
  }
  PrintFields(report, "downloaded (status " + std::to_string(o.status) + ")",
              f);
  return o.exit();
}

int RunLoad(const CommandLine& cl, const Context& cx) {
  std::string error;
  Endpoint at;
  std::string path = "/packages/";
  if (cl.Has("base")) {
    if (!cl.Has("package")) {
      return UsageError("load", "--base needs --package NAME");
    }
    path += cl.load.package;
  } else if (cl.Has("package")) {
    return UsageError("load", "--package goes with --base");
  }
  if (!ResolveEndpoint(cl, path, &at, &error)) {
    return UsageError("load", error);
  }
  const LoadOptions& l = cl.load;
  LoadParams p;
  p.environmentPath = cx.environmentPath;
  p.archivePath = HandsetPath(
      l.archive.empty() ? "\\Storage Card\\" + LastSegment(at.url) : l.archive);
  p.targetDirectory = HandsetPath(l.target);
  p.deleteArchive = l.deleteArchive;
  const std::string host = HostPath(cx.deviceRoot, p.archivePath);
  p.offset = static_cast<int32_t>(TransferStart(cl, l, host, INT32_MAX));
  p.rangeEnd = static_cast<int32_t>(l.rangeEnd);

  LoadOutcome o;
  {
    ProgressLine progress(
        "load", [host] { return SampleTransfer(host); }, cx.progress);
    o = Load(p, at);
  }
  if (!o.newArchive.empty()) {
    std::fprintf(stderr,
                 "load: %s was there already: the library unpacked that "
                 "older archive; the new one is %s\n",
                 o.unpackedArchive.c_str(), o.newArchive.c_str());
  }
  if (cx.json) {
    Json j = ToJson(o);
    j["continuedFrom"] = p.offset;
    PrintJson(j);
    return o.exit();
  }
  if (!o.ok()) {
    PrintFailure("load", o);
    return o.exit();
  }
  Fields f = {{"archive", o.unpackedArchive +
                              (o.newArchive.empty() ? "" : " (the older one)") +
                              (o.archiveDeleted ? " (deleted)" : "")}};
  if (!o.newArchive.empty()) f.emplace_back("new archive", o.newArchive);
  f.emplace_back("unpacked into", p.targetDirectory);
  f.emplace_back("entries", std::to_string(o.entries) + ", all unpacked");
  if (p.offset > 0 && !cl.Has("offset")) {
    f.emplace_back("continued", "from byte " + std::to_string(p.offset) +
                                    ", the data file an earlier call left");
  }
  f.insert(f.end(), {{"range start", std::to_string(o.rangeStart)},
                     {"received", std::to_string(o.received)},
                     {"file size", std::to_string(o.fileSize)}});
  PrintFields(stdout, "loaded (status " + std::to_string(o.status) + ")", f);
  return o.exit();
}

int RunSave(const CommandLine& cl, const Context& cx) {
  std::string error;
  Endpoint at;
  if (!ResolveEndpoint(cl, "/save", &at, &error)) {
    return UsageError("save", error);
  }
  if (cl.save.empty()) {
    return UsageError("save", "give --update, --update-empty or --delete");
  }
  if (cl.save.size() > VESK80_SAVE_MAX_ENTRIES) {
    return UsageError("save", "at most 9 entries in one save");
  }
  std::vector<SaveItem> items;
  std::vector<std::string> hostPaths;
  std::vector<int64_t> sizes;
  for (const SaveEntryOption& e : cl.save) {
    const std::string path = HandsetPath(e.path);
    items.push_back(SaveItem{path, e.kind != SaveEntryOption::Kind::kDelete});
    if (e.kind == SaveEntryOption::Kind::kDelete) continue;
    const std::string host = HostPath(cx.deviceRoot, path);
    struct stat st {};
    const bool there = ::stat(host.c_str(), &st) == 0;
    // The library sends an empty part for a file that is not there: that
    // replaces the service's copy with nothing, so it is done only when
    // asked for by name.
    if (e.kind == SaveEntryOption::Kind::kUpdate && !there) {
      return UsageError("save", "--update " + path +
                                    ": no such file (host path " + host +
                                    "); --update-empty sends an empty part "
                                    "on purpose");
    }
    if (e.kind == SaveEntryOption::Kind::kUpdate && !S_ISREG(st.st_mode)) {
      return UsageError(
          "save", "--update " + path + ": not a regular file (" + host + ")");
    }
    if (e.kind == SaveEntryOption::Kind::kUpdateEmpty && there) {
      return UsageError("save", "--update-empty " + path +
                                    ": the file is there (host path " + host +
                                    "); --update sends it");
    }
    hostPaths.push_back(host);
    sizes.push_back(std::max<int64_t>(HostFileSize(host), 0));
  }

  SaveOutcome o;
  {
    UploadWatch watch;
    ProgressLine progress(
        "save",
        [&hostPaths, &sizes, &watch] {
          return SampleUpload(hostPaths, sizes, &watch);
        },
        cx.progress);
    o = Save(cx.environmentPath, items, at);
  }
  if (cx.json) {
    Json j = ToJson(o);
    Json list = Json::array();
    for (const SaveItem& item : items) {
      list.push_back(Json{{"path", item.path},
                          {"action", item.update ? "update" : "delete"}});
    }
    j["entries"] = std::move(list);
    PrintJson(j);
  } else if (o.ok()) {
    Fields f;
    for (const SaveItem& item : items) {
      f.emplace_back(item.update ? "update" : "delete", item.path);
    }
    // The head of the response; the body's first line tells what the
    // service did.
    const size_t blank = o.response.find("\r\n\r\n");
    if (blank != std::string::npos && blank + 4 < o.response.size()) {
      std::string body = o.response.substr(blank + 4);
      const size_t eol = body.find_first_of("\r\n");
      if (eol != std::string::npos) body.resize(eol);
      f.emplace_back("service said", body);
    }
    PrintFields(stdout, "saved (status 200)", f);
  } else {
    PrintFailure("save", o);
  }
  return o.exit();
}

}  // namespace vesk::tool
