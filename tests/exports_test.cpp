// The six exports against a scripted loopback server, and the activation's
// forms, stored key pair (checked by an independent RSA) and reply.
#include <gtest/gtest.h>

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

using namespace test;

const char16_t kEnv[] = u"\\PocketDisk1\\handset.env";
const std::string kOk = "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n";
const std::string kDate = "Sat, 05 Dec 2026 20:18:48 GMT";
const std::string kStamp = "2026-12-5 19:4:5.042";  // every certificate's
// A download of an empty file whose checksum matches; it confirms after.
const std::string kEmptyDownload =
    "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n"
    "X-Checksum: d41d8cd98f00b204e9800998ecf8427e\r\n\r\n";

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
  return "<RSAKeyValue><Modulus>" + ElementText(PrivateKeyText(), "Modulus") +
         "</Modulus><Exponent>AQAB</Exponent></RSAKeyValue>";
}

std::string HeaderOf(const std::string& request, const std::string& name) {
  std::smatch match;
  const std::regex header("\r\n" + name + ": ([^\r]*)\r\n");
  return std::regex_search(request, match, header) ? match[1].str() : "";
}

// The time stamp a request's certificate carries, recovered with the key.
std::string StampOf(const std::string& request,
                    const std::string& key = PublicKeyText()) {
  return RecoverPrivateEncryption(key, HeaderOf(request, "User-Cert"), true);
}

// A fixed clock, and a device root whose environment file holds the stored
// key and identity.
class ExportsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::Overrides overrides;
    overrides.localTime = [](platform::SystemTime* t) {
      *t = {2026, 12, 6, 5, 19, 4, 5, 0};
    };
    overrides.tickCount = [] { return 1041u; };
    platform::SetOverrides(overrides);
    WriteHandsetEnv(root_, "Public-Key: " + PublicKeyText() +
                               "\nPrivate-Key: " + PrivateKeyText() +
                               "\nUser-No: 7\n");
  }
  void TearDown() override { platform::SetOverrides({}); }
  std::string Host(const std::u16string& path) {
    return root_.Host(std::string(path.begin(), path.end()));
  }
  DeviceRoot root_;
};
using ActivationTest = ExportsTest;

// One call against one scripted reply.
template <typename Result>
struct Call {
  int32_t status = 0;
  Result result = Filled<Result>();
  HandsetError error = Filled<HandsetError>();
  std::string request;
  uint16_t port = 0;
};

template <typename Result, typename Export>
Call<Result> Run(std::string reply, Export call) {
  FakeServer server({Raw(std::move(reply))});
  Call<Result> c;
  c.port = server.port();
  c.status = call(&c.result, &c.error, Url(server, "/act").c_str(), c.port);
  const auto requests = server.Requests(1);
  if (!requests.empty()) c.request = requests[0];
  return c;
}

Call<AccountInfoResult> AccountWith(std::string reply) {
  return Run<AccountInfoResult>(std::move(reply), [](auto... args) {
    return vesk_AccountInfo(kEnv, args...);
  });
}

// A 200 reply with a Date header and the body.
std::string Accepted(const std::string& body) {
  return "HTTP/1.1 200 OK\r\nDate: " + kDate +
         "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" +
         body;
}

// Empty key lines keep the key loaded before.
TEST_F(ExportsTest, EmptyKeyLinesKeepTheLoadedKey) {
  ASSERT_EQ(AccountWith(Accepted("<r/>")).status, 200);
  WriteHandsetEnv(root_, "Public-Key: \nPrivate-Key: \n");
  const auto o = AccountWith(Accepted("<r/>"));
  ASSERT_EQ(o.status, 200);
  EXPECT_EQ(StampOf(o.request), kStamp);
}

// Account or user id, user number, user name, email, name, province, gender
// and figure.
using Fields = std::tuple<int32_t, int32_t, std::u16string, std::u16string,
                          std::u16string, std::u16string, int32_t, int32_t>;

