// Loading a document from a file or from bytes: the byte order mark, a
// declared encoding (XML declaration or HTML meta), the UTF-8 test, zero
// removal and byte swapping, and the conversion of the bytes to the UTF-16
// text through the platform's code pages.
#include <algorithm>
#include <climits>
#include <cstring>
#include <iterator>
#include <memory>
#include <new>

// Runs of ASCII are widened sixteen bytes at a time with SSE2 where the
// target has it, eight at a time in portable code everywhere else (32-bit
// ARM) and in a build with VESK_XML_PORTABLE, which the tests use to run the
// portable path on a machine with SSE2.
#if defined(__SSE2__) && !defined(VESK_XML_PORTABLE)
#define VESK_XML_SSE2 1
#include <emmintrin.h>
#endif

#include "platform/platform.h"
#include "xml/internal.h"

namespace vesk::xml {

namespace {}  // namespace

const EncodingName kEncodingNames[] = {
    {"_iso-2022-jp", 50221},
    {"_iso-2022-jp$sio", 50222},
    {"ansi_x3.4-1968", 20127},
    {"ansi_x3.4-1986", 20127},
    {"arabic", 28596},
    {"ascii", 20127},
    {"asmo-708", 708},
    {"big5", 950},
    {"big5-hkscs", 950},
    {"ccsid00858", 858},
    {"chinese", 936},
    {"cn-big5", 950},
    {"cn-gb", 936},
    {"codepage437", 437},
    {"cp-gr", 869},
    {"cp-is", 861},
    {"cp00858", 858},
    {"cp1125", 1125},
    {"cp1133", 1133},
    {"cp1200", 1200},
    {"cp12000", 12000},
    {"cp12001", 12001},
    {"cp1201", 1201},
    {"cp1250", 1250},
    {"cp1251", 1251},
    {"cp1252", 1252},
    {"cp1253", 1253},
    {"cp1254", 1254},
    {"cp1255", 1255},
    {"cp1256", 1256},
    {"cp1257", 1257},
    {"cp1258", 1258},
    {"cp1361", 1361},
    {"cp154", 154},
    {"cp367", 20127},
    {"cp437", 437},
    {"cp500", 500},
    {"cp50221", 50221},
    {"cp51932", 51932},
    {"cp65001", 65001},
    {"cp737", 737},
    {"cp775", 775},
    {"cp819", 28591},
    {"cp850", 850},
    {"cp852", 852},
    {"cp853", 853},
    {"cp855", 855},
    {"cp857", 857},
    {"cp858", 858},
    {"cp860", 860},
    {"cp861", 861},
    {"cp862", 862},
    {"cp863", 863},
    {"cp864", 864},
    {"cp865", 865},
    {"cp866", 866},
    {"cp869", 869},
    {"cp874", 874},
    {"cp932", 932},
    {"cp936", 936},
    {"cp949", 949},
    {"cp950", 950},
    {"csascii", 20127},
    {"csbig5", 950},
    {"cseuckr", 51949},
    {"cseucpkdfmtjapanese", 20932},
    {"csgb2312", 936},
    {"csgb231280", 936},
    {"csibm500", 500},
    {"csibm855", 855},
    {"csibm857", 857},
    {"csibm860", 860},
    {"csibm861", 861},
    {"csibm863", 863},
    {"csibm864", 864},
    {"csibm865", 865},
    {"csibm866", 866},
    {"csibm869", 869},
    {"csiso2022jp", 50221},
    {"csiso2022kr", 50225},
    {"csiso58gb231280", 936},
    {"csisolatin1", 28591},
    {"csisolatin2", 28592},
    {"csisolatin3", 28593},
    {"csisolatin4", 28594},
    {"csisolatin5", 28595},
    {"csisolatinarabic", 28596},
    {"csisolatincyrillic", 28595},
    {"csisolatingreek", 28597},
    {"csisolatinhebrew", 28598},
    {"cskoi8r", 20866},
    {"csksc56011987", 949},
    {"csmacintosh", 10000},
    {"cspc775baltic", 775},
    {"cspc8", 437},
    {"cspc850multilingual", 850},
    {"cspc862latinhebrew", 862},
    {"cspc8codepage437", 437},
    {"cspcp852", 852},
    {"csptcp154", 154},
    {"csshiftjis", 932},
    {"csunicode11utf7", 65000},
    {"cswindows31j", 932},
    {"cyrillic", 28595},
    {"cyrillic-asian", 154},
    {"dos-720", 720},
    {"dos-862", 862},
    {"dos-874", 874},
    {"ebcdic-cp-be", 500},
    {"ebcdic-cp-ch", 500},
    {"ecma-114", 28596},
    {"ecma-118", 28597},
    {"elot_928", 28597},
    {"euc-cn", 51936},
    {"euc-jp", 20932},
    {"euc-kr", 51949},
    {"extended_unix_code_packed_format_for_japanese", 20932},
    {"gb18030", 54936},
    {"gb2312", 936},
    {"gb2312-80", 936},
    {"gb231280", 936},
    {"gb_2312-80", 936},
    {"gbk", 936},
    {"greek", 28597},
    {"greek8", 28597},
    {"hebrew", 28598},
    {"hz-gb-2312", 52936},
    {"ibm-cp1133", 1133},
    {"ibm00858", 858},
    {"ibm367", 20127},
    {"ibm437", 437},
    {"ibm737", 737},
    {"ibm775", 775},
    {"ibm819", 28591},
    {"ibm850", 850},
    {"ibm852", 852},
    {"ibm855", 855},
    {"ibm857", 857},
    {"ibm860", 860},
    {"ibm861", 861},
    {"ibm862", 862},
    {"ibm863", 863},
    {"ibm864", 864},
    {"ibm865", 865},
    {"ibm866", 866},
    {"ibm869", 869},
    {"iso-2022-jp", 50220},
    {"iso-2022-jp-ms", 50221},
    {"iso-2022-kr", 50225},
    {"iso-4873:1986", 54936},
    {"iso-8859-1", 28591},
    {"iso-8859-11", 874},
    {"iso-8859-13", 28603},
    {"iso-8859-15", 28605},
    {"iso-8859-2", 28592},
    {"iso-8859-3", 28593},
    {"iso-8859-4", 28594},
    {"iso-8859-5", 28595},
    {"iso-8859-6", 28596},
    {"iso-8859-7", 28597},
    {"iso-8859-8", 28598},
    {"iso-8859-8-i", 38598},
    {"iso-8859-9", 28599},
    {"iso-ir-100", 28591},
    {"iso-ir-101", 28592},
    {"iso-ir-109", 28593},
    {"iso-ir-110", 28594},
    {"iso-ir-126", 28597},
    {"iso-ir-127", 28596},
    {"iso-ir-138", 28598},
    {"iso-ir-144", 28595},
    {"iso-ir-148", 28599},
    {"iso-ir-149", 949},
    {"iso-ir-58", 936},
    {"iso-ir-6", 20127},
    {"iso-ir-6us", 20127},
    {"iso2022-jp-ms", 50221},
    {"iso2022-kr", 50225},
    {"iso646-us", 20127},
    {"iso8859-1", 28591},
    {"iso8859-13", 28603},
    {"iso8859-15", 28605},
    {"iso8859-2", 28592},
    {"iso8859-3", 28593},
    {"iso8859-4", 28594},
    {"iso8859-5", 28595},
    {"iso8859-6", 28596},
    {"iso8859-7", 28597},
    {"iso8859-8", 28598},
    {"iso8859-8-i", 38598},
    {"iso8859-9", 28599},
    {"iso_646.irv:1991", 20127},
    {"iso_8859-1", 28591},
    {"iso_8859-15", 28605},
    {"iso_8859-1:1987", 28591},
    {"iso_8859-2", 28592},
    {"iso_8859-2:1987", 28592},
    {"iso_8859-3", 28593},
    {"iso_8859-3:1988", 28593},
    {"iso_8859-4", 28594},
    {"iso_8859-4:1988", 28594},
    {"iso_8859-5", 28595},
    {"iso_8859-5:1988", 28595},
    {"iso_8859-6", 28596},
    {"iso_8859-6:1987", 28596},
    {"iso_8859-7", 28597},
    {"iso_8859-7:1987", 28597},
    {"iso_8859-8", 28598},
    {"iso_8859-8:1988", 28598},
    {"iso_8859-9", 28599},
    {"iso_8859-9:1989", 28599},
    {"johab", 1361},
    {"koi", 20866},
    {"koi8", 20866},
    {"koi8-r", 20866},
    {"koi8-ru", 21866},
    {"koi8-u", 21866},
    {"koi8r", 20866},
    {"korean", 949},
    {"ks-c-5601", 949},
    {"ks-c5601", 949},
    {"ks_c_5601", 949},
    {"ks_c_5601-1987", 949},
    {"ks_c_5601-1989", 949},
    {"ks_c_5601_1987", 949},
    {"ksc5601", 949},
    {"ksc_5601", 949},
    {"l1", 28591},
    {"l2", 28592},
    {"l3", 28593},
    {"l4", 28594},
    {"l5", 28599},
    {"l9", 28605},
    {"latin-9", 28605},
    {"latin1", 28591},
    {"latin2", 28592},
    {"latin3", 28593},
    {"latin4", 28594},
    {"latin5", 28599},
    {"latin9", 28605},
    {"logical", 38598},
    {"mac", 10000},
    {"macintosh", 10000},
    {"ms-ansi", 1252},
    {"ms-arab", 1256},
    {"ms-cyrl", 1251},
    {"ms-ee", 1250},
    {"ms-greek", 1253},
    {"ms-hebr", 1255},
    {"ms-turk", 1254},
    {"ms50221", 50221},
    {"ms51932", 51932},
    {"ms932", 932},
    {"ms936", 936},
    {"ms_kanji", 932},
    {"pc-multilingual-850+euro", 858},
    {"pt154", 154},
    {"ptcp154", 154},
    {"shifft_jis", 932},
    {"shifft_jis-ms", 932},
    {"shift-jis", 932},
    {"shift_jis", 932},
    {"sjis", 932},
    {"sjis-ms", 932},
    {"sjis-open", 932},
    {"sjis-win", 932},
    {"tis-620", 874},
    {"ucs-2", 1200},
    {"ucs-2be", 1201},
    {"ucs-2le", 1200},
    {"uhc", 949},
    {"unicode", 1200},
    {"unicode-1-1-utf-7", 65000},
    {"unicode-1-1-utf-8", 65001},
    {"unicode-2-0-utf-8", 65001},
    {"unicodefffe", 1201},
    {"us", 20127},
    {"us-ascii", 20127},
    {"utf-16", 1200},
    {"utf-16be", 1201},
    {"utf-16le", 1200},
    {"utf-32", 12000},
    {"utf-32be", 12001},
    {"utf-32le", 12000},
    {"utf-7", 65000},
    {"utf-8", 65001},
    {"utf16", 1200},
    {"utf16be", 1201},
    {"utf16le", 1200},
    {"utf32", 12000},
    {"utf32be", 12001},
    {"utf32le", 12000},
    {"utf8", 65001},
    {"visual", 28598},
    {"winbaltrim", 1257},
    {"windows-1250", 1250},
    {"windows-1251", 1251},
    {"windows-1252", 1252},
    {"windows-1253", 1253},
    {"windows-1254", 1254},
    {"windows-1255", 1255},
    {"windows-1256", 1256},
    {"windows-1257", 1257},
    {"windows-1258", 1258},
    {"windows-31j", 932},
    {"windows-50221", 50221},
    {"windows-51932", 51932},
    {"windows-874", 874},
    {"windows-932", 932},
    {"windows-936", 936},
    {"x-ansi", 1252},
    {"x-chinese-cns", 20000},
    {"x-chinese-eten", 20002},
    {"x-chinese_cns", 20000},
    {"x-cp1250", 1250},
    {"x-cp1251", 1251},
    {"x-cp20001", 20001},
    {"x-cp20003", 20003},
    {"x-cp20004", 20004},
    {"x-cp20005", 20005},
    {"x-cp20261", 20261},
    {"x-cp20269", 20269},
    {"x-cp20936", 20936},
    {"x-cp20949", 20949},
    {"x-cp50227", 50227},
    {"x-euc", 51932},
    {"x-euc-cn", 51936},
    {"x-euc-jp", 51932},
    {"x-europa", 29001},
    {"x-ia5", 20105},
    {"x-ia5-german", 20106},
    {"x-ia5-norwegian", 20108},
    {"x-ia5-swedish", 20107},
    {"x-iscii-as", 57006},
    {"x-iscii-be", 57003},
    {"x-iscii-de", 57002},
    {"x-iscii-gu", 57010},
    {"x-iscii-ka", 57008},
    {"x-iscii-ma", 57009},
    {"x-iscii-or", 57007},
    {"x-iscii-pa", 57011},
    {"x-iscii-ta", 57004},
    {"x-iscii-te", 57005},
    {"x-mac-arabic", 10004},
    {"x-mac-ce", 10029},
    {"x-mac-chinesesimp", 10008},
    {"x-mac-chinesetrad", 10002},
    {"x-mac-croatian", 10082},
    {"x-mac-cyrillic", 10007},
    {"x-mac-greek", 10006},
    {"x-mac-hebrew", 10005},
    {"x-mac-icelandic", 10079},
    {"x-mac-japanese", 10001},
    {"x-mac-korean", 10003},
    {"x-mac-romanian", 10010},
    {"x-mac-thai", 10021},
    {"x-mac-turkish", 10081},
    {"x-mac-ukrainian", 10017},
    {"x-ms-cp932", 932},
    {"x-sjis", 932},
    {"x-unicode-2-0-utf-7", 65000},
    {"x-unicode-2-0-utf-8", 65001},
    {"x-x-big5", 950},
    {"x_chinese-eten", 20002},
};

const size_t kEncodingNameCount = std::size(kEncodingNames);
static_assert(std::size(kEncodingNames) == 364);

namespace {

constexpr int32_t kCodePageUtf8 = 65001;
constexpr size_t kLongestEncodingName = 100;  // longer names are not looked up
constexpr size_t kFirstChunk = 1024;
constexpr int64_t kLargeFile = int64_t{1} << 20;
constexpr size_t kFileErrorMessageMax = 100;
constexpr uint32_t kEncodingFlags =
    kDocumentUtf16LittleEndian | kDocumentUtf8Bom | kDocumentUtf16BigEndian;

struct ByteOrderMark {
  const char* bytes;
  size_t size;
  const char16_t* encoding;
  uint32_t flag;
  size_t unitSize;
};

constexpr ByteOrderMark kMarks[] = {
    {"\xEF\xBB\xBF", 3, u"UTF-8", kDocumentUtf8Bom, 1},
    {"\xFF\xFE", 2, u"UTF-16LE", kDocumentUtf16LittleEndian, 2},
    {"\xFE\xFF", 2, u"UTF-16BE", kDocumentUtf16BigEndian, 2},
};

// The lenient UTF-8 test: lead bytes decide the sequence length, every
// continuation byte needs only its top bit, and a sequence cut off by the
// end fails.
bool PassesUtf8Test(const unsigned char* p, size_t n) {
  size_t i = 0;
  while (i < n) {
    // Eight ASCII bytes at a time.
    if (n - i >= 8) {
      uint64_t word;
      std::memcpy(&word, p + i, 8);
      if ((word & 0x8080808080808080ull) == 0) {
        i += 8;
        continue;
      }
    }
    const unsigned char lead = p[i];
    if (lead == 0) return true;
    ++i;
    if (lead < 0x80) continue;
    if (lead >= 0xF8) return false;
    const size_t follow = lead >= 0xF0 ? 3 : lead >= 0xE0 ? 2 : 1;
    if (n - i < follow) return false;
    for (size_t k = 0; k < follow; ++k) {
      if (!(p[i + k] & 0x80)) return false;
    }
    i += follow;
  }
  return true;
}

// Well-formed UTF-8 to UTF-16; with kWrite false it only counts. Returns
// SIZE_MAX at the first ill-formed sequence: overlong forms, surrogates,
// values beyond U+10FFFF and cut-off sequences are left to the platform's
// conversion, which decides their replacement. Well-formed input has one
// decoding only, so both give the same units.
template <bool kWrite>
size_t DecodeWellFormedUtf8(const unsigned char* p, size_t n, char16_t* out) {
  size_t units = 0;
  size_t i = 0;
  while (i < n) {
    // Runs of ASCII eight bytes at a time.
    while (n - i >= 8) {
      uint64_t word;
      std::memcpy(&word, p + i, 8);
      if ((word & 0x8080808080808080ull) != 0) break;
      if (kWrite) {
        for (size_t k = 0; k < 8; ++k) out[units + k] = p[i + k];
      }
      units += 8;
      i += 8;
    }
    if (i >= n) break;
    const unsigned lead = p[i];
    if (lead < 0x80) {
      if (kWrite) out[units] = static_cast<char16_t>(lead);
      ++units;
      ++i;
      continue;
    }
    uint32_t cp;
    size_t length;
    uint32_t min;
    if (lead >= 0xC2 && lead <= 0xDF) {
      cp = lead & 0x1F;
      length = 2;
      min = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      cp = lead & 0x0F;
      length = 3;
      min = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      cp = lead & 0x07;
      length = 4;
      min = 0x10000;
    } else {
      return SIZE_MAX;
    }
    if (n - i < length) return SIZE_MAX;
    for (size_t k = 1; k < length; ++k) {
      const unsigned c = p[i + k];
      if ((c & 0xC0) != 0x80) return SIZE_MAX;
      cp = cp << 6 | (c & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
      return SIZE_MAX;
    }
    if (cp <= 0xFFFF) {
      if (kWrite) out[units] = static_cast<char16_t>(cp);
      ++units;
    } else {
      if (kWrite) {
        out[units] = static_cast<char16_t>(0xD800 | ((cp - 0x10000) >> 10));
        out[units + 1] =
            static_cast<char16_t>(0xDC00 | ((cp - 0x10000) & 0x3FF));
      }
      units += 2;
    }
    i += length;
  }
  return units;
}

// The same decoding as DecodeWellFormedUtf8<true>, for a target with room
// for count units (one per byte, never too little), which lets runs of ASCII
// go sixteen bytes at a time: each step widens a whole block into the target
// and then keeps only its ASCII start, so a run costs no more than its length
// and the first other byte costs one block. Returns SIZE_MAX at the first
// ill-formed sequence.
size_t DecodeUtf8IntoRoom(const unsigned char* p, size_t count, char16_t* out) {
  const unsigned char* const end = p + count;
  char16_t* const first = out;
  while (p < end) {
#if defined(VESK_XML_SSE2)
    // Units written ahead stay within the room: out - first <= p - bytes.
    const __m128i zero = _mm_setzero_si128();
    while (end - p >= 16) {
      const __m128i block =
          _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out),
                       _mm_unpacklo_epi8(block, zero));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 8),
                       _mm_unpackhi_epi8(block, zero));
      const auto high = static_cast<unsigned>(_mm_movemask_epi8(block));
      if (high == 0) {
        p += 16;
        out += 16;
        continue;
      }
      const auto ascii = static_cast<unsigned>(__builtin_ctz(high));
      p += ascii;
      out += ascii;
      break;
    }
#else
    while (end - p >= 8) {
      uint64_t word;
      std::memcpy(&word, p, 8);
      if ((word & 0x8080808080808080ull) != 0) break;
      for (size_t k = 0; k < 8; ++k) out[k] = p[k];
      p += 8;
      out += 8;
    }
#endif
    if (p >= end) break;
    const unsigned lead = p[0];
    if (lead < 0x80) {
      *out++ = static_cast<char16_t>(lead);
      ++p;
      continue;
    }
    const size_t left = static_cast<size_t>(end - p);
    if (lead < 0xE0) {
      if (lead < 0xC2 || left < 2) return SIZE_MAX;
      const unsigned c1 = p[1];
      if ((c1 & 0xC0) != 0x80) return SIZE_MAX;
      *out++ = static_cast<char16_t>((lead & 0x1F) << 6 | (c1 & 0x3F));
      p += 2;
    } else if (lead < 0xF0) {
      if (left < 3) return SIZE_MAX;
      const unsigned c1 = p[1];
      const unsigned c2 = p[2];
      if (((c1 & 0xC0) ^ 0x80) | ((c2 & 0xC0) ^ 0x80)) return SIZE_MAX;
      const unsigned cp = (lead & 0x0F) << 12 | (c1 & 0x3F) << 6 | (c2 & 0x3F);
      if (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF)) return SIZE_MAX;
      *out++ = static_cast<char16_t>(cp);
      p += 3;
    } else {
      if (lead > 0xF4 || left < 4) return SIZE_MAX;
      const unsigned c1 = p[1];
      const unsigned c2 = p[2];
      const unsigned c3 = p[3];
      if (((c1 & 0xC0) ^ 0x80) | ((c2 & 0xC0) ^ 0x80) | ((c3 & 0xC0) ^ 0x80)) {
        return SIZE_MAX;
      }
      const unsigned cp = (lead & 0x07) << 18 | (c1 & 0x3F) << 12 |
                          (c2 & 0x3F) << 6 | (c3 & 0x3F);
      if (cp < 0x10000 || cp > 0x10FFFF) return SIZE_MAX;
      out[0] = static_cast<char16_t>(0xD800 | ((cp - 0x10000) >> 10));
      out[1] = static_cast<char16_t>(0xDC00 | ((cp - 0x10000) & 0x3FF));
      out += 2;
      p += 4;
    }
  }
  return static_cast<size_t>(out - first);
}

