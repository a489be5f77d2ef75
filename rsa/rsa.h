// The RSA facility: generates the handset's key pair, exports and imports
// keys as RSAKeyValue XML text, and encrypts a text with the public or the
// private exponent (RSAES-OAEP with SHA-1, or PKCS #1 v1.5 block type 2),
// giving base64 text.
//
// One process-wide object holds the current key and the settings. Every
// operation runs under the object's own lock. Random bytes (prime
// candidates, OAEP seeds, padding) come from the platform's strong source,
// which tests can replace with a deterministic one.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

namespace vesk::rsa {

class RsaFacility {
 public:
  RsaFacility();
  ~RsaFacility();
  RsaFacility(const RsaFacility&) = delete;
  RsaFacility& operator=(const RsaFacility&) = delete;

  // Replaces the key by a new private key of the given size (512 to 4096
  // bits) with public exponent 65537. 1 on success, 0 on failure (the key
  // held before stays).
  int32_t GenerateKeyPair(int32_t bits);

  // The current key as one line of RSAKeyValue text; empty without a key (or
  // without a private key, for ExportPrivateKey).
  std::string ExportPublicKey() const;
  std::string ExportPrivateKey() const;

  // Replace the key by the one in the text: 1 on success; 0 when an element
  // is missing or does not decode, and the key held before stays.
  int32_t ImportPublicKey(std::string_view text);
  int32_t ImportPrivateKey(std::string_view text);

  // Encrypts the text's bytes in blocks of the largest size the padding
  // allows and returns the base64 of the concatenated blocks; empty on
  // failure (no key, no private key when one is required, random source
  // failed).
  std::string EncryptText(std::string_view text, bool usePrivateKey) const;

  void SetUseOaepPadding(bool on);
  // "base64" is the only encoding offered; other names are refused.
  bool SetOutputEncoding(std::string_view name);

  // True when the facility holds a key (with the private part).
  bool HasKey() const;
  bool HasPrivateKey() const;
  // The diagnostic text of the last failure ("" after a success).
  std::string LastError() const;

 private:
  struct Key;
  int32_t Import(std::string_view text, bool withPrivate);
  int32_t Fail(const char* message) const;
  std::string FailText(const char* message) const;

  mutable std::mutex lock_;
  std::unique_ptr<Key> key_;
  bool useOaep_ = false;
  mutable std::string lastError_;
};

// The process's facility, created on first use and kept until unload.
RsaFacility& Facility();

}  // namespace vesk::rsa
