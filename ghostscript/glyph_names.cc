#include "ghostscript/glyph_names.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <map>
#include <set>
#include <utility>
#include <vector>

#include "platform/files.h"

namespace docmill::gs {

namespace {

constexpr std::string_view kUnnamedPrefix = "~gs~gName~";
// A character map is a few kilobytes; anything that decodes to more is not one.
constexpr size_t kMaxMapBytes = 4u << 20;

bool isSpace(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\0';
}
bool isDelimiter(char c) {
  return isSpace(c) || c == '/' || c == '[' || c == ']' || c == '<' || c == '>' || c == '(' ||
         c == ')' || c == '{' || c == '}' || c == '%';
}
int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// --- A small PostScript tokenizer, enough for character maps and encodings -------------

struct Token {
  enum Kind { End, Name, Hex, Open, Close, DictOpen, DictClose, Other } kind = End;
  std::string text;  // name without '/', decoded hex bytes, or the word itself
  size_t begin = 0;  // offset of the token in the scanned text
  size_t end = 0;
};

class Tokenizer {
 public:
  Tokenizer(std::string_view text, size_t pos = 0) : s_(text), pos_(pos) {}

  Token next() {
    skipSpaceAndComments();
    Token t;
    t.begin = pos_;
    if (pos_ >= s_.size()) {
      t.end = pos_;
      return t;
    }
    char c = s_[pos_];
    if (c == '/') {
      size_t start = ++pos_;
      while (pos_ < s_.size() && !isDelimiter(s_[pos_])) ++pos_;
      t.kind = Token::Name;
      t.text = std::string(s_.substr(start, pos_ - start));
    } else if (c == '<' && pos_ + 1 < s_.size() && s_[pos_ + 1] == '<') {
      pos_ += 2;
      t.kind = Token::DictOpen;
    } else if (c == '>' && pos_ + 1 < s_.size() && s_[pos_ + 1] == '>') {
      pos_ += 2;
      t.kind = Token::DictClose;
    } else if (c == '<') {
      t.kind = Token::Hex;
      int high = -1;
      for (++pos_; pos_ < s_.size() && s_[pos_] != '>'; ++pos_) {
        int v = hexValue(s_[pos_]);
        if (v < 0) {
          if (isSpace(s_[pos_])) continue;
          t.kind = Token::Other;  // not a hex string after all
          continue;
        }
        if (high < 0) {
          high = v;
        } else {
          t.text.push_back(static_cast<char>(high * 16 + v));
          high = -1;
        }
      }
      if (high >= 0) t.text.push_back(static_cast<char>(high * 16));
      if (pos_ < s_.size()) ++pos_;
    } else if (c == '[' || c == '{') {
      ++pos_;
      t.kind = Token::Open;
    } else if (c == ']' || c == '}') {
      ++pos_;
      t.kind = Token::Close;
    } else if (c == '(') {
      skipString();
      t.kind = Token::Other;
    } else {
      size_t start = pos_;
      while (pos_ < s_.size() && !isDelimiter(s_[pos_])) ++pos_;
      if (pos_ == start) ++pos_;  // a stray delimiter such as a lone '>' or ')'
      t.kind = Token::Other;
      t.text = std::string(s_.substr(start, pos_ - start));
    }
    t.end = pos_;
    return t;
  }

  size_t position() const { return pos_; }

 private:
  void skipSpaceAndComments() {
    while (pos_ < s_.size()) {
      if (isSpace(s_[pos_])) {
        ++pos_;
      } else if (s_[pos_] == '%') {
        while (pos_ < s_.size() && s_[pos_] != '\n' && s_[pos_] != '\r') ++pos_;
      } else {
        break;
      }
    }
  }
  void skipString() {
    int depth = 0;
    for (; pos_ < s_.size(); ++pos_) {
      char c = s_[pos_];
      if (c == '\\') {
        ++pos_;
      } else if (c == '(') {
        ++depth;
      } else if (c == ')' && --depth == 0) {
        ++pos_;
        return;
      }
    }
  }