bool IsWordSeparator(char16_t c) {
  return internal::ClassOf(c) & internal::kNameEnd;
}

// The word after "charset" "=" in a meta element's content, or "".
std::u16string_view CharsetOf(std::u16string_view content) {
  size_t i = 0;
  const size_t n = content.size();
  while (i < n) {
    while (i < n && IsWordSeparator(content[i])) ++i;
    const size_t word = i;
    while (i < n && !IsWordSeparator(content[i])) ++i;
    if (!internal::EqualsIgnoringCase(content.substr(word, i - word),
                                      u"charset")) {
      continue;
    }
    size_t j = i;
    while (j < n && internal::IsSpace(content[j])) ++j;
    if (j >= n || content[j] != u'=') continue;
    ++j;
    while (j < n && IsWordSeparator(content[j])) ++j;
    size_t k = j;
    while (k < n && !IsWordSeparator(content[k])) ++k;
    return content.substr(j, k - j);
  }
  return {};
}

// The value of a tag's attribute, names compared without ASCII case; the
// tag is the node, its name starting at nameStart.
bool TagAttribute(std::u16string_view text, const Node& node,
                  std::u16string_view name, std::u16string* value) {
  const std::u16string_view tagName = internal::NameAt(text, node.nameStart);
  internal::AttributeSpan span;
  if (!internal::FindAttribute(text, node.nameStart + tagName.size(),
                               size_t(node.start) + node.length, name, true,
                               &span) ||
      !span.hasValue) {
    return false;
  }
  *value = UnescapeText(
      text.substr(span.innerBegin, span.innerEnd - span.innerBegin));
  return true;
}

