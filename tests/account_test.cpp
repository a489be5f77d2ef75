// Account information end to end: the request with a certificate that an
// independent implementation verifies, and the reply read into the record.
#include <gtest/gtest.h>

#include <cstring>
#include <regex>
#include <string>

#include "platform/platform.h"
#include "rsa/rsa.h"
#include "service/vesk80.h"
#include "tests/support/device_root.h"
#include "tests/support/fake_server.h"
#include "tests/support/rsa_oracle.h"

namespace vesk {
namespace {

using test::FakeServer;
using test::Raw;
using test::U16;

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

std::string Repeat(const std::string& text, int times) {
  std::string out;
  for (int i = 0; i < times; ++i) out += text;
  return out;
}

std::string Reply(const std::string& body) {
  return "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) +
         "\r\n\r\n" + body;
}

class AccountInfoTest : public ::testing::Test {
 protected:
  void WriteEnvironment(const std::string& publicKey,
                        const std::string& privateKey) {
    test::WriteHostFile(root_.Host("\\PocketDisk1\\handset.env"),
                        "User-Agent: Acct/1\nPublic-Key: " + publicKey +
                            "\nPrivate-Key: " + privateKey +
                            "\nUser-Serial: SN\nUser-Id: 5\nUser-No: 1\n");
  }

  int32_t Call(const std::string& reply, AccountInfoResult* result,
               std::string* request = nullptr) {
    return Call(Raw(reply), result, request);
  }
  int32_t Call(test::Reply reply, AccountInfoResult* result,
               std::string* request = nullptr) {
    FakeServer server({std::move(reply)});
    HandsetError error{};
    const std::u16string url =
        U16("http://127.0.0.1:" + std::to_string(server.port()) + "/acct");
    const int32_t status =
        vesk_AccountInfo(kEnv, result, &error, url.c_str(), server.port());
    const auto requests = server.Requests(1);
    if (request != nullptr && !requests.empty()) *request = requests[0];
    return status;
  }

  test::DeviceRoot root_;
};

std::string CertificateOf(const std::string& request) {
  std::smatch match;
  const std::regex header("\r\nUser-Cert: ([^\r]*)\r\n");
  return std::regex_search(request, match, header) ? match[1].str() : "";
}

TEST_F(AccountInfoTest, RequestCarriesACertificateOfTheStoredKey) {
  WriteEnvironment(PublicKeyText(), PrivateKeyText());
  static uint32_t ticks = 1041;
  platform::Overrides overrides;
  overrides.localTime = [](platform::SystemTime* t) {
    *t = {2026, 12, 6, 5, 19, 4, 5, 0};
  };
  overrides.tickCount = [] { return ticks; };
  platform::SetOverrides(overrides);

  AccountInfoResult result{};
  std::string request;
  ASSERT_EQ(Call(Reply("<r/>"), &result, &request), 200);
  const std::string certificate = CertificateOf(request);
  ASSERT_EQ(certificate.size(), 172u);
  EXPECT_EQ(
      std::regex_replace(request, std::regex("User-Cert: [^\r]*"),
                         "User-Cert: C"),
      "GET /acct HTTP/1.1\r\nHost: 127.0.0.1:" +
          request.substr(request.find(':', 30) + 1,
                         request.find("\r\n", 30) - request.find(':', 30) - 1) +
          "\r\nAccept: */*\r\nUser-Agent: Acct/1\r\n"
          "Connection: Keep-Alive\r\nUser-Serial: SN\r\nUser-Cert: C\r\n"
          "User-ID: 5\r\n\r\n");
  EXPECT_EQ(test::RecoverPrivateEncryption(PublicKeyText(), certificate, true),
            "2026-12-5 19:4:5.042");

  // The same second, a new certificate: the padding's seed differs.
  std::string again;
  ASSERT_EQ(Call(Reply("<r/>"), &result, &again), 200);
  EXPECT_NE(CertificateOf(again), certificate);

  // Empty key lines keep the key loaded before.
  WriteEnvironment("", "");
  ASSERT_EQ(Call(Reply("<r/>"), &result, &again), 200);
  EXPECT_EQ(test::RecoverPrivateEncryption(PublicKeyText(),
                                           CertificateOf(again), true),
            "2026-12-5 19:4:5.042");
  platform::SetOverrides({});
}

TEST_F(AccountInfoTest, ReplyValuesIntoTheRecord) {
  WriteEnvironment(PublicKeyText(), PrivateKeyText());
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
    AccountInfoResult result;
    std::memset(&result, 0x5A, sizeof result);
    ASSERT_EQ(Call(Reply(c.body), &result), 200);
    EXPECT_EQ(result.reserved[0], 0x5A5A5A5A);
    EXPECT_EQ(result.accountId, c.accountId);
    EXPECT_EQ(std::u16string(result.username), c.username);
    EXPECT_EQ(std::u16string(result.email), c.email);
    EXPECT_EQ(std::u16string(result.name), c.name);
    EXPECT_EQ(std::u16string(result.province), c.province);
    EXPECT_EQ(result.gender, c.gender);
    EXPECT_EQ(result.figure, c.figure);
  }
}

// A reply that arrives in pieces, cut anywhere in its head or body, fills
// the record exactly as the whole reply does.
TEST_F(AccountInfoTest, ReplyInPiecesFillsTheRecordAsAWholeOne) {
  WriteEnvironment(PublicKeyText(), PrivateKeyText());
  const std::string whole = Reply(
      "<reply><account id=\"42\"/><username>li</username><email>li@x</email>"
      "<name>=?gbk?B?1cXI/Q==?=</name><province>GD</province>"
      "<gender>1</gender><figure>3</figure></reply>");
  AccountInfoResult want;
  std::memset(&want, 0x5A, sizeof want);
  ASSERT_EQ(Call(whole, &want), 200);
  EXPECT_EQ(want.accountId, 42);
  EXPECT_EQ(std::u16string(want.name), u"张三");
  const size_t head = whole.find("\r\n\r\n") + 4;
  for (const size_t cut :
       {size_t{1}, size_t{12}, head - 2, head, head + 30, whole.size() - 1}) {
    SCOPED_TRACE(cut);
    AccountInfoResult got;
    std::memset(&got, 0x5A, sizeof got);
    ASSERT_EQ(
        Call(test::Pieces({whole.substr(0, cut), whole.substr(cut)}, 20), &got),
        200);
    EXPECT_EQ(std::memcmp(&got, &want, sizeof got), 0);
  }
}

}  // namespace
}  // namespace vesk
