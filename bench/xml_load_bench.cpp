// Throughput of loading a large notification file: the XML document's Load
// (reading, conversion to UTF-16 and indexing), pugixml's load_file of the
// same file as the yardstick, and Load followed by the walk the notification
// reader makes. Each round runs every case once, in the same order, so that
// all cases see the same machine state; the medians over the rounds of the
// thread's CPU time (page faults and reads included) are reported. MB are 10^6
// bytes of the file. glibc hands a buffer above its mapping threshold (at most
// 32 MB) fresh pages on every run, which then fault in one by one: the UTF-16
// text of a 20 MB file is such a buffer, pugixml's copy of the file is not.
// "first ms" is the first run of each case, where every buffer is fresh. The
// heartbeat's whole parse of the same file into the caller's records follows,
// against pugixml's load_file and filling the same records from its tree; then
// the peak memory of a heartbeat whose reply holds 10,000 notifications,
// received from a loopback peer in a child process. The figures are reported
// too (bench/report.h).
//   xml_load_bench [megabytes (20)] [rounds (9)] [notifications (10000)]
#include <stdlib.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <pugixml.hpp>
#include <random>
#include <string>
#include <vector>

#include "bench/loopback.h"
#include "bench/report.h"
#include "heartbeat/heartbeat.h"
#include "service/vesk80.h"
#include "tools/common/text.h"
#include "xml/xml.h"

namespace {

using vesk::xml::XmlDocument;

struct Counts {
  size_t content = 0, message = 0, advertisement = 0;
  size_t Total() const { return content + message + advertisement; }
};

// A reply holding content, message and advertisement notifications (in that
// order, as the service sends them) with text of realistic length: mostly
// ASCII, some UTF-8 words, entity and character references, and CDATA.
class NotificationWriter {
 public:
  // Notifications until the document reaches targetBytes or holds
  // maxCount of them.
  std::string Write(size_t targetBytes, Counts* counts,
                    size_t maxCount = SIZE_MAX) {
    std::string parts[3];
    size_t size = 0;
    for (size_t n = 1; size < targetBytes && n <= maxCount; ++n) {
      const int kind = Between(0, 99) < 40 ? 0 : Between(0, 99) < 60 ? 1 : 2;
      const size_t before = parts[kind].size();
      Notification(kind, n, &parts[kind]);
      size += parts[kind].size() - before;
      ++(kind == 0   ? counts->content
         : kind == 1 ? counts->message
                     : counts->advertisement);
    }
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<reply status=\"ok\">\n"
           "  <notifications total=\"" +
           std::to_string(counts->Total()) + "\">\n" + parts[0] + parts[1] +
           parts[2] + "  </notifications>\n</reply>\n";
  }

 private:
  int Between(int low, int high) {
    return std::uniform_int_distribution<int>(low, high)(random_);
  }

  std::string Words(size_t length) {
    static const char* const kWords[] = {
        "the",       "new",       "offer",
        "your",      "account",   "update",
        "available", "download",  "today",
        "free",      "minutes",   "service",
        "music",     "video",     "ringtone",
        "game",      "weekend",   "special",
        "price",     "now",       "with",
        "and",       "for",       "more",
        "details",   "subscribe", "message",
        "from",      "café",      "Müller",
        "größer",    "señor",     "日本語",
        "中文",      "Привет",    "€5",
        "&amp;",     "&lt;3",     "&quot;best&quot;",
        "&#8364;2",  "&#x1F600;"};
    std::string out;
    while (out.size() < length) {
      if (!out.empty()) out += Between(0, 11) == 0 ? ". " : " ";
      out += kWords[Between(0, std::size(kWords) - 1)];
    }
    return out;
  }

  std::string Text(size_t length) {
    if (Between(0, 5) == 0) {
      return "<![CDATA[<p>" + Words(length) + "</p> & <b>more</b>]]>";
    }
    return Words(length);
  }

