// The six exports against a scripted loopback server: the stored identity
// and certificate, status and error mapping, refused URLs, null pointers and
// overlong texts; and the activation: its exact form per mode, the key pair
// stored (checked by an independent RSA implementation), and the reply read
// into the result, the error record and the file.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <optional>
#include <regex>
#include <string>
#include <tuple>

#include "platform/platform.h"
#include "rsa/rsa.h"
#include "service/vesk80.h"
#include "tests/support/device_root.h"
#include "tests/support/fake_server.h"
#include "tests/support/records.h"
#include "tests/support/rsa_oracle.h"

namespace vesk {
namespace {

using test::DeviceRoot;
using test::FakeServer;
using test::Filled;
using test::HttpReply;
using test::kFill;
using test::Put;
using test::Raw;
using test::U16;
using test::Untouched;
using test::Url;
using test::WithoutCertificate;

const char16_t kEnv[] = u"\\PocketDisk1\\handset.env";
const char16_t kOtherEnv[] = u"\\PocketDisk1\\other.env";
const std::string kOk = "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n";
const std::string kDate = "Sat, 05 Dec 2026 20:18:48 GMT";
// The time stamp every certificate of these tests carries.
const std::string kStamp = "2026-12-5 19:4:5.042";

// A 1024-bit key pair made once for the whole file.
const std::string& PrivateKeyText() {
  static const std::string text = [] {
    rsa::RsaFacility facility;
    EXPECT_EQ(facility.GenerateKeyPair(1024), 1);
    return facility.ExportPrivateKey();
  }();
  return text;
}

std::string PublicKeyText() {
  return "<RSAKeyValue><Modulus>" +
         test::ElementText(PrivateKeyText(), "Modulus") +
         "</Modulus><Exponent>AQAB</Exponent></RSAKeyValue>";
}

std::string HeaderOf(const std::string& request, const std::string& name) {
  std::smatch match;
  const std::regex header("\r\n" + name + ": ([^\r]*)\r\n");
  return std::regex_search(request, match, header) ? match[1].str() : "";
}

// The time stamp a request's certificate carries, recovered with the stored
// public key.
std::string CertifiedStamp(const std::string& request) {
  return test::RecoverPrivateEncryption(PublicKeyText(),
                                        HeaderOf(request, "User-Cert"), true);
}

// A fixed clock for every test, and a fresh device root.
class FixedClock : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::Overrides overrides;
    overrides.localTime = [](platform::SystemTime* t) {
      *t = {2026, 12, 6, 5, 19, 4, 5, 0};
    };
    overrides.tickCount = [] { return 1041u; };
    platform::SetOverrides(overrides);
  }
  void TearDown() override { platform::SetOverrides({}); }
  DeviceRoot root_;
};

// The exports' tests have an environment file with the stored key.
class ExportsTest : public FixedClock {
 protected:
  void SetUp() override {
    FixedClock::SetUp();
    test::WriteHandsetEnv(root_, "Public-Key: " + PublicKeyText() +
                                     "\nPrivate-Key: " + PrivateKeyText() +
                                     "\nUser-No: 7\n");
  }
};

// A download of an empty file whose checksum matches: the download succeeds
// and confirms on a second connection.
const std::string kEmptyDownload =
    "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n"
    "X-Checksum: d41d8cd98f00b204e9800998ecf8427e\r\n\r\n";