  std::string_view s_;
  size_t pos_;
};

std::optional<long> parseInt(const std::string& text) {
  if (text.empty() || text.size() > 9) return std::nullopt;
  long v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    v = v * 10 + (c - '0');
  }
  return v;
}

// --- Stream filters ps2write writes --------------------------------------------------

std::optional<std::string> ascii85Decode(std::string_view in) {
  std::string out;
  uint64_t group = 0;
  int count = 0;
  for (size_t i = 0; i < in.size(); ++i) {
    char c = in[i];
    if (isSpace(c)) continue;
    if (c == '~') break;
    if (c == 'z' && count == 0) {
      out.append(4, '\0');
      continue;
    }
    if (c < '!' || c > 'u') return std::nullopt;
    group = group * 85 + static_cast<uint64_t>(c - '!');
    if (++count == 5) {
      if (group > 0xFFFFFFFFu) return std::nullopt;
      for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<char>(group >> shift));
      group = 0;
      count = 0;
    }
    if (out.size() > kMaxMapBytes) return std::nullopt;
  }
  if (count == 1) return std::nullopt;
  if (count > 1) {
    for (int k = count; k < 5; ++k) group = group * 85 + 84;
    if (group > 0xFFFFFFFFu) return std::nullopt;
    for (int k = 0; k < count - 1; ++k) out.push_back(static_cast<char>(group >> (24 - 8 * k)));
  }
  return out;
}

// LZW as PostScript defines it: 9- to 12-bit codes, 256 clears, 257 ends, code widths
// growing one code early.
std::optional<std::string> lzwDecode(std::string_view in) {
  struct Entry {
    int prefix;  // -1 for the single-byte entries
    unsigned char last;
    size_t length;
  };
  std::vector<Entry> table;
  auto reset = [&] {
    table.clear();
    for (int b = 0; b < 256; ++b) table.push_back({-1, static_cast<unsigned char>(b), 1});
    table.push_back({-1, 0, 0});  // clear
    table.push_back({-1, 0, 0});  // end of data
  };
  auto expand = [&](int code, std::string& out) {
    size_t start = out.size();
    out.resize(start + table[code].length);
    for (size_t i = table[code].length; code >= 0; code = table[code].prefix) {
      out[start + --i] = static_cast<char>(table[code].last);
    }
  };
  reset();
  std::string out;
  int width = 9;
  int prev = -1;
  uint32_t bits = 0;
  int held = 0;
  size_t i = 0;
  while (true) {
    while (held < width && i < in.size()) {
      bits = (bits << 8) | static_cast<unsigned char>(in[i++]);
      held += 8;
    }
    if (held < width) break;
    int code = static_cast<int>((bits >> (held - width)) & ((1u << width) - 1));
    held -= width;
    if (code == 256) {
      reset();
      width = 9;
      prev = -1;
      continue;
    }
    if (code == 257) break;
    size_t start = out.size();
    if (code < static_cast<int>(table.size()) && code > 257) {
      expand(code, out);
    } else if (code < 256) {
      out.push_back(static_cast<char>(code));
    } else if (code == static_cast<int>(table.size()) && prev >= 0) {
      expand(prev, out);
      out.push_back(out[start]);
    } else {
      return std::nullopt;
    }
    if (prev >= 0 && table.size() < 4096) {
      table.push_back({prev, static_cast<unsigned char>(out[start]), table[prev].length + 1});
    }
    prev = code;
    if (table.size() + 1 >= (1u << width) && width < 12) ++width;
    if (out.size() > kMaxMapBytes) return std::nullopt;
  }
  return out;
}

// --- Objects of the file --------------------------------------------------------------