TEST_F(ExportsTest, AccountReplyValuesIntoTheRecord) {
  const std::pair<std::string, Fields> cases[] = {
      {"<reply><account id=\"42\"/><username>li</username>"
       "<email>li@example.cn</email><name>Li Si</name><gender>1</gender>"
       "<figure> 3x</figure><province>GD</province></reply>",
       {42, 0, u"li", u"li@example.cn", u"Li Si", u"GD", 1, 3}},
      // The account deeper than a direct child; the shallower email wins.
      {"<r><deep><account id=\"7\"/><email>deep@x</email></deep>"
       "<email>top@x</email></r>",
       {0, 0, u"", u"top@x", u"", u"", 0, 0}},
      // Encoded words in GBK, base64 and quoted-printable.
      {"<r><account id=\"1\"/><name>=?gbk?B?1cXI/Q==?= jr</name>"
       "<province>=?GB2312?Q?=B9=E3=B6=AB?=</province></r>",
       {1, 0, u"", u"", u"张三 jr", u"广东", 0, 0}},
      // Cut by the first receive, so not well formed: nothing.
      {"<r><account id=\"9\"/><username>u</username>" + std::string(960, ' ') +
           "<email>late@x</email></r>",
       {0, 0, u"", u"", u"", u"", 0, 0}},
      // Overlong values are cut on a character boundary.
      {"<r><account id=\"2\"/><username>" + std::string(40, 'u') +
           "</username><email>" + std::string(300, 'e') + "</email><name>" +
           "张张张张张张张张张张张张张张张张张张张张</name><province>"
           "广东广东广东广东广东</province></r>",
       {2, 0, std::u16string(15, u'u'), std::u16string(255, u'e'),
        std::u16string(15, u'张'), u"广东广东广东广", 0, 0}},
  };
  for (const auto& [body, fields] : cases) {
    const auto o = AccountWith(Accepted(body));
    ASSERT_EQ(o.status, 200);
    EXPECT_TRUE(Untouched(o.result, 0, 8));
    const AccountInfoResult& r = o.result;
    EXPECT_EQ(Fields(r.accountId, 0, r.username, r.email, r.name, r.province,
                     r.gender, r.figure),
              fields);
  }
}

TEST_F(ExportsTest, StatusAndErrorMapping) {
  struct Case {
    std::string reply;
    int32_t status, code;
    std::u16string message;
    std::u16string timestamp;  // empty: untouched
  } cases[] = {
      {HttpReply(403, "F",
                 {{"X-Error-Code", "906"},
                  {"X-Error-Message", std::string(600, 'm')},
                  {"X-Server-Timestamp", std::string(200, 't')}},
                 ""),
       403, 906, u" " + std::u16string(254, u'm'),
       u" " + std::u16string(62, u't')},
      // No code: the message value, then the body.
      {HttpReply(404, "E", {{"X-Error-Message", "m"}}, "<html/>"), 404, 0,
       u" m<html/>", u""},
      // The utility time stamps are the activation's alone; the message is
      // found in the body bytes too.
      {HttpReply(403, "F", {{"X-Error-Code", "914"}, {"X-Util-Timestamp", "t"}},
                 "X-Error-Message: from body\r\nmore"),
       403, 914, u" from body", u""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.reply.substr(0, 40));
    const auto o = AccountWith(c.reply);
    EXPECT_EQ(o.status, c.status);
    EXPECT_EQ(o.error.code, c.code);
    EXPECT_EQ(std::u16string(o.error.message), c.message);
    if (c.timestamp.empty()) {
      EXPECT_TRUE(Untouched(o.error, offsetof(HandsetError, timestamp)));
    } else {
      EXPECT_EQ(std::u16string(o.error.timestamp), c.timestamp);
    }
    EXPECT_TRUE(Untouched(o.error, 0, 8));  // the two leading words
    EXPECT_TRUE(Untouched(o.result));       // a refusal never touches it
  }
}