// The encoding a document's first chunk declares: in an XML declaration at
// its very start, or in the Content-Type meta element of an HTML head.
std::u16string DeclaredEncoding(std::u16string_view chunk) {
  using internal::EqualsIgnoringCase;
  bool inHtml = false;
  int32_t offset = 0;
  for (;;) {
    const Node node = internal::ScanNode(chunk, offset, nullptr);
    if (node.type == kNodeEnd || node.type == kNodeError) return {};
    offset = node.start + node.length;
    const std::u16string_view name =
        node.type == kNodeElement || node.type == kNodeEndTag ||
                node.type == kNodeProcessingInstruction
            ? internal::NameAt(chunk, node.nameStart)
            : std::u16string_view();
    std::u16string value;
    switch (node.type) {
      case kNodeProcessingInstruction:
        if (node.start == 0 && EqualsIgnoringCase(name, u"xml")) {
          TagAttribute(chunk, node, u"encoding", &value);
          return value;
        }
        break;
      case kNodeEndTag:
        if (EqualsIgnoringCase(name, u"head")) return {};
        break;
      case kNodeElement:
        if (!inHtml) {
          if (!EqualsIgnoringCase(name, u"html")) return {};
          inHtml = true;
        } else if (EqualsIgnoringCase(name, u"meta") &&
                   TagAttribute(chunk, node, u"http-equiv", &value) &&
                   EqualsIgnoringCase(value, u"Content-Type") &&
                   TagAttribute(chunk, node, u"content", &value)) {
          const std::u16string_view charset = CharsetOf(value);
          if (!charset.empty()) return std::u16string(charset);
        }
        break;
      default:
        break;
    }
  }
}