// Every operation sends the stored identity; all but the heartbeat carry a
// certificate of the stored key.
TEST_F(ExportsTest, EveryOperationCarriesTheStoredIdentity) {
  FakeServer server(
      {Raw(kOk), Raw(kOk), Raw(kOk), Raw(kEmptyDownload), Raw(kOk), Raw(kOk)});
  auto account = Filled<AccountInfoResult>();
  HandsetBeatResult beat{};  // a success releases and replaces entries
  auto load = Filled<LoadResult>();
  auto error = Filled<HandsetError>();
  EXPECT_EQ(
      vesk_AccountInfo(kEnv, &account, &error,
                       Url(server, "/account?v=1").c_str(), server.port()),
      200);
  EXPECT_EQ(vesk_HandsetBeat(kEnv, &beat, &error, Url(server, "/beat").c_str(),
                             server.port()),
            200);
  delete[] beat.entries;
  LoadRecord loadRecord{};
  loadRecord.offset = 1000;
  loadRecord.rangeEnd = 1999;
  EXPECT_EQ(vesk_HandsetLoad(kEnv, &loadRecord, &load, &error,
                             Url(server, "/load").c_str(), server.port()),
            200);
  // A success leaves the error record alone; the load, which had no archive
  // path to receive into, says so with code 0.
  EXPECT_TRUE(Untouched(error, 0, offsetof(HandsetError, code)));
  EXPECT_TRUE(Untouched(error, offsetof(HandsetError, timestamp)));
  EXPECT_EQ(error.code, 0);
  EXPECT_EQ(std::u16string(error.message),
            u"the data file or the state file could not be made");

  DownloadRecord record{};
  std::u16string key = u"item 7/中";
  std::copy(key.begin(), key.end(), record.contentKey);
  auto result = Filled<DownloadResult>();
  EXPECT_EQ(vesk_HandsetDownload(
                kEnv, &record, &result, &error, u"\\Storage Card\\item.dat",
                Url(server, "/download").c_str(), server.port(),
                Url(server, "/done").c_str(), server.port()),
            200);
  HandsetSaveInput input{};
  char16_t output[1025];
  EXPECT_EQ(vesk_HandsetSave(kEnv, &input, output, &error,
                             Url(server, "/save").c_str(), server.port()),
            200);

  // The account's request in full (the other operations' are their own
  // suites'), the key in the ANSI code page, and a certificate of the
  // stored key on all but the heartbeat.
  const auto requests = server.Requests(6);
  ASSERT_EQ(requests.size(), 6u);
  EXPECT_EQ(WithoutCertificate(requests[0]),
            "GET /account?v=1 HTTP/1.1\r\nHost: 127.0.0.1:" +
                std::to_string(server.port()) +
                "\r\nAccept: */*\r\nUser-Agent: TestAgent/1\r\n"
                "Connection: Keep-Alive\r\nUser-Serial: SN-9\r\nUser-Cert: "
                "\r\nUser-ID: 42\r\n\r\n");
  EXPECT_NE(requests[3].find("\r\n\r\nkey=item+7%2F%D6%D0\r\n"),
            std::string::npos);
  for (const size_t i : {0, 2, 3, 4, 5}) {
    EXPECT_EQ(CertifiedStamp(requests[i]), kStamp) << i;
  }
  EXPECT_EQ(requests[1].find("User-Cert"), std::string::npos);
}

// Runs the account-information export against one scripted reply.
struct Outcome {
  int32_t status;
  AccountInfoResult result;
  HandsetError error;
  std::string request;
};

Outcome AccountWith(test::Reply reply) {
  FakeServer server({std::move(reply)});
  Outcome o{0, Filled<AccountInfoResult>(), Filled<HandsetError>(), ""};
  o.status = vesk_AccountInfo(kEnv, &o.result, &o.error,
                              Url(server, "/a").c_str(), server.port());
  const auto requests = server.Requests(1);
  if (!requests.empty()) o.request = requests[0];
  return o;
}

// A 200 reply with the body.
std::string Ok(const std::string& body) {
  return HttpReply(200, "OK", {{"Content-Length", std::to_string(body.size())}},
                   body);
}

// Empty key lines keep the key loaded before.
TEST_F(ExportsTest, EmptyKeyLinesKeepTheLoadedKey) {
  ASSERT_EQ(AccountWith(Raw(Ok("<r/>"))).status, 200);
  test::WriteHandsetEnv(root_, "Public-Key: \nPrivate-Key: \n");
  const Outcome o = AccountWith(Raw(Ok("<r/>")));
  ASSERT_EQ(o.status, 200);
  EXPECT_EQ(CertifiedStamp(o.request), kStamp);
}

