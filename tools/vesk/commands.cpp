#include "tools/vesk/commands.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "tools/vesk/json.h"
#include "tools/vesk/ops.h"
#include "tools/vesk/progress.h"
#include "tools/vesk/text.h"

namespace vesk::tool {

namespace {

using Fields = std::vector<std::pair<std::string, std::string>>;

void PrintFields(const std::string& headline, const Fields& fields) {
  std::string out = headline + "\n";
  size_t width = 0;
  for (const auto& f : fields) width = std::max(width, f.first.size());
  for (const auto& f : fields) {
    out += "  " + f.first + std::string(width - f.first.size() + 2, ' ') +
           f.second + "\n";
  }
  std::fputs(out.c_str(), stdout);
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
  std::fputs((j.Write(2) + "\n").c_str(), stdout);
}

// Header values reach the records as sent, with the blank after the colon.
std::string Trim(const std::string& text) {
  const size_t first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return "";
  return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

// What a failed call says on standard error.
void PrintFailure(const std::string& what, int32_t status,
                  const CallError& error) {
  const CallError e{error.code, Trim(error.message), Trim(error.timestamp)};
  std::string line;
  if (status == 0) {
    line = what + ": no response from the service";
    if (!e.message.empty()) line += " (" + e.message + ")";
  } else {
    line = what + ": refused, status " + std::to_string(status) + ", code " +
           std::to_string(e.code);
    if (!e.message.empty()) line += ": " + e.message;
    if (!e.timestamp.empty()) line += " (service time " + e.timestamp + ")";
  }
  std::fprintf(stderr, "%s\n", line.c_str());
}

// The URL and port of a command's resource: --url, or --base with the
// command's path; --port, or the URL's own port.
bool ResolveEndpoint(const CommandLine& cl, const std::string& path,
                     Endpoint* at, std::string* error) {
  const auto url = cl.Get("url");
  const auto base = cl.Get("base");
  if (url && base) {
    *error = "give --url or --base, not both";
    return false;
  }
  if (url) {
    at->url = *url;
  } else if (base) {
    std::string b = *base;
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
  at->port = own;
  if (const auto port = cl.Get("port")) {
    const auto n = ParseInteger(*port, 1, 65535);
    if (!n) {
      *error = "--port needs a port number 1-65535";
      return false;
    }
    at->port = static_cast<int32_t>(*n);
  }
  return true;
}

bool IntegerOption(const CommandLine& cl, const std::string& name,
                   long long min, long long max, long long* value,
                   std::string* error) {
  const auto text = cl.Get(name);
  if (!text) return true;
  const auto n = ParseInteger(*text, min, max);
  if (!n) {
    *error = "--" + name + " needs a number from " + std::to_string(min) +
             " to " + std::to_string(max);
    return false;
  }
  *value = *n;
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

}  // namespace

int RunActivate(const CommandLine& cl, const Context& cx) {
  std::string error;
  Endpoint at;
  if (!ResolveEndpoint(cl, "/activate", &at, &error)) {
    return UsageError("activate", error);
  }
  long long mode = 4, gender = 0, figure = 0;
  if (!IntegerOption(cl, "mode", INT32_MIN, INT32_MAX, &mode, &error) ||
      !IntegerOption(cl, "gender", INT32_MIN, INT32_MAX, &gender, &error) ||
      !IntegerOption(cl, "figure", INT32_MIN, INT32_MAX, &figure, &error)) {
    return UsageError("activate", error);
  }
  if (!cl.Has("username") || !cl.Has("password")) {
    return UsageError("activate", "--username and --password are needed");
  }
  ActivateParams p;
  p.environmentPath = cx.environmentPath;
  p.mode = static_cast<int32_t>(mode);
  p.userAgent = cl.Get("user-agent").value_or("vesk host tool");
  p.serial = cl.Get("serial").value_or(RandomSerial());
  p.username = *cl.Get("username");
  p.password = *cl.Get("password");
  p.name = cl.Get("name").value_or("");
  p.email = cl.Get("email").value_or("");
  p.province = cl.Get("province").value_or("");
  p.validation = cl.Get("validation").value_or("");
  p.bom = cl.Get("bom").value_or("");
  p.gender = static_cast<int32_t>(gender);
  p.figure = static_cast<int32_t>(figure);

  const ActivateOutcome o = Activate(p, at);
  if (cx.json) {
    PrintJson(ToJson(o));
  } else if (o.status == 200) {
    Fields f = {{"mode", std::to_string(p.mode)}};
    if (p.mode != 1 && p.mode != 5) {
      f.insert(f.end(), {{"user id", std::to_string(o.userId)},
                         {"user no", std::to_string(o.userNo)}});
      AddAccountFields(o, f);
    }
    f.emplace_back("server date", Trim(o.serverDate));
    if ((p.mode == 2 || p.mode == 4) && o.userId > 0) {
      f.emplace_back("credentials", "stored in " + cx.environmentPath);
    }
    PrintFields("activated (status 200)", f);
  } else {
    PrintFailure("activate", o.status, o.error);
  }
  return ExitFor(o.status);
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
  } else if (o.status == 200) {
    Fields f = {{"account id", std::to_string(o.accountId)}};
    AddAccountFields(o, f);
    PrintFields("account (status 200)", f);
  } else {
    PrintFailure("account", o.status, o.error);
  }
  return ExitFor(o.status);
}

namespace {

std::string Cell(const std::string& text, size_t columns) {
  std::string flat = text;
  for (char& c : flat) {
    if (c == '\n' || c == '\r' || c == '\t') c = ' ';
  }
  std::string out = FitColumns(flat, columns);
  return out + std::string(columns - DisplayWidth(out), ' ');
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
  } else if (o.status == 200) {
    PrintNotifications(o);
  } else {
    PrintFailure("beat", o.status, o.error);
  }
  return ExitFor(o.status);
}

int RunDownload(const CommandLine& cl, const Context& cx) {
  std::string error;
  Endpoint at;
  if (!ResolveEndpoint(cl, "/download", &at, &error)) {
    return UsageError("download", error);
  }
  Endpoint confirm{at.url + "/confirm", at.port};
  if (const auto url = cl.Get("confirm-url")) {
    confirm.url = *url;
    confirm.port = UrlPort(*url);
    if (confirm.port < 0) {
      return UsageError("download", "\"" + *url +
                                        "\" is not of the form "
                                        "http://host[:port]/path");
    }
  } else if (cl.Has("base")) {
    // The reference service confirms at /download/confirm.
    confirm.url = at.url + "/confirm";
  }
  long long confirmPort = confirm.port, offset = 0, rangeEnd = 0;
  if (!IntegerOption(cl, "confirm-port", 1, 65535, &confirmPort, &error) ||
      !IntegerOption(cl, "offset", 0, UINT32_MAX, &offset, &error) ||
      !IntegerOption(cl, "range-end", 0, UINT32_MAX, &rangeEnd, &error)) {
    return UsageError("download", error);
  }
  confirm.port = static_cast<int32_t>(confirmPort);
  if (!cl.Has("key")) return UsageError("download", "--key is needed");
  DownloadParams p;
  p.environmentPath = cx.environmentPath;
  p.key = *cl.Get("key");
  p.localPath = HandsetPath(cl.Get("to").value_or("\\Storage Card\\" + p.key));
  const std::string host = HostPath(cx.deviceRoot, p.localPath);
  if (cl.Has("resume") && !cl.Has("offset")) {
    offset = std::max<int64_t>(HostFileSize(host + ".Down"), 0);
  }
  p.offset = static_cast<uint32_t>(offset);
  p.rangeEnd = static_cast<uint32_t>(rangeEnd);

  DownloadOutcome o;
  {
    ProgressLine progress(
        "download", [host] { return SampleTransfer(host); }, cx.progress);
    o = Download(p, at, confirm, host);
  }
  const int exit = ExitFor(o);
  if (cx.json) {
    PrintJson(ToJson(o));
    return exit;
  }
  if (exit == kExitOk) {
    PrintFields("downloaded (status " + std::to_string(o.status) + ")",
                {{"file", p.localPath},
                 {"host file", host},
                 {"range start", std::to_string(o.rangeStart)},
                 {"received", std::to_string(o.received)},
                 {"file size", std::to_string(o.fileSize)},
                 {"checksum", o.checksum + " (verified)"}});
  } else if (o.status == 200 || o.status == 206) {
    if (o.error.code == 916) {
      std::fprintf(stderr,
                   "download: the file failed its checksum (code 916); the "
                   "partial file was cut back to %u bytes; continue with "
                   "--resume\n",
                   o.offset);
    } else {
      std::fprintf(stderr,
                   "download: incomplete at byte %u of %d; continue with "
                   "--resume\n",
                   o.offset, o.fileSize);
    }
  } else if (o.error.code == 916) {
    std::fprintf(stderr,
                 "download: the service rejected the partial file (code 916); "
                 "it was cut back to %u bytes\n",
                 o.offset);
  } else {
    PrintFailure("download", o.status, o.error);
  }
  return exit;
}

int RunLoad(const CommandLine& cl, const Context& cx) {
  std::string error;
  Endpoint at;
  std::string path = "/packages/";
  if (cl.Has("base")) {
    if (!cl.Has("package")) {
      return UsageError("load", "--base needs --package NAME");
    }
    path += *cl.Get("package");
  } else if (cl.Has("package")) {
    return UsageError("load", "--package goes with --base");
  }
  if (!ResolveEndpoint(cl, path, &at, &error)) {
    return UsageError("load", error);
  }
  long long offset = 0, rangeEnd = 0;
  if (!IntegerOption(cl, "offset", 0, INT32_MAX, &offset, &error) ||
      !IntegerOption(cl, "range-end", 0, INT32_MAX, &rangeEnd, &error)) {
    return UsageError("load", error);
  }
  LoadParams p;
  p.environmentPath = cx.environmentPath;
  p.archivePath = HandsetPath(
      cl.Get("archive").value_or("\\Storage Card\\" + LastSegment(at.url)));
  p.targetDirectory = HandsetPath(cl.Get("target").value_or("\\Storage Card"));
  p.deleteArchive = cl.Has("delete-archive");
  const std::string host = HostPath(cx.deviceRoot, p.archivePath);
  if (cl.Has("resume") && !cl.Has("offset")) {
    offset = std::max<int64_t>(HostFileSize(host + ".Down"), 0);
  }
  p.offset = static_cast<int32_t>(offset);
  p.rangeEnd = static_cast<int32_t>(rangeEnd);

  LoadOutcome o;
  {
    ProgressLine progress(
        "load", [host] { return SampleTransfer(host); }, cx.progress);
    o = Load(p, at);
  }
  const int exit = ExitFor(o);
  if (cx.json) {
    PrintJson(ToJson(o));
    return exit;
  }
  if (exit == kExitOk) {
    PrintFields(
        "loaded (status " + std::to_string(o.status) + ")",
        {{"archive", p.archivePath + (p.deleteArchive ? " (deleted)" : "")},
         {"unpacked into", p.targetDirectory},
         {"range start", std::to_string(o.rangeStart)},
         {"received", std::to_string(o.received)},
         {"file size", std::to_string(o.fileSize)},
         {"entries not unpacked", std::to_string(o.failedEntries)}});
  } else if (o.status == 200 || o.status == 206) {
    std::fprintf(stderr,
                 "load: incomplete at byte %lld of %d; nothing was unpacked; "
                 "continue with --resume\n",
                 static_cast<long long>(o.rangeStart) + o.received, o.fileSize);
  } else {
    PrintFailure("load", o.status, o.error);
  }
  return exit;
}

int RunSave(const CommandLine& cl, const Context& cx) {
  std::string error;
  Endpoint at;
  if (!ResolveEndpoint(cl, "/save", &at, &error)) {
    return UsageError("save", error);
  }
  std::vector<SaveItem> items;
  for (const auto& g : cl.given) {
    if (g.first == "update" || g.first == "delete") {
      items.push_back(SaveItem{HandsetPath(g.second), g.first == "update"});
    }
  }
  if (items.size() > VESK80_SAVE_MAX_ENTRIES) {
    return UsageError("save", "at most 9 entries in one save");
  }
  std::vector<std::string> hostPaths;
  std::vector<int64_t> sizes;
  for (const SaveItem& item : items) {
    if (!item.update) continue;
    hostPaths.push_back(HostPath(cx.deviceRoot, item.path));
    sizes.push_back(std::max<int64_t>(HostFileSize(hostPaths.back()), 0));
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
    Json list = Json::Array();
    for (const SaveItem& item : items) {
      Json e = Json::Object();
      e.Set("path", item.path);
      e.Set("action", item.update ? "update" : "delete");
      list.Push(std::move(e));
    }
    j.Set("entries", std::move(list));
    PrintJson(j);
  } else if (o.status == 200) {
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
    PrintFields("saved (status 200)", f);
  } else {
    PrintFailure("save", o.status, o.error);
  }
  return ExitFor(o.status);
}

}  // namespace vesk::tool