std::u16string Utf8ToUtf16(const char* bytes, size_t count) {
  const int size = static_cast<int>(std::min<size_t>(count, INT_MAX));
  const int units =
      platform::MultiByteToWide(kCodePageUtf8, bytes, size, nullptr, 0);
  std::u16string text(static_cast<size_t>(std::max(units, 0)), u'\0');
  if (units > 0) {
    const int written = platform::MultiByteToWide(kCodePageUtf8, bytes, size,
                                                  text.data(), units);
    text.resize(static_cast<size_t>(std::max(written, 0)));
  }
  return text;
}

}  // namespace

int32_t CodePageOf(std::u16string_view name) {
  if (name.empty()) return 0;
  if (name.substr(0, 6) == u"UTF-32") return kCodePageUtf32;
  if (name.size() >= kLongestEncodingName) return kNoCodePage;
  char folded[kLongestEncodingName];
  for (size_t i = 0; i < name.size(); ++i) {
    const char16_t c = name[i];
    if (c == 0 || c >= 0x80) return kNoCodePage;
    folded[i] = static_cast<char>(c >= u'A' && c <= u'Z' ? c + 32 : c);
  }
  folded[name.size()] = '\0';
  const EncodingName* end = std::end(kEncodingNames);
  const EncodingName* found =
      std::lower_bound(std::begin(kEncodingNames), end, folded,
                       [](const EncodingName& e, const char* key) {
                         return std::strcmp(e.name, key) < 0;
                       });
  if (found == end || std::strcmp(found->name, folded) != 0) {
    return kNoCodePage;
  }
  return found->codePage;
}