// Refused URLs and null pointers reach no server and touch no record; then
// every operation sends the stored identity, and all but the heartbeat a
// certificate of the stored key.
TEST_F(ExportsTest, EveryOperationRefusesBadArgumentsAndCarriesTheIdentity) {
  FakeServer server({Raw(kOk), Raw(kEmptyDownload), Raw(kOk), Raw(kOk),
                     Raw(kOk), Raw(kOk), Raw(kOk)});
  const uint16_t at = server.port();
  const std::string root = "http://127.0.0.1:" + std::to_string(at);
  std::u16string wideLong = U16(root + "/");
  for (int i = 0; i < 124; ++i) wideLong += u"中";  // 248 bytes in GBK
  const std::pair<std::u16string, const char*> cases[] = {
      {U16("https" + root.substr(4) + "/a"), "http://"},
      {U16(root), "path"},
      {u"http:///a", "host"},
      {U16(root + "/" + std::string(300, 'a')), "255"},
      {wideLong, "255"},
      {U16(root + "/" + std::string(254 - root.size(), 'p')), nullptr},
  };
  for (const auto& [url, mentions] : cases) {
    auto result = Filled<AccountInfoResult>();
    auto error = Filled<HandsetError>();
    EXPECT_EQ(vesk_AccountInfo(kEnv, &result, &error, url.c_str(), at),
              mentions ? 0 : 200);
    if (mentions) {
      EXPECT_NE(std::u16string(error.message).find(U16(mentions)),
                std::u16string::npos);
    }
  }

  const std::u16string address = U16(root + "/n");
  const vesk_char16* path = u"\\d.bin";
  auto error = Filled<HandsetError>();
  auto account = Filled<AccountInfoResult>();
  HandsetBeatResult beat{};
  // A key that fills its field (no terminator), in the ANSI code page: cut
  // on a character boundary to the 255 bytes it can hold.
  DownloadRecord record{};
  const std::u16string key = u"item 7/中" + std::u16string(248, u'k');
  std::copy(key.begin(), key.end(), record.contentKey);
  auto downloaded = Filled<DownloadResult>();
  LoadRecord load{};
  auto loaded = Filled<LoadResult>();
  HandsetSaveInput save{};
  vesk_char16 output[1025];
  HandsetActivateInput activate{};
  auto activated = Filled<HandsetActivateResult>();
  for (int n = 0; n < 6; ++n) {  // argument n is null
    const auto p = [n](int i, auto* given) { return i == n ? nullptr : given; };
    const vesk_char16* u = address.c_str();
    int32_t statuses = vesk_HandsetDownload(
        kEnv, p(0, &record), p(1, &downloaded), p(2, &error), p(3, path),
        p(4, u), at, p(5, u), at);
    if (n < 3) {
      statuses +=
          vesk_AccountInfo(kEnv, p(0, &account), p(1, &error), p(2, u), at) +
          vesk_HandsetBeat(kEnv, p(0, &beat), p(1, &error), p(2, u), at);
    }
    if (n < 4) {
      statuses += vesk_HandsetLoad(kEnv, p(0, &load), p(1, &loaded),
                                   p(2, &error), p(3, u), at) +
                  vesk_HandsetSave(kEnv, p(0, &save), p(1, output),
                                   p(2, &error), p(3, u), at) +
                  vesk_handsetActivate(p(0, &activate), p(1, &activated),
                                       p(2, &error), p(3, u), at);
    }
    EXPECT_EQ(statuses, 0) << n;
  }
  EXPECT_TRUE(Untouched(error));

  // The other operations refuse a malformed URL too; the download also its
  // confirmation URL, named as such.
  const vesk_char16* bad = cases[0].first.c_str();
  const vesk_char16* u = address.c_str();
  HandsetError scratch;  // the download clears it whole
  for (const int32_t status :
       {vesk_HandsetBeat(kEnv, &beat, &error, bad, at),
        vesk_HandsetLoad(kEnv, &load, &loaded, &error, bad, at),
        vesk_HandsetSave(kEnv, &save, output, &error, bad, at),
        vesk_handsetActivate(&activate, &activated, &error, bad, at),
        vesk_HandsetDownload(kEnv, &record, &downloaded, &scratch, path, bad,
                             at, u, at),
        vesk_HandsetDownload(kEnv, &record, &downloaded, &scratch, path, u, at,
                             bad, at)}) {
    EXPECT_EQ(status, 0);
  }
  EXPECT_EQ(std::u16string(scratch.message),
            u"the confirmation URL: the URL does not begin with http://");
  EXPECT_EQ(server.Accepted(), 1u);
  EXPECT_TRUE(Untouched(account));
  EXPECT_TRUE(Untouched(loaded));
  EXPECT_TRUE(Untouched(activated));

  error = Filled<HandsetError>();
  for (const int32_t status :
       {vesk_HandsetDownload(kEnv, &record, &downloaded, &scratch, path,
                             Url(server, "/d").c_str(), at,
                             Url(server, "/done").c_str(), at),
        vesk_HandsetSave(kEnv, &save, output, &scratch,
                         Url(server, "/save").c_str(), at),
        vesk_AccountInfo(kEnv, &account, &error,
                         Url(server, "/account?v=1").c_str(), at),
        vesk_HandsetBeat(kEnv, &beat, &error, Url(server, "/b").c_str(), at),
        vesk_HandsetLoad(kEnv, &load, &loaded, &error,
                         Url(server, "/load").c_str(), at)}) {
    EXPECT_EQ(status, 200);
  }
  delete[] beat.entries;
  // A success leaves the error record alone; the load, which had no archive
  // path to receive into, says so with code 0.
  EXPECT_TRUE(Untouched(error, 0, offsetof(HandsetError, code)));
  EXPECT_TRUE(Untouched(error, offsetof(HandsetError, timestamp)));
  EXPECT_EQ(error.code, 0);
  EXPECT_EQ(std::u16string(error.message),
            u"the data file or the state file could not be made");
  const auto requests = server.Requests(7);
  ASSERT_EQ(requests.size(), 7u);
  EXPECT_NE(requests[1].find("\r\n\r\nkey=item+7%2F%D6%D0" +
                             std::string(246, 'k') + "\r\n"),
            std::string::npos);
  EXPECT_EQ(
      WithoutCertificate(requests[4]),
      "GET /account?v=1 HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(at) +
          "\r\nAccept: */*\r\nUser-Agent: TestAgent/1\r\n"
          "Connection: Keep-Alive\r\nUser-Serial: SN-9\r\nUser-Cert: "
          "\r\nUser-ID: 42\r\n\r\n");
  for (const size_t i : {1, 2, 3, 4, 6})
    EXPECT_EQ(StampOf(requests[i]), kStamp);
  EXPECT_EQ(requests[5].find("User-Cert"), std::string::npos);
}