// Offsets just past "N 0 obj" for every object that starts a line.
std::map<long, size_t> indexObjects(std::string_view ps) {
  std::map<long, size_t> objects;
  for (size_t at = ps.find(" obj"); at != std::string_view::npos; at = ps.find(" obj", at + 4)) {
    size_t genEnd = at;
    size_t genStart = genEnd;
    while (genStart > 0 && std::isdigit(static_cast<unsigned char>(ps[genStart - 1]))) --genStart;
    if (genStart == genEnd || genStart == 0 || ps[genStart - 1] != ' ') continue;
    size_t numEnd = genStart - 1;
    size_t numStart = numEnd;
    while (numStart > 0 && std::isdigit(static_cast<unsigned char>(ps[numStart - 1]))) --numStart;
    if (numStart == numEnd ||
        (numStart > 0 && ps[numStart - 1] != '\n' && ps[numStart - 1] != '\r')) {
      continue;
    }
    size_t after = at + 4;
    if (after < ps.size() && !isDelimiter(ps[after])) continue;
    auto number = parseInt(std::string(ps.substr(numStart, numEnd - numStart)));
    if (number) objects.emplace(*number, after);
  }
  return objects;
}

// The value after `key` in the dictionary that starts at `pos`, as the token that opens
// it, or an End token; `rest` is left just after that token. Only the top level of the
// dictionary is searched.
Token findKey(std::string_view ps, size_t pos, std::string_view key, Tokenizer* rest = nullptr) {
  Tokenizer tk(ps, pos);
  if (tk.next().kind != Token::DictOpen) return {};
  while (true) {
    Token k = tk.next();
    if (k.kind != Token::Name) return {};  // the end of the dictionary, or not one
    Token v = tk.next();
    if (k.text == key) {
      if (rest) *rest = tk;
      return v;
    }
    if (v.kind == Token::DictOpen || v.kind == Token::Open) {
      for (int depth = 1; depth > 0;) {
        Token t = tk.next();
        if (t.kind == Token::End) return {};
        if (t.kind == Token::DictOpen || t.kind == Token::Open) ++depth;
        if (t.kind == Token::DictClose || t.kind == Token::Close) --depth;
      }
    } else if (v.kind == Token::Other && parseInt(v.text)) {
      // "N G R" is one value of three words.
      Tokenizer look = tk;
      Token g = look.next();
      Token r = look.next();
      if (g.kind == Token::Other && parseInt(g.text) && r.kind == Token::Other && r.text == "R") {
        tk = look;
      }
    } else if (v.kind == Token::End) {
      return {};
    }
  }
}

// Reads "N G R" starting with `first`; nothing when the value is something else.
std::optional<long> reference(const Token& first, Tokenizer& rest) {
  if (first.kind != Token::Other) return std::nullopt;
  auto number = parseInt(first.text);
  Token gen = rest.next();
  Token r = rest.next();
  if (!number || gen.kind != Token::Other || !parseInt(gen.text) || r.kind != Token::Other ||
      r.text != "R") {
    return std::nullopt;
  }
  return number;
}

// The decoded data of the stream object whose dictionary starts at `pos`.
std::optional<std::string> streamData(std::string_view ps, size_t pos) {
  std::vector<std::string> filters;
  Tokenizer rest(ps);
  Token filter = findKey(ps, pos, "Filter", &rest);
  if (filter.kind == Token::Name) {
    filters.push_back(filter.text);
  } else if (filter.kind == Token::Open) {
    for (Token t = rest.next(); t.kind == Token::Name; t = rest.next()) filters.push_back(t.text);
  } else if (filter.kind != Token::End) {
    return std::nullopt;
  }
  if (findKey(ps, pos, "DecodeParms").kind != Token::End) return std::nullopt;

  // Skip the dictionary to find "stream".
  Tokenizer tk(ps, pos);
  int depth = 0;
  Token t;
  do {
    t = tk.next();
    if (t.kind == Token::DictOpen) ++depth;
    if (t.kind == Token::DictClose) --depth;
    if (t.kind == Token::End) return std::nullopt;
  } while (depth > 0);
  t = tk.next();
  if (t.kind != Token::Other || t.text != "stream") return std::nullopt;
  size_t begin = t.end;
  if (begin < ps.size() && ps[begin] == '\r') ++begin;
  if (begin < ps.size() && ps[begin] == '\n') ++begin;
  size_t end = ps.find("endstream", begin);
  if (end == std::string_view::npos) return std::nullopt;

  std::string data(ps.substr(begin, end - begin));
  for (const std::string& f : filters) {
    std::optional<std::string> decoded;
    if (f == "ASCII85Decode" || f == "A85") {
      decoded = ascii85Decode(data);
    } else if (f == "LZWDecode" || f == "LZW") {
      decoded = lzwDecode(data);
    }
    if (!decoded) return std::nullopt;
    data = std::move(*decoded);
  }
  return data;
}