size_t ConvertToUtf16(std::u16string_view encoding, const char* bytes,
                      size_t count, char16_t* target, size_t capacity) {
  int32_t codePage = CodePageOf(encoding);
  if (codePage == kNoCodePage) codePage = 0;  // the system ANSI code page
  // UTF-32 has no conversion here; neither has a code page the platform
  // lacks, which the platform reports as 0 units.
  if (codePage == kCodePageUtf32) return 0;
  if (bytes == nullptr || count == 0 || count > INT_MAX) return 0;
  if (codePage == kCodePageUtf8) {
    const auto* p = reinterpret_cast<const unsigned char*>(bytes);
    const size_t units = DecodeWellFormedUtf8<false>(p, count, nullptr);
    if (units != SIZE_MAX && units <= INT_MAX) {
      if (target == nullptr) return units;
      if (units > capacity) return 0;
      return DecodeWellFormedUtf8<true>(p, count, target);
    }
  }
  const int room = target == nullptr
                       ? 0
                       : static_cast<int>(std::min<size_t>(capacity, INT_MAX));
  if (target != nullptr && room == 0) return 0;
  const int units =
      platform::MultiByteToWide(static_cast<uint32_t>(codePage), bytes,
                                static_cast<int>(count), target, room);
  return units > 0 ? static_cast<size_t>(units) : 0;
}

