// Fault injection: a resumed download, a load with extraction, a heartbeat
// and a save, run once for every failure point (the Nth file operation, once
// and from then on, and the Nth allocation) until a run reaches none. After
// each: success values or a documented failure, no state file claiming more
// than its data file holds, nothing unverified confirmed or sent, nothing
// outside the call's paths. Last, a card that really fills.
#include <gtest/gtest.h>
#include <sys/mount.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <string_view>
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
using test::FakeServer;
using test::HttpReply;
using test::Raw;
using test::ReadHostFile;

const char16_t kEnv[] = u"\\PocketDisk1\\handset.env";
const std::string kOk = HttpReply(200, "OK", {{"Content-Length", "0"}}, "");

std::string Source(size_t size) {
  std::string bytes(size, '\0');
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>(i * 31 + 7);
  return bytes;
}

// Every file under the root, relative, with its bytes.
std::map<std::string, std::string> Files(const std::string& root) {
  std::map<std::string, std::string> files;
  for (const auto& item : fs::recursive_directory_iterator(root)) {
    if (item.is_regular_file()) {
      files[fs::relative(item.path(), root).string()] =
          ReadHostFile(item.path());
    }
  }
  return files;
}

// The "Current-Position" of a UTF-16LE state file; -1 without one.
long StatePosition(const std::string& bytes) {
  std::string text;
  for (size_t i = 0; i + 1 < bytes.size(); i += 2) text += bytes[i];
  const size_t at = text.find("Current-Position: ");
  return at == std::string::npos ? -1 : std::stol(text.substr(at + 18));
}

// A state file beside a data file claims no byte the data file lacks.
void ExpectStateWithinData(const std::map<std::string, std::string>& files,
                           const std::string& path) {
  const auto state = files.find(path + ".Down.cfg");
  if (state == files.end()) return;
  const auto data = files.find(path + ".Down");
  const long held = data == files.end() ? 0 : long(data->second.size());
  EXPECT_LE(StatePosition(state->second), held);
}