// A base64 text as a form value: "+", "/" and "=" escaped.
std::string FormEncoded(std::string text) {
  for (size_t at; (at = text.find_first_of("+/=")) != std::string::npos;) {
    text.replace(at, 1,
                 text[at] == '+'   ? "%2B"
                 : text[at] == '/' ? "%2F"
                                   : "%3D");
  }
  return text;
}

const std::string kAccount =
    "<reply><account id=\"12\"><user-id>34</user-id></account>"
    "<profile><user-no>5</user-no><username>bob</username>"
    "<email>b@x.cn</email><name>=?gb2312?B?1cU=?=</name>"
    "<province>=?gb2312?Q?=B1=B1?=</province><gender>1</gender>"
    "<figure>-7</figure></profile></reply>";

HandsetActivateInput Input(int32_t mode, const std::u16string& path) {
  HandsetActivateInput input{{},     mode, u"Act/1", u"S2", u"u", u"p w", u"张",
                             u"a@b", u"p", u"v",     u"b",  {},   0,      -3};
  Put(input.environmentPath, path);
  return input;
}

Call<HandsetActivateResult> Activate(const HandsetActivateInput& input,
                                     std::string reply) {
  return Run<HandsetActivateResult>(std::move(reply), [&](auto... args) {
    return vesk_handsetActivate(&input, args...);
  });
}

