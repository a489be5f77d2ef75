// Throughput of loading a large notification file: the XML document's Load
// (reading, conversion to UTF-16 and indexing), pugixml's load_file of the
// same file as the yardstick, and Load followed by the walk the notification
// reader makes. Each round runs every case once, in the same order, so that
// all cases see the same machine state; the medians over the rounds are
// reported. MB are 10^6 bytes of the file. glibc hands a buffer above its
// mapping threshold (at most 32 MB) fresh pages on every run, which then
// fault in one by one: the UTF-16 text of a 20 MB file is such a buffer,
// pugixml's copy of the file is not. "first ms" is the first run of each
// case, where every buffer is fresh.
//   xml_load_bench [megabytes (20)] [rounds (9)]
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <pugixml.hpp>
#include <random>
#include <string>
#include <vector>

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
  std::string Write(size_t targetBytes, Counts* counts) {
    std::string parts[3];
    size_t size = 0;
    for (size_t n = 1; size < targetBytes; ++n) {
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

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  const double megabytes = argc > 1 ? std::atof(argv[1]) : 20;
  const int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 9;

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
      const auto start = std::chrono::steady_clock::now();
      c.run();
      const std::chrono::duration<double> took =
          std::chrono::steady_clock::now() - start;
      if (round == 0) c.first = took.count();  // round 0 warms up
      if (round > 0) c.seconds.push_back(took.count());
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

  std::filesystem::remove_all(root);
  if (!ok) {
    std::fprintf(stderr, "a load failed or the walk missed notifications\n");
    return 1;
  }
  return sink == 0;
}
