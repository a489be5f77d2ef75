// Fault injection: a resumed download, a load with extraction, a save and a
// heartbeat, run for every failure point (the Nth file operation, once and
// from then on, and the Nth allocation) until a run reaches none. After each:
// success or a documented failure, no state file claiming more than its data
// file holds, nothing unverified confirmed or sent, nothing outside the call's
// paths. Last, a card that fills.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "service/vesk80.h"
#include "tests/support/device_root.h"
#include "tests/support/fake_server.h"
#include "tests/support/records.h"
#include "tests/support/rsa_oracle.h"
#include "tools/common/process.h"

namespace vesk {
namespace {

namespace fs = std::filesystem;
using namespace test;
using Files = std::map<std::string, std::string>;

const char16_t kEnv[] = u"\\PocketDisk1\\handset.env";
const std::string kOk = HttpReply(200, "OK", {{"Content-Length", "0"}}, "");

// The "Current-Position" of a UTF-16LE state file; -1 without one.
long StatePosition(const std::string& bytes) {
  std::string text;
  for (size_t i = 0; i + 1 < bytes.size(); i += 2) text += bytes[i];
  const size_t at = text.find("Current-Position: ");
  return at == std::string::npos ? -1 : std::stol(text.substr(at + 18));
}

// Every file under the root, relative, with its bytes; a state file claims
// no byte its data file lacks.
Files FilesUnder(const std::string& root) {
  Files files;
  for (const auto& item : fs::recursive_directory_iterator(root)) {
    if (item.is_regular_file()) {
      files[fs::relative(item.path(), root).string()] =
          ReadHostFile(item.path());
    }
  }
  for (const auto& [name, bytes] : files) {
    if (name.size() < 9 || name.substr(name.size() - 9) != ".Down.cfg") {
      continue;
    }
    const auto data = files.find(name.substr(0, name.size() - 4));
    EXPECT_LE(StatePosition(bytes),
              data == files.end() ? 0 : long(data->second.size()))
        << name;
  }
  return files;
}

// Arms the plan around the call only: the test's own work and the peers'
// threads are never counted.
template <typename Call>
bool Armed(const platform::FaultPlan& plan, int32_t* status, Call call) {
  platform::SetFaultPlan(plan);
  *status = call();
  const bool injected = platform::GetFaultCounts().injected > 0;
  platform::SetFaultPlan({});
  return injected;
}

// An archive of the files, made by the zip tool.
std::string ZipOf(const Files& files) {
  const std::string scratch = fs::temp_directory_path() / "vesk-fault-zip";
  fs::remove_all(scratch);
  for (const auto& [name, bytes] : files) {
    WriteHostFile(scratch + "/in/" + name, bytes);
  }
  EXPECT_EQ(tools::RunToEnd({"zip", "-qrX", "../p.zip", "."}, nullptr,
                            {"", scratch + "/in"}),
            0);
  const std::string archive = ReadHostFile(scratch + "/p.zip");
  fs::remove_all(scratch);
  return archive;
}

// A load of the package at \Storage Card\<archive>, unpacked into pkg.
LoadRecord PackageLoad(const std::u16string& archive) {
  LoadRecord record{};
  Put(record.archivePath, u"\\Storage Card\\" + archive);
  Put(record.targetDirectory, u"\\Storage Card\\pkg");
  return record;
}

TEST(FaultTest, EveryFailurePointOfEachOperation) {
  ScopedEnv timeout("VESK_TIMEOUT_SECONDS", "5");
  const std::string source = RandomBytes(9000);
  const std::string part = HttpReply(206, "Partial",
                                     {{"Content-Range", "bytes 3000-8999/9000"},
                                      {"Content-Length", "6000"},
                                      {"X-Checksum", Md5Hex(source)}},
                                     source.substr(3000));
  const std::string archive =
      ZipOf({{"a.txt", source.substr(0, 3000)}, {"sub/b.txt", "bee"}});
  const Files unpacked = {{"p.zip", archive},
                          {"p.zip.Down", archive},
                          {"pkg/a.txt", source.substr(0, 3000)},
                          {"pkg/sub/b.txt", "bee"}};
  const auto download = [&](const platform::FaultPlan& plan) {
    DeviceRoot root;
    WriteHandsetEnv(root);
    WriteHostFile(root.Host("\\Storage Card\\item.dat.Down"),
                  source.substr(0, 3000));
    FakeServer server({Raw(part), Raw(part), Raw(part)}), confirm({Raw(kOk)});
    const std::u16string url = Url(server, "/d"),
                         confirmUrl = Url(confirm, "/c");
    DownloadRecord record{};
    record.offset = 3000;
    record.contentKey[0] = u'k';
    DownloadResult result{};
    HandsetError error{};
    int32_t status = 0;
    const bool injected = Armed(plan, &status, [&] {
      return vesk_HandsetDownload(
          kEnv, &record, &result, &error, u"\\Storage Card\\item.dat",
          url.c_str(), server.port(), confirmUrl.c_str(), confirm.port());
    });
    const Files files = FilesUnder(root.Host("\\Storage Card"));
    const bool success = (status == 200 || status == 206) && error.code == 0 &&
                         error.message[0] == 0;
    EXPECT_TRUE(success ? result.rangeStart + result.received == 9000
                        : status == 0 || status == 206)
        << status;
    // Only the whole, verified file is confirmed and takes the name;
    // a data file holds only the file's own bytes.
    EXPECT_TRUE(files.count("item.dat") || !(success || confirm.Accepted()));
    for (const auto& [name, bytes] : files) {
      EXPECT_EQ(name.rfind("item.dat", 0), 0u) << name;
      if (name == "item.dat" || name == "item.dat.Down") {
        EXPECT_TRUE(source.compare(0, bytes.size(), bytes) == 0 &&
                    (name != "item.dat" || bytes == source))
            << name << " " << bytes.size();
      }
    }
    return injected;
  };
  const auto load = [&](const platform::FaultPlan& plan) {
    DeviceRoot root;
    WriteHandsetEnv(root);
    FakeServer server({Raw(HttpReply(
        200, "OK", {{"Content-Length", std::to_string(archive.size())}},
        archive))});
    const std::u16string url = Url(server, "/p");
    LoadRecord record = PackageLoad(u"p.zip");
    LoadResult result{};
    HandsetError error{};
    int32_t status = 0;
    testing::internal::CaptureStdout();
    const bool injected = Armed(plan, &status, [&] {
      return vesk_HandsetLoad(kEnv, &record, &result, &error, url.c_str(),
                              server.port());
    });
    const std::string failures = testing::internal::GetCapturedStdout();
    const Files files = FilesUnder(root.Host("\\Storage Card"));
    EXPECT_TRUE(status == 0 || status == 200) << status;
    if (status == 200 && error.message[0] == 0) {
      EXPECT_EQ(result.received, int32_t(archive.size()));
      EXPECT_EQ(files.count("p.zip"), 1u);
    }
    // The archive whole, a data file and the entries whole or cut short
    // with their failure printed; besides them the state file and, when
    // nothing can be removed any more, its scratch file.
    for (const auto& [name, bytes] : files) {
      const auto want = unpacked.find(name);
      EXPECT_TRUE(name == "p.zip.Down.cfg" ||
                  (plan.persistent && name == "p.zip.Down.cfg.tmp") ||
                  (want != unpacked.end() && bytes == want->second) ||
                  (want != unpacked.end() &&
                   want->second.compare(0, bytes.size(), bytes) == 0 &&
                   (name == "p.zip.Down" ||
                    (name != "p.zip" &&
                     failures.find("unzip fail\n") != std::string::npos))))
          << name << " " << bytes.size();
    }
    return injected;
  };
  // Both files whole in any request that reached its closing boundary: the
  // service answers only such a request.
  const auto save = [&](const platform::FaultPlan& plan) {
    DeviceRoot root;
    WriteHandsetEnv(root);
    const std::string one = source.substr(0, 5000),
                      two = source.substr(700, 800);
    WriteHostFile(root.Host("\\Storage Card\\one.bin"), one);
    WriteHostFile(root.Host("\\Storage Card\\two.bin"), two);
    FakeServer server({Raw(kOk)});
    const std::u16string url = Url(server, "/s");
    HandsetSaveInput input{};
    input.count = 3;
    const char16_t* entries[3][2] = {{u"\\Storage Card\\one.bin", u"update"},
                                     {u"\\Storage Card\\two.bin", u"update"},
                                     {u"\\Storage Card\\gone.bin", u"delete"}};
    for (int i = 0; i < 3; ++i) {
      Put(input.entries[i].path, entries[i][0]);
      Put(input.entries[i].action, entries[i][1]);
    }
    std::vector<vesk_char16> output(1025);
    HandsetError error{};
    int32_t status = 0;
    const bool injected = Armed(plan, &status, [&] {
      return vesk_HandsetSave(kEnv, &input, output.data(), &error, url.c_str(),
                              server.port());
    });
    EXPECT_TRUE(status == 0 || status == 200) << status;
    const auto requests = server.Requests(server.Accepted());
    EXPECT_TRUE(status != 200 || requests.size() == 1);
    for (const std::string& request : requests) {
      if (request.size() < 4 ||
          request.substr(request.size() - 4) != "--\r\n") {
        continue;
      }
      EXPECT_NE(request.find("\r\n\r\n" + one + "\r\n--"), std::string::npos);
      EXPECT_NE(request.find("\r\n\r\n" + two + "\r\n--"), std::string::npos);
    }
    return injected;
  };
  // All three notifications or none, the counts agreeing either way.
  std::string notes = "<r><notifications total=\"3\">";
  for (const std::string kind : {"content", "message", "advertisement"}) {
    notes += "<" + kind + " key=\"k\"><title>t</title><text>" +
             std::string(900, 'x') + "</text></" + kind + ">";
  }
  notes += "</notifications></r>";
  const auto beat = [&](const platform::FaultPlan& plan) {
    DeviceRoot root;
    WriteHandsetEnv(root);
    FakeServer server({Raw(
        HttpReply(200, "OK", {{"Content-Length", std::to_string(notes.size())}},
                  notes))});
    const std::u16string url = Url(server, "/b");
    HandsetBeatResult result{};
    HandsetError error{};
    int32_t status = 0;
    const bool injected = Armed(plan, &status, [&] {
      return vesk_HandsetBeat(kEnv, &result, &error, url.c_str(),
                              server.port());
    });
    const int32_t found =
        result.contentCount + result.messageCount + result.advertisementCount;
    EXPECT_TRUE(status == 200
                    ? result.entries != nullptr && (found == 3 || found == 0) &&
                          result.total == found
                    : status == 0 && result.entries == nullptr)
        << status << " " << found;
    delete[] result.entries;
    return injected;
  };
  const std::pair<const char*, std::function<bool(const platform::FaultPlan&)>>
      operations[] = {{"resumed download", download},
                      {"load with extraction", load},
                      {"save", save},
                      {"heartbeat", beat}};
  // Each operation for N = 1, 2, ... of each kind until a run injects
  // nothing.
  for (const auto& [what, run] : operations) {
    uint64_t visited[3] = {};
    for (int kind = 0; kind < 3; ++kind) {
      for (uint64_t n = 1;; ++n) {
        platform::FaultPlan plan;
        (kind == 2 ? plan.failAllocation : plan.failFileOperation) = n;
        plan.persistent = kind == 1;
        SCOPED_TRACE(std::string(what) +
                     (kind == 2 ? ": allocation " : ": file operation ") +
                     std::to_string(n) + (kind == 1 ? " onwards" : ""));
        if (!run(plan) || ::testing::Test::HasFatalFailure()) break;
        visited[kind] = n;
      }
    }
    EXPECT_GT(visited[0], 5u) << what;
    EXPECT_GT(visited[2], 20u) << what;
  }
}

// A storage card that fills: a 1 MiB tmpfs over the device root's card; the
// tests skip where they may not mount.

// A download that runs out of room leaves a data file and a state file to
// resume from, and resumes to the whole file once there is room.
TEST(FullDiskTest, DownloadStopsResumablyAndResumesOnceThereIsRoom) {
  DeviceRoot root;
  WriteHandsetEnv(root);
  const ScopedTmpfs card(root.Host("\\Storage Card"), "1m");
  if (!card.mounted) GTEST_SKIP() << "cannot mount: " << card.why;
  const std::string source = RandomBytes(1536 * 1024), sum = Md5Hex(source);
  DownloadRecord record{};
  record.contentKey[0] = u'k';
  DownloadResult result{};
  HandsetError error{};
  Reply dropped;
  dropped.acceptAndClose = true;
  const auto download = [&](FakeServer& server, FakeServer& confirm) {
    return vesk_HandsetDownload(kEnv, &record, &result, &error,
                                u"\\Storage Card\\big.bin",
                                Url(server, "/d").c_str(), server.port(),
                                Url(confirm, "/c").c_str(), confirm.port());
  };
  {
    FakeServer full(
        {Raw(HttpReply(200, "OK",
                       {{"Content-Length", "1572864"}, {"X-Checksum", sum}},
                       source)),
         dropped, dropped}),
        confirm({});
    EXPECT_EQ(download(full, confirm), 0);
    EXPECT_EQ(confirm.Accepted(), 0u);
  }
  const std::string data = ReadHostFile(card.path + "/big.bin.Down");
  ASSERT_TRUE(data.size() > 0 && data.size() < source.size()) << data.size();
  EXPECT_EQ(data, source.substr(0, data.size()));
  EXPECT_EQ(size_t(record.offset), data.size());
  const long position =
      StatePosition(ReadHostFile(card.path + "/big.bin.Down.cfg"));
  EXPECT_TRUE(position >= 0 && position <= long(data.size())) << position;

  ASSERT_TRUE(card.Resize("8m"));
  const std::string from = std::to_string(record.offset);
  FakeServer rest({Raw(HttpReply(
      206, "Partial",
      {{"Content-Range", "bytes " + from + "-1572863/1572864"},
       {"Content-Length", std::to_string(source.size() - record.offset)},
       {"X-Checksum", sum}},
      source.substr(record.offset)))}),
      confirm({Raw(kOk)});
  EXPECT_EQ(download(rest, confirm), 206);
  EXPECT_EQ(error.code, 0);
  EXPECT_EQ(ReadHostFile(card.path + "/big.bin"), source);
  EXPECT_FALSE(HostFileExists(card.path + "/big.bin.Down.cfg"));
  EXPECT_EQ(confirm.Requests(1).size(), 1u);
}

// A package whose declared sizes do not fit unpacks nothing.
TEST(FullDiskTest, PackageThatCannotFitUnpacksNothing) {
  DeviceRoot root;
  WriteHandsetEnv(root);
  const ScopedTmpfs card(root.Host("\\Storage Card"), "1m");
  if (!card.mounted) GTEST_SKIP() << "cannot mount: " << card.why;
  // 4 MiB that deflate to a few kilobytes, for a 1 MiB card.
  const std::string bytes =
      ZipOf({{"small.txt", "small"}, {"big.bin", std::string(4 << 20, '\0')}});
  LoadRecord record = PackageLoad(u"pkg.zip");
  LoadResult result{};
  HandsetError error{};
  FakeServer server({Raw(HttpReply(
      200, "OK", {{"Content-Length", std::to_string(bytes.size())}}, bytes))});
  testing::internal::CaptureStdout();
  EXPECT_EQ(vesk_HandsetLoad(kEnv, &record, &result, &error,
                             Url(server, "/p").c_str(), server.port()),
            200);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "unzip fail\nunzip fail\n");
  EXPECT_EQ(result.received, int32_t(bytes.size()));
  EXPECT_EQ(ReadHostFile(card.path + "/pkg.zip"), bytes);
  EXPECT_FALSE(HostFileExists(card.path + "/pkg/small.txt"));
  EXPECT_FALSE(HostFileExists(card.path + "/pkg/big.bin"));
}

}  // namespace
}  // namespace vesk
