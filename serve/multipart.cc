#include "serve/multipart.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <string_view>
#include <vector>

namespace docmill::serve {

namespace {

constexpr size_t kMaxHeaderBlock = 16 * 1024;
constexpr size_t kMaxPreamble = 64 * 1024;

std::string lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return s;
}

std::string trim(const std::string& s) {
  size_t b = s.find_first_not_of(" \t");
  if (b == std::string::npos) return {};
  size_t e = s.find_last_not_of(" \t");
  return s.substr(b, e - b + 1);
}

// The parameters of a header value such as `form-data; name="a"; filename="b"`, by
// lower-cased name. Quoted values may escape a quote or a backslash.
std::vector<std::pair<std::string, std::string>> headerParams(const std::string& value) {
  std::vector<std::pair<std::string, std::string>> params;
  size_t i = value.find(';');
  while (i != std::string::npos && i < value.size()) {
    ++i;
    while (i < value.size() && (value[i] == ' ' || value[i] == '\t')) ++i;
    size_t eq = value.find('=', i);
    size_t semi = value.find(';', i);
    if (eq == std::string::npos || (semi != std::string::npos && semi < eq)) {
      i = semi;
      continue;
    }
    std::string name = lower(trim(value.substr(i, eq - i)));
    std::string v;
    size_t j = eq + 1;
    while (j < value.size() && (value[j] == ' ' || value[j] == '\t')) ++j;
    if (j < value.size() && value[j] == '"') {
      for (++j; j < value.size() && value[j] != '"'; ++j) {
        if (value[j] == '\\' && j + 1 < value.size()) ++j;
        v += value[j];
      }
      i = value.find(';', j);
    } else {
      size_t end = value.find(';', j);
      v = trim(value.substr(j, end == std::string::npos ? std::string::npos : end - j));
      i = end;
    }
    params.emplace_back(name, v);
  }
  return params;
}

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// An extended parameter value (charset'language'percent-encoded), as browsers send
// non-ASCII file names; only UTF-8 and ASCII are taken.
std::optional<std::string> extendedValue(const std::string& v) {
  size_t first = v.find('\'');
  size_t second = first == std::string::npos ? first : v.find('\'', first + 1);
  if (second == std::string::npos) return std::nullopt;
  std::string charset = lower(v.substr(0, first));
  if (charset != "utf-8" && charset != "us-ascii") return std::nullopt;
  std::string out;
  for (size_t i = second + 1; i < v.size(); ++i) {
    if (v[i] == '%' && i + 2 < v.size() && hexValue(v[i + 1]) >= 0 && hexValue(v[i + 2]) >= 0) {
      out += static_cast<char>(hexValue(v[i + 1]) * 16 + hexValue(v[i + 2]));
      i += 2;
    } else {
      out += v[i];
    }
  }
  return out;
}

}  // namespace

MultipartReader::MultipartReader(std::string boundary, Handler handler)
    : delimiter_("\r\n--" + boundary), handler_(std::move(handler)) {
  // The first delimiter may open the body without a line break before it.
  buffer_ = "\r\n";
}

void MultipartReader::feed(const char* bytes, size_t size) {
  buffer_.append(bytes, size);
  run();
}

void MultipartReader::finish() {
  run();
  if (state_ != State::Done) throw FormError("the form ends before its closing boundary");
}