// Runs run(plan) for N = 1, 2, ... of each kind until a run injects nothing,
// and prints the failure points each loop visited.
void Loop(const char* what,
          const std::function<bool(const platform::FaultPlan&)>& run) {
  uint64_t visited[3] = {};
  for (int kind = 0; kind < 3; ++kind) {
    for (uint64_t n = 1;; ++n) {
      platform::FaultPlan plan;
      (kind == 2 ? plan.failAllocation : plan.failFileOperation) = n;
      plan.persistent = kind == 1;
      SCOPED_TRACE((kind == 2 ? "allocation " : "file operation ") +
                   std::to_string(n) + (kind == 1 ? " onwards" : ""));
      if (!run(plan) || ::testing::Test::HasFatalFailure()) break;
      visited[kind] = n;
    }
  }
  std::printf(
      "%s: %d file operations failed once, %d from then on, %d "
      "allocations\n",
      what, int(visited[0]), int(visited[1]), int(visited[2]));
  EXPECT_GT(visited[0], 5u);
  EXPECT_GT(visited[2], 20u);
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

// A fresh device root with the environment file.
struct Device {
  Device() {
    test::WriteHostFile(root.Host("\\PocketDisk1\\handset.env"),
                        "User-Agent: Fault/1\nUser-Serial: SN\nUser-Id: 3\n");
  }
  std::string Card() { return root.Host("\\Storage Card"); }
  test::DeviceRoot root;
};

// An archive of the files, made by the zip tool.
std::string ZipOf(const std::map<std::string, std::string>& files) {
  const std::string scratch = fs::temp_directory_path() / "vesk-fault-zip";
  fs::remove_all(scratch);
  for (const auto& [name, bytes] : files) {
    test::WriteHostFile(scratch + "/in/" + name, bytes);
  }
  EXPECT_EQ(tools::RunToEnd({"zip", "-qrX", "../p.zip", "."}, nullptr,
                            {"", scratch + "/in"}),
            0);
  const std::string archive = ReadHostFile(scratch + "/p.zip");
  fs::remove_all(scratch);
  return archive;
}

// A load of the package at \Storage Card\<archive>, unpacked into pkg.
LoadRecord PackageLoad(std::u16string_view archive) {
  LoadRecord record{};
  const std::u16string path = u"\\Storage Card\\" + std::u16string(archive);
  std::copy(path.begin(), path.end(), record.archivePath);
  std::copy_n(u"\\Storage Card\\pkg", 17, record.targetDirectory);
  return record;
}

class FaultTest : public ::testing::Test {
 protected:
  test::ScopedEnv timeout_{"VESK_TIMEOUT_SECONDS", "5"};
};

TEST_F(FaultTest, ResumedDownload) {
  const std::string source = Source(9000);
  const std::string checksum = test::Md5Hex(source);
  const std::string part = HttpReply(206, "Partial",
                                     {{"Content-Range", "bytes 3000-8999/9000"},
                                      {"Content-Length", "6000"},
                                      {"X-Checksum", checksum}},
                                     source.substr(3000));
  const auto run = [&](const platform::FaultPlan& plan) {
    Device device;
    test::WriteHostFile(device.Card() + "/item.dat.Down",
                        source.substr(0, 3000));
    FakeServer server({Raw(part), Raw(part), Raw(part)});
    FakeServer confirm({Raw(kOk)});
    const std::u16string url = test::Url(server, "/d");
    const std::u16string confirmUrl = test::Url(confirm, "/c");
    DownloadRecord record{};
    record.offset = 3000;
    std::copy_n(u"key", 3, record.contentKey);
    DownloadResult result{};
    HandsetError error{};
    int32_t status = 0;
    const bool injected = Armed(plan, &status, [&] {
      return vesk_HandsetDownload(
          kEnv, &record, &result, &error, u"\\Storage Card\\item.dat",
          url.c_str(), server.port(), confirmUrl.c_str(), confirm.port());
    });
    const auto files = Files(device.Card());
    const bool success = (status == 200 || status == 206) && error.code == 0 &&
                         error.message[0] == 0;
    if (success) {
      EXPECT_EQ(result.rangeStart + result.received, 9000);
    } else {
      EXPECT_TRUE(status == 0 || status == 206) << status;
    }
    // Only the whole, verified file is confirmed; it alone takes the
    // name, and a data file holds only the file's own bytes.
    if (success || confirm.Accepted() > 0) {
      EXPECT_EQ(files.count("item.dat"), 1u);
    }
    for (const auto& [name, bytes] : files) {
      if (name == "item.dat") {
        EXPECT_TRUE(bytes == source) << bytes.size();
      }
      if (name == "item.dat.Down") {
        EXPECT_TRUE(bytes == source.substr(0, bytes.size())) << bytes.size();
      }
      EXPECT_EQ(name.rfind("item.dat", 0), 0u) << name;
    }
    ExpectStateWithinData(files, "item.dat");
    return injected;
  };
  Loop("resumed download", run);
}

TEST_F(FaultTest, LoadWithExtraction) {
  const std::string archive =
      ZipOf({{"a.txt", Source(3000)}, {"sub/b.txt", "bee"}});
  const std::map<std::string, std::string> unpacked = {
      {"pkg/a.txt", Source(3000)}, {"pkg/sub/b.txt", "bee"}};

  const auto run = [&](const platform::FaultPlan& plan) {
    Device device;
    FakeServer server({Raw(HttpReply(
        200, "OK", {{"Content-Length", std::to_string(archive.size())}},
        archive))});
    const std::u16string url = test::Url(server, "/p");
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
    const auto files = Files(device.Card());
    EXPECT_TRUE(status == 0 || status == 200) << status;
    if (status == 200 && error.message[0] == 0) {
      EXPECT_EQ(result.received, static_cast<int32_t>(archive.size()));
      EXPECT_EQ(files.count("p.zip"), 1u);
    }
    for (const auto& [name, bytes] : files) {
      if (name == "p.zip") {
        EXPECT_TRUE(bytes == archive) << bytes.size();
      } else if (name == "p.zip.Down") {
        EXPECT_TRUE(bytes == archive.substr(0, bytes.size())) << bytes.size();
      } else if (name != "p.zip.Down.cfg" &&
                 // a scratch file, when nothing can be removed any
                 // more; the next rewrite replaces it
                 !(plan.persistent && name == "p.zip.Down.cfg.tmp")) {
        // An entry is whole, or cut short with its failure printed.
        EXPECT_EQ(unpacked.count(name), 1u) << name;
        if (unpacked.count(name) == 0) continue;
        const std::string& want = unpacked.at(name);
        EXPECT_TRUE(bytes == want.substr(0, bytes.size())) << name;
        if (bytes.size() != want.size()) {
          EXPECT_NE(failures.find("unzip fail\n"), std::string::npos);
        }
      }
    }
    ExpectStateWithinData(files, "p.zip");
    return injected;
  };
  Loop("load with extraction", run);
}

TEST_F(FaultTest, Heartbeat) {
  std::string document = "<r><notifications total=\"3\">";
  for (const char* kind : {"content", "message", "advertisement"}) {
    document += std::string("<") + kind + " key=\"k\"><title>t</title>" +
                "<text>" + std::string(900, 'x') + "</text></" + kind + ">";
  }
  document += "</notifications></r>";
  const std::string reply = HttpReply(
      200, "OK", {{"Content-Length", std::to_string(document.size())}},
      document);
  const auto run = [&](const platform::FaultPlan& plan) {
    Device device;
    FakeServer server({Raw(reply)});
    const std::u16string url = test::Url(server, "/b");
    HandsetBeatResult result{};
    HandsetError error{};
    int32_t status = 0;
    const bool injected = Armed(plan, &status, [&] {
      return vesk_HandsetBeat(kEnv, &result, &error, url.c_str(),
                              server.port());
    });
    const int32_t found =
        result.contentCount + result.messageCount + result.advertisementCount;
    if (status == 200) {
      EXPECT_NE(result.entries, nullptr);
      // All three, or none with the reason given.
      EXPECT_TRUE(found == 3 || found == 0) << found;
      EXPECT_EQ(result.total, found);
    } else {
      EXPECT_EQ(status, 0);
      EXPECT_EQ(result.entries, nullptr);
    }
    delete[] result.entries;
    return injected;
  };
  Loop("heartbeat", run);
}

TEST_F(FaultTest, Save) {
  const std::string first = Source(5000);
  const std::string second = Source(1500).substr(700);
  const auto run = [&](const platform::FaultPlan& plan) {
    Device device;
    test::WriteHostFile(device.Card() + "/one.bin", first);
    test::WriteHostFile(device.Card() + "/two.bin", second);
    FakeServer server({Raw(kOk)});
    HandsetSaveInput input{};
    input.count = 3;
    const std::u16string paths[] = {u"\\Storage Card\\one.bin",
                                    u"\\Storage Card\\two.bin",
                                    u"\\Storage Card\\gone.bin"};
    const char16_t* actions[] = {u"update", u"update", u"delete"};
    for (int i = 0; i < 3; ++i) {
      std::copy(paths[i].begin(), paths[i].end(), input.entries[i].path);
      std::copy_n(actions[i], 6, input.entries[i].action);
    }
    std::vector<vesk_char16> output(1025);
    const std::u16string url = test::Url(server, "/s");
    HandsetError error{};
    int32_t status = 0;
    const bool injected = Armed(plan, &status, [&] {
      return vesk_HandsetSave(kEnv, &input, output.data(), &error, url.c_str(),
                              server.port());
    });
    EXPECT_TRUE(status == 0 || status == 200) << status;
    // The service answers only a whole request: one that reached it
    // carries both files whole.
    const auto requests = server.Requests(server.Accepted());
    if (status == 200) {
      EXPECT_EQ(requests.size(), 1u);
    }
    for (const std::string& request : requests) {
      if (request.find("\r\n\r\n") == std::string::npos) continue;
      const bool whole =
          request.size() >= 2 &&
          request.find("--\r\n", request.size() - 4) != std::string::npos;
      if (!whole) continue;
      EXPECT_NE(request.find("\r\n\r\n" + first + "\r\n--"), std::string::npos);
      EXPECT_NE(request.find("\r\n\r\n" + second + "\r\n--"),
                std::string::npos);
    }
    return injected;
  };
  Loop("save", run);
}

// A storage card that fills: a real small file system (tmpfs) mounted over
// the device root's card. A download that runs out of room leaves a data
// file and a state file to resume from, and resumes to the whole file once
// there is room; a package whose declared sizes do not fit unpacks nothing.
// Needs the right to mount (root); skipped otherwise.
class FullDiskTest : public ::testing::Test {
 protected:
  void SetUp() override {
    card_ = device_.Card();
    if (mount("tmpfs", card_.c_str(), "tmpfs", 0, "size=1m") != 0) {
      GTEST_SKIP() << "cannot mount a small file system: "
                   << std::strerror(errno);
    }
    mounted_ = true;
  }
  void TearDown() override {
    if (mounted_) umount2(card_.c_str(), MNT_DETACH);
  }
  void Grow() {
    ASSERT_EQ(mount(nullptr, card_.c_str(), nullptr, MS_REMOUNT, "size=8m"), 0);
  }

  Device device_;
  std::string card_;
  bool mounted_ = false;
};

TEST_F(FullDiskTest, DownloadStopsResumablyAndResumesOnceThereIsRoom) {
  const std::string source = Source(1536 * 1024);
  const std::string checksum = test::Md5Hex(source);
  DownloadRecord record{};
  std::copy_n(u"k", 1, record.contentKey);
  DownloadResult result{};
  HandsetError error{};
  test::Reply dropped;
  dropped.acceptAndClose = true;
  auto download = [&](FakeServer& server, FakeServer& confirm) {
    return vesk_HandsetDownload(
        kEnv, &record, &result, &error, u"\\Storage Card\\big.bin",
        test::Url(server, "/d").c_str(), server.port(),
        test::Url(confirm, "/c").c_str(), confirm.port());
  };
  {
    FakeServer full({Raw(HttpReply(200, "OK",
                                   {{"Content-Length", "1572864"},
                                    {"X-Checksum", checksum}},
                                   source)),
                     dropped, dropped});
    FakeServer confirm({});
    EXPECT_EQ(download(full, confirm), 0);
    EXPECT_EQ(confirm.Accepted(), 0u);
  }
  const std::string data = ReadHostFile(card_ + "/big.bin.Down");
  ASSERT_GT(data.size(), 0u);
  ASSERT_LT(data.size(), source.size());
  EXPECT_EQ(data, source.substr(0, data.size()));
  EXPECT_EQ(record.offset, data.size());
  const long position =
      StatePosition(ReadHostFile(card_ + "/big.bin.Down.cfg"));
  EXPECT_GE(position, 0);
  EXPECT_LE(position, static_cast<long>(data.size()));

  Grow();
  const std::string from = std::to_string(record.offset);
  FakeServer rest({Raw(HttpReply(
      206, "Partial",
      {{"Content-Range", "bytes " + from + "-1572863/1572864"},
       {"Content-Length", std::to_string(source.size() - record.offset)},
       {"X-Checksum", checksum}},
      source.substr(record.offset)))});
  FakeServer confirm(
      {Raw(HttpReply(200, "OK", {{"Content-Length", "0"}}, ""))});
  EXPECT_EQ(download(rest, confirm), 206);
  EXPECT_EQ(error.code, 0);
  EXPECT_EQ(ReadHostFile(card_ + "/big.bin"), source);
  EXPECT_FALSE(test::HostFileExists(card_ + "/big.bin.Down.cfg"));
  EXPECT_EQ(confirm.Requests(1).size(), 1u);
}

TEST_F(FullDiskTest, PackageThatCannotFitUnpacksNothing) {
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
                             test::Url(server, "/p").c_str(), server.port()),
            200);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "unzip fail\nunzip fail\n");
  EXPECT_EQ(result.received, static_cast<int32_t>(bytes.size()));
  EXPECT_EQ(ReadHostFile(card_ + "/pkg.zip"), bytes);
  EXPECT_FALSE(test::HostFileExists(card_ + "/pkg/small.txt"));
  EXPECT_FALSE(test::HostFileExists(card_ + "/pkg/big.bin"));
}

}  // namespace
}  // namespace vesk
