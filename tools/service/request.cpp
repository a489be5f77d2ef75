#include "tools/service/request.h"

#include <algorithm>
#include <cctype>

#include "tools/common/text.h"

namespace vesk::service_tool {

namespace {

bool IsTokenChar(unsigned char c) {
  if (std::isalnum(c)) return true;
  switch (c) {
    case '!':
    case '#':
    case '$':
    case '%':
    case '&':
    case '\'':
    case '*':
    case '+':
    case '-':
    case '.':
    case '^':
    case '_':
    case '`':
    case '|':
    case '~':
      return true;
    default:
      return false;
  }
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
}

std::string_view Trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) {
    text.remove_prefix(1);
  }
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) {
    text.remove_suffix(1);
  }
  return text;
}

HeadResult Refuse(int status, const char* reason) {
  HeadResult result;
  result.status = HeadStatus::kRefused;
  result.refusal = status;
  result.reason = reason;
  return result;
}

// Plain decimal digits only, without sign or blanks, and not absurdly long.
std::optional<uint64_t> Digits(std::string_view text) {
  if (text.empty() || text.size() > 18) return std::nullopt;
  uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<uint64_t>(c - '0');
  }
  return value;
}

// The parameters of a header value such as
// form-data; name="update1"; filename="\Storage Card\a.txt". Quoted values
// run to the next quotation mark: handset paths hold backslashes, which are
// not escapes here.
std::map<std::string, std::string> HeaderParameters(std::string_view value,
                                                    std::string* first) {
  std::map<std::string, std::string> parameters;
  size_t at = value.find(';');
  if (first) *first = std::string(Trim(value.substr(0, at)));
  while (at != std::string_view::npos && at < value.size()) {
    ++at;
    while (at < value.size() && (value[at] == ' ' || value[at] == '\t')) ++at;
    const size_t equals = value.find('=', at);
    if (equals == std::string_view::npos) break;
    std::string key(Trim(value.substr(at, equals - at)));
    for (char& c : key) c = static_cast<char>(std::tolower(c));
    size_t end;
    std::string parameter;
    if (equals + 1 < value.size() && value[equals + 1] == '"') {
      const size_t close = value.find('"', equals + 2);
      if (close == std::string_view::npos) break;
      parameter = std::string(value.substr(equals + 2, close - equals - 2));
      end = value.find(';', close);
    } else {
      end = value.find(';', equals);
      parameter = std::string(Trim(value.substr(
          equals + 1, end == std::string_view::npos ? std::string_view::npos
                                                    : end - equals - 1)));
    }
    parameters.emplace(std::move(key), std::move(parameter));
    at = end;
  }
  return parameters;
}

}  // namespace

std::optional<std::string> RequestHead::Header(std::string_view name) const {
  for (const auto& [key, value] : headers) {
    if (EqualsNoCase(key, name)) return value;
  }
  return std::nullopt;
}