void MultipartReader::run() {
  for (;;) {
    switch (state_) {
      case State::Preamble: {
        size_t at = buffer_.find(delimiter_);
        if (at == std::string::npos) {
          if (buffer_.size() > kMaxPreamble) throw FormError("the form has no boundary");
          return;
        }
        buffer_.erase(0, at + delimiter_.size());
        state_ = State::AfterDelimiter;
        break;
      }
      case State::AfterDelimiter: {
        // Transport padding (spaces, tabs) may follow a delimiter.
        size_t pad = buffer_.find_first_not_of(" \t");
        if (pad == std::string::npos || buffer_.size() < pad + 2) {
          if (buffer_.size() > 1024) throw FormError("malformed boundary line");
          return;
        }
        if (buffer_.compare(pad, 2, "--") == 0) {
          buffer_.clear();
          state_ = State::Done;
          return;
        }
        if (buffer_.compare(pad, 2, "\r\n") != 0) throw FormError("malformed boundary line");
        buffer_.erase(0, pad + 2);
        state_ = State::Headers;
        break;
      }
      case State::Headers: {
        size_t end;
        std::string block;
        if (buffer_.compare(0, 2, "\r\n") == 0) {
          end = 2;
        } else {
          size_t at = buffer_.find("\r\n\r\n");
          if (at == std::string::npos) {
            if (buffer_.size() > kMaxHeaderBlock) throw FormError("a part's headers are too long");
            return;
          }
          if (at > kMaxHeaderBlock) throw FormError("a part's headers are too long");
          block = buffer_.substr(0, at);
          end = at + 4;
        }
        buffer_.erase(0, end);
        parseHeaders(block);
        state_ = State::Body;
        break;
      }
      case State::Body: {
        size_t at = buffer_.find(delimiter_);
        if (at == std::string::npos) {
          // Everything but what could be the start of a delimiter goes on now.
          if (buffer_.size() >= delimiter_.size()) {
            size_t keep = delimiter_.size() - 1;
            size_t give = buffer_.size() - keep;
            handler_.data(buffer_.data(), give);
            buffer_.erase(0, give);
          }
          return;
        }
        if (at > 0) handler_.data(buffer_.data(), at);
        handler_.end();
        buffer_.erase(0, at + delimiter_.size());
        state_ = State::AfterDelimiter;
        break;
      }
      case State::Done:
        buffer_.clear();  // the epilogue is ignored
        return;
    }
  }
}

void MultipartReader::parseHeaders(const std::string& block) {
  PartInfo info;
  bool disposition = false;
  size_t start = 0;
  while (start <= block.size()) {
    size_t end = block.find("\r\n", start);
    std::string line =
        block.substr(start, end == std::string::npos ? std::string::npos : end - start);
    start = end == std::string::npos ? block.size() + 1 : end + 2;
    size_t colon = line.find(':');
    if (colon == std::string::npos) continue;
    std::string name = lower(trim(line.substr(0, colon)));
    std::string value = trim(line.substr(colon + 1));
    if (name == "content-disposition") {
      if (lower(value.substr(0, value.find(';'))) != "form-data") {
        throw FormError("a part is not form data");
      }
      disposition = true;
      std::optional<std::string> extended;
      for (const auto& [key, v] : headerParams(value)) {
        if (key == "name") info.name = v;
        if (key == "filename") info.fileName = v;
        if (key == "filename*") extended = extendedValue(v);
      }
      if (extended) info.fileName = extended;
    } else if (name == "content-type") {
      info.contentType = value;
    }
  }
  if (!disposition) throw FormError("a part has no Content-Disposition");
  handler_.begin(info);
}

std::optional<std::string> formBoundary(const std::string& contentType) {
  std::string type = lower(trim(contentType.substr(0, contentType.find(';'))));
  if (type != "multipart/form-data") return std::nullopt;
  for (const auto& [key, v] : headerParams(contentType)) {
    if (key != "boundary") continue;
    if (v.empty() || v.size() > 70) return std::nullopt;
    for (unsigned char c : v) {
      if (c < 0x20 || c > 0x7e) return std::nullopt;
    }
    return v;
  }
  return std::nullopt;
}

