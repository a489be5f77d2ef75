// The handset environment file, the file-system probe, the local file
// utilities it writes with, the time stamp, and text conversion into fixed
// buffers.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <tuple>

#include "platform/platform.h"
#include "service/service.h"
#include "tests/support/device_root.h"
#include "transfer/transfer.h"

namespace vesk::service {
namespace {

using test::DeviceRoot;
using test::ReadHostFile;
using test::WriteHostFile;

const char16_t kEnvPath[] = u"\\PocketDisk1\\handset.env";

// User agent, public key, private key, serial, user id and user number.
using Values =
    std::tuple<std::string, std::string, std::string, std::string, int, int>;

Values Current() {
  const HandsetEnv& env = Env();
  return {std::string(env.UserAgent().view()),
          std::string(env.PublicKey().view()),
          std::string(env.PrivateKey().view()),
          std::string(env.UserSerial().view()),
          env.UserId(),
          env.UserNo()};
}

TEST(ReadEnvironment, ReadingRules) {
  DeviceRoot root;
  const std::string host = root.Host("\\PocketDisk1\\handset.env");
  const std::string line1023 = "User-Serial: " + std::string(1010, 's');
  struct Case {
    const char* what;
    std::string file;
    Values want;  // user number 7 unless the file sets one
  } cases[] = {
      // The writer's order is read back after the writing below.
      {"any order, last line without line feed",
       "User-No: 9\nUser-Id: 42\nUser-Serial: SN\nPrivate-Key: <q/>\n"
       "Public-Key: <p/>\nUser-Agent: U: A",
       {"U: A", "<p/>", "<q/>", "SN", 42, 9}},
      {"repeated text keys concatenate, numbers replace by the atoi rule",
       "User-Serial: a\n\nUser-Id: 1\nHello\nUser-Serial: b\nUser-Id:  12x\n"
       "User-No: -4\n",
       {"", "", "", "ab", 12, -4}},
      {"an equals sign makes the whole line the value",
       "User-Id=5\nUser-Agent=x\n",
       {"User-Agent=x", "", "", "", 0, 7}},
      {"keys are found anywhere in the line, first key in table order",
       "X-User-Agent: a\nmy User-Serial: User-Id: 3\n",
       {"a", "", "", "User-Id: 3", 0, 7}},
      // A CR that ends a line belongs to the line end; one inside stays.
      {"CR LF line ends, last line too",
       "User-Agent: UA\r\nPublic-Key: <p/>\r\nPrivate-Key: <q/>\r\n"
       "User-Serial: S\rN\r\nUser-Id: 42\r\nUser-No: 9\r",
       {"UA", "<p/>", "<q/>", "S\rN", 42, 9}},
      {"a line of more than 1023 bytes ends the reading",
       "User-Serial: before\nUser-Agent: " + std::string(2000, 'x') +
           "\nUser-Id: 5\n",
       {"", "", "", "before", 0, 7}},
      {"a line of 1023 bytes is still read",
       line1023 + "\nUser-Id: 5\n",
       {"", "", "", std::string(1010, 's'), 5, 7}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    WriteHostFile(host, c.file);
    Env().SetUserNo(7);
    Env().SetUserId(99);
    Env().SetUserAgent(ByteString("stale"));
    ReadEnvironment(kEnvPath);
    EXPECT_EQ(Current(), c.want);
  }
}

TEST(WriteEnvironment, WritesSixLinesAndReadsBack) {
  DeviceRoot root;
  const std::string host = root.Host("\\PocketDisk1\\handset.env");
  WriteHostFile(host, std::string(5000, 'z'));  // replaced, not appended to
  Env().SetUserAgent(ByteString("Agent/2"));
  Env().SetPublicKey(ByteString("<RSAKeyValue><Modulus>AQ==</Modulus>"));
  Env().SetPrivateKey(ByteString("<RSAKeyValue><D>Ag==</D>"));
  Env().SetUserSerial(ByteString("\xD6\xD0-7"));
  Env().SetUserId(-3);
  Env().SetUserNo(2147483647);
  WriteEnvironment(kEnvPath);
  EXPECT_EQ(ReadHostFile(host),
            "User-Agent: Agent/2\n"
            "Public-Key: <RSAKeyValue><Modulus>AQ==</Modulus>\n"
            "Private-Key: <RSAKeyValue><D>Ag==</D>\n"
            "User-Serial: \xD6\xD0-7\n"
            "User-Id: -3\n"
            "User-No: 2147483647\n");
  const Values written = Current();

  // Clearing empties the texts and the content keys, not the numbers.
  Env().SetContentKeys(ByteString("k1"));
  ClearEnvironment();
  EXPECT_EQ(Current(), Values("", "", "", "", -3, 2147483647));
  EXPECT_TRUE(Env().ContentKeys().empty());
  Env().SetUserNo(0);
  ReadEnvironment(kEnvPath);
  EXPECT_EQ(Current(), written);

  // A path that names a directory is left alone.
  WriteEnvironment(u"\\PocketDisk1");
  EXPECT_TRUE(test::HostFileExists(root.Host("\\PocketDisk1")));
  // No file there empties the values but the user number.
  for (const char16_t* path :
       {u"\\PocketDisk1\\missing.env", static_cast<const char16_t*>(nullptr),
        u"\\PocketDisk1"}) {
    ReadEnvironment(path);
    EXPECT_EQ(Current(), Values("", "", "", "", 0, 2147483647));
  }
}

TEST(ProbePath, NothingDirectoriesOrAFile) {
  DeviceRoot root;
  WriteHostFile(root.Host("\\Storage Card\\d1\\x.txt"), "x");
  ASSERT_TRUE(platform::CreateDirectory(u"\\Storage Card\\d2"));
  for (const auto& [path, probe] :
       {std::pair<const char16_t*, int32_t>{u"\\Storage Card\\none", 0},
        {u"\\Storage Card\\d1\\", 1},
        {u"/Storage Card/d1/x.txt", 2},
        {u"\\Storage Card\\d*", 1},         // only directories match
        {u"\\Storage Card\\d1\\*", 2},      // a file matches
        {u"\\Storage Card\\d?\\x.txt", 0},  // wildcards in the last part only
        {nullptr, 0}}) {
    EXPECT_EQ(ProbePath(path), probe)
        << (path ? std::string(path, path + 20).c_str() : "null");
  }
}

TEST(LocalFiles, DeleteAndAppend) {
  DeviceRoot root;
  const char16_t* path = u"\\Storage Card\\f.txt";
  EXPECT_TRUE(transfer::DeleteLocalFile(path));  // missing
  for (const char* line : {"a", "", "b"}) {
    EXPECT_TRUE(transfer::AppendLine(path, ByteString(line)));
  }
  EXPECT_EQ(ReadHostFile(root.Host("\\Storage Card\\f.txt")), "a\n\nb\n");
  EXPECT_TRUE(transfer::DeleteLocalFile(path));
  EXPECT_FALSE(test::HostFileExists(root.Host("\\Storage Card\\f.txt")));
  EXPECT_FALSE(transfer::DeleteLocalFile(u"\\Storage Card"));
  EXPECT_EQ(platform::GetLastError(), transfer::kErrorNamesDirectory);
  EXPECT_FALSE(transfer::AppendLine(u"\\Storage Card", ByteString("a")));
  // A path longer than a handset path is refused, not cut to another name.
  const std::u16string longPath =
      u"\\Storage Card\\" + std::u16string(260, u'a');
  EXPECT_FALSE(transfer::AppendLine(longPath.c_str(), ByteString("a")));
  EXPECT_FALSE(transfer::DeleteLocalFile(longPath.c_str()));
  EXPECT_EQ(platform::GetLastError(), platform::kErrorFilenameTooLong);
}

// The tick count is taken as signed: the other forms are the download's.
TEST(FormatTimestamp, NegativeTicks) {
  platform::Overrides overrides;
  overrides.localTime = [](platform::SystemTime* t) {
    *t = {2012, 7, 4, 5, 9, 3, 7, 500};
  };
  overrides.tickCount = [] { return 0xFFFFFFFFu; };
  platform::SetOverrides(overrides);
  EXPECT_EQ(FormatTimestamp(), "2012-7-5 9:3:7.-001");
  platform::SetOverrides({});
}

TEST(BoundaryText, ConversionsCutToTheirFields) {
  // GBK: every Chinese character takes two bytes.
  char ansi[6];
  std::memset(ansi, 'X', sizeof ansi);
  EXPECT_EQ(WideToAnsi(u"中中中", ansi), ansi);
  EXPECT_STREQ(ansi, "\xD6\xD0\xD6\xD0");  // the third does not fit whole
  EXPECT_EQ(ansi[5], 0);                   // the rest is zero-filled
  EXPECT_EQ(AnsiSize(u"中中中"), 7u);
  EXPECT_EQ(WideToAnsi(u"abcdefgh", ansi), ansi);
  EXPECT_STREQ(ansi, "abcde");
  // Unterminated input is read no further than its field.
  const char16_t field[3] = {u'a', u'b', u'c'};
  char small[8];
  WideToAnsi(field, small, sizeof small, std::size(field));
  EXPECT_STREQ(small, "abc");
  EXPECT_EQ(WideToAnsi(nullptr, small), nullptr);
  EXPECT_EQ(small[0], 0);

  char16_t wide[4] = {u'Q', u'Q', u'Q', u'Q'};
  EXPECT_EQ(AnsiToWide("\xD6\xD0z", wide), wide);
  EXPECT_EQ(std::u16string(wide), u"中z");

  // A surrogate pair is never split.
  test::ScopedEnv codePage("VESK_ANSI_CODEPAGE", "65001");
  char16_t pair[3] = {u'Q', u'Q', u'Q'};
  AnsiToWide("a\xF0\x9F\x98\x80", pair);
  EXPECT_EQ(std::u16string(pair), u"a");
  char utf8[5];
  WideToAnsi(u"a\U0001F600", utf8);
  EXPECT_STREQ(utf8, "a");
}

}  // namespace
}  // namespace vesk::service