  void Notification(int kind, size_t n, std::string* out) {
    static const char* const kNames[] = {"content", "message", "advertisement"};
    static const char* const kMimes[] = {
        "image/jpeg", "audio/midi", "application/java-archive", "video/3gpp"};
    const std::string key = std::string(1, "cma"[kind]) + std::to_string(n);
    *out += std::string("    <") + kNames[kind] + " key=\"" + key + "\">\n";
    if (kind == 0) {
      *out += std::string("      <mime>") + kMimes[Between(0, 3)] +
              "</mime>\n      <size>" + std::to_string(Between(1000, 900000)) +
              "</size>\n";
    }
    *out += "      <title>" + Words(Between(10, 60)) + "</title>\n";
    *out += "      <text>" + Text(Between(200, 1000)) + "</text>\n";
    if (kind == 2) {
      *out += "      <media>http://media.example.com/ad/" + key +
              ".jpg</media>\n      <href>http://shop.example.com/p?id=" + key +
              "&amp;src=push</href>\n";
    }
    *out += std::string("    </") + kNames[kind] + ">\n";
  }

  std::mt19937 random_{20240601};
};

// The notification reader's walk over a loaded document; returns the units
// of the values read and counts the notifications.
size_t WalkNotifications(XmlDocument& doc, Counts* seen) {
  static const char16_t* const kKinds[] = {u"content", u"message",
                                           u"advertisement"};
  static const std::vector<const char16_t*> kFields[] = {
      {u"mime", u"size", u"title", u"text"},
      {u"title", u"text"},
      {u"title", u"text", u"media", u"href"}};
  size_t units = 0;
  doc.ResetMainPosition();
  if (!doc.FindChildElement(u"notifications")) return 0;
  doc.IntoElement();
  units += doc.GetAttribute(u"total").size();
  for (int kind = 0; kind < 3; ++kind) {
    while (doc.FindChildElement(kKinds[kind])) {
      ++(kind == 0   ? seen->content
         : kind == 1 ? seen->message
                     : seen->advertisement);
      doc.IntoElement();
      units += doc.GetAttribute(u"key").size();
      for (const char16_t* field : kFields[kind]) {
        if (doc.FindChildElement(field)) {
          doc.IntoElement();
          units += doc.GetData().size();
          doc.OutOfElement();
        }
      }
      doc.OutOfElement();
    }
  }
  doc.OutOfElement();
  return units;
}

// The same walk over pugixml's tree.
size_t WalkPugi(const pugi::xml_document& doc) {
  static const char* const kKinds[] = {"content", "message", "advertisement"};
  static const std::vector<const char*> kFields[] = {
      {"mime", "size", "title", "text"},
      {"title", "text"},
      {"title", "text", "media", "href"}};
  const pugi::xml_node notifications = doc.first_child().child("notifications");
  size_t bytes = std::strlen(notifications.attribute("total").value());
  for (int kind = 0; kind < 3; ++kind) {
    for (pugi::xml_node n : notifications.children(kKinds[kind])) {
      bytes += std::strlen(n.attribute("key").value());
      for (const char* field : kFields[kind]) {
        bytes += std::strlen(n.child(field).text().get());
      }
    }
  }
  return bytes;
}

// UTF-8 text (pugixml's values, well formed here) into a UTF-16 record
// field, cut to fit with its terminator and never inside a surrogate pair,
// as the heartbeat fills its records.
template <size_t N>
void PutUtf8(const char* text, char16_t (&field)[N]) {
  const auto* p = reinterpret_cast<const unsigned char*>(text);
  size_t n = 0;
  while (*p != 0) {
    uint32_t c = *p++;
    if (c >= 0xF0) {
      c = (c & 7) << 18 | (p[0] & 63u) << 12 | (p[1] & 63u) << 6 | (p[2] & 63u);
      p += 3;
    } else if (c >= 0xE0) {
      c = (c & 15) << 12 | (p[0] & 63u) << 6 | (p[1] & 63u);
      p += 2;
    } else if (c >= 0xC0) {
      c = (c & 31) << 6 | (p[0] & 63u);
      p += 1;
    }
    if (c >= 0x10000) {
      if (n + 2 > N - 1) break;
      c -= 0x10000;
      field[n++] = static_cast<char16_t>(0xD800 | c >> 10);
      field[n++] = static_cast<char16_t>(0xDC00 | (c & 0x3FF));
    } else {
      if (n + 1 > N - 1) break;
      field[n++] = static_cast<char16_t>(c);
    }
  }
  field[n] = 0;
}

// What the heartbeat's parse makes, from pugixml's tree: one zero-filled
// array of the caller's records, content, then message, then advertisement,
// every field converted to UTF-16. Returns the number of records.
size_t PugiRecords(const pugi::xml_document& doc) {
  const pugi::xml_node notifications = doc.first_child().child("notifications");
  size_t counts[3] = {0, 0, 0};
  static const char* const kKinds[] = {"content", "message", "advertisement"};
  for (int kind = 0; kind < 3; ++kind) {
    for (pugi::xml_node n : notifications.children(kKinds[kind])) {
      (void)n;
      ++counts[kind];
    }
  }
  const size_t messageOffset = counts[0] * sizeof(ContentNotification);
  const size_t advertisementOffset =
      messageOffset + counts[1] * sizeof(MessageNotification);
  const size_t size =
      advertisementOffset + counts[2] * sizeof(AdvertisementNotification);
  std::unique_ptr<uint8_t[]> entries(new uint8_t[size]());
  auto* content = reinterpret_cast<ContentNotification*>(entries.get());
  for (pugi::xml_node n : notifications.children("content")) {
    PutUtf8(n.attribute("key").value(), content->key);
    PutUtf8(n.child("title").text().get(), content->title);
    PutUtf8(n.child("text").text().get(), content->text);
    PutUtf8(n.child("mime").text().get(), content->mime);
    content->size = std::atoi(n.child("size").text().get());
    ++content;
  }
  auto* message =
      reinterpret_cast<MessageNotification*>(entries.get() + messageOffset);
  for (pugi::xml_node n : notifications.children("message")) {
    PutUtf8(n.attribute("key").value(), message->key);
    PutUtf8(n.child("title").text().get(), message->title);
    PutUtf8(n.child("text").text().get(), message->text);
    ++message;
  }
  auto* advertisement = reinterpret_cast<AdvertisementNotification*>(
      entries.get() + advertisementOffset);
  for (pugi::xml_node n : notifications.children("advertisement")) {
    PutUtf8(n.attribute("key").value(), advertisement->key);
    PutUtf8(n.child("title").text().get(), advertisement->title);
    PutUtf8(n.child("text").text().get(), advertisement->text);
    PutUtf8(n.child("media").text().get(), advertisement->media);
    PutUtf8(n.child("href").text().get(), advertisement->href);
    ++advertisement;
  }
  return counts[0] + counts[1] + counts[2];
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

// Answers every request with the document as a heartbeat reply.
class HeartbeatPeer : public bench::LoopbackPeer {
 public:
  explicit HeartbeatPeer(const std::string& document)
      : reply_(
            "HTTP/1.1 200 OK\r\nContent-Type: text/xml; charset=UTF-8\r\n"
            "Content-Length: " +
            std::to_string(document.size()) + "\r\n\r\n" + document) {
    Start();
  }
  ~HeartbeatPeer() override { Stop(); }

 private:
  void Answer(int fd) override {
    std::string request;
    char buffer[4096];
    while (request.find("\r\n\r\n") == std::string::npos) {
      const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
      if (got <= 0) return;
      request.append(buffer, static_cast<size_t>(got));
    }
    if (!bench::SendAll(fd, reply_.data(), reply_.size())) return;
    ::shutdown(fd, SHUT_WR);
    while (::recv(fd, buffer, sizeof buffer, 0) > 0) {
    }
  }

  const std::string reply_;
};

// --memory-child PORT COUNT: one heartbeat from the peer, in a process of its
// own; prints the growth of its peak resident set.
int MemoryChild(char** argv) {
  const int port = std::atoi(argv[2]);
  const int32_t count = std::atoi(argv[3]);
  const std::u16string url = vesk::tools::Utf8ToUtf16(
      "http://127.0.0.1:" + std::to_string(port) + "/heartbeat");
  return bench::MemoryChild([&] {
    HandsetBeatResult result{};
    HandsetError error{};
    const int32_t status =
        vesk_HandsetBeat(u"\\handset.env", &result, &error, url.c_str(), port);
    const bool ok = status == 200 && result.contentCount + result.messageCount +
                                             result.advertisementCount ==
                                         count;
    delete[] result.entries;
    return ok;
  });
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::strcmp(argv[1], "--memory-child") == 0) {
    return MemoryChild(argv);
  }
  const double megabytes = argc > 1 ? std::atof(argv[1]) : 20;
  const int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 9;
  const size_t notifications =
      argc > 3 ? std::strtoul(argv[3], nullptr, 10) : 10000;

  // The file lives under a temporary device root, where Load finds it by its
  // handset path.
  char root[] = "/tmp/vesk_xml_bench_XXXXXX";
  if (mkdtemp(root) == nullptr) {
    std::perror("mkdtemp");
    return 1;
  }
  setenv("VESK_DEVICE_ROOT", root, 1);
  const std::string hostPath = std::string(root) + "/notifications.xml";
  const std::u16string handsetPath = u"\\notifications.xml";
  Counts written;
  const std::string bytes =
      NotificationWriter().Write(size_t(megabytes * 1e6), &written);
  std::ofstream(hostPath, std::ios::binary) << bytes;
  const double mb = bytes.size() / 1e6;
  std::printf(
      "file: %.1f MB, %zu notifications (%zu content, %zu message, "
      "%zu advertisement), %d rounds\n",
      mb, written.Total(), written.content, written.message,
      written.advertisement, rounds);

  // The parts of Load, measured apart: UTF-8 to UTF-16 conversion of the
  // bytes in memory, and parsing text already in UTF-16.
  std::u16string text(vesk::xml::ConvertToUtf16(u"UTF-8", bytes.data(),
                                                bytes.size(), nullptr, 0),
                      u'\0');
  vesk::xml::ConvertToUtf16(u"UTF-8", bytes.data(), bytes.size(), text.data(),
                            text.size());

  size_t sink = 0;
  bool ok = true;
  struct Case {
    const char* name;
    std::function<void()> run;
    std::vector<double> seconds = {};
    double first = 0;  // the first run: buffers are fresh memory
  };
  std::vector<Case> cases = {
      {"XmlDocument::Load",
       [&] {
         XmlDocument doc;
         ok &= doc.Load(handsetPath);
         sink += doc.ElementCount();
       }},
      {"pugixml load_file",
       [&] {
         pugi::xml_document doc;
         ok &= bool(doc.load_file(hostPath.c_str()));
       }},
      {"Load + notification walk",
       [&] {
         XmlDocument doc;
         ok &= doc.Load(handsetPath);
         Counts seen;
         sink += WalkNotifications(doc, &seen);
         ok &= seen.Total() == written.Total();
       }},
      {"pugixml load_file + walk",
       [&] {
         pugi::xml_document doc;
         ok &= bool(doc.load_file(hostPath.c_str()));
         sink += WalkPugi(doc);
       }},
      {"  part: UTF-8 to UTF-16",
       [&] {
         std::u16string out(vesk::xml::ConvertToUtf16(u"UTF-8", bytes.data(),
                                                      bytes.size(), nullptr, 0),
                            u'\0');
         sink += vesk::xml::ConvertToUtf16(u"UTF-8", bytes.data(), bytes.size(),
                                           out.data(), out.size());
       }},
      {"  part: SetDocument",
       [&] {
         XmlDocument doc;
         ok &= doc.SetDocument(text);
         sink += doc.ElementCount();
       }},
  };
  for (int round = 0; round <= rounds; ++round) {
    for (Case& c : cases) {
      const double start = bench::ThreadCpuSeconds();
      c.run();
      const double took = bench::ThreadCpuSeconds() - start;
      if (round == 0) c.first = took;  // round 0 warms up
      if (round > 0) c.seconds.push_back(took);
    }
  }

  const double pugiRate = mb / Median(cases[1].seconds);
  const double pugiWalkRate = mb / Median(cases[3].seconds);
  std::printf("%-28s %10s %10s %12s %10s\n", "case", "median ms", "MB/s",
              "vs pugixml", "first ms");
  for (size_t i = 0; i < cases.size(); ++i) {
    const double seconds = Median(cases[i].seconds);
    const double reference = i == 2 || i == 3 ? pugiWalkRate : pugiRate;
    std::printf("%-28s %10.1f %10.1f %11.2fx %10.1f\n", cases[i].name,
                seconds * 1e3, mb / seconds, mb / seconds / reference,
                cases[i].first * 1e3);
  }
  std::printf("(walk cases compare with pugixml load_file + walk)\n");

  // The heartbeat's parse of the stored reply into records, against
  // pugixml's load_file followed by filling the same records; interleaved,
  // alternating who goes first. The parse deletes the file, so it is written
  // again before each of its runs.
  const std::string cardDir = std::string(root) + "/Storage Card";
  std::filesystem::create_directories(cardDir);
  const std::string stored = cardDir + "/savepush.xml";
  std::vector<double> parseSeconds, pugiRecordSeconds;
  for (int round = 0; round <= rounds; ++round) {
    for (int turn = 0; turn < 2; ++turn) {
      if ((round + turn) % 2 == 0) {
        std::ofstream(stored, std::ios::binary | std::ios::trunc) << bytes;
        HandsetBeatResult result{};
        const double start = bench::ThreadCpuSeconds();
        vesk::heartbeat::ReadNotificationFile(&result);
        const double took = bench::ThreadCpuSeconds() - start;
        ok &= static_cast<size_t>(result.contentCount + result.messageCount +
                                  result.advertisementCount) == written.Total();
        delete[] result.entries;
        if (round > 0) parseSeconds.push_back(took);
      } else {
        const double start = bench::ThreadCpuSeconds();
        pugi::xml_document doc;
        ok &= bool(doc.load_file(hostPath.c_str()));
        ok &= PugiRecords(doc) == written.Total();
        const double took = bench::ThreadCpuSeconds() - start;
        if (round > 0) pugiRecordSeconds.push_back(took);
      }
    }
  }
  const double parseRate = mb / Median(parseSeconds);
  const double pugiRecordRate = mb / Median(pugiRecordSeconds);
  std::printf("%-28s %10.1f %10.1f %11.2fx\n", "heartbeat parse to records",
              Median(parseSeconds) * 1e3, parseRate,
              parseRate / pugiRecordRate);
  std::printf("%-28s %10.1f %10.1f %11.2fx\n", "pugixml load_file + records",
              Median(pugiRecordSeconds) * 1e3, pugiRecordRate, 1.0);

  // The peak memory of a whole heartbeat with many notifications.
  Counts beatCounts;
  const std::string beat =
      NotificationWriter().Write(SIZE_MAX, &beatCounts, notifications);
  long long growth = 0;  // no notifications asked for: nothing measured
  if (beatCounts.Total() > 0) {
    HeartbeatPeer peer(beat);
    growth = bench::MeasureInChild(
        {std::to_string(peer.port()), std::to_string(beatCounts.Total())});
  }
  const double records =
      static_cast<double>(beatCounts.content) * sizeof(ContentNotification) +
      static_cast<double>(beatCounts.message) * sizeof(MessageNotification) +
      static_cast<double>(beatCounts.advertisement) *
          sizeof(AdvertisementNotification);
  std::printf(
      "peak memory of a heartbeat with %zu notifications: %+.1f MB for a "
      "%.1f MB reply (%.2f of its size; the records alone are %.1f MB)\n",
      beatCounts.Total(), growth / 1e6, beat.size() / 1e6,
      growth / static_cast<double>(beat.size()), records / 1e6);

  const double loadRate = mb / Median(cases[0].seconds);
  const double walkRate = mb / Median(cases[2].seconds);
  char sized[64];
  std::snprintf(sized, sizeof sized, "%.1f MB, %zu notifications", mb,
                written.Total());
  using bench::Orientation;
  bench::Report({"xml", "XML load and index", "pugixml load_file", loadRate,
                 pugiRate, "MB/s", Orientation::kThroughput, 1.0, sized});
  bench::Report({"xml", "XML load + notification walk",
                 "pugixml load_file + walk", walkRate, pugiWalkRate, "MB/s",
                 Orientation::kThroughput, 0, sized});
  bench::Report({"xml", "heartbeat parse into records",
                 "pugixml load_file + records", parseRate, pugiRecordRate,
                 "MB/s", Orientation::kThroughput, 0, sized});
  char beatNote[128];
  std::snprintf(beatNote, sizeof beatNote,
                "%zu notifications; holds the document and %.1f MB of records",
                beatCounts.Total(), records / 1e6);
  bench::Report({"memory", "memory: heartbeat", "reply bytes",
                 static_cast<double>(growth), static_cast<double>(beat.size()),
                 "bytes", Orientation::kMemory, 0,
                 growth < 0 ? "child failed" : beatNote});
  ok &= growth >= 0;

  std::filesystem::remove_all(root);
  if (!ok) {
    std::fprintf(stderr, "a load failed or the walk missed notifications\n");
    return 1;
  }
  return sink == 0;
}