TEST_F(ExportsTest, AccountReplyValuesIntoTheRecord) {
  const std::string padding(960, ' ');
  const auto repeat = [](const std::string& text, int times) {
    std::string out;
    while (times-- > 0) out += text;
    return out;
  };
  struct Case {
    const char* what;
    std::string body;
    int32_t accountId;
    std::u16string username, email, name, province;
    int32_t gender, figure;
  } cases[] = {
      {"all values",
       "<reply><account id=\"42\"/><username>li</username>"
       "<email>li@example.cn</email><name>Li Si</name><gender>1</gender>"
       "<figure> 3x</figure><province>GD</province></reply>",
       42, u"li", u"li@example.cn", u"Li Si", u"GD", 1, 3},
      {"account deeper than a direct child; the shallower email wins",
       "<r><deep><account id=\"7\"/><email>deep@x</email></deep>"
       "<email>top@x</email></r>",
       0, u"", u"top@x", u"", u"", 0, 0},
      {"encoded words in GBK, base64 and quoted-printable",
       "<r><account id=\"1\"/><name>=?gbk?B?1cXI/Q==?= jr</name>"
       "<province>=?GB2312?Q?=B9=E3=B6=AB?=</province></r>",
       1, u"", u"", u"张三 jr", u"广东", 0, 0},
      {"a reply cut by the first receive is not well formed: nothing",
       "<r><account id=\"9\"/><username>u</username>" + padding +
           "<email>late@x</email></r>",
       0, u"", u"", u"", u"", 0, 0},
      {"not XML", "this is not xml", 0, u"", u"", u"", u"", 0, 0},
      {"overlong values are cut on a character boundary",
       "<r><account id=\"2\"/><username>" + std::string(40, 'u') +
           "</username><email>" + std::string(300, 'e') + "</email><name>" +
           repeat("张", 20) + "</name><province>" + repeat("广东", 5) +
           "</province></r>",
       2, std::u16string(15, u'u'), std::u16string(255, u'e'),
       std::u16string(15, u'张'), u"广东广东广东广", 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const Outcome o = AccountWith(Raw(Ok(c.body)));
    ASSERT_EQ(o.status, 200);
    EXPECT_TRUE(Untouched(o.result, 0, 8));
    EXPECT_EQ(o.result.accountId, c.accountId);
    EXPECT_EQ(std::u16string(o.result.username), c.username);
    EXPECT_EQ(std::u16string(o.result.email), c.email);
    EXPECT_EQ(std::u16string(o.result.name), c.name);
    EXPECT_EQ(std::u16string(o.result.province), c.province);
    EXPECT_EQ(o.result.gender, c.gender);
    EXPECT_EQ(o.result.figure, c.figure);
  }
}

TEST_F(ExportsTest, StatusAndErrorMapping) {
  const std::string html = "<html><body>Not here</body></html>";
  struct Case {
    const char* what;
    std::string reply;
    int32_t status;
    int32_t code;
    std::u16string message;
    const char16_t* timestamp;  // null: untouched
  } cases[] = {
      {"906 with its time stamp",
       HttpReply(403, "Forbidden",
                 {{"X-Error-Code", "906"},
                  {"X-Error-Message", "clock"},
                  {"X-Server-Timestamp", "2026-12-5 10:0:0.000"}},
                 ""),
       403, 906, u" clock", u" 2026-12-5 10:0:0.000"},
      {"a code and a message with its leading blank",
       "HTTP/1.1 500 Error\r\nX-Error-Code: 12\r\n"
       "X-Error-Message:  bad request\r\n\r\n",
       500, 12, u"  bad request", nullptr},
      {"no code: the body is the message",
       HttpReply(404, "Not Found",
                 {{"Content-Length", std::to_string(html.size())}}, html),
       404, 0, U16(html), nullptr},
      {"no code: message value first, then the body",
       HttpReply(500, "E", {{"X-Error-Message", "m"}}, "body"), 500, 0,
       u" mbody", nullptr},
      {"906 without a time stamp",
       HttpReply(403, "F", {{"X-Error-Code", "906"}}, ""), 403, 906, u"", u""},
      {"the message found in the body bytes",
       HttpReply(500, "E", {{"X-Error-Code", "12"}},
                 "X-Error-Message: from body\r\nmore"),
       500, 12, u" from body", nullptr},
      {"914 carries no time stamp outside the activation",
       HttpReply(403, "F", {{"X-Error-Code", "914"}, {"X-Util-Timestamp", "t"}},
                 ""),
       403, 914, u"", nullptr},
      {"a message cut to its field",
       HttpReply(
           500, "E",
           {{"X-Error-Code", "7"}, {"X-Error-Message", std::string(600, 'm')}},
           ""),
       500, 7, u" " + std::u16string(254, u'm'), nullptr},
      {"a four-digit status", "HTTP/1.1 4031 X\r\nX-Error-Code: 3\r\n\r\n", 403,
       3, u"", nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const Outcome o = AccountWith(Raw(c.reply));
    EXPECT_EQ(o.status, c.status);
    EXPECT_EQ(o.error.code, c.code);
    EXPECT_EQ(std::u16string(o.error.message), c.message);
    if (c.timestamp == nullptr) {
      EXPECT_TRUE(Untouched(o.error, offsetof(HandsetError, timestamp)));
    } else {
      EXPECT_EQ(std::u16string(o.error.timestamp), c.timestamp);
    }
    EXPECT_TRUE(Untouched(o.error, 0, 8));  // the two leading words
    EXPECT_TRUE(Untouched(o.result));       // a refusal never touches it
  }
}

TEST_F(ExportsTest, NoResponseIsStatusZeroWithAnEmptyMessage) {
  test::Reply closeAtOnce;
  closeAtOnce.acceptAndClose = true;
  test::Reply silent;
  silent.closeWithoutReply = true;
  test::Reply cases[] = {std::move(closeAtOnce), std::move(silent),
                         Raw("HTTP/1.1 200 OK\r\nX-Head: never ends\r\n")};
  for (test::Reply& reply : cases) {
    const Outcome o = AccountWith(std::move(reply));
    EXPECT_EQ(o.status, 0);
    EXPECT_EQ(o.error.code, 0);
    EXPECT_EQ(o.error.message[0], 0);
    EXPECT_TRUE(Untouched(o.error, 0, 8));
    EXPECT_TRUE(Untouched(o.error, offsetof(HandsetError, message) + 2));
    EXPECT_TRUE(Untouched(o.result));
  }

  // A closed loopback port: every export reports 0 and leaves its result.
  const uint16_t closed = test::ClosedPort();
  const std::u16string url =
      U16("http://127.0.0.1:" + std::to_string(closed) + "/x");
  const vesk_char16* u = url.c_str();
  auto error = Filled<HandsetError>();
  auto account = Filled<AccountInfoResult>();
  auto beat = Filled<HandsetBeatResult>();
  LoadRecord load{};
  auto loaded = Filled<LoadResult>();
  HandsetSaveInput save{};
  char16_t output[4] = {u'Q'};
  auto activation = Filled<HandsetActivateInput>();
  activation.environmentPath[0] = 0;
  auto activated = Filled<HandsetActivateResult>();
  for (const int32_t status :
       {vesk_AccountInfo(kEnv, &account, &error, u, closed),
        vesk_HandsetBeat(kEnv, &beat, &error, u, closed),
        vesk_HandsetLoad(kEnv, &load, &loaded, &error, u, closed),
        vesk_HandsetSave(kEnv, &save, output, &error, u, closed),
        vesk_handsetActivate(&activation, &activated, &error, u, closed)}) {
    EXPECT_EQ(status, 0);
  }
  EXPECT_EQ(error.code, 0);
  EXPECT_EQ(error.message[0], 0);
  EXPECT_TRUE(Untouched(error, offsetof(HandsetError, message) + 2));
  EXPECT_TRUE(Untouched(account));
  EXPECT_TRUE(Untouched(beat));
  EXPECT_TRUE(Untouched(loaded));
  EXPECT_EQ(output[0], u'Q');
  // Of the activation's result only the server date is written: empty.
  const size_t date = offsetof(HandsetActivateResult, serverDate);
  EXPECT_EQ(activated.serverDate[0], 0);
  EXPECT_TRUE(Untouched(activated, 0, date));
  EXPECT_TRUE(Untouched(activated, date + 2));
}

TEST_F(ExportsTest, MalformedUrlsAreRefusedBeforeSending) {
  FakeServer server({Raw(kOk)});  // for the one URL of exactly 255 bytes
  const std::string root = "http://127.0.0.1:" + std::to_string(server.port());
  std::u16string wideLong = U16(root + "/");
  for (int i = 0; i < 124; ++i) wideLong += u"中";  // 248 bytes in GBK
  struct Case {
    std::u16string url;
    const char* mentions;  // null: sent
  } cases[] = {
      {U16("https" + root.substr(4) + "/a"), "http://"},
      {U16("ftp" + root.substr(4) + "/a"), "http://"},
      {U16(root.substr(7) + "/a"), "http://"},
      {U16(root), "path"},
      {U16("http:///a"), "host"},
      {U16(root + "/" + std::string(300, 'a')), "255"},
      {wideLong, "255"},
      {U16(root + "/" + std::string(254 - root.size(), 'p')), nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.url.substr(0, 40)));
    auto result = Filled<AccountInfoResult>();
    auto error = Filled<HandsetError>();
    EXPECT_EQ(
        vesk_AccountInfo(kEnv, &result, &error, c.url.c_str(), server.port()),
        c.mentions ? 0 : 200);
    if (!c.mentions) continue;
    EXPECT_EQ(error.code, 0);
    const std::u16string message = error.message;
    EXPECT_NE(message.find(U16(c.mentions)), std::u16string::npos)
        << ::testing::PrintToString(message);
    EXPECT_TRUE(Untouched(result));
  }

  // Every null record, text or URL pointer is refused before anything is
  // sent; the records given stay untouched.
  const std::u16string address = U16(root + "/n");
  const vesk_char16* path = u"\\Storage Card\\d.bin";
  const uint16_t at = server.port();
  auto error = Filled<HandsetError>();
  auto result = Filled<AccountInfoResult>();
  HandsetBeatResult beat{};
  DownloadRecord record{};
  auto downloaded = Filled<DownloadResult>();
  LoadRecord load{};
  auto loaded = Filled<LoadResult>();
  HandsetSaveInput save{};
  vesk_char16 output[1025];
  HandsetActivateInput activate{};
  auto activated = Filled<HandsetActivateResult>();
  for (int n = 0; n < 6; ++n) {  // argument n is null
    SCOPED_TRACE(n);
    const auto p = [n](int i, auto* given) { return i == n ? nullptr : given; };
    const vesk_char16* u = address.c_str();
    if (n < 3) {
      EXPECT_EQ(
          vesk_AccountInfo(kEnv, p(0, &result), p(1, &error), p(2, u), at), 0);
      EXPECT_EQ(vesk_HandsetBeat(kEnv, p(0, &beat), p(1, &error), p(2, u), at),
                0);
    }
    if (n < 4) {
      EXPECT_EQ(vesk_HandsetLoad(kEnv, p(0, &load), p(1, &loaded), p(2, &error),
                                 p(3, u), at),
                0);
      EXPECT_EQ(vesk_HandsetSave(kEnv, p(0, &save), p(1, output), p(2, &error),
                                 p(3, u), at),
                0);
      EXPECT_EQ(vesk_handsetActivate(p(0, &activate), p(1, &activated),
                                     p(2, &error), p(3, u), at),
                0);
    }
    EXPECT_EQ(vesk_HandsetDownload(kEnv, p(0, &record), p(1, &downloaded),
                                   p(2, &error), p(3, path), p(4, u), at,
                                   p(5, u), at),
              0);
  }
  EXPECT_TRUE(Untouched(error));
  EXPECT_TRUE(Untouched(result));
  EXPECT_TRUE(Untouched(downloaded));
  EXPECT_TRUE(Untouched(loaded));
  EXPECT_TRUE(Untouched(activated));
  EXPECT_EQ(beat.entries, nullptr);

  // The other operations refuse a malformed URL the same way, into their
  // error record; the download also its confirmation URL, named as such.
  const vesk_char16* bad = cases[0].url.c_str();
  auto refused = [&](int32_t status, const std::u16string& starts) {
    const std::u16string message = error.message;
    EXPECT_EQ(status, 0);
    EXPECT_EQ(message.rfind(starts, 0), 0u) << testing::PrintToString(message);
    EXPECT_NE(message.find(u"http://"), std::u16string::npos);
    error = Filled<HandsetError>();
  };
  const vesk_char16* u = address.c_str();
  refused(vesk_HandsetBeat(kEnv, &beat, &error, bad, at), u"");
  refused(vesk_HandsetLoad(kEnv, &load, &loaded, &error, bad, at), u"");
  refused(vesk_HandsetSave(kEnv, &save, output, &error, bad, at), u"");
  refused(vesk_handsetActivate(&activate, &activated, &error, bad, at), u"");
  refused(vesk_HandsetDownload(kEnv, &record, &downloaded, &error, path, bad,
                               at, u, at),
          u"");
  refused(vesk_HandsetDownload(kEnv, &record, &downloaded, &error, path, u, at,
                               bad, at),
          u"the confirmation URL: ");
  EXPECT_EQ(server.Accepted(), 1u);
}

TEST_F(ExportsTest, OverlongTextsStayInsideTheirFields) {
  // The record's last field, followed by guard bytes.
  struct Guarded {
    HandsetError error;
    unsigned char guard[64];
  };
  FakeServer server({Raw(HttpReply(
      403, "F",
      {{"X-Error-Code", "906"}, {"X-Server-Timestamp", std::string(200, 't')}},
      ""))});
  Guarded guarded;
  std::memset(&guarded, kFill, sizeof guarded);
  auto result = Filled<AccountInfoResult>();
  EXPECT_EQ(vesk_AccountInfo(kEnv, &result, &guarded.error,
                             Url(server, "/a").c_str(), server.port()),
            403);
  EXPECT_EQ(std::u16string(guarded.error.timestamp),
            u" " + std::u16string(62, u't'));
  for (unsigned char g : guarded.guard) ASSERT_EQ(g, kFill);

  // Caller fields without a terminator are read no further than the field.
  FakeServer activation({Raw(kOk)});
  HandsetActivateInput input;
  std::fill_n(reinterpret_cast<char16_t*>(&input.userAgent),
              (offsetof(HandsetActivateInput, gender) -
               offsetof(HandsetActivateInput, userAgent)) /
                  2,
              u'x');
  input.mode = 4;
  input.gender = 1;
  input.figure = 2;
  auto activated = Filled<HandsetActivateResult>();
  auto error = Filled<HandsetError>();
  EXPECT_EQ(
      vesk_handsetActivate(&input, &activated, &error,
                           Url(activation, "/a").c_str(), activation.port()),
      200);
  const auto requests = activation.Requests(1);
  ASSERT_EQ(requests.size(), 1u);
  const std::string x15(15, 'x');
  const std::string x255(255, 'x');
  EXPECT_NE(requests[0].find("User-Agent: " + x255 + "\r\n"),
            std::string::npos);
  EXPECT_NE(requests[0].find("User-Serial: " + x255 + "\r\n"),
            std::string::npos);
  EXPECT_NE(requests[0].find(
                "username=" + x15 + "&password=" + x255 + "&validation=" + x15 +
                "&name=" + x15 + "&gender=1&email=" + x255 +
                "&figure=2&province=" + x15 + "&bom=" + x15 + "&modulus="),
            std::string::npos);

  // A download key that fills its field is cut to the 255 bytes it can hold.
  FakeServer download({Raw(kEmptyDownload), Raw(kOk)});
  DownloadRecord record;
  std::fill_n(record.contentKey, 256, u'k');
  record.offset = 0;
  DownloadResult downloaded{};
  EXPECT_EQ(vesk_HandsetDownload(kEnv, &record, &downloaded, &error,
                                 u"\\Storage Card\\f",
                                 Url(download, "/d").c_str(), download.port(),
                                 Url(download, "/c").c_str(), download.port()),
            200);
  const auto keyRequest = download.Requests(2);
  ASSERT_EQ(keyRequest.size(), 2u);
  EXPECT_NE(keyRequest[0].find("\r\n\r\nkey=" + std::string(255, 'k') + "\r\n"),
            std::string::npos);
}

// Letters and digits stay, every other byte becomes "%XX".
std::string FormEncoded(const std::string& text) {
  std::string out;
  for (const unsigned char c : text) {
    char escaped[4];
    std::snprintf(escaped, sizeof escaped, "%%%02X", c);
    out +=
        std::isalnum(c) != 0 ? std::string(1, static_cast<char>(c)) : escaped;
  }
  return out;
}

std::string Utf8(const char16_t* text) {
  std::string out;
  for (; *text != 0; ++text) out += static_cast<char>(*text);
  return out;
}

// A 200 reply with a Date header and the body.
std::string Accepted(const std::string& body) {
  return "HTTP/1.1 200 OK\r\nDate: " + kDate +
         "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" +
         body;
}

const std::string kAccount =
    "<reply><account id=\"12\"><user-id>34</user-id></account>"
    "<profile><user-no>5</user-no><username>bob</username>"
    "<email>b@x.cn</email><name>=?gb2312?B?1cU=?=</name>"
    "<province>=?gb2312?Q?=B1=B1?=</province><gender>1</gender>"
    "<figure>-7</figure></profile></reply>";

HandsetActivateInput Input(int32_t mode, const std::u16string& path) {
  auto input = Filled<HandsetActivateInput>();
  input.mode = mode;
  Put(input.userAgent, u"Act/1");
  Put(input.userSerial, u"S2");
  Put(input.username, u"u");
  Put(input.password, u"p w");
  Put(input.name, u"张");
  Put(input.email, u"a@b");
  Put(input.province, u"p");
  Put(input.validation, u"v");
  Put(input.bom, u"b");
  Put(input.environmentPath, path);
  input.gender = 0;
  input.figure = -3;
  return input;
}

struct Activation {
  int32_t status = 0;
  HandsetActivateResult result = Filled<HandsetActivateResult>();
  HandsetError error = Filled<HandsetError>();
  std::string request;
  uint16_t port = 0;
};

Activation Activate(const HandsetActivateInput& input, std::string reply) {
  FakeServer server({Raw(std::move(reply))});
  Activation a;
  a.port = server.port();
  a.status = vesk_handsetActivate(&input, &a.result, &a.error,
                                  Url(server, "/act").c_str(), server.port());
  const auto requests = server.Requests(1);
  if (!requests.empty()) a.request = requests[0];
  return a;
}

// Activations start without an environment file, or with one of the stored
// key written by the test.
class ActivationTest : public FixedClock {
 protected:
  std::string Host(const char16_t* path) { return root_.Host(Utf8(path)); }
  void WriteStoredEnvironment(const char16_t* path) {
    test::WriteHostFile(Host(path),
                        "User-Agent: Old/1\nPublic-Key: " + PublicKeyText() +
                            "\nPrivate-Key: " + PrivateKeyText() +
                            "\nUser-Serial: OLD\nUser-Id: 42\nUser-No: 7\n");
  }
};

// A certificate is the fixed time stamp encrypted with the key's private
// exponent.
void ExpectCertificateOf(const std::string& publicKey,
                         const std::string& request) {
  const std::string certificate = HeaderOf(request, "User-Cert");
  ASSERT_EQ(certificate.size(), 172u) << request;
  EXPECT_EQ(test::RecoverPrivateEncryption(publicKey, certificate, true),
            kStamp);
}

TEST_F(ActivationTest, ExactFormOfEveryModeWithAndWithoutAnEnvironmentFile) {
  const std::string identityFields[] = {
      "",  // mode 0 is not used
      "&name=%D5%C5&gender=0&email=a%40b&figure=%2D3&province=p",
      "&validation=v&bom=b",
      "",
      "&validation=v&name=%D5%C5&gender=0&email=a%40b&figure=%2D3&province=p"
      "&bom=b",
      ""};
  for (const bool withFile : {true, false}) {
    for (const int32_t mode : {1, 2, 3, 4, 5, 9}) {
      SCOPED_TRACE(std::to_string(mode) + (withFile ? " with" : " without"));
      if (withFile) WriteStoredEnvironment(kEnv);
      const std::string before = test::ReadHostFile(Host(kEnv));
      // No account in the reply: nothing is stored.
      const Activation a = Activate(Input(mode, kEnv), Accepted("<r/>"));
      ASSERT_EQ(a.status, 200);
      std::string form = "username=u&password=p+w";
      if (mode < 6) form += identityFields[mode];
      const bool keyed = mode == 2 || mode == 4;
      if (keyed) {
        // The pair generated for this call, still held by the facility.
        const std::string key = rsa::Facility().ExportPublicKey();
        const std::string modulus = test::ElementText(key, "Modulus");
        EXPECT_NE(modulus, test::ElementText(PublicKeyText(), "Modulus"));
        EXPECT_EQ(test::FromBase64(modulus).size(), 128u);
        form += "&modulus=" + FormEncoded(modulus) + "&exponent=AQAB";
        EXPECT_NE(form.find("%3D&exponent"), std::string::npos);  // "=" escaped
      }
      const std::string certificate = HeaderOf(a.request, "User-Cert");
      const std::string identity =
          withFile ? "User-ID: 42\r\nUser-NO: 7\r\nUser-Cert: " + certificate +
                         "\r\n"
                   : "";
      EXPECT_EQ(
          a.request,
          "POST /act HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(a.port) +
              "\r\nAccept: */*\r\nUser-Agent: Act/1\r\n"
              "Connection: Keep-Alive\r\n"
              "Content-Type: application/x-www-form-urlencoded\r\n"
              "User-Serial: S2\r\n" +
              identity + "Content-Length: " + std::to_string(form.size()) +
              "\r\n\r\n" + form + "\r\n");
      if (withFile) ExpectCertificateOf(PublicKeyText(), a.request);
      EXPECT_EQ(test::ReadHostFile(Host(kEnv)), before);
      EXPECT_EQ(test::HostFileExists(Host(kEnv)), withFile);
      EXPECT_TRUE(Untouched(a.error));
      std::remove(Host(kEnv).c_str());
    }
  }
}

// Modes 2 and 4 store the registered pair and the identity, at the path
// given or the default one; a later activation proves the stored identity
// and replaces the pair with its own.
TEST_F(ActivationTest, KeyedModesStoreTheRegisteredPairAndIdentity) {
  std::string stored;  // the public key the file held before the call
  const std::pair<int32_t, const char16_t*> calls[] = {
      {2, kOtherEnv}, {4, u""}, {2, kEnv}};
  for (const auto& [mode, path] : calls) {
    SCOPED_TRACE(std::to_string(mode) + " " + Utf8(path));
    const char16_t* written = path[0] == 0 ? kEnv : path;
    const Activation a = Activate(Input(mode, path), Accepted(kAccount));
    ASSERT_EQ(a.status, 200);
    if (stored.empty()) {
      EXPECT_EQ(HeaderOf(a.request, "User-ID"), "");
      EXPECT_EQ(HeaderOf(a.request, "User-Cert"), "");
    } else {
      ExpectCertificateOf(stored, a.request);
      EXPECT_EQ(HeaderOf(a.request, "User-ID"), "34");
      EXPECT_EQ(HeaderOf(a.request, "User-NO"), "5");
    }

    const std::string file = test::ReadHostFile(Host(written));
    std::smatch m;
    ASSERT_TRUE(std::regex_match(
        file, m,
        std::regex("User-Agent: Act/1\nPublic-Key: (.*)\nPrivate-Key: (.*)\n"
                   "User-Serial: S2\nUser-Id: 34\nUser-No: 5\n")))
        << file;
    const std::string publicKey = m[1], privateKey = m[2];
    // The pair registered (the form) is the pair stored, and a new one; that
    // the service verifies its certificates is the service suite's.
    EXPECT_TRUE(test::IsConsistentPrivateKey(privateKey));
    const std::string modulus = test::ElementText(publicKey, "Modulus");
    EXPECT_EQ(test::ElementText(privateKey, "Modulus"), modulus);
    EXPECT_NE(a.request.find("&modulus=" + FormEncoded(modulus) +
                             "&exponent=AQAB\r\n"),
              std::string::npos);
    EXPECT_NE(modulus, test::ElementText(stored, "Modulus"));
    stored = written == kEnv ? publicKey : "";
  }
}

// A result's account fields: user id and number, user name, email, name,
// province, gender and figure.
using AccountFields =
    std::tuple<int32_t, int32_t, std::u16string, std::u16string, std::u16string,
               std::u16string, int32_t, int32_t>;
AccountFields AccountOf(const HandsetActivateResult& r) {
  return {r.userId, r.userNo,   r.username, r.email,
          r.name,   r.province, r.gender,   r.figure};
}

// What a reply leaves: the account fields (or none written), the server
// date, the error record, and the environment file, which only an accepted
// keyed mode with a positive account id replaces.
TEST_F(ActivationTest, ReplyIntoTheResultTheErrorRecordAndTheFile) {
  WriteStoredEnvironment(kEnv);
  const std::string before = test::ReadHostFile(Host(kEnv));
  const auto refusal = [](const std::string& code) {
    return HttpReply(403, "F",
                     {{"Date", kDate},
                      {"X-Error-Code", code},
                      {"X-Error-Message", "no"},
                      {"X-Util-Timestamp", "util-time"},
                      {"X-Server-Timestamp", "server-time"}},
                     kAccount);
  };
  const AccountFields bob(34, 5, u"bob", u"b@x.cn", u"张", u"北", 1, -7);
  const AccountFields none(0, 0, u"", u"", u"", u"", 0, 0);
  struct Case {
    int32_t mode;
    std::string reply;
    std::optional<AccountFields> account;  // none: the fields untouched
    int32_t code;                          // -1: the error record untouched
    std::u16string timestamp;              // empty: untouched
  } cases[] = {
      {1, Accepted(kAccount), {}, -1, u""},
      {5, Accepted(kAccount), {}, -1, u""},
      {3, Accepted(kAccount), bob, -1, u""},
      {9, Accepted(kAccount), bob, -1, u""},
      // No positive account id: it is the user id, and nothing is stored.
      {2, Accepted("<r><account id=\"0\"/><user-id>34</user-id></r>"), none, -1,
       u""},
      {2, Accepted("<r><account id=\"-3\"/></r>"),
       AccountFields(-3, 0, u"", u"", u"", u"", 0, 0), -1, u""},
      {2, Accepted("<r><x><account id=\"12\"/></x></r>"), none, -1, u""},
      {2, Accepted("<r><account id=\"12\">"), none, -1, u""},
      {2, Accepted(""), none, -1, u""},
      {2, refusal("901"), {}, 901, u""},
      {4, refusal("914"), {}, 914, u" util-time"},
      {4, refusal("915"), {}, 915, u" util-time"},
      {4, refusal("906"), {}, 906, u" server-time"},
      {4, refusal("913"), {}, 913, u""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.mode) + " " + c.reply.substr(0, 12) +
                 c.reply.substr(c.reply.find("\r\n\r\n") + 4, 40));
    const Activation a = Activate(Input(c.mode, kEnv), c.reply);
    EXPECT_EQ(a.status, c.code < 0 ? 200 : 403);
    EXPECT_EQ(std::u16string(a.result.serverDate), U16(" " + kDate));
    EXPECT_TRUE(Untouched(a.result, 0, 8));
    if (c.account) {
      EXPECT_EQ(AccountOf(a.result), *c.account);
    } else {
      EXPECT_TRUE(
          Untouched(a.result, 8, offsetof(HandsetActivateResult, serverDate)));
    }
    if (c.code < 0) {
      EXPECT_TRUE(Untouched(a.error));
    } else {
      EXPECT_EQ(a.error.code, c.code);
      EXPECT_EQ(std::u16string(a.error.message), u" no");
      if (c.timestamp.empty()) {
        EXPECT_TRUE(Untouched(a.error, offsetof(HandsetError, timestamp)));
      } else {
        EXPECT_EQ(std::u16string(a.error.timestamp), c.timestamp);
      }
    }
    EXPECT_EQ(test::ReadHostFile(Host(kEnv)), before);
  }

  // Without "user-id" the account id stays; values too long for their
  // fields are cut to fit, and so is a long date; no date leaves it empty.
  const std::string x40(40, 'x');
  const std::string y300(300, 'y');
  const Activation cut = Activate(
      Input(3, kEnv),
      "HTTP/1.1 200 OK\r\nDate: " + x40 + "\r\n\r\n<r><account id=\"12\"/>" +
          "<username>" + x40 + "</username><email>" + y300 + "</email>" +
          "<name>" + x40 + "</name><province>" + x40 + "</province></r>");
  ASSERT_EQ(cut.status, 200);
  EXPECT_EQ(std::u16string(cut.result.serverDate),
            U16(" " + x40.substr(0, 30)));
  const std::u16string x15 = U16(x40.substr(0, 15));
  EXPECT_EQ(
      AccountOf(cut.result),
      AccountFields(12, 0, x15, U16(y300.substr(0, 255)), x15, x15, 0, 0));
  const Activation bare = Activate(Input(3, kEnv), HttpReply(500, "E", {}, ""));
  EXPECT_EQ(bare.status, 500);
  EXPECT_EQ(bare.result.serverDate[0], 0);
}

}  // namespace
}  // namespace vesk
