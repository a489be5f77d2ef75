// The RSA facility over LibTomMath, with SHA-1 and base64 from LibTomCrypt.
//
// Map of this file:
//   BigInt        a move-free owner of one mp_int
//   Key           the numbers of a key
//   primes        candidate drawing, trial division, Miller-Rabin
//   padding       EME-OAEP (SHA-1, MGF1, empty label), PKCS #1 v1.5 type 2
//   key text      RSAKeyValue export and import
//   RsaFacility   the operations under the lock
#include "rsa/rsa.h"

#include <tomcrypt.h>
#include <tommath.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

#include "platform/platform.h"
#include "xml/xml.h"

namespace vesk::rsa {

namespace {

using Bytes = std::vector<unsigned char>;

// The owner of one LibTomMath number; cleared (and its digits wiped by the
// library) when it goes.
class BigInt {
 public:
  BigInt() {
    if (mp_init(&value_) != MP_OKAY) throw std::bad_alloc();
  }
  ~BigInt() { mp_clear(&value_); }
  BigInt(const BigInt&) = delete;
  BigInt& operator=(const BigInt&) = delete;

  mp_int* get() { return &value_; }
  const mp_int* get() const { return &value_; }

 private:
  mp_int value_;
};

constexpr uint32_t kPublicExponent = 65537;
constexpr size_t kSha1Length = 20;
constexpr int kMillerRabinRounds = 8;
// Draws before a prime search gives up: far beyond what a working random
// source needs (a few hundred), so only a broken source ends it.
constexpr int kMaxPrimeDraws = 100000;

bool Ok(mp_err result) { return result == MP_OKAY; }

}  // namespace

struct RsaFacility::Key {
  BigInt n, e, d, p, q, dP, dQ, qInv;
  bool isPrivate = false;
};

namespace {

// The first odd primes, for trial division of prime candidates and as the
// Miller-Rabin bases.
const std::vector<mp_digit>& SmallPrimes() {
  static const std::vector<mp_digit> primes = [] {
    std::vector<mp_digit> found;
    for (mp_digit candidate = 3; found.size() < 300; candidate += 2) {
      bool prime = true;
      for (mp_digit p : found) {
        if (p * p > candidate) break;
        if (candidate % p == 0) {
          prime = false;
          break;
        }
      }
      if (prime) found.push_back(candidate);
    }
    return found;
  }();
  return primes;
}

// Divisible by one of the small primes (and not that prime itself).
bool HasSmallFactor(const mp_int* candidate, bool* failed) {
  for (mp_digit p : SmallPrimes()) {
    mp_digit remainder = 0;
    if (!Ok(mp_mod_d(candidate, p, &remainder))) {
      *failed = true;
      return true;
    }
    if (remainder == 0) return mp_cmp_d(candidate, p) != MP_EQ;
  }
  return false;
}

// Eight Miller-Rabin rounds with the bases 2, 3, 5, ..., 19.
bool PassesMillerRabin(const mp_int* candidate, bool* failed) {
  BigInt base;
  mp_set(base.get(), 2);
  for (int round = 0; round < kMillerRabinRounds; ++round) {
    if (round > 0) mp_set(base.get(), SmallPrimes()[round - 1]);
    mp_bool prime = MP_NO;
    if (!Ok(mp_prime_miller_rabin(candidate, base.get(), &prime))) {
      *failed = true;
      return false;
    }
    if (prime != MP_YES) return false;
  }
  return true;
}

// A prime of exactly 8 * bytes bits: random bytes with the two top bits and
// the low bit set, accepted when it passes Miller-Rabin and gcd(p - 1, e)
// is 1. False when the random source or the arithmetic fails.
bool RandomPrime(size_t bytes, const mp_int* e, mp_int* prime) {
  Bytes buffer(bytes);
  BigInt pMinusOne, gcd;
  for (int draw = 0; draw < kMaxPrimeDraws; ++draw) {
    if (!platform::SecureRandom(buffer.data(), buffer.size())) return false;
    buffer.front() |= 0xC0;
    buffer.back() |= 0x01;
    if (!Ok(mp_from_ubin(prime, buffer.data(), buffer.size()))) return false;
    bool failed = false;
    // A candidate with a small factor would fail Miller-Rabin anyway; the
    // division only saves the exponentiations.
    if (HasSmallFactor(prime, &failed) || failed) {
      if (failed) return false;
      continue;
    }
    if (!PassesMillerRabin(prime, &failed)) {
      if (failed) return false;
      continue;
    }
    if (!Ok(mp_sub_d(prime, 1, pMinusOne.get())) ||
        !Ok(mp_gcd(pMinusOne.get(), e, gcd.get()))) {
      return false;
    }
    if (mp_cmp_d(gcd.get(), 1) == MP_EQ) return true;
  }
  return false;
}

void Sha1(const unsigned char* data, size_t size, unsigned char* digest) {
  static const unsigned char kNothing = 0;  // the library wants a pointer
  hash_state state;
  sha1_init(&state);
  sha1_process(&state, data != nullptr ? data : &kNothing,
               static_cast<unsigned long>(size));
  sha1_done(&state, digest);
}

// MGF1 with SHA-1: mask bytes XORed into target.
void ApplyMask(const unsigned char* seed, size_t seedSize,
               unsigned char* target, size_t size) {
  Bytes input(seed, seed + seedSize);
  input.resize(seedSize + 4);
  unsigned char digest[kSha1Length];
  for (uint32_t counter = 0, done = 0; done < size; ++counter) {
    input[seedSize] = static_cast<unsigned char>(counter >> 24);
    input[seedSize + 1] = static_cast<unsigned char>(counter >> 16);
    input[seedSize + 2] = static_cast<unsigned char>(counter >> 8);
    input[seedSize + 3] = static_cast<unsigned char>(counter);
    Sha1(input.data(), input.size(), digest);
    for (size_t i = 0; i < kSha1Length && done < size; ++i, ++done) {
      target[done] ^= digest[i];
    }
  }
}

// EME-OAEP: 00, masked seed, masked (label hash, zeros, 01, message).
bool EncodeOaep(const unsigned char* message, size_t size, size_t k,
                Bytes* encoded) {
  encoded->assign(k, 0);
  unsigned char* seed = encoded->data() + 1;
  unsigned char* db = seed + kSha1Length;
  const size_t dbSize = k - kSha1Length - 1;
  Sha1(nullptr, 0, db);
  db[dbSize - size - 1] = 0x01;
  std::memcpy(db + dbSize - size, message, size);
  if (!platform::SecureRandom(seed, kSha1Length)) return false;
  ApplyMask(seed, kSha1Length, db, dbSize);
  ApplyMask(db, dbSize, seed, kSha1Length);
  return true;
}

// PKCS #1 v1.5 block type 2: 00 02, nonzero random bytes, 00, message.
bool EncodePkcs1(const unsigned char* message, size_t size, size_t k,
                 Bytes* encoded) {
  encoded->assign(k, 0);
  (*encoded)[1] = 0x02;
  const size_t padding = k - size - 3;
  unsigned char* random = encoded->data() + 2;
  if (!platform::SecureRandom(random, padding)) return false;
  for (size_t i = 0; i < padding; ++i) {
    while (random[i] == 0) {
      if (!platform::SecureRandom(&random[i], 1)) return false;
    }
  }
  std::memcpy(encoded->data() + 3 + padding, message, size);
  return true;
}

std::string Base64(const unsigned char* data, size_t size) {
  unsigned long length = static_cast<unsigned long>(4 * ((size + 2) / 3) + 1);
  std::string text(length, '\0');
  if (base64_encode(data, static_cast<unsigned long>(size),
                    reinterpret_cast<unsigned char*>(text.data()),
                    &length) != CRYPT_OK) {
    return std::string();
  }
  text.resize(length);
  return text;
}

// The number's big-endian bytes, zero-extended at the front to width (no
// extension with width 0).
std::string NumberText(const mp_int* value, size_t width) {
  const size_t size = mp_ubin_size(value);
  Bytes bytes(std::max(size, width), 0);
  size_t written = 0;
  if (!Ok(mp_to_ubin(value, bytes.data() + bytes.size() - size, size,
                     &written))) {
    return std::string();
  }
  return Base64(bytes.data(), bytes.size());
}

// The base64 content of an element as a number; false when the element is
// missing, empty or not base64.
bool ReadNumber(const xml::XmlDocument& document, const char16_t* name,
                mp_int* value) {
  const int32_t element = document.FindBreadthFirst(name);
  if (element == 0) return false;
  std::string text;
  for (char16_t unit : document.DataOf(element)) {
    if (unit > 0x7F) return false;
    // Line breaks and blanks inside a value are layout, not data.
    if (unit != u' ' && unit != u'\t' && unit != u'\r' && unit != u'\n') {
      text.push_back(static_cast<char>(unit));
    }
  }
  if (text.empty()) return false;
  unsigned long length = static_cast<unsigned long>(text.size());
  Bytes bytes(length);
  if (base64_strict_decode(reinterpret_cast<const unsigned char*>(text.data()),
                           static_cast<unsigned long>(text.size()),
                           bytes.data(), &length) != CRYPT_OK ||
      length == 0) {
    return false;
  }
  return Ok(mp_from_ubin(value, bytes.data(), length));
}

}  // namespace

RsaFacility::RsaFacility() = default;
RsaFacility::~RsaFacility() = default;

int32_t RsaFacility::Fail(const char* message) const {
  lastError_ = message;
  return 0;
}

std::string RsaFacility::FailText(const char* message) const {
  lastError_ = message;
  return std::string();
}

int32_t RsaFacility::GenerateKeyPair(int32_t bits) {
  std::lock_guard<std::mutex> hold(lock_);
  const int64_t size = (int64_t{bits} + 7) / 8;
  if (size < 64 || size > 512) return Fail("invalid modulus size");
  auto key = std::make_unique<Key>();
  mp_set_u32(key->e.get(), kPublicExponent);
  if (kPublicExponent < 3 || kPublicExponent % 2 == 0) {
    return Fail("invalid exponent");
  }
  const size_t half = static_cast<size_t>(size) / 2;
  if (!RandomPrime(half, key->e.get(), key->p.get())) {
    return Fail("Failed to generate random prime (p)");
  }
  if (!RandomPrime(half, key->e.get(), key->q.get())) {
    return Fail("Failed to generate random prime (q)");
  }
  BigInt pMinusOne, qMinusOne, phi;
  if (!Ok(mp_mul(key->p.get(), key->q.get(), key->n.get())) ||
      !Ok(mp_sub_d(key->p.get(), 1, pMinusOne.get())) ||
      !Ok(mp_sub_d(key->q.get(), 1, qMinusOne.get())) ||
      !Ok(mp_mul(pMinusOne.get(), qMinusOne.get(), phi.get())) ||
      !Ok(mp_invmod(key->e.get(), phi.get(), key->d.get())) ||
      !Ok(mp_mod(key->d.get(), pMinusOne.get(), key->dP.get())) ||
      !Ok(mp_mod(key->d.get(), qMinusOne.get(), key->dQ.get())) ||
      !Ok(mp_invmod(key->q.get(), key->p.get(), key->qInv.get()))) {
    // Equal primes (never seen with a working source) have no inverse.
    return Fail("Failed to compute the key");
  }
  key->isPrivate = true;
  key_ = std::move(key);
  lastError_.clear();
  return 1;
}

std::string RsaFacility::ExportPublicKey() const {
  std::lock_guard<std::mutex> hold(lock_);
  if (!key_) return std::string();
  const size_t k = mp_ubin_size(key_->n.get());
  return "<RSAKeyValue><Modulus>" + NumberText(key_->n.get(), k) +
         "</Modulus><Exponent>" + NumberText(key_->e.get(), 0) +
         "</Exponent></RSAKeyValue>";
}

std::string RsaFacility::ExportPrivateKey() const {
  std::lock_guard<std::mutex> hold(lock_);
  if (!key_ || !key_->isPrivate) return std::string();
  const size_t k = mp_ubin_size(key_->n.get());
  const size_t half = k / 2;
  return "<RSAKeyValue><Modulus>" + NumberText(key_->n.get(), k) +
         "</Modulus><Exponent>" + NumberText(key_->e.get(), 0) +
         "</Exponent><P>" + NumberText(key_->p.get(), half) + "</P><Q>" +
         NumberText(key_->q.get(), half) + "</Q><DP>" +
         NumberText(key_->dP.get(), half) + "</DP><DQ>" +
         NumberText(key_->dQ.get(), half) + "</DQ><InverseQ>" +
         NumberText(key_->qInv.get(), half) + "</InverseQ><D>" +
         NumberText(key_->d.get(), k) + "</D></RSAKeyValue>";
}

int32_t RsaFacility::ImportPublicKey(std::string_view text) {
  return Import(text, false);
}

int32_t RsaFacility::ImportPrivateKey(std::string_view text) {
  return Import(text, true);
}

int32_t RsaFacility::Import(std::string_view text, bool withPrivate) {
  std::lock_guard<std::mutex> hold(lock_);
  // Key texts are ASCII; each byte becomes one unit.
  std::u16string wide(text.begin(), text.end());
  for (char16_t& unit : wide) unit = static_cast<unsigned char>(unit);
  xml::XmlDocument document;
  document.SetDocument(std::u16string_view(wide));

  auto key = std::make_unique<Key>();
  if (document.FindBreadthFirst(u"Modulus") == 0) return Fail("No modulus");
  if (document.FindBreadthFirst(u"Exponent") == 0) return Fail("No exponent");
  if (!ReadNumber(document, u"Modulus", key->n.get())) {
    return Fail("Invalid modulus");
  }
  if (!ReadNumber(document, u"Exponent", key->e.get())) {
    return Fail("Invalid exponent");
  }
  if (withPrivate) {
    const struct {
      const char16_t* name;
      mp_int* value;
      const char* failure;
    } parts[] = {
        {u"P", key->p.get(), "Invalid P"},
        {u"Q", key->q.get(), "Invalid Q"},
        {u"DP", key->dP.get(), "Invalid DP"},
        {u"DQ", key->dQ.get(), "Invalid DQ"},
        {u"InverseQ", key->qInv.get(), "Invalid InverseQ"},
        {u"D", key->d.get(), "Invalid D"},
    };
    for (const auto& part : parts) {
      if (!ReadNumber(document, part.name, part.value)) {
        return Fail(part.failure);
      }
    }
    key->isPrivate = true;
  }
  key_ = std::move(key);
  lastError_.clear();
  return 1;
}

std::string RsaFacility::EncryptText(std::string_view text,
                                     bool usePrivateKey) const {
  std::lock_guard<std::mutex> hold(lock_);
  if (!key_) return FailText("No key");
  if (usePrivateKey && !key_->isPrivate) {
    return FailText("Private key required, but not provided");
  }
  const size_t k = mp_ubin_size(key_->n.get());
  size_t blockSize = 0;
  if (useOaep_) {
    if (k <= 2 * kSha1Length + 2) {
      return FailText("key size (modulus) too small for OAEP padding");
    }
    blockSize = k - 2 * kSha1Length - 2;
  } else {
    if (k < 12) return FailText("key size (modulus) too small");
    blockSize = k - 11;
  }

  const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
  Bytes cipher;
  Bytes encoded;
  Bytes block(k);
  BigInt m, c, m1, m2, h;
  const Key& key = *key_;
  for (size_t at = 0; at < text.size(); at += blockSize) {
    const size_t size = std::min(blockSize, text.size() - at);
    const bool encodedOk = useOaep_
                               ? EncodeOaep(bytes + at, size, k, &encoded)
                               : EncodePkcs1(bytes + at, size, k, &encoded);
    if (!encodedOk) return FailText("random source failed");
    if (!Ok(mp_from_ubin(m.get(), encoded.data(), encoded.size())) ||
        mp_cmp(m.get(), key.n.get()) != MP_LT) {
      return FailText("message representative out of range");
    }
    bool computed = false;
    if (usePrivateKey) {
      // The private operation by the Chinese remainder theorem: two
      // half-size exponentiations recombined with qInv.
      computed = Ok(mp_exptmod(m.get(), key.dP.get(), key.p.get(), m1.get())) &&
                 Ok(mp_exptmod(m.get(), key.dQ.get(), key.q.get(), m2.get())) &&
                 Ok(mp_sub(m1.get(), m2.get(), h.get())) &&
                 Ok(mp_mulmod(h.get(), key.qInv.get(), key.p.get(), h.get())) &&
                 Ok(mp_mul(h.get(), key.q.get(), h.get())) &&
                 Ok(mp_add(m2.get(), h.get(), c.get()));
    } else {
      computed = Ok(mp_exptmod(m.get(), key.e.get(), key.n.get(), c.get()));
    }
    const size_t size_c = computed ? mp_ubin_size(c.get()) : 0;
    if (!computed || size_c > k) {
      return FailText("Output of RSA encryption not equal to modulus size.");
    }
    std::fill(block.begin(), block.end(), 0);
    size_t written = 0;
    if (!Ok(mp_to_ubin(c.get(), block.data() + k - size_c, size_c, &written))) {
      return FailText("Output of RSA encryption not equal to modulus size.");
    }
    cipher.insert(cipher.end(), block.begin(), block.end());
  }
  lastError_.clear();
  return Base64(cipher.data(), cipher.size());
}

void RsaFacility::SetUseOaepPadding(bool on) {
  std::lock_guard<std::mutex> hold(lock_);
  useOaep_ = on;
}

bool RsaFacility::SetOutputEncoding(std::string_view name) {
  return name == "base64";
}

bool RsaFacility::HasKey() const {
  std::lock_guard<std::mutex> hold(lock_);
  return key_ != nullptr;
}

bool RsaFacility::HasPrivateKey() const {
  std::lock_guard<std::mutex> hold(lock_);
  return key_ && key_->isPrivate;
}

std::string RsaFacility::LastError() const {
  std::lock_guard<std::mutex> hold(lock_);
  return lastError_;
}

RsaFacility& Facility() {
  static RsaFacility facility;
  return facility;
}

}  // namespace vesk::rsa