HeadResult ParseHead(std::string_view data, RequestHead& head) {
  const std::string_view window = data.substr(0, kMaxHeadBytes);
  const size_t end = window.find("\r\n\r\n");
  if (end == std::string_view::npos) {
    if (data.size() >= kMaxHeadBytes) {
      return Refuse(431, "request head too large");
    }
    // A head that cannot become valid is refused before it is complete.
    if (window.find('\0') != std::string_view::npos) {
      return Refuse(400, "zero byte in the request head");
    }
    return HeadResult{};
  }
  head = RequestHead{};
  const std::string_view text = window.substr(0, end + 2);
  if (text.find('\0') != std::string_view::npos) {
    return Refuse(400, "zero byte in the request head");
  }

  size_t lineEnd = text.find("\r\n");
  const std::string_view requestLine = text.substr(0, lineEnd);
  const size_t firstBlank = requestLine.find(' ');
  const size_t lastBlank = requestLine.rfind(' ');
  if (firstBlank == std::string_view::npos || firstBlank == lastBlank) {
    return Refuse(400, "malformed request line");
  }
  head.method = std::string(requestLine.substr(0, firstBlank));
  head.target = std::string(
      requestLine.substr(firstBlank + 1, lastBlank - firstBlank - 1));
  head.version = std::string(requestLine.substr(lastBlank + 1));
  if (head.method.empty() || head.method.size() > 16 ||
      !std::all_of(head.method.begin(), head.method.end(),
                   [](char c) { return c >= 'A' && c <= 'Z'; })) {
    return Refuse(400, "malformed method");
  }
  if (head.target.empty() || head.target[0] != '/' ||
      std::any_of(head.target.begin(), head.target.end(), [](char c) {
        return static_cast<unsigned char>(c) <= ' ' || c == 0x7F;
      })) {
    return Refuse(400, "malformed request target");
  }
  if (head.version != "HTTP/1.1" && head.version != "HTTP/1.0") {
    return Refuse(head.version.rfind("HTTP/", 0) == 0 ? 505 : 400,
                  "unsupported protocol version");
  }

  std::optional<uint64_t> length;
  size_t at = lineEnd + 2;
  while (at < text.size()) {
    lineEnd = text.find("\r\n", at);
    const std::string_view line = text.substr(at, lineEnd - at);
    at = lineEnd + 2;
    if (line.empty() || line[0] == ' ' || line[0] == '\t') {
      return Refuse(400, "folded or empty header line");
    }
    const size_t colon = line.find(':');
    if (colon == std::string_view::npos || colon == 0) {
      return Refuse(400, "header line without a name");
    }
    const std::string_view name = line.substr(0, colon);
    if (!std::all_of(name.begin(), name.end(), [](char c) {
          return IsTokenChar(static_cast<unsigned char>(c));
        })) {
      return Refuse(400, "malformed header name");
    }
    const std::string_view value = Trim(line.substr(colon + 1));
    if (std::any_of(value.begin(), value.end(), [](char c) {
          const auto u = static_cast<unsigned char>(c);
          return (u < ' ' && u != '\t') || u == 0x7F || c == '\r' || c == '\n';
        })) {
      return Refuse(400, "control character in a header value");
    }
    if (EqualsNoCase(name, "Transfer-Encoding")) {
      return Refuse(501, "transfer codings are not supported");
    }
    if (EqualsNoCase(name, "Content-Length")) {
      const std::optional<uint64_t> value_length = Digits(value);
      if (!value_length) return Refuse(400, "malformed Content-Length");
      if (length && *length != *value_length) {
        return Refuse(400, "conflicting Content-Length values");
      }
      length = value_length;
    }
    head.headers.emplace_back(std::string(name), std::string(value));
  }
  if (length) {
    if (*length > kMaxBodyBytes) return Refuse(413, "request body too large");
    head.hasContentLength = true;
    head.contentLength = *length;
  }
  HeadResult result;
  result.status = HeadStatus::kComplete;
  result.headLength = end + 4;
  return result;
}

std::map<std::string, std::string> ParseForm(std::string_view body) {
  std::map<std::string, std::string> fields;
  size_t at = 0;
  while (at <= body.size()) {
    size_t end = body.find('&', at);
    if (end == std::string_view::npos) end = body.size();
    const std::string_view pair = body.substr(at, end - at);
    // The library ends its form body with CR LF outside the counted length;
    // a stray line end must not become part of the last value.
    std::string_view clean = pair;
    while (!clean.empty() && (clean.back() == '\r' || clean.back() == '\n')) {
      clean.remove_suffix(1);
    }
    if (!clean.empty()) {
      const size_t equals = clean.find('=');
      std::string name =
          tools::PercentDecode(clean.substr(0, equals), /*plusIsBlank=*/true);
      std::string value = equals == std::string_view::npos
                              ? std::string()
                              : tools::PercentDecode(clean.substr(equals + 1),
                                                     /*plusIsBlank=*/true);
      fields.emplace(std::move(name), std::move(value));
    }
    at = end + 1;
  }
  return fields;
}

std::optional<ByteRange> ParseRange(std::string_view value) {
  value = Trim(value);
  if (value.substr(0, 6) != "bytes=") return std::nullopt;
  value = Trim(value.substr(6));
  const size_t dash = value.find('-');
  if (dash == std::string_view::npos || dash == 0) return std::nullopt;
  const std::optional<uint64_t> from = Digits(Trim(value.substr(0, dash)));
  if (!from) return std::nullopt;
  ByteRange range;
  range.from = *from;
  const std::string_view rest = Trim(value.substr(dash + 1));
  if (!rest.empty()) {
    const std::optional<uint64_t> to = Digits(rest);
    if (!to || *to < *from) return std::nullopt;
    range.to = static_cast<int64_t>(*to);
  }
  return range;
}

std::optional<std::string> MultipartBoundary(std::string_view contentType) {
  std::string type;
  const auto parameters = HeaderParameters(contentType, &type);
  if (!EqualsNoCase(type, "multipart/form-data")) return std::nullopt;
  const auto found = parameters.find("boundary");
  if (found == parameters.end() || found->second.empty() ||
      found->second.size() > 70) {
    return std::nullopt;
  }
  return found->second;
}

