// Handset activation end to end against a scripted loopback server: the
// exact form of every mode, the identity headers of an existing environment
// file, the key pair registered and stored (checked with an independent RSA
// implementation), the reply read into the result record, the error record,
// and the stored identity used by the other operations afterwards.
#include <gtest/gtest.h>

#include <cctype>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <tuple>
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

using test::FakeServer;
using test::Filled;
using test::HttpReply;
using test::kFill;
using test::Raw;
using test::U16;
using test::Untouched;
using test::Url;

const char16_t kEnv[] = u"\\PocketDisk1\\handset.env";
const char16_t kOtherEnv[] = u"\\PocketDisk1\\other.env";
const std::string kOk = "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n";
const std::string kDate = "Sat, 05 Dec 2026 20:18:48 GMT";
// The time stamp every certificate of these tests carries.
const std::string kStamp = "2026-12-5 19:4:5.042";

// A stored key pair made once for the whole file, independent of the pairs
// that activations generate.
const std::string& StoredPrivateKey() {
  static const std::string text = [] {
    rsa::RsaFacility facility;
    EXPECT_EQ(facility.GenerateKeyPair(1024), 1);
    return facility.ExportPrivateKey();
  }();
  return text;
}

std::string StoredPublicKey() {
  return "<RSAKeyValue><Modulus>" +
         test::ElementText(StoredPrivateKey(), "Modulus") +
         "</Modulus><Exponent>AQAB</Exponent></RSAKeyValue>";
}

// Letters and digits stay, every other byte becomes "%XX".
std::string FormEncoded(const std::string& text) {
  std::string out;
  for (const unsigned char c : text) {
    if (std::isalnum(c) != 0) {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += "0123456789ABCDEF"[c >> 4];
      out += "0123456789ABCDEF"[c & 15];
    }
  }
  return out;
}

std::string Utf8(const char16_t* text) {
  std::string out;
  for (; *text != 0; ++text) out += static_cast<char>(*text);
  return out;
}

std::string HeaderOf(const std::string& request, const std::string& name) {
  std::smatch match;
  const std::regex header("\r\n" + name + ": ([^\r]*)\r\n");
  return std::regex_search(request, match, header) ? match[1].str() : "";
}

// The form value of a field in a request's body.
std::string FieldOf(const std::string& request, const std::string& name) {
  std::smatch match;
  const std::regex field("[&\n]" + name + "=([^&\r]*)");
  return std::regex_search(request, match, field) ? match[1].str() : "";
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

void Set(char16_t* field, const std::u16string& text) {
  std::copy(text.begin(), text.end(), field);
  field[text.size()] = 0;
}

HandsetActivateInput Input(int32_t mode, const std::u16string& path) {
  auto input = Filled<HandsetActivateInput>();
  input.mode = mode;
  Set(input.userAgent, u"Act/1");
  Set(input.userSerial, u"S2");
  Set(input.username, u"u");
  Set(input.password, u"p w");
  Set(input.name, u"张");
  Set(input.email, u"a@b");
  Set(input.province, u"p");
  Set(input.validation, u"v");
  Set(input.bom, u"b");
  Set(input.environmentPath, path);
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

Activation Activate(const HandsetActivateInput& input, test::Reply reply) {
  FakeServer server({std::move(reply)});
  Activation a;
  a.port = server.port();
  a.status = vesk_handsetActivate(&input, &a.result, &a.error,
                                  Url(server, "/act").c_str(), server.port());
  const auto requests = server.Requests(1);
  if (!requests.empty()) a.request = requests[0];
  return a;
}

Activation Activate(const HandsetActivateInput& input, std::string reply) {
  return Activate(input, Raw(std::move(reply)));
}

class ActivationTest : public ::testing::Test {
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

  std::string Host(const char16_t* path) { return root_.Host(Utf8(path)); }
  void WriteStoredEnvironment(const char16_t* path) {
    test::WriteHostFile(Host(path),
                        "User-Agent: Old/1\nPublic-Key: " + StoredPublicKey() +
                            "\nPrivate-Key: " + StoredPrivateKey() +
                            "\nUser-Serial: OLD\nUser-Id: 42\nUser-No: 7\n");
  }
  // The environment file's lines as (key, value) pairs.
  std::vector<std::pair<std::string, std::string>> Lines(const char16_t* path) {
    std::vector<std::pair<std::string, std::string>> lines;
    std::istringstream text(test::ReadHostFile(Host(path)));
    for (std::string line; std::getline(text, line);) {
      const size_t colon = line.find(": ");
      lines.emplace_back(line.substr(0, colon), line.substr(colon + 2));
    }
    return lines;
  }

  test::DeviceRoot root_;
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
        EXPECT_NE(modulus, test::ElementText(StoredPublicKey(), "Modulus"));
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
      if (withFile) ExpectCertificateOf(StoredPublicKey(), a.request);
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

    const auto lines = Lines(written);
    ASSERT_EQ(lines.size(), 6u);
    const std::string keys[] = {"User-Agent",  "Public-Key", "Private-Key",
                                "User-Serial", "User-Id",    "User-No"};
    for (size_t i = 0; i < 6; ++i) EXPECT_EQ(lines[i].first, keys[i]);
    EXPECT_EQ(lines[0].second, "Act/1");
    EXPECT_EQ(lines[3].second, "S2");
    EXPECT_EQ(lines[4].second, "34");
    EXPECT_EQ(lines[5].second, "5");
    const std::string& publicKey = lines[1].second;
    const std::string& privateKey = lines[2].second;
    EXPECT_TRUE(test::IsConsistentPrivateKey(privateKey));
    const std::string modulus = test::ElementText(publicKey, "Modulus");
    EXPECT_EQ(test::FromBase64(modulus).size(), 128u);
    EXPECT_EQ(test::ElementText(privateKey, "Modulus"), modulus);
    EXPECT_EQ(test::ElementText(publicKey, "Exponent"), "AQAB");
    if (!stored.empty()) {
      EXPECT_NE(modulus, test::ElementText(stored, "Modulus"));
    }
    // The form registered exactly the stored key.
    EXPECT_EQ(FieldOf(a.request, "modulus"), FormEncoded(modulus));
    EXPECT_EQ(FieldOf(a.request, "exponent"), "AQAB");
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
      {4, refusal("903"), {}, 903, u""},
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
