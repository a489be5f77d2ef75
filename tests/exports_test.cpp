// The six exports against a scripted loopback server: the exact request of
// each operation, the status and error mapping, refused URLs and overlong
// texts.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

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
using test::Raw;
using test::U16;
using test::Untouched;
using test::Url;
using test::WithoutCertificate;

const char16_t kEnv[] = u"\\PocketDisk1\\handset.env";

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

std::string CertificateOf(const std::string& request) {
  const size_t at = request.find("\r\nUser-Cert: ");
  if (at == std::string::npos) return "";
  return request.substr(at + 13, request.find('\r', at + 13) - at - 13);
}

// The time stamp a request's certificate carries, recovered with the stored
// public key.
std::string CertifiedStamp(const std::string& request) {
  return test::RecoverPrivateEncryption(PublicKeyText(), CertificateOf(request),
                                        true);
}

// Each test has an environment file with a stored key and a fixed clock.
class ExportsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    test::WriteHandsetEnv(root_, "Public-Key: " + PublicKeyText() +
                                     "\nPrivate-Key: " + PrivateKeyText() +
                                     "\nUser-No: 7\n");
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

const std::string kOk = "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n";
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
  HandsetError cleared{};  // the download clears it after every exchange
  EXPECT_EQ(std::memcmp(&error, &cleared, sizeof error), 0);
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
    EXPECT_EQ(CertifiedStamp(requests[i]), "2026-12-5 19:4:5.042") << i;
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

// Every request gets a new certificate of the same time stamp (the padding's
// seed differs); empty key lines keep the key loaded before.
TEST_F(ExportsTest, EveryAccountRequestHasItsOwnCertificate) {
  std::string previous;
  for (const bool keyLines : {true, true, false}) {
    if (!keyLines)
      test::WriteHandsetEnv(root_, "Public-Key: \nPrivate-Key: \n");
    const Outcome o = AccountWith(Raw(Ok("<r/>")));
    ASSERT_EQ(o.status, 200);
    EXPECT_EQ(CertifiedStamp(o.request), "2026-12-5 19:4:5.042");
    const std::string certificate = CertificateOf(o.request);
    EXPECT_EQ(certificate.size(), 172u);
    EXPECT_NE(certificate, previous);
    previous = certificate;
  }
}

std::string Repeat(const std::string& text, int times) {
  std::string out;
  for (int i = 0; i < times; ++i) out += text;
  return out;
}

TEST_F(ExportsTest, AccountReplyValuesIntoTheRecord) {
  const std::string padding(960, ' ');
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
           Repeat("张", 20) + "</name><province>" + Repeat("广东", 5) +
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

  // A closed loopback port: every export reports 0 the same way.
  const uint16_t closed = test::ClosedPort();
  const std::u16string url =
      U16("http://127.0.0.1:" + std::to_string(closed) + "/x");
  auto error = Filled<HandsetError>();
  auto account = Filled<AccountInfoResult>();
  EXPECT_EQ(vesk_AccountInfo(kEnv, &account, &error, url.c_str(), closed), 0);
  EXPECT_EQ(error.code, 0);
  EXPECT_EQ(error.message[0], 0);
  EXPECT_TRUE(Untouched(error, offsetof(HandsetError, message) + 2));
  EXPECT_TRUE(Untouched(account));
  auto beat = Filled<HandsetBeatResult>();
  EXPECT_EQ(vesk_HandsetBeat(kEnv, &beat, &error, url.c_str(), closed), 0);
  EXPECT_TRUE(Untouched(beat));
  LoadRecord load{};
  auto loaded = Filled<LoadResult>();
  EXPECT_EQ(vesk_HandsetLoad(kEnv, &load, &loaded, &error, url.c_str(), closed),
            0);
  EXPECT_TRUE(Untouched(loaded));
  HandsetSaveInput save{};
  char16_t output[4] = {u'Q', u'Q', u'Q', u'Q'};
  EXPECT_EQ(vesk_HandsetSave(kEnv, &save, output, &error, url.c_str(), closed),
            0);
  EXPECT_EQ(output[0], u'Q');
  auto activation = Filled<HandsetActivateInput>();
  activation.environmentPath[0] = 0;
  auto activated = Filled<HandsetActivateResult>();
  EXPECT_EQ(vesk_handsetActivate(&activation, &activated, &error, url.c_str(),
                                 closed),
            0);
  // Only the server date is written: empty, as no response arrived.
  EXPECT_EQ(activated.serverDate[0], 0);
  EXPECT_TRUE(
      Untouched(activated, 0, offsetof(HandsetActivateResult, serverDate)));
  EXPECT_TRUE(
      Untouched(activated, offsetof(HandsetActivateResult, serverDate) + 2));
  EXPECT_EQ(error.code, 0);
  EXPECT_EQ(error.message[0], 0);
}

