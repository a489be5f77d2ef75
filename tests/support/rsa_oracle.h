// OpenSSL's libcrypto as an independent implementation for the tests: it
// recovers what the library encrypted with a private key, and digests bytes
// the library's checksums are compared with.
#pragma once

#include <string>
#include <vector>

namespace vesk::test {

// The MD5 digest of bytes as lower-case hexadecimal digits.
std::string Md5Hex(const std::string& bytes);

std::vector<unsigned char> FromBase64(const std::string& text);
// The text of the first element of the name in a key text.
std::string ElementText(const std::string& xml, const std::string& name);
// True when OpenSSL accepts the private key text's components as one
// consistent key: n = p*q, d*e = 1 modulo lcm(p-1, q-1), the CRT values.
bool IsConsistentPrivateKey(const std::string& keyText);
// Recovers base64 ciphertext made with the private exponent of keyText:
// OpenSSL's public operation, then its OAEP (or PKCS #1 v1.5 type 2) check,
// block by block. "<padding error>" when a block does not decode.
std::string RecoverPrivateEncryption(const std::string& keyText,
                                     const std::string& base64, bool oaep);

}  // namespace vesk::test