const char* Utf8AsciiPath() {
#if defined(VESK_XML_SSE2)
  return "sse2";
#else
  return "portable";
#endif
}

namespace {

// The bytes of an encoding as the document's text. Well-formed UTF-8 is
// decoded in one pass into room for one unit per byte (never too little);
// everything else is measured, then converted.
void ConvertText(std::u16string_view encoding, const char* bytes, size_t count,
                 internal::TextBuffer* text) {
  if (CodePageOf(encoding) == kCodePageUtf8 && count <= INT_MAX) {
    const size_t units =
        DecodeUtf8IntoRoom(reinterpret_cast<const unsigned char*>(bytes), count,
                           text->Reserve(count));
    if (units != SIZE_MAX) {
      text->SetSize(units);
      return;
    }
  }
  const size_t units = ConvertToUtf16(encoding, bytes, count, nullptr, 0);
  char16_t* room = text->Reserve(units);
  if (units > 0) {
    text->SetSize(ConvertToUtf16(encoding, bytes, count, room, units));
  }
}

}  // namespace

bool XmlDocument::Impl::LoadBytes(const char* data, size_t size) {
  text.clear();
  uint32_t found = 0;
  std::u16string encoding;
  size_t unitSize = 1;
  size_t position = 0;

  if (size == 0) {
    AddResult({u"read", u"encoding", encoding, u"length", 0});
  } else {
    const size_t chunk = std::min(size, kFirstChunk);
    const ByteOrderMark* mark = nullptr;
    for (const ByteOrderMark& m : kMarks) {
      if (chunk >= m.size && std::memcmp(data, m.bytes, m.size) == 0) {
        mark = &m;
        break;
      }
    }
    if (mark != nullptr) {
      found = mark->flag;
      encoding = mark->encoding;
      unitSize = mark->unitSize;
      position = mark->size;
      AddResult({u"bom"});
    } else {
      encoding = DeclaredEncoding(Utf8ToUtf16(data, chunk));
      if (encoding.empty() && data[0] == '<') encoding = u"UTF-8";
    }

    const auto* bytes = reinterpret_cast<const unsigned char*>(data + position);
    const size_t count = size - position;
    if (unitSize == 2) {
      const size_t units = count / 2;
      AddResult({u"read", u"encoding", encoding, u"length",
                 static_cast<int64_t>(units)});
      const bool bigEndian = found == kDocumentUtf16BigEndian;
      char16_t* room = text.Reserve(units);
      size_t kept = 0;
      for (size_t i = 0; i < units; ++i) {
        const unsigned a = bytes[2 * i];
        const unsigned b = bytes[2 * i + 1];
        const auto unit =
            static_cast<char16_t>(bigEndian ? a << 8 | b : b << 8 | a);
        if (unit != 0) room[kept++] = unit;
      }
      text.SetSize(kept);
      if (kept != units) {
        AddResult({u"nulls_removed",
                   nullptr,
                   {},
                   u"count",
                   static_cast<int64_t>(units - kept)});
      }
      if (bigEndian) AddResult({u"endian_swap"});
    } else {
      AddResult({u"read", u"encoding", encoding, u"length",
                 static_cast<int64_t>(count)});
      const char* source = reinterpret_cast<const char*>(bytes);
      size_t sourceCount = count;
      std::unique_ptr<char[]> cleaned;
      if (std::memchr(source, 0, count) != nullptr) {
        cleaned.reset(new char[count]);
        char* end =
            std::remove_copy(source, source + count, cleaned.get(), '\0');
        sourceCount = static_cast<size_t>(end - cleaned.get());
        source = cleaned.get();
        AddResult({u"nulls_removed",
                   nullptr,
                   {},
                   u"count",
                   static_cast<int64_t>(count - sourceCount)});
      }
      if (encoding.empty()) {
        if (PassesUtf8Test(reinterpret_cast<const unsigned char*>(source),
                           sourceCount)) {
          encoding = u"UTF-8";
          if (recordResults) {
            AddResultTo(&result, {u"read", u"encoding", encoding}, true);
          }
        }
        AddResult({u"utf8_detection"});
      }
      ConvertText(encoding, source, sourceCount, &text);
      AddResult({u"converted_to", u"encoding", u"UTF-16", u"length",
                 static_cast<int64_t>(text.size())});
    }
  }
  flags = (flags & ~kEncodingFlags) | found;
  return Parse();
}