// The exact request per mode; mode 3 runs last, without an environment file:
// so without the stored identity. A reply without an account stores nothing.
TEST_F(ActivationTest, ExactFormOfEveryModeWithAndWithoutAnEnvironmentFile) {
  const std::string identityFields[] = {
      "",
      "&name=%D5%C5&gender=0&email=a%40b&figure=%2D3&province=p",
      "&validation=v&bom=b",
      "",
      "&validation=v&name=%D5%C5&gender=0&email=a%40b&figure=%2D3&province=p"
      "&bom=b",
      ""};
  for (const int32_t mode : {1, 2, 4, 5, 3}) {
    const bool withFile = mode != 3;
    if (!withFile) std::remove(Host(kEnv).c_str());
    const std::string before = ReadHostFile(Host(kEnv));
    const auto a = Activate(Input(mode, kEnv), Accepted("<r/>"));
    ASSERT_EQ(a.status, 200);
    std::string form = "username=u&password=p+w" + identityFields[mode];
    if (mode == 2 || mode == 4) {  // the pair the facility holds now
      form += "&modulus=" +
              FormEncoded(
                  ElementText(rsa::Facility().ExportPublicKey(), "Modulus")) +
              "&exponent=AQAB";
    }
    const std::string identity =
        withFile ? "User-ID: 42\r\nUser-NO: 7\r\nUser-Cert: " +
                       HeaderOf(a.request, "User-Cert") + "\r\n"
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
    EXPECT_EQ(withFile ? StampOf(a.request) : kStamp, kStamp);
    EXPECT_EQ(ReadHostFile(Host(kEnv)), before);
    EXPECT_EQ(HostFileExists(Host(kEnv)), withFile);
    EXPECT_TRUE(Untouched(a.error));
  }
}

// Caller fields without a terminator are read no further than the field.
TEST_F(ActivationTest, UnterminatedFieldsAreReadNoFurther) {
  auto input = Input(4, u"");
  std::fill_n(reinterpret_cast<char16_t*>(&input.userAgent),
              (offsetof(HandsetActivateInput, gender) -
               offsetof(HandsetActivateInput, userAgent)) /
                  2,
              u'x');
  const auto a = Activate(input, kOk);
  EXPECT_EQ(a.status, 200);
  const std::string x15(15, 'x'), x255(255, 'x');
  EXPECT_NE(a.request.find("User-Agent: " + x255 + "\r\n"), std::string::npos);
  EXPECT_NE(a.request.find("User-Serial: " + x255 + "\r\n"), std::string::npos);
  EXPECT_NE(a.request.find(
                "username=" + x15 + "&password=" + x255 + "&validation=" + x15 +
                "&name=" + x15 + "&gender=0&email=" + x255 +
                "&figure=%2D3&province=" + x15 + "&bom=" + x15 + "&modulus="),
            std::string::npos);
}

// Modes 2 and 4 store the registered pair and the identity, at the path
// given or the default one; a later activation proves the stored identity
// and replaces the pair with its own.
TEST_F(ActivationTest, KeyedModesStoreTheRegisteredPairAndIdentity) {
  std::string stored;  // the public key the file held before the call
  const std::pair<int32_t, std::u16string> calls[] = {
      {2, u"\\PocketDisk1\\other.env"}, {4, u""}, {2, kEnv}};
  for (const auto& [mode, path] : calls) {
    const std::u16string written = path.empty() ? kEnv : path;
    const auto a = Activate(Input(mode, path), Accepted(kAccount));
    ASSERT_EQ(a.status, 200);
    EXPECT_EQ(HeaderOf(a.request, "User-ID"), stored.empty() ? "" : "34");
    EXPECT_EQ(HeaderOf(a.request, "User-NO"), stored.empty() ? "" : "5");
    EXPECT_EQ(stored.empty() ? kStamp : StampOf(a.request, stored), kStamp);

    const std::string file = ReadHostFile(Host(written));
    std::smatch m;
    ASSERT_TRUE(std::regex_match(
        file, m,
        std::regex("User-Agent: Act/1\nPublic-Key: (.*)\nPrivate-Key: (.*)\n"
                   "User-Serial: S2\nUser-Id: 34\nUser-No: 5\n")))
        << file;
    // The pair registered (the form) is the pair stored, and a new one.
    const std::string publicKey = m[1], privateKey = m[2];
    EXPECT_TRUE(IsConsistentPrivateKey(privateKey));
    const std::string modulus = ElementText(publicKey, "Modulus");
    EXPECT_EQ(FromBase64(modulus).size(), 128u);
    EXPECT_EQ(ElementText(privateKey, "Modulus"), modulus);
    EXPECT_NE(a.request.find("&modulus=" + FormEncoded(modulus) +
                             "&exponent=AQAB\r\n"),
              std::string::npos);
    EXPECT_NE(modulus, ElementText(stored, "Modulus"));
    stored = written == kEnv ? publicKey : "";
  }
}

