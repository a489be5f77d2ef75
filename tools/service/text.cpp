// Text conversions, time stamps, file checksums and the user certificate
// check of the reference service.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <fcntl.h>
#include <iconv.h>
#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "tools/service/service.h"

namespace vesk::service_tool {

namespace {

// A digest as lower-case hex digits, two per byte.
std::string DigestHex(const unsigned char* digest, unsigned int length) {
  std::string hex;
  for (unsigned int i = 0; i < length; ++i) {
    char two[3];
    std::snprintf(two, sizeof two, "%02x", digest[i]);
    hex += two;
  }
  return hex;
}

// One iconv conversion; invalid or unconvertible input is handled by
// `onError`, which appends a replacement and returns how many input bytes to
// pass over.
template <typename OnError>
std::string Convert(std::string_view in, const char* to, const char* from,
                    OnError onError) {
  iconv_t cd = iconv_open(to, from);
  if (cd == reinterpret_cast<iconv_t>(-1)) return std::string(in);
  std::string out;
  char buffer[4096];
  char* input = const_cast<char*>(in.data());
  size_t left = in.size();
  while (left > 0) {
    char* output = buffer;
    size_t room = sizeof buffer;
    const size_t done = iconv(cd, &input, &left, &output, &room);
    out.append(buffer, static_cast<size_t>(output - buffer));
    if (done == static_cast<size_t>(-1) && errno != E2BIG) {
      const size_t skip = std::min(left, onError(out, input, left));
      input += skip;
      left -= skip;
      iconv(cd, nullptr, nullptr, nullptr, nullptr);
    }
  }
  iconv_close(cd);
  return out;
}

size_t Utf8Length(unsigned char lead) {
  if (lead < 0x80) return 1;
  if ((lead & 0xE0) == 0xC0) return 2;
  if ((lead & 0xF0) == 0xE0) return 3;
  if ((lead & 0xF8) == 0xF0) return 4;
  return 1;
}

bool IsUtf8(std::string_view bytes) {
  iconv_t cd = iconv_open("UTF-8", "UTF-8");
  if (cd == reinterpret_cast<iconv_t>(-1)) return false;
  std::string copy(bytes);
  char* input = copy.data();
  size_t left = copy.size();
  std::string out(copy.size() + 4, '\0');
  char* output = out.data();
  size_t room = out.size();
  const bool ok =
      iconv(cd, &input, &left, &output, &room) != static_cast<size_t>(-1) &&
      left == 0;
  iconv_close(cd);
  return ok;
}

}  // namespace

std::string FromUtf8(std::string_view utf8, const char* charset) {
  return Convert(utf8, charset, "UTF-8",
                 [](std::string& out, const char* at, size_t) {
                   out.push_back('?');
                   return Utf8Length(static_cast<unsigned char>(*at));
                 });
}

std::string HandsetTextToUtf8(std::string_view bytes) {
  bool ascii = true;
  for (char c : bytes) ascii = ascii && static_cast<unsigned char>(c) < 0x80;
  if (ascii) return std::string(bytes);
  // Handsets send GBK; text that is not GBK but is valid UTF-8 (from a host
  // client) is taken as it is.
  bool gbkValid = true;
  std::string viaGbk = Convert(bytes, "UTF-8", "GBK",
                               [&](std::string& out, const char*, size_t) {
                                 gbkValid = false;
                                 out.append("\xEF\xBF\xBD");
                                 return size_t{1};
                               });
  if (!gbkValid && IsUtf8(bytes)) return std::string(bytes);
  return viaGbk;
}

std::string Base64(std::string_view bytes) {
  std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');
  const int size =
      EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                      reinterpret_cast<const unsigned char*>(bytes.data()),
                      static_cast<int>(bytes.size()));
  out.resize(static_cast<size_t>(size));
  return out;
}

std::string EncodedWord(std::string_view utf8) {
  bool plain = true;
  for (char c : utf8) {
    const auto u = static_cast<unsigned char>(c);
    plain = plain && u >= 0x20 && u < 0x7F;
  }
  if (plain && utf8.find("=?") == std::string_view::npos) {
    return std::string(utf8);
  }
  return "=?GBK?B?" + Base64(FromUtf8(utf8, "GBK")) + "?=";
}

std::string XmlEscape(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&apos;";
        break;
      default:
        out.push_back(c);
    }
  }
  return out;
}

std::string HandsetTimestamp(std::time_t when, int millis) {
  std::tm local{};
  localtime_r(&when, &local);
  char text[64];
  std::snprintf(text, sizeof text, "%d-%d-%d %d:%d:%d.%.3d",
                local.tm_year + 1900, local.tm_mon + 1, local.tm_mday,
                local.tm_hour, local.tm_min, local.tm_sec, millis);
  return text;
}

std::optional<std::time_t> ParseHandsetTimestamp(std::string_view text) {
  if (text.size() > 48) return std::nullopt;
  const std::string copy(text);
  int year, month, day, hour, minute, second, millis, used = -1;
  if (std::sscanf(copy.c_str(), "%d-%d-%d %d:%d:%d.%d%n", &year, &month, &day,
                  &hour, &minute, &second, &millis, &used) != 7 ||
      used != static_cast<int>(copy.size())) {
    return std::nullopt;
  }
  if (year < 1970 || year > 9999 || month < 1 || month > 12 || day < 1 ||
      day > 31 || hour < 0 || hour > 23 || minute < 0 || minute > 59 ||
      second < 0 || second > 60 || millis < 0) {
    return std::nullopt;
  }
  std::tm local{};
  local.tm_year = year - 1900;
  local.tm_mon = month - 1;
  local.tm_mday = day;
  local.tm_hour = hour;
  local.tm_min = minute;
  local.tm_sec = second;
  local.tm_isdst = -1;
  const std::time_t when = std::mktime(&local);
  if (when == static_cast<std::time_t>(-1)) return std::nullopt;
  return when;
}