bool XmlDocument::Load(const std::u16string& path) {
  Impl& d = *impl_;
  d.text.clear();
  d.result.clear();
  platform::File file = platform::File::Open(
      path, platform::Access::kRead, platform::Disposition::kOpenExisting);
  int64_t size = file.IsOpen() ? file.Size() : -1;
  // A large file's bytes go to a large buffer, a small one's to the heap.
  platform::LargeBuffer large;
  std::unique_ptr<char[]> small;
  char* bytes = nullptr;
  if (size > 0) {
    if (static_cast<uint64_t>(size) > PTRDIFF_MAX) throw std::bad_alloc();
    if (size >= kLargeFile) {
      large = platform::LargeBuffer(static_cast<size_t>(size));
      bytes = static_cast<char*>(large.data());
    } else {
      small.reset(new char[static_cast<size_t>(size)]);
      bytes = small.get();
    }
    size = file.Read(bytes, static_cast<size_t>(size));
  }
  if (size < 0) {
    // The system's message for the error, on one line.
    const uint32_t code = platform::GetLastError();
    std::u16string message =
        platform::FormatMessage(code).substr(0, kFileErrorMessageMax);
    message.resize(std::min(message.find_first_of(u"\r\n"), message.size()));
    d.AddResult({u"file_error", u"msg", message, u"n", code});
    return false;
  }
  file.Close();
  return d.LoadBytes(bytes, static_cast<size_t>(size));
}

bool XmlDocument::LoadFromBytes(const void* data, size_t size) {
  impl_->result.clear();
  if (data == nullptr) size = 0;
  return impl_->LoadBytes(static_cast<const char*>(data), size);
}

}  // namespace vesk::xml
