// OpenSSL's public operation and padding checks, for the tests.
#define OPENSSL_SUPPRESS_DEPRECATED
#include "tests/support/rsa_oracle.h"

#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>

#include <algorithm>
#include <memory>
#include <regex>

namespace vesk::test {

namespace {

using Bytes = std::vector<unsigned char>;

struct BnDeleter {
  void operator()(BIGNUM* n) const { BN_free(n); }
};
using Bn = std::unique_ptr<BIGNUM, BnDeleter>;

Bn Number(const std::string& xml, const std::string& name) {
  const Bytes bytes = FromBase64(ElementText(xml, name));
  return Bn(BN_bin2bn(bytes.data(), static_cast<int>(bytes.size()), nullptr));
}

}  // namespace

std::vector<unsigned char> FromBase64(const std::string& text) {
  Bytes out(text.size() + 3);
  const int size = EVP_DecodeBlock(
      out.data(), reinterpret_cast<const unsigned char*>(text.data()),
      static_cast<int>(text.size()));
  if (size < 0) return {};
  size_t padding = 0;
  for (auto it = text.rbegin(); it != text.rend() && *it == '='; ++it) {
    ++padding;
  }
  out.resize(static_cast<size_t>(size) - std::min<size_t>(padding, size));
  return out;
}

std::string ElementText(const std::string& xml, const std::string& name) {
  const std::regex pattern("<" + name + ">([^<]*)</" + name + ">");
  std::smatch match;
  return std::regex_search(xml, match, pattern) ? match[1].str() : "";
}

bool IsConsistentPrivateKey(const std::string& keyText) {
  RSA* rsa = RSA_new();
  const bool set =
      RSA_set0_key(rsa, Number(keyText, "Modulus").release(),
                   Number(keyText, "Exponent").release(),
                   Number(keyText, "D").release()) == 1 &&
      RSA_set0_factors(rsa, Number(keyText, "P").release(),
                       Number(keyText, "Q").release()) == 1 &&
      RSA_set0_crt_params(rsa, Number(keyText, "DP").release(),
                          Number(keyText, "DQ").release(),
                          Number(keyText, "InverseQ").release()) == 1;
  const bool consistent = set && RSA_check_key(rsa) == 1;
  RSA_free(rsa);
  return consistent;
}

std::string RecoverPrivateEncryption(const std::string& keyText,
                                     const std::string& base64, bool oaep) {
  const Bytes cipher = FromBase64(base64);
  RSA* rsa = RSA_new();
  RSA_set0_key(rsa, Number(keyText, "Modulus").release(),
               Number(keyText, "Exponent").release(), nullptr);
  const int k = RSA_size(rsa);
  std::string text;
  for (size_t at = 0; at + k <= cipher.size(); at += k) {
    Bytes block(k), plain(k);
    // The raw public operation: the block as the private key encrypted it.
    RSA_public_decrypt(k, cipher.data() + at, block.data(), rsa,
                       RSA_NO_PADDING);
    const int size =
        oaep ? RSA_padding_check_PKCS1_OAEP(plain.data(), k, block.data() + 1,
                                            k - 1, k, nullptr, 0)
             : RSA_padding_check_PKCS1_type_2(plain.data(), k, block.data() + 1,
                                              k - 1, k);
    if (size < 0) {
      text = "<padding error>";
      break;
    }
    text.append(plain.begin(), plain.begin() + size);
  }
  RSA_free(rsa);
  return text;
}

std::string Md5Hex(const std::string& bytes) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  EVP_Digest(bytes.data(), bytes.size(), digest, &size, EVP_md5(), nullptr);
  static constexpr char kHex[] = "0123456789abcdef";
  std::string hex;
  for (unsigned int i = 0; i < size; ++i) {
    hex += kHex[digest[i] >> 4];
    hex += kHex[digest[i] & 15];
  }
  return hex;
}

}  // namespace vesk::test