// --- Character maps -------------------------------------------------------------------

// UTF-16BE to code points; nothing for unpaired surrogates.
std::optional<std::vector<uint32_t>> utf16(const std::string& bytes) {
  if (bytes.empty() || bytes.size() % 2) return std::nullopt;
  std::vector<uint32_t> out;
  for (size_t i = 0; i < bytes.size(); i += 2) {
    uint32_t u =
        (static_cast<unsigned char>(bytes[i]) << 8) | static_cast<unsigned char>(bytes[i + 1]);
    if (u >= 0xD800 && u <= 0xDBFF) {
      if (i + 3 >= bytes.size()) return std::nullopt;
      uint32_t lo = (static_cast<unsigned char>(bytes[i + 2]) << 8) |
                    static_cast<unsigned char>(bytes[i + 3]);
      if (lo < 0xDC00 || lo > 0xDFFF) return std::nullopt;
      u = 0x10000 + ((u - 0xD800) << 10) + (lo - 0xDC00);
      i += 2;
    } else if (u >= 0xDC00 && u <= 0xDFFF) {
      return std::nullopt;
    }
    out.push_back(u);
  }
  return out;
}

// A glyph name that stands for these characters: "uniXXXX" (several for a ligature) or
// "uXXXXX" beyond the basic plane. Nothing for characters no name can stand for.
std::optional<std::string> nameFor(const std::vector<uint32_t>& chars) {
  char buf[16];
  if (chars.size() == 1 && chars[0] > 0xFFFF) {
    if (chars[0] > 0x10FFFF) return std::nullopt;
    snprintf(buf, sizeof buf, "u%X", chars[0]);
    return std::string(buf);
  }
  // Ligatures have characters of their own, which the interpreter knows by name; it does
  // not read names of several characters.
  static const std::map<std::vector<uint32_t>, std::string> ligatures = {
      {{'f', 'f'}, "uniFB00"},      {{'f', 'i'}, "uniFB01"},      {{'f', 'l'}, "uniFB02"},
      {{'f', 'f', 'i'}, "uniFB03"}, {{'f', 'f', 'l'}, "uniFB04"}, {{'s', 't'}, "uniFB06"}};
  if (auto ligature = ligatures.find(chars); ligature != ligatures.end()) return ligature->second;
  if (chars.size() > 8) return std::nullopt;
  std::string name = "uni";
  for (uint32_t u : chars) {
    if (u == 0 || u > 0xFFFF) return std::nullopt;
    snprintf(buf, sizeof buf, "%04X", u);
    name += buf;
  }
  return name;
}