namespace {

// Characters that change how text around them is shown without being seen themselves
// (direction overrides and isolates, zero-width characters, invisible operators, tags):
// in a file name they disguise what it is ("report\u202Efdp.exe"), so they are dropped.
bool invisibleFormatCharacter(uint32_t c) {
  return c == 0x00AD || (c >= 0x0600 && c <= 0x0605) || c == 0x061C || c == 0x06DD || c == 0x070F ||
         c == 0x0890 || c == 0x0891 || c == 0x08E2 || c == 0x180E || (c >= 0x200B && c <= 0x200F) ||
         (c >= 0x2028 && c <= 0x202E) || (c >= 0x2060 && c <= 0x2064) ||
         (c >= 0x2066 && c <= 0x206F) || c == 0xFEFF || (c >= 0xFFF9 && c <= 0xFFFB) ||
         c == 0x110BD || c == 0x110CD || (c >= 0x13430 && c <= 0x1343F) ||
         (c >= 0x1BCA0 && c <= 0x1BCA3) || (c >= 0x1D173 && c <= 0x1D17A) || c == 0xE0001 ||
         (c >= 0xE0020 && c <= 0xE007F);
}

// The length of the well-formed UTF-8 sequence at `s[at]` and its code point; 0 when the
// bytes there are not one (a stray continuation byte, an overlong form, a surrogate, a
// sequence cut short).
size_t utf8Sequence(const std::string& s, size_t at, uint32_t& code) {
  const auto byte = [&](size_t i) { return static_cast<unsigned char>(s[i]); };
  const unsigned char lead = byte(at);
  size_t length;
  uint32_t least;
  if (lead < 0x80) {
    code = lead;
    return 1;
  } else if ((lead & 0xE0) == 0xC0) {
    length = 2, code = lead & 0x1F, least = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 3, code = lead & 0x0F, least = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    length = 4, code = lead & 0x07, least = 0x10000;
  } else {
    return 0;
  }
  if (at + length > s.size()) return 0;
  for (size_t i = 1; i < length; ++i) {
    if ((byte(at + i) & 0xC0) != 0x80) return 0;
    code = (code << 6) | (byte(at + i) & 0x3F);
  }
  if (code < least || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return 0;
  return length;
}

// Names that Windows takes for devices whatever their extension ("con.pdf", "LPT1.txt").
bool reservedOnWindows(std::string stem) {
  stem.erase(stem.find_last_not_of(' ') + 1);
  stem = lower(stem);
  static const char* const names[] = {"con", "prn", "aux", "nul", "conin$", "conout$"};
  for (const char* n : names) {
    if (stem == n) return true;
  }
  if (stem.size() >= 4 && (stem.compare(0, 3, "com") == 0 || stem.compare(0, 3, "lpt") == 0)) {
    const std::string rest = stem.substr(3);
    return (rest.size() == 1 && std::isdigit(static_cast<unsigned char>(rest[0]))) ||
           rest == "\xC2\xB9" || rest == "\xC2\xB2" || rest == "\xC2\xB3";
  }
  return false;
}

void trimDotsAndSpaces(std::string& s) {
  s.erase(0, s.find_first_not_of(". "));
  const size_t last = s.find_last_not_of(". ");
  s.erase(last == std::string::npos ? 0 : last + 1);
}

}  // namespace

std::string safeFileName(const std::string& name, const std::string& fallback) {
  std::string base = name;
  size_t slash = base.find_last_of("/\\");
  if (slash != std::string::npos) base = base.substr(slash + 1);
  // A drive ("C:evil.ps") would take the name elsewhere when unpacked on Windows.
  if (base.size() >= 2 && std::isalpha(static_cast<unsigned char>(base[0])) && base[1] == ':') {
    base.erase(0, 2);
  }
  std::string out;
  for (size_t at = 0; at < base.size();) {
    uint32_t code = 0;
    const size_t length = utf8Sequence(base, at, code);
    if (length == 0) {
      out += '_';  // not UTF-8: the name must read the same in every header and archive
      ++at;
      continue;
    }
    if (code < 0x20 || (code >= 0x7F && code <= 0x9F) ||
        (code < 0x80 && std::string_view("\"\\/;%:<>|?*").find(static_cast<char>(code)) !=
                            std::string_view::npos)) {
      out += '_';
    } else if (!invisibleFormatCharacter(code)) {
      out.append(base, at, length);
    }
    at += length;
  }
  trimDotsAndSpaces(out);
  if (out.size() > 120) {
    // Cut on a character boundary of UTF-8 and keep the extension.
    std::string ext;
    size_t dot = out.rfind('.');
    if (dot != std::string::npos && out.size() - dot <= 10) ext = out.substr(dot);
    size_t cut = 120 - ext.size();
    while (cut > 0 && (static_cast<unsigned char>(out[cut]) & 0xC0) == 0x80) --cut;
    out = out.substr(0, cut);
    trimDotsAndSpaces(out);
    out += ext;
  }
  if (reservedOnWindows(out.substr(0, out.find('.')))) out = "_" + out;
  if (out.empty()) return fallback;
  return out;
}

}  // namespace docmill::serve