// What a reply leaves: the account fields (or none written), the server
// date, the error record, and the environment file, which only an accepted
// keyed mode with a positive account id replaces.
TEST_F(ActivationTest, ReplyIntoTheResultTheErrorRecordAndTheFile) {
  const std::string before = ReadHostFile(Host(kEnv));
  const auto refusal = [](const std::string& code) {
    return "HTTP/1.1 403 F\r\nDate: " + kDate + "\r\nX-Error-Code: " + code +
           "\r\nX-Error-Message: no\r\nX-Util-Timestamp: util-time\r\n"
           "X-Server-Timestamp: server-time\r\n\r\n" +
           kAccount;
  };
  const auto fieldsOf = [](const HandsetActivateResult& r) {
    return Fields(r.userId, r.userNo, r.username, r.email, r.name, r.province,
                  r.gender, r.figure);
  };
  const Fields none(0, 0, u"", u"", u"", u"", 0, 0);
  struct Case {
    int32_t mode;
    std::string reply;
    std::optional<Fields> account;  // none: the fields untouched
    int32_t code;                   // -1: the error record untouched
    std::u16string timestamp;       // empty: untouched
  } cases[] = {
      {1, Accepted(kAccount), {}, -1, u""},
      {5, Accepted(kAccount), {}, -1, u""},
      {3, Accepted(kAccount),
       Fields(34, 5, u"bob", u"b@x.cn", u"张", u"北", 1, -7), -1, u""},
      // No positive account id: it is the user id, and nothing is stored.
      {2, Accepted("<r><account id=\"0\"/><user-id>34</user-id></r>"), none, -1,
       u""},
      {2, Accepted("<r><account id=\"-3\"/></r>"),
       Fields(-3, 0, u"", u"", u"", u"", 0, 0), -1, u""},
      {2, Accepted("<r><x><account id=\"12\"/></x></r>"), none, -1, u""},
      {2, Accepted("<r><account id=\"12\">"), none, -1, u""},
      {2, refusal("901"), {}, 901, u""},
      {4, refusal("914"), {}, 914, u" util-time"},
      {4, refusal("915"), {}, 915, u" util-time"},
      {4, refusal("906"), {}, 906, u" server-time"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.reply);
    const auto a = Activate(Input(c.mode, kEnv), c.reply);
    EXPECT_EQ(a.status, c.code < 0 ? 200 : 403);
    EXPECT_EQ(std::u16string(a.result.serverDate), U16(" " + kDate));
    EXPECT_TRUE(Untouched(a.result, 0, 8));
    if (c.account) {
      EXPECT_EQ(fieldsOf(a.result), *c.account);
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
    EXPECT_EQ(ReadHostFile(Host(kEnv)), before);
  }

  // Without "user-id" the account id stays; values too long for their
  // fields are cut to fit, and so is a long date.
  const std::string x40(40, 'x'), y300(300, 'y');
  const auto cut = Activate(
      Input(3, kEnv),
      "HTTP/1.1 200 OK\r\nDate: " + x40 + "\r\n\r\n<r><account id=\"12\"/>" +
          "<username>" + x40 + "</username><email>" + y300 + "</email>" +
          "<name>" + x40 + "</name><province>" + x40 + "</province></r>");
  ASSERT_EQ(cut.status, 200);
  EXPECT_EQ(std::u16string(cut.result.serverDate),
            U16(" " + x40.substr(0, 30)));
  const std::u16string x15 = U16(x40.substr(0, 15));
  EXPECT_EQ(fieldsOf(cut.result),
            Fields(12, 0, x15, U16(y300.substr(0, 255)), x15, x15, 0, 0));
}

}  // namespace
}  // namespace vesk