// Character code (one byte) to its characters, from the bfchar and bfrange sections.
std::map<int, std::vector<uint32_t>> parseCharacterMap(std::string_view cmap) {
  std::map<int, std::vector<uint32_t>> map;
  auto put = [&](const std::string& code, std::string dst) {
    if (code.size() != 1) return;
    // The interpreter writes entries of several characters (ligatures) with each UTF-16
    // unit's bytes swapped: "fi" comes out as <66006900>. No real sequence of several
    // characters has every unit ending in a zero byte, so such an entry is swapped back.
    bool swapped = dst.size() >= 4 && dst.size() % 2 == 0;
    for (size_t i = 0; swapped && i < dst.size(); i += 2) swapped = dst[i] != 0 && dst[i + 1] == 0;
    if (swapped) {
      for (size_t i = 0; i < dst.size(); i += 2) std::swap(dst[i], dst[i + 1]);
    }
    if (auto chars = utf16(dst)) map[static_cast<unsigned char>(code[0])] = *chars;
  };
  Tokenizer tk(cmap);
  for (Token t = tk.next(); t.kind != Token::End; t = tk.next()) {
    if (t.kind != Token::Other) continue;
    if (t.text == "beginbfchar") {
      while (true) {
        Token src = tk.next();
        if (src.kind != Token::Hex) break;
        Token dst = tk.next();
        if (dst.kind != Token::Hex) break;
        put(src.text, dst.text);
      }
    } else if (t.text == "beginbfrange") {
      while (true) {
        Token lo = tk.next();
        if (lo.kind != Token::Hex) break;
        Token hi = tk.next();
        Token dst = tk.next();
        if (hi.kind != Token::Hex || lo.text.size() != 1 || hi.text.size() != 1) {
          if (dst.kind == Token::Open) {
            while (tk.next().kind == Token::Hex) {
            }
          }
          continue;
        }
        int first = static_cast<unsigned char>(lo.text[0]);
        int last = static_cast<unsigned char>(hi.text[0]);
        if (dst.kind == Token::Hex) {
          std::string value = dst.text;
          for (int code = first; code <= last && !value.empty(); ++code) {
            put(std::string(1, static_cast<char>(code)), value);
            // The next code maps to the next value of the last byte.
            value.back() = static_cast<char>(static_cast<unsigned char>(value.back()) + 1);
          }
        } else if (dst.kind == Token::Open) {
          int code = first;
          for (Token v = tk.next(); v.kind == Token::Hex; v = tk.next(), ++code) {
            if (code <= last) put(std::string(1, static_cast<char>(code)), v.text);
          }
        } else {
          break;
        }
      }
    }
  }
  return map;
}

// --- Renaming -------------------------------------------------------------------------

struct Edit {
  size_t begin;
  size_t end;
  std::string text;
};

// Renames the unnamed glyphs of the Differences array of the encoding dictionary at `pos`.
void renameGlyphs(std::string_view ps, size_t pos,
                  const std::map<int, std::vector<uint32_t>>& chars, std::vector<Edit>& edits) {
  Tokenizer tk(ps);
  Token open = findKey(ps, pos, "Differences", &tk);
  if (open.kind != Token::Open) return;
  struct Slot {
    int code;
    Token name;
  };
  std::vector<Slot> slots;
  std::set<std::string> taken;
  long code = -1;
  for (Token t = tk.next(); t.kind != Token::Close; t = tk.next()) {
    if (t.kind == Token::Other) {
      auto n = parseInt(t.text);
      if (!n) return;
      code = *n;
    } else if (t.kind == Token::Name) {
      if (code < 0 || code > 255) return;
      taken.insert(t.text);
      slots.push_back({static_cast<int>(code++), t});
    } else {
      return;  // malformed: leave the whole array alone
    }
  }
  for (const Slot& slot : slots) {
    if (slot.name.text.compare(0, kUnnamedPrefix.size(), kUnnamedPrefix) != 0) continue;
    auto found = chars.find(slot.code);
    if (found == chars.end()) continue;
    auto base = nameFor(found->second);
    if (!base) continue;
    std::string name = *base;
    for (int n = 1; taken.count(name); ++n) name = *base + "." + std::to_string(n);
    taken.insert(name);
    edits.push_back({slot.name.begin, slot.name.end, "/" + name});
  }
}

}  // namespace