std::string HttpDate(std::time_t when) {
  std::tm utc{};
  gmtime_r(&when, &utc);
  static const char* const kDays[] = {"Sun", "Mon", "Tue", "Wed",
                                      "Thu", "Fri", "Sat"};
  static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr",
                                        "May", "Jun", "Jul", "Aug",
                                        "Sep", "Oct", "Nov", "Dec"};
  char text[64];
  std::snprintf(text, sizeof text, "%s, %02d %s %04d %02d:%02d:%02d GMT",
                kDays[utc.tm_wday], utc.tm_mday, kMonths[utc.tm_mon],
                utc.tm_year + 1900, utc.tm_hour, utc.tm_min, utc.tm_sec);
  return text;
}

std::string FileMd5(const std::string& path, int64_t limit) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::string();
  EVP_MD_CTX* context = EVP_MD_CTX_new();
  EVP_DigestInit_ex(context, EVP_md5(), nullptr);
  char buffer[65536];
  int64_t total = 0;
  bool ok = true;
  while (limit < 0 || total < limit) {
    size_t want = sizeof buffer;
    if (limit >= 0)
      want = static_cast<size_t>(
          std::min<int64_t>(static_cast<int64_t>(want), limit - total));
    const ssize_t got = ::read(fd, buffer, want);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      ok = false;
      break;
    }
    if (got == 0) break;
    EVP_DigestUpdate(context, buffer, static_cast<size_t>(got));
    total += got;
  }
  ::close(fd);
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_DigestFinal_ex(context, digest, &length);
  EVP_MD_CTX_free(context);
  if (!ok || (limit >= 0 && total < limit)) return std::string();
  return DigestHex(digest, length);
}

std::string Sha256Hex(std::string_view bytes) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha256(),
             nullptr);
  return DigestHex(digest, length);
}

namespace {

std::optional<std::string> DecodeBase64(const std::string& text) {
  if (text.empty() || text.size() % 4 != 0) return std::nullopt;
  std::string out(text.size() / 4 * 3, '\0');
  const int size =
      EVP_DecodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                      reinterpret_cast<const unsigned char*>(text.data()),
                      static_cast<int>(text.size()));
  if (size < 0) return std::nullopt;
  size_t padding = 0;
  if (text.back() == '=') ++padding;
  if (text.size() > 1 && text[text.size() - 2] == '=') ++padding;
  out.resize(static_cast<size_t>(size) - padding);
  return out;
}

struct BnFree {
  void operator()(BIGNUM* n) const { BN_free(n); }
};
using Bn = std::unique_ptr<BIGNUM, BnFree>;
struct CtxFree {
  void operator()(BN_CTX* c) const { BN_CTX_free(c); }
};

Bn Number(const std::string& bytes) {
  return Bn(BN_bin2bn(reinterpret_cast<const unsigned char*>(bytes.data()),
                      static_cast<int>(bytes.size()), nullptr));
}

}  // namespace

std::optional<std::string> RecoverCertificate(const std::string& modulus,
                                              const std::string& exponent,
                                              const std::string& certificate) {
  const auto nBytes = DecodeBase64(modulus);
  const auto eBytes = DecodeBase64(exponent);
  const auto cipher = DecodeBase64(certificate);
  if (!nBytes || !eBytes || !cipher) return std::nullopt;
  const Bn n = Number(*nBytes);
  const Bn e = Number(*eBytes);
  if (!n || !e || BN_is_zero(e.get())) return std::nullopt;
  const int k = BN_num_bytes(n.get());
  if (k < 64 || cipher->size() % static_cast<size_t>(k) != 0) {
    return std::nullopt;
  }
  std::unique_ptr<BN_CTX, CtxFree> context(BN_CTX_new());
  std::string text;
  for (size_t at = 0; at < cipher->size(); at += static_cast<size_t>(k)) {
    const Bn c = Number(cipher->substr(at, static_cast<size_t>(k)));
    if (BN_cmp(c.get(), n.get()) >= 0) return std::nullopt;
    Bn m(BN_new());
    if (!BN_mod_exp(m.get(), c.get(), e.get(), n.get(), context.get())) {
      return std::nullopt;
    }
    std::vector<unsigned char> block(static_cast<size_t>(k));
    if (BN_bn2binpad(m.get(), block.data(), k) != k || block[0] != 0) {
      return std::nullopt;
    }
    std::vector<unsigned char> plain(static_cast<size_t>(k));
    const int size = RSA_padding_check_PKCS1_OAEP(
        plain.data(), k, block.data() + 1, k - 1, k, nullptr, 0);
    if (size < 0) return std::nullopt;
    text.append(reinterpret_cast<const char*>(plain.data()),
                static_cast<size_t>(size));
  }
  return text;
}

}  // namespace vesk::service_tool
