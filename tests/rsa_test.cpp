// The RSA facility against published OAEP vectors and OpenSSL's libcrypto:
// generated keys are consistent, and OpenSSL recovers what the facility
// encrypts with the private key.
#include "rsa/rsa.h"

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "tests/support/rsa_oracle.h"

namespace vesk::rsa {
namespace {

using Bytes = std::vector<unsigned char>;
using test::ElementText;
using test::FromBase64;

constexpr auto Recover = test::RecoverPrivateEncryption;

TEST(RsaFacility, PublishedOaepVectorsReproduceByteForByte) {
  std::ifstream file(std::string(VESK_TESTDATA_DIR) +
                     "/rsaes-oaep-sha1-1024.txt");
  ASSERT_TRUE(file.good());
  // "name: value" lines: the key, then each example's message, seed, result.
  std::map<std::string, std::vector<std::string>> values;
  for (std::string line; std::getline(file, line);) {
    const size_t colon = line.find(": ");
    if (line[0] != '#' && colon != std::string::npos) {
      values[line.substr(0, colon)].push_back(line.substr(colon + 2));
    }
  }
  ASSERT_EQ(values["ciphertext"].size(), 6u);
  ASSERT_EQ(values["seed"].size(), 6u);
  const std::string key = values["key"].at(0);
  RsaFacility facility;
  ASSERT_EQ(facility.ImportPrivateKey(key), 1) << facility.LastError();
  facility.SetUseOaepPadding(true);
  // The "strong" source gives the example's seed over and over.
  static Bytes seed;
  platform::Overrides overrides;
  overrides.secureRandom = [](void* buffer, size_t size) {
    for (size_t i = 0; i < size; ++i)
      static_cast<unsigned char*>(buffer)[i] = seed[i % seed.size()];
    return true;
  };
  platform::SetOverrides(overrides);
  for (size_t i = 0; i < 6; ++i) {
    const Bytes message = FromBase64(values["message"].at(i));
    seed = FromBase64(values["seed"][i]);
    EXPECT_EQ(facility.EncryptText(std::string(message.begin(), message.end()),
                                   false),
              values["ciphertext"][i]);
  }
  platform::SetOverrides({});
}

// A generated key is consistent for an independent implementation, which
// recovers what the facility encrypts with it.
TEST(RsaFacility, GeneratedKeyRecoversThroughOpenSsl) {
  RsaFacility facility;
  ASSERT_EQ(facility.GenerateKeyPair(1024), 1) << facility.LastError();
  const std::string key = facility.ExportPrivateKey();
  EXPECT_EQ(facility.ExportPublicKey(),
            "<RSAKeyValue><Modulus>" + ElementText(key, "Modulus") +
                "</Modulus><Exponent>AQAB</Exponent></RSAKeyValue>");
  // Fixed widths: the modulus and D to 128 bytes, the rest to 64.
  const Bytes modulus = FromBase64(ElementText(key, "Modulus"));
  ASSERT_EQ(modulus.size(), 128u);
  EXPECT_GE(modulus[0], 0x80);
  EXPECT_EQ(FromBase64(ElementText(key, "D")).size(), 128u);
  for (const char* half : {"P", "Q", "DP", "DQ", "InverseQ"}) {
    EXPECT_EQ(FromBase64(ElementText(key, half)).size(), 64u) << half;
  }
  EXPECT_EQ(key.find_first_of(" \n\r\t"), std::string::npos);

  // n = p*q, d*e = 1 modulo lcm(p-1, q-1), and the CRT values agree.
  EXPECT_TRUE(test::IsConsistentPrivateKey(key));

  RsaFacility other;
  ASSERT_EQ(other.ImportPrivateKey(key), 1);
  EXPECT_EQ(other.ExportPrivateKey(), key);

  facility.SetUseOaepPadding(true);
  const std::string stamp = "2026-12-5 18:59:59.042";
  const std::string first = facility.EncryptText(stamp, true);
  const std::string second = facility.EncryptText(stamp, true);
  EXPECT_EQ(first.size(), 172u);
  EXPECT_NE(first, second);  // a fresh seed for every block
  EXPECT_EQ(Recover(key, first, true), stamp);
  EXPECT_EQ(Recover(key, second, true), stamp);
  // 100 bytes take two OAEP blocks of at most 86, one of 117 without OAEP.
  const std::string hundred(100, 'h'),
      two = facility.EncryptText(hundred, true);
  EXPECT_EQ(two.size(), 344u);
  EXPECT_EQ(Recover(key, two, true), hundred);
  facility.SetUseOaepPadding(false);
  const std::string legacy = facility.EncryptText(hundred, true);
  EXPECT_EQ(legacy.size(), 172u);
  EXPECT_EQ(Recover(key, legacy, false), hundred);
}

TEST(RsaFacility, FailuresKeepTheKeyHeldBefore) {
  RsaFacility facility;
  facility.SetUseOaepPadding(true);
  EXPECT_EQ(facility.EncryptText("x", false), "");  // no key at all
  ASSERT_EQ(facility.GenerateKeyPair(1024), 1);
  const std::string key = facility.ExportPrivateKey();

  const std::string modulus = ElementText(key, "Modulus");
  const struct {
    std::string text;
    const char* error;
  } broken[] = {
      {"", "No modulus"},
      {"<RSAKeyValue><Modulus>" + modulus +
           "</Modulus><Exponent>AQAB</Exponent><P>AQ==</P></RSAKeyValue>",
       "Invalid Q"},
  };
  for (const auto& b : broken) {
    EXPECT_EQ(facility.ImportPrivateKey(b.text), 0) << b.error;
    EXPECT_EQ(facility.LastError(), b.error);
    EXPECT_EQ(facility.ExportPrivateKey(), key);
  }
  EXPECT_EQ(Recover(key, facility.EncryptText("still", true), true), "still");

  // A public key alone cannot make a private encryption.
  ASSERT_EQ(facility.ImportPublicKey(key), 1);
  EXPECT_EQ(facility.EncryptText("x", true), "");
  EXPECT_EQ(facility.LastError(), "Private key required, but not provided");
  EXPECT_EQ(facility.ExportPrivateKey(), "");
  EXPECT_NE(facility.EncryptText("x", false), "");

  EXPECT_EQ(facility.GenerateKeyPair(256), 0);
  EXPECT_EQ(facility.LastError(), "invalid modulus size");
  EXPECT_EQ(facility.GenerateKeyPair(8192), 0);
  EXPECT_TRUE(facility.HasKey());

  // A random source that fails ends the key search instead of looping.
  platform::Overrides failing;
  failing.secureRandom = [](void*, size_t) { return false; };
  platform::SetOverrides(failing);
  EXPECT_EQ(facility.GenerateKeyPair(1024), 0);
  platform::SetOverrides({});
  EXPECT_EQ(facility.LastError(), "Failed to generate random prime (p)");
  EXPECT_TRUE(facility.HasKey());
}

}  // namespace
}  // namespace vesk::rsa