namespace {

// The renamings for `ps`, in file order, none overlapping.
std::vector<Edit> collectEdits(std::string_view ps) {
  std::vector<Edit> edits;
  if (ps.find(kUnnamedPrefix) == std::string_view::npos ||
      ps.find("/ToUnicode") == std::string_view::npos) {
    return edits;
  }
  std::map<long, size_t> objects = indexObjects(ps);
  std::set<size_t> renamedEncodings;  // where each encoding dictionary starts
  for (const auto& entry : objects) {
    size_t pos = entry.second;
    Tokenizer rest(ps);
    Token toUnicode = findKey(ps, pos, "ToUnicode", &rest);
    auto mapRef = reference(toUnicode, rest);
    if (!mapRef || !objects.count(*mapRef)) continue;
    Token encoding = findKey(ps, pos, "Encoding", &rest);
    size_t encodingAt;
    if (encoding.kind == Token::DictOpen) {
      encodingAt = encoding.begin;
    } else if (auto ref = reference(encoding, rest); ref && objects.count(*ref)) {
      encodingAt = objects[*ref];
    } else {
      continue;
    }
    if (renamedEncodings.count(encodingAt)) continue;
    auto cmap = streamData(ps, objects[*mapRef]);
    if (!cmap) continue;
    auto chars = parseCharacterMap(*cmap);
    if (chars.empty()) continue;
    renamedEncodings.insert(encodingAt);
    renameGlyphs(ps, encodingAt, chars, edits);
  }
  std::sort(edits.begin(), edits.end(),
            [](const Edit& a, const Edit& b) { return a.begin < b.begin; });
  std::vector<Edit> ordered;
  for (Edit& e : edits) {
    // Never overlapping; guards against a mistake all the same.
    if (ordered.empty() || e.begin >= ordered.back().end) ordered.push_back(std::move(e));
  }
  return ordered;
}

// Calls `write` with the pieces of `ps` with `edits` applied, in order.
template <typename Write>
bool applyEdits(std::string_view ps, const std::vector<Edit>& edits, Write write) {
  size_t at = 0;
  for (const Edit& e : edits) {
    if (!write(ps.substr(at, e.begin - at)) || !write(e.text)) return false;
    at = e.end;
  }
  return write(ps.substr(at));
}

bool writeAll(int fd, std::string_view data) {
  while (!data.empty()) {
    ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

// A file descriptor closed when this goes.
struct Descriptor {
  int fd = -1;
  ~Descriptor() {
    if (fd >= 0) ::close(fd);
  }
};

}  // namespace

std::optional<std::string> restoreGlyphNames(std::string_view ps) {
  std::vector<Edit> edits = collectEdits(ps);
  if (edits.empty()) return std::nullopt;
  std::string out;
  out.reserve(ps.size());
  applyEdits(ps, edits, [&](std::string_view piece) {
    out.append(piece);
    return true;
  });
  return out;
}

// The file is mapped rather than read, and the renamed copy goes through a scratch file,
// so a print of hundreds of megabytes (page images) costs no memory of its own.
bool restoreGlyphNamesInFile(const std::string& path) {
  Descriptor in{::open(path.c_str(), O_RDONLY | O_CLOEXEC)};
  struct stat st {};
  if (in.fd < 0 || ::fstat(in.fd, &st) != 0) return false;
  if (st.st_size == 0) return true;
  const size_t size = static_cast<size_t>(st.st_size);
  void* mapped = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, in.fd, 0);
  if (mapped == MAP_FAILED) return false;
  std::string_view ps(static_cast<const char*>(mapped), size);
  std::vector<Edit> edits = collectEdits(ps);
  if (edits.empty()) {
    ::munmap(mapped, size);
    return true;
  }
  std::string scratchPath;
  try {
    scratchPath = platform::hostScratchFolder() + "/glyphs-XXXXXX";
  } catch (const platform::OsError&) {
    return false;
  }
  Descriptor scratch{::mkostemp(scratchPath.data(), O_CLOEXEC)};
  bool ok = scratch.fd >= 0 && applyEdits(ps, edits, [&](std::string_view piece) {
              return writeAll(scratch.fd, piece);
            });
  ::munmap(mapped, size);
  if (scratch.fd >= 0) ::unlink(scratchPath.c_str());  // still open: read back below
  if (!ok) return false;

  Descriptor out{::open(path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC)};
  if (out.fd < 0 || ::lseek(scratch.fd, 0, SEEK_SET) != 0) return false;
  std::vector<char> buffer(1 << 16);
  for (;;) {
    ssize_t n = ::read(scratch.fd, buffer.data(), buffer.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) break;
    if (!writeAll(out.fd, std::string_view(buffer.data(), static_cast<size_t>(n)))) return false;
  }
  return ::close(std::exchange(out.fd, -1)) == 0;
}

}  // namespace docmill::gs