MultipartReader::MultipartReader(std::string boundary, Handler handler)
    : delimiter_("\r\n--" + boundary), handler_(std::move(handler)) {
  // The first delimiter may open the body without a line end before it.
  pending_ = "\r\n";
}

bool MultipartReader::Fail(const char* why) {
  state_ = State::kFailed;
  error_ = why;
  pending_.clear();
  return false;
}

bool MultipartReader::ParsePartHead(std::string_view text) {
  PartHead head;
  bool disposition = false;
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find("\r\n", at);
    if (end == std::string_view::npos) end = text.size();
    const std::string_view line = text.substr(at, end - at);
    at = end + 2;
    const size_t colon = line.find(':');
    if (colon == std::string_view::npos || colon == 0) {
      return Fail("part header line without a name");
    }
    const std::string_view name = line.substr(0, colon);
    const std::string_view value = Trim(line.substr(colon + 1));
    if (EqualsNoCase(name, "Content-Disposition")) {
      std::string type;
      const auto parameters = HeaderParameters(value, &type);
      if (!EqualsNoCase(type, "form-data")) {
        return Fail("part is not form-data");
      }
      const auto found = parameters.find("name");
      if (found == parameters.end()) return Fail("part without a name");
      head.name = found->second;
      const auto file = parameters.find("filename");
      if (file != parameters.end()) {
        head.filename = file->second;
        head.hasFilename = true;
      }
      disposition = true;
    } else if (EqualsNoCase(name, "Content-Type")) {
      head.contentType = std::string(value);
    }
  }
  if (!disposition) return Fail("part without Content-Disposition");
  ++parts_;
  if (handler_.partBegin && !handler_.partBegin(head)) {
    return Fail("part refused");
  }
  return true;
}

bool MultipartReader::Feed(std::string_view bytes) {
  if (state_ == State::kFailed) return false;
  if (state_ == State::kDone) return true;
  pending_.append(bytes.data(), bytes.size());
  for (;;) {
    switch (state_) {
      case State::kPreamble: {
        const size_t found = pending_.find(delimiter_);
        if (found == std::string::npos) {
          // Keep only what could still be the start of the delimiter.
          if (pending_.size() >= delimiter_.size()) {
            pending_.erase(0, pending_.size() - delimiter_.size() + 1);
          }
          return true;
        }
        pending_.erase(0, found + delimiter_.size());
        state_ = State::kAfterDelimiter;
        break;
      }
      case State::kAfterDelimiter: {
        if (pending_.size() < 2) return true;
        if (pending_.compare(0, 2, "--") == 0) {
          state_ = State::kDone;
          pending_.clear();
          return true;
        }
        if (pending_.compare(0, 2, "\r\n") != 0) {
          return Fail("delimiter not followed by a line end");
        }
        pending_.erase(0, 2);
        state_ = State::kPartHead;
        break;
      }
      case State::kPartHead: {
        size_t headEnd;
        size_t skip;
        if (pending_.size() >= 2 && pending_.compare(0, 2, "\r\n") == 0) {
          headEnd = 0;  // a part without header lines
          skip = 2;
        } else {
          headEnd = pending_.find("\r\n\r\n");
          skip = 4;
        }
        if (headEnd == std::string::npos) {
          if (pending_.size() > kMaxHeadBytes) {
            return Fail("part head too large");
          }
          return true;
        }
        if (headEnd > kMaxHeadBytes) return Fail("part head too large");
        const std::string text = pending_.substr(0, headEnd);
        pending_.erase(0, headEnd + skip);
        if (!ParsePartHead(text)) return false;
        state_ = State::kPartData;
        break;
      }
      case State::kPartData: {
        const size_t found = pending_.find(delimiter_);
        if (found == std::string::npos) {
          if (pending_.size() >= delimiter_.size()) {
            const size_t settled = pending_.size() - delimiter_.size() + 1;
            if (handler_.partData &&
                !handler_.partData(
                    std::string_view(pending_).substr(0, settled))) {
              return Fail("part data refused");
            }
            pending_.erase(0, settled);
          }
          return true;
        }
        if (found > 0 && handler_.partData &&
            !handler_.partData(std::string_view(pending_).substr(0, found))) {
          return Fail("part data refused");
        }
        if (handler_.partEnd && !handler_.partEnd()) {
          return Fail("part refused at its end");
        }
        pending_.erase(0, found + delimiter_.size());
        state_ = State::kAfterDelimiter;
        break;
      }
      case State::kDone:
        return true;
      case State::kFailed:
        return false;
    }
  }
}

}  // namespace vesk::service_tool