TEST_F(ExportsTest, MalformedUrlsAreRefusedBeforeSending) {
  FakeServer server({});
  const std::string port = std::to_string(server.port());
  const std::string longPath(300, 'a');
  std::u16string wideLong = U16("http://127.0.0.1:" + port + "/");
  for (int i = 0; i < 124; ++i) wideLong += u"中";  // 248 bytes in GBK
  struct Case {
    std::u16string url;
    const char* mentions;
  } cases[] = {
      {U16("https://127.0.0.1:" + port + "/a"), "http://"},
      {U16("ftp://127.0.0.1:" + port + "/a"), "http://"},
      {U16("127.0.0.1:" + port + "/a"), "http://"},
      {U16("http://127.0.0.1:" + port), "path"},
      {U16("http:///a"), "host"},
      {U16("http://127.0.0.1:" + port + "/" + longPath), "255"},
      {wideLong, "255"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.url.substr(0, 40)));
    auto result = Filled<AccountInfoResult>();
    auto error = Filled<HandsetError>();
    EXPECT_EQ(
        vesk_AccountInfo(kEnv, &result, &error, c.url.c_str(), server.port()),
        0);
    EXPECT_EQ(error.code, 0);
    const std::u16string message = error.message;
    EXPECT_NE(message.find(U16(c.mentions)), std::u16string::npos)
        << ::testing::PrintToString(message);
    EXPECT_TRUE(Untouched(result));
  }
  EXPECT_EQ(server.Accepted(), 0u);

  // Exactly 255 bytes still goes out.
  FakeServer accepting({Raw(kOk)});
  std::string exact =
      "http://127.0.0.1:" + std::to_string(accepting.port()) + "/";
  exact += std::string(255 - exact.size(), 'p');
  auto result = Filled<AccountInfoResult>();
  auto error = Filled<HandsetError>();
  EXPECT_EQ(vesk_AccountInfo(kEnv, &result, &error, U16(exact).c_str(),
                             accepting.port()),
            200);

  // Every null record, text or URL pointer is refused before anything is
  // sent; the records given stay untouched.
  FakeServer nobody({});
  const std::u16string address =
      U16("http://127.0.0.1:" + std::to_string(nobody.port()) + "/n");
  const vesk_char16* u = address.c_str();
  const vesk_char16* path = u"\\Storage Card\\d.bin";
  const uint16_t at = nobody.port();
  error = Filled<HandsetError>();
  result = Filled<AccountInfoResult>();
  HandsetBeatResult beat{};
  DownloadRecord record{};
  auto downloaded = Filled<DownloadResult>();
  LoadRecord load{};
  auto loaded = Filled<LoadResult>();
  HandsetSaveInput save{};
  vesk_char16 output[1025];
  HandsetActivateInput activate{};
  auto activated = Filled<HandsetActivateResult>();
  const int32_t statuses[] = {
      vesk_AccountInfo(kEnv, nullptr, &error, u, at),
      vesk_AccountInfo(kEnv, &result, nullptr, u, at),
      vesk_AccountInfo(kEnv, &result, &error, nullptr, at),
      vesk_HandsetBeat(kEnv, nullptr, &error, u, at),
      vesk_HandsetBeat(kEnv, &beat, nullptr, u, at),
      vesk_HandsetBeat(kEnv, &beat, &error, nullptr, at),
      vesk_HandsetDownload(kEnv, nullptr, &downloaded, &error, path, u, at, u,
                           at),
      vesk_HandsetDownload(kEnv, &record, nullptr, &error, path, u, at, u, at),
      vesk_HandsetDownload(kEnv, &record, &downloaded, nullptr, path, u, at, u,
                           at),
      vesk_HandsetDownload(kEnv, &record, &downloaded, &error, nullptr, u, at,
                           u, at),
      vesk_HandsetDownload(kEnv, &record, &downloaded, &error, path, nullptr,
                           at, u, at),
      vesk_HandsetDownload(kEnv, &record, &downloaded, &error, path, u, at,
                           nullptr, at),
      vesk_HandsetLoad(kEnv, nullptr, &loaded, &error, u, at),
      vesk_HandsetLoad(kEnv, &load, nullptr, &error, u, at),
      vesk_HandsetLoad(kEnv, &load, &loaded, nullptr, u, at),
      vesk_HandsetLoad(kEnv, &load, &loaded, &error, nullptr, at),
      vesk_HandsetSave(kEnv, nullptr, output, &error, u, at),
      vesk_HandsetSave(kEnv, &save, nullptr, &error, u, at),
      vesk_HandsetSave(kEnv, &save, output, nullptr, u, at),
      vesk_HandsetSave(kEnv, &save, output, &error, nullptr, at),
      vesk_handsetActivate(nullptr, &activated, &error, u, at),
      vesk_handsetActivate(&activate, nullptr, &error, u, at),
      vesk_handsetActivate(&activate, &activated, nullptr, u, at),
      vesk_handsetActivate(&activate, &activated, &error, nullptr, at),
  };
  for (const int32_t status : statuses) EXPECT_EQ(status, 0);
  EXPECT_TRUE(Untouched(error));
  EXPECT_TRUE(Untouched(result));
  EXPECT_TRUE(Untouched(downloaded));
  EXPECT_TRUE(Untouched(loaded));
  EXPECT_TRUE(Untouched(activated));
  EXPECT_EQ(beat.entries, nullptr);
  EXPECT_EQ(nobody.Accepted(), 0u);
}

TEST_F(ExportsTest, OverlongTextsStayInsideTheirFields) {
  // Records followed by guard bytes: nothing may be written past a field.
  struct Guarded {
    HandsetError error;
    unsigned char guard[64];
  };
  const std::string longMessage(600, 'm');
  const std::string longStamp(200, 't');
  const Outcome message = AccountWith(Raw(HttpReply(
      500, "E", {{"X-Error-Code", "7"}, {"X-Error-Message", longMessage}},
      "")));
  EXPECT_EQ(std::u16string(message.error.message),
            u" " + std::u16string(254, u'm'));
  EXPECT_TRUE(Untouched(message.error, offsetof(HandsetError, timestamp)));

  FakeServer server({Raw(HttpReply(
      403, "F", {{"X-Error-Code", "906"}, {"X-Server-Timestamp", longStamp}},
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

}  // namespace
}  // namespace vesk
