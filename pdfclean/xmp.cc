#include "pdfclean/xmp.h"

#include <qpdf/QUtil.hh>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>

namespace docmill::pdfclean::xmp {

namespace {

using Node = Packet::Node;
using Kind = Node::Kind;

constexpr int kMaxXmlDepth = 64;
constexpr std::string_view kXml = "http://www.w3.org/XML/1998/namespace";

// ---- text ------------------------------------------------------------------------------

void appendUtf8(std::string& out, uint32_t c) {
  out += QUtil::toUTF8(c);
}

bool isXmlChar(uint32_t c) {
  if (c == 0x9 || c == 0xA || c == 0xD) return true;
  if (c < 0x20 || c == 0xFFFE || c == 0xFFFF) return false;
  return !(c >= 0xD800 && c <= 0xDFFF) && c <= 0x10FFFF;
}

// The next code point of `s` from `at`, or nothing for a broken sequence (then `at` moves
// past its first byte).
std::optional<uint32_t> nextCodePoint(std::string_view s, size_t& at) {
  const auto b0 = static_cast<unsigned char>(s[at]);
  int length = b0 < 0x80 ? 1 : (b0 >> 5) == 6 ? 2 : (b0 >> 4) == 14 ? 3 : (b0 >> 3) == 30 ? 4 : 0;
  if (length == 0 || at + length > s.size()) {
    ++at;
    return std::nullopt;
  }
  uint32_t c = length == 1 ? b0 : b0 & (0x7F >> length);
  for (int i = 1; i < length; ++i) {
    const auto b = static_cast<unsigned char>(s[at + i]);
    if ((b & 0xC0) != 0x80) {
      ++at;
      return std::nullopt;
    }
    c = (c << 6) | (b & 0x3F);
  }
  static constexpr std::array<uint32_t, 5> kLeast = {0, 0, 0x80, 0x800, 0x10000};
  if (c < kLeast[length] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
    ++at;
    return std::nullopt;
  }
  at += length;
  return c;
}

std::string escaped(std::string_view s, bool attribute) {
  std::string out;
  out.reserve(s.size());
  for (char c : s) {
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
        out += attribute ? "&quot;" : "\"";
        break;
      case '\t':
      case '\n':
      case '\r':
        // Kept as written: a reader normalises blanks in attribute values otherwise.
        if (attribute) {
          out += "&#" + std::to_string(static_cast<int>(c)) + ";";
        } else {
          out += c;
        }
        break;
      default:
        out += c;
    }
  }
  return out;
}

// ---- reading -----------------------------------------------------------------------------

class Parser {
 public:
  explicit Parser(std::string_view in) : in_(in) {}

  std::optional<std::vector<Node>> document() {
    if (in_.substr(0, 3) == "\xEF\xBB\xBF") at_ = 3;
    std::vector<Node> top;
    bool rootSeen = false;
    while (at_ < in_.size()) {
      if (isBlank(in_[at_])) {
        ++at_;
      } else if (lookingAt("<?")) {
        auto node = instruction();
        if (!node) return std::nullopt;
        top.push_back(std::move(*node));
      } else if (lookingAt("<!--")) {
        auto node = comment();
        if (!node) return std::nullopt;
        top.push_back(std::move(*node));
      } else if (lookingAt("<!")) {
        return std::nullopt;  // a document type declaration, or worse
      } else if (in_[at_] == '<' && !rootSeen) {
        auto node = element(0);
        if (!node) return std::nullopt;
        top.push_back(std::move(*node));
        rootSeen = true;
      } else {
        return std::nullopt;
      }
    }
    if (!rootSeen) return std::nullopt;
    return top;
  }

 private:
  static bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }
  static bool endsName(char c) {
    return isBlank(c) || c == '/' || c == '>' || c == '=' || c == '<' || c == '"' || c == '\'';
  }
  bool lookingAt(std::string_view s) const { return in_.substr(at_, s.size()) == s; }
  void skipBlanks() {
    while (at_ < in_.size() && isBlank(in_[at_])) ++at_;
  }

  std::string name() {
    const size_t start = at_;
    while (at_ < in_.size() && !endsName(in_[at_])) ++at_;
    return std::string(in_.substr(start, at_ - start));
  }

  // Character data up to `end` (not included), with references replaced; nothing for a
  // reference XML does not define or a character XML does not allow.
  std::optional<std::string> characters(std::string_view raw) {
    std::string out;
    for (size_t i = 0; i < raw.size();) {
      if (raw[i] != '&') {
        const size_t before = i;
        auto c = nextCodePoint(raw, i);
        if (!c || !isXmlChar(*c)) return std::nullopt;
        out.append(raw.substr(before, i - before));
        continue;
      }
      const size_t semicolon = raw.find(';', i);
      if (semicolon == std::string_view::npos || semicolon - i > 12) return std::nullopt;
      const std::string_view ref = raw.substr(i + 1, semicolon - i - 1);
      i = semicolon + 1;
      if (ref == "lt") {
        out += '<';
      } else if (ref == "gt") {
        out += '>';
      } else if (ref == "amp") {
        out += '&';
      } else if (ref == "quot") {
        out += '"';
      } else if (ref == "apos") {
        out += '\'';
      } else if (ref.size() >= 2 && ref[0] == '#') {
        const bool hex = ref[1] == 'x';
        const std::string_view digits = ref.substr(hex ? 2 : 1);
        if (digits.empty()) return std::nullopt;
        uint32_t c = 0;
        for (char d : digits) {
          int v = d >= '0' && d <= '9'          ? d - '0'
                  : hex && d >= 'a' && d <= 'f' ? d - 'a' + 10
                  : hex && d >= 'A' && d <= 'F' ? d - 'A' + 10
                                                : -1;
          if (v < 0) return std::nullopt;
          c = c * (hex ? 16 : 10) + static_cast<uint32_t>(v);
          if (c > 0x10FFFF) return std::nullopt;
        }
        if (!isXmlChar(c)) return std::nullopt;
        appendUtf8(out, c);
      } else {
        return std::nullopt;
      }
    }
    return out;
  }

  std::optional<Node> instruction() {
    const size_t end = in_.find("?>", at_ + 2);
    if (end == std::string_view::npos) return std::nullopt;
    Node node;
    node.kind = Kind::Instruction;
    node.text = std::string(in_.substr(at_ + 2, end - at_ - 2));
    at_ = end + 2;
    return node;
  }

  std::optional<Node> comment() {
    const size_t end = in_.find("-->", at_ + 4);
    if (end == std::string_view::npos) return std::nullopt;
    Node node;
    node.kind = Kind::Comment;
    node.text = std::string(in_.substr(at_ + 4, end - at_ - 4));
    at_ = end + 3;
    return node;
  }

  std::optional<Node> element(int depth) {
    if (depth > kMaxXmlDepth) return std::nullopt;
    ++at_;  // '<'
    Node node;
    node.name = name();
    if (node.name.empty()) return std::nullopt;
    for (;;) {
      skipBlanks();
      if (at_ >= in_.size()) return std::nullopt;
      if (lookingAt("/>")) {
        at_ += 2;
        return node;
      }
      if (in_[at_] == '>') {
        ++at_;
        break;
      }
      std::string attribute = name();
      if (attribute.empty()) return std::nullopt;
      skipBlanks();
      if (at_ >= in_.size() || in_[at_] != '=') return std::nullopt;
      ++at_;
      skipBlanks();
      if (at_ >= in_.size() || (in_[at_] != '"' && in_[at_] != '\'')) return std::nullopt;
      const char quote = in_[at_++];
      const size_t end = in_.find(quote, at_);
      if (end == std::string_view::npos) return std::nullopt;
      const std::string_view raw = in_.substr(at_, end - at_);
      if (raw.find('<') != std::string_view::npos) return std::nullopt;
      auto value = characters(raw);
      if (!value) return std::nullopt;
      for (const auto& [existing, unused] : node.attributes) {
        if (existing == attribute) return std::nullopt;
      }
      node.attributes.emplace_back(std::move(attribute), std::move(*value));
      at_ = end + 1;
    }
    // Content, up to the matching end tag.
    for (;;) {
      if (at_ >= in_.size()) return std::nullopt;
      if (lookingAt("</")) {
        at_ += 2;
        if (name() != node.name) return std::nullopt;
        skipBlanks();
        if (at_ >= in_.size() || in_[at_] != '>') return std::nullopt;
        ++at_;
        return node;
      }
      if (lookingAt("<!--")) {
        auto c = comment();
        if (!c) return std::nullopt;
        node.children.push_back(std::move(*c));
      } else if (lookingAt("<![CDATA[")) {
        const size_t end = in_.find("]]>", at_ + 9);
        if (end == std::string_view::npos) return std::nullopt;
        std::string raw(in_.substr(at_ + 9, end - at_ - 9));
        // Taken as plain characters: no references inside.
        for (size_t i = 0; i < raw.size();) {
          auto c = nextCodePoint(raw, i);
          if (!c || !isXmlChar(*c)) return std::nullopt;
        }
        addText(node, raw);
        at_ = end + 3;
      } else if (lookingAt("<!")) {
        return std::nullopt;
      } else if (lookingAt("<?")) {
        auto pi = instruction();
        if (!pi) return std::nullopt;
        node.children.push_back(std::move(*pi));
      } else if (in_[at_] == '<') {
        auto child = element(depth + 1);
        if (!child) return std::nullopt;
        node.children.push_back(std::move(*child));
      } else {
        const size_t end = std::min(in_.find('<', at_), in_.size());
        auto text = characters(in_.substr(at_, end - at_));
        if (!text) return std::nullopt;
        addText(node, *text);
        at_ = end;
      }
    }
  }

  static void addText(Node& node, const std::string& text) {
    if (!node.children.empty() && node.children.back().kind == Kind::Text) {
      node.children.back().text += text;
      return;
    }
    Node t;
    t.kind = Kind::Text;
    t.text = text;
    node.children.push_back(std::move(t));
  }

  std::string_view in_;
  size_t at_ = 0;
};

// ---- names -------------------------------------------------------------------------------

std::string_view prefixOf(std::string_view qualified) {
  const size_t colon = qualified.find(':');
  return colon == std::string_view::npos ? std::string_view() : qualified.substr(0, colon);
}

std::string_view localOf(std::string_view qualified) {
  const size_t colon = qualified.find(':');
  return colon == std::string_view::npos ? qualified : qualified.substr(colon + 1);
}

// The namespaces in force at some element: declarations from the outermost element in.
class Scope {
 public:
  // Adds the declarations of `node`; returns how many, for `leave`.
  size_t enter(const Node& node) {
    size_t n = 0;
    for (const auto& [name, value] : node.attributes) {
      if (name == "xmlns") {
        bindings_.emplace_back("", value);
        ++n;
      } else if (prefixOf(name) == "xmlns") {
        bindings_.emplace_back(std::string(localOf(name)), value);
        ++n;
      }
    }
    return n;
  }
  void leave(size_t n) { bindings_.resize(bindings_.size() - n); }

  // The namespace of prefix `prefix`; the empty prefix of an attribute has none.
  std::string_view lookup(std::string_view prefix) const {
    if (prefix == "xml") return kXml;
    for (auto it = bindings_.rbegin(); it != bindings_.rend(); ++it) {
      if (it->first == prefix) return it->second;
    }
    return {};
  }
  bool elementIs(const Node& node, std::string_view ns, std::string_view local) const {
    return node.kind == Kind::Element && localOf(node.name) == local &&
           lookup(prefixOf(node.name)) == ns;
  }
  bool attributeIs(std::string_view qualified, std::string_view ns, std::string_view local) const {
    const std::string_view prefix = prefixOf(qualified);
    return !prefix.empty() && prefix != "xmlns" && localOf(qualified) == local &&
           lookup(prefix) == ns;
  }

 private:
  std::vector<std::pair<std::string, std::string>> bindings_;
};

// Finds the rdf:RDF element and calls `f(rdf, scope)` with the namespaces in force inside it
// (its own declarations included).
template <typename NodeT, typename F>
bool withRdf(std::vector<NodeT>& top, F f) {
  Scope scope;
  for (auto& node : top) {
    if (node.kind != Kind::Element) continue;
    const size_t outer = scope.enter(node);
    if (scope.elementIs(node, kRdf, "RDF")) {
      f(node, scope);
      return true;
    }
    if (localOf(node.name) == "xmpmeta" || localOf(node.name) == "xapmeta") {
      for (auto& child : node.children) {
        if (child.kind != Kind::Element) continue;
        const size_t inner = scope.enter(child);
        if (scope.elementIs(child, kRdf, "RDF")) {
          f(child, scope);
          return true;
        }
        scope.leave(inner);
      }
    }
    scope.leave(outer);
  }
  return false;
}

std::string textOf(const Node& node) {
  std::string out;
  for (const auto& child : node.children) {
    if (child.kind == Kind::Text) out += child.text;
  }
  const size_t b = out.find_first_not_of(" \t\r\n");
  if (b == std::string::npos) return {};
  return out.substr(b, out.find_last_not_of(" \t\r\n") - b + 1);
}

// The value of a property element: its text, or the chosen item of the array inside it.
std::optional<std::string> valueOf(const Node& property, Scope& scope) {
  const size_t own = scope.enter(property);
  std::optional<std::string> result;
  bool array = false;
  for (const auto& child : property.children) {
    if (child.kind != Kind::Element) continue;
    const size_t n = scope.enter(child);
    const bool alt = scope.elementIs(child, kRdf, "Alt");
    if (alt || scope.elementIs(child, kRdf, "Seq") || scope.elementIs(child, kRdf, "Bag")) {
      array = true;
      for (const auto& item : child.children) {
        if (!scope.elementIs(item, kRdf, "li")) continue;
        bool isDefault = false;
        for (const auto& [name, value] : item.attributes) {
          if (scope.attributeIs(name, kXml, "lang") && value == "x-default") isDefault = true;
        }
        if (!result || (alt && isDefault)) result = textOf(item);
        if (!alt || isDefault) break;
      }
    }
    scope.leave(n);
    if (array) break;
  }
  scope.leave(own);
  if (!array) result = textOf(property);
  return result;
}

Node element(std::string name, std::vector<std::pair<std::string, std::string>> attributes = {}) {
  Node node;
  node.name = std::move(name);
  node.attributes = std::move(attributes);
  return node;
}

Node textNode(std::string text) {
  Node node;
  node.kind = Kind::Text;
  node.text = std::move(text);
  return node;
}

// The prefix our own description gives each namespace it writes.
std::string preferredPrefix(std::string_view ns) {
  if (ns == kDc) return "dc";
  if (ns == kXmp) return "xmp";
  if (ns == kPdf) return "pdf";
  if (ns == kXmpRights) return "xmpRights";
  if (ns == kPdfaId) return "pdfaid";
  if (ns == kPdfuaId) return "pdfuaid";
  return "ns";
}

bool isXpacket(const Node& node) {
  return node.kind == Kind::Instruction && node.text.starts_with("xpacket") &&
         (node.text.size() == 7 || node.text[7] == ' ' || node.text[7] == '\t');
}

// Whether a description says nothing: no property elements, no property attributes.
bool saysNothing(const Node& description) {
  for (const auto& child : description.children) {
    if (child.kind == Kind::Element) return false;
  }
  for (const auto& [name, value] : description.attributes) {
    const std::string_view prefix = prefixOf(name);
    if (name != "xmlns" && prefix != "xmlns" && localOf(name) != "about" && prefix != "xml") {
      return false;
    }
  }
  return true;
}

void write(std::string& out, const Node& node, const Node* rdf) {
  switch (node.kind) {
    case Kind::Text:
      out += escaped(node.text, false);
      return;
    case Kind::Comment:
      out += "<!--" + node.text + "-->";
      return;
    case Kind::Instruction:
      out += "<?" + node.text + "?>";
      return;
    case Kind::Element:
      break;
  }
  out += "<" + node.name;
  for (const auto& [name, value] : node.attributes) {
    out += " " + name + "=\"" + escaped(value, true) + "\"";
  }
  if (node.children.empty()) {
    out += "/>";
    return;
  }
  out += ">";
  for (const auto& child : node.children) {
    // Descriptions emptied by removals are left out, with the blank line before them.
    if (&node == rdf && child.kind == Kind::Element && localOf(child.name) == "Description" &&
        saysNothing(child)) {
      if (!out.empty() && out.find_last_not_of(" \t\r\n") + 1 < out.size()) {
        out.resize(out.find_last_not_of(" \t\r\n") + 1);
      }
      continue;
    }
    write(out, child, rdf);
  }
  out += "</" + node.name + ">";
}

// ---- dates -------------------------------------------------------------------------------

bool allDigits(std::string_view s) {
  return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

int number(std::string_view s) {
  int n = 0;
  for (char c : s) n = n * 10 + (c - '0');
  return n;
}

}  // namespace

// ---- Packet ------------------------------------------------------------------------------

Packet::Packet() {
  Node meta = element("x:xmpmeta", {{"xmlns:x", "adobe:ns:meta/"}});
  meta.children.push_back(textNode("\n "));
  meta.children.push_back(element("rdf:RDF", {{"xmlns:rdf", std::string(kRdf)}}));
  meta.children.push_back(textNode("\n"));
  top_.push_back(std::move(meta));
}

std::optional<Packet> Packet::parse(std::string_view bytes) {
  auto top = Parser(bytes).document();
  if (!top) return std::nullopt;
  Packet packet;
  packet.top_.clear();
  for (auto& node : *top) {
    if (!isXpacket(node)) packet.top_.push_back(std::move(node));
  }
  if (!packet.rdf()) return std::nullopt;
  return packet;
}

Packet::Node* Packet::rdf() {
  Node* found = nullptr;
  withRdf(top_, [&](Node& node, Scope&) { found = &node; });
  return found;
}

const Packet::Node* Packet::rdf() const {
  return const_cast<Packet*>(this)->rdf();
}

std::optional<std::string> Packet::get(std::string_view ns, std::string_view name) const {
  std::optional<std::string> result;
  auto& top = const_cast<std::vector<Node>&>(top_);
  withRdf(top, [&](Node& rdf, Scope& scope) {
    for (const auto& description : rdf.children) {
      if (result) return;
      if (!scope.elementIs(description, kRdf, "Description")) continue;
      const size_t n = scope.enter(description);
      for (const auto& [attribute, value] : description.attributes) {
        if (scope.attributeIs(attribute, ns, name)) {
          result = value;
          break;
        }
      }
      for (const auto& property : description.children) {
        if (result) break;
        if (property.kind != Kind::Element) continue;
        const size_t own = scope.enter(property);
        const bool match = scope.elementIs(property, ns, name);
        scope.leave(own);
        if (match) result = valueOf(property, scope);
      }
      scope.leave(n);
    }
  });
  return result;
}

void Packet::remove(std::string_view ns, std::string_view name) {
  withRdf(top_, [&](Node& rdf, Scope& scope) {
    for (auto& description : rdf.children) {
      if (!scope.elementIs(description, kRdf, "Description")) continue;
      const size_t n = scope.enter(description);
      auto& attributes = description.attributes;
      attributes.erase(
          std::remove_if(attributes.begin(), attributes.end(),
                         [&](const auto& a) { return scope.attributeIs(a.first, ns, name); }),
          attributes.end());
      auto& children = description.children;
      for (size_t i = 0; i < children.size();) {
        const size_t own = children[i].kind == Kind::Element ? scope.enter(children[i]) : 0;
        const bool match = scope.elementIs(children[i], ns, name);
        scope.leave(own);
        if (!match) {
          ++i;
          continue;
        }
        children.erase(children.begin() + static_cast<std::ptrdiff_t>(i));
        // The blanks that led up to it go too.
        if (i > 0 && children[i - 1].kind == Kind::Text &&
            children[i - 1].text.find_first_not_of(" \t\r\n") == std::string::npos) {
          children.erase(children.begin() + static_cast<std::ptrdiff_t>(i - 1));
          --i;
        }
      }
      scope.leave(n);
    }
  });
}

Packet::Node& Packet::ownDescription() {
  Node& r = *rdf();
  if (own_ >= 0) return r.children[static_cast<size_t>(own_)];
  // Every description of one packet describes the same resource.
  const std::string rdfPrefix(prefixOf(r.name));
  const std::string q = rdfPrefix.empty() ? "" : rdfPrefix + ":";
  std::string about;
  withRdf(top_, [&](Node& node, Scope& scope) {
    for (const auto& d : node.children) {
      if (!scope.elementIs(d, kRdf, "Description")) continue;
      for (const auto& [name, value] : d.attributes) {
        if (scope.attributeIs(name, kRdf, "about")) {
          about = value;
          return;
        }
      }
    }
  });
  // Named with the prefix rdf:RDF itself has; with none (a default namespace), "about"
  // could not be told from a property, so the prefix is declared here.
  Node description =
      rdfPrefix.empty()
          ? element("rdf:Description", {{"xmlns:rdf", std::string(kRdf)}, {"rdf:about", about}})
          : element(q + "Description", {{q + "about", about}});
  r.children.push_back(textNode("\n  "));
  r.children.push_back(std::move(description));
  r.children.push_back(textNode("\n "));
  own_ = static_cast<int>(r.children.size()) - 2;
  return r.children[static_cast<size_t>(own_)];
}

void Packet::set(std::string_view ns, std::string_view name, const Value& value) {
  remove(ns, name);
  Node& description = ownDescription();
  const std::string q = prefixOf(description.name).empty()
                            ? std::string()
                            : std::string(prefixOf(description.name)) + ":";
  // The property's prefix, declared on our description (a number added when the prefix is
  // taken there by another namespace).
  std::string prefix = preferredPrefix(ns);
  for (int i = 1;; ++i) {
    const std::string candidate = i == 1 ? prefix : prefix + std::to_string(i);
    std::string_view bound;
    bool declared = false;
    for (const auto& [attribute, uri] : description.attributes) {
      if (attribute == "xmlns:" + candidate) {
        bound = uri;
        declared = true;
      }
    }
    if (!declared && candidate + ":" == q) continue;
    if (!declared) description.attributes.emplace_back("xmlns:" + candidate, std::string(ns));
    if (!declared || bound == ns) {
      prefix = candidate;
      break;
    }
  }
  Node property = element(prefix + ":" + std::string(name));
  if (value.kind == Value::Kind::Text) {
    property.children.push_back(textNode(validXmlText(value.items.empty() ? "" : value.items[0])));
  } else {
    const char* container = value.kind == Value::Kind::LangAlt ? "Alt"
                            : value.kind == Value::Kind::Seq   ? "Seq"
                                                               : "Bag";
    Node array = element(q + container);
    for (const auto& item : value.items) {
      Node li = value.kind == Value::Kind::LangAlt ? element(q + "li", {{"xml:lang", "x-default"}})
                                                   : element(q + "li");
      li.children.push_back(textNode(validXmlText(item)));
      array.children.push_back(std::move(li));
    }
    property.children.push_back(std::move(array));
  }
  description.children.push_back(textNode("\n   "));
  description.children.push_back(std::move(property));
}

std::string Packet::serialize() const {
  std::string out = "<?xpacket begin=\"\xEF\xBB\xBF\" id=\"W5M0MpCehiHzreSzNTczkc9d\"?>\n";
  const Node* r = rdf();
  for (const auto& node : top_) {
    write(out, node, r);
    out += "\n";
  }
  out += "<?xpacket end=\"w\"?>";
  return out;
}

// ---- text and dates --------------------------------------------------------------------

std::string validXmlText(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    const size_t before = i;
    auto c = nextCodePoint(text, i);
    if (!c) {
      appendUtf8(out, 0xFFFD);
    } else if (isXmlChar(*c)) {
      out.append(text.substr(before, i - before));
    }
  }
  return out;
}

std::optional<std::string> fromPdfDate(std::string_view s) {
  if (s.starts_with("D:")) s.remove_prefix(2);
  size_t digits = 0;
  while (digits < s.size() && digits < 14 && s[digits] >= '0' && s[digits] <= '9') ++digits;
  if (digits < 4 || digits % 2 != 0) return std::nullopt;
  const std::string_view d = s.substr(0, digits);
  std::string_view zone = s.substr(digits);
  const int month = digits >= 6 ? number(d.substr(4, 2)) : 1;
  const int day = digits >= 8 ? number(d.substr(6, 2)) : 1;
  if (month < 1 || month > 12 || day < 1 || day > 31) return std::nullopt;
  if (digits >= 10 && number(d.substr(8, 2)) > 23) return std::nullopt;
  if (digits >= 12 && number(d.substr(10, 2)) > 59) return std::nullopt;
  if (digits >= 14 && number(d.substr(12, 2)) > 60) return std::nullopt;
  std::string out(d.substr(0, 4));
  if (digits >= 6) out += "-" + std::string(d.substr(4, 2));
  if (digits >= 8) out += "-" + std::string(d.substr(6, 2));
  if (digits < 10) return zone.empty() ? std::optional(out) : std::nullopt;
  out += "T" + std::string(d.substr(8, 2)) + ":" +
         (digits >= 12 ? std::string(d.substr(10, 2)) : std::string("00"));
  if (digits >= 14) out += ":" + std::string(d.substr(12, 2));
  if (zone.empty()) return out;
  if (zone[0] == 'Z' || zone[0] == 'z') {
    // Some writers follow Z with an offset of 00'00'; it says nothing more.
    zone.remove_prefix(1);
    while (!zone.empty() && (zone[0] == '0' || zone[0] == '\'')) zone.remove_prefix(1);
    return zone.empty() ? std::optional(out + "Z") : std::nullopt;
  }
  if (zone[0] != '+' && zone[0] != '-') return std::nullopt;
  const char sign = zone[0];
  zone.remove_prefix(1);
  if (zone.size() < 2 || !allDigits(zone.substr(0, 2)) || number(zone.substr(0, 2)) > 23) {
    return std::nullopt;
  }
  std::string hours(zone.substr(0, 2)), minutes = "00";
  zone.remove_prefix(2);
  if (!zone.empty() && zone[0] == '\'') zone.remove_prefix(1);
  if (zone.size() >= 2 && allDigits(zone.substr(0, 2))) {
    if (number(zone.substr(0, 2)) > 59) return std::nullopt;
    minutes = std::string(zone.substr(0, 2));
    zone.remove_prefix(2);
    if (!zone.empty() && zone[0] == '\'') zone.remove_prefix(1);
  }
  if (!zone.empty()) return std::nullopt;
  return out + sign + hours + ":" + minutes;
}

std::optional<std::string> toPdfDate(std::string_view s) {
  auto field = [&](size_t at, size_t n) {
    return at + n <= s.size() && allDigits(s.substr(at, n));
  };
  if (!field(0, 4)) return std::nullopt;
  std::string out = "D:" + std::string(s.substr(0, 4));
  size_t at = 4;
  for (int part = 0; part < 2 && at < s.size(); ++part) {
    if (s[at] != '-' || !field(at + 1, 2)) return std::nullopt;
    out += s.substr(at + 1, 2);
    at += 3;
  }
  if (at == s.size()) return fromPdfDate(out) ? std::optional(out) : std::nullopt;
  if (out.size() != 10 || s[at] != 'T' || !field(at + 1, 2) || at + 3 >= s.size() ||
      s[at + 3] != ':' || !field(at + 4, 2)) {
    return std::nullopt;
  }
  out += std::string(s.substr(at + 1, 2)) + std::string(s.substr(at + 4, 2));
  at += 6;
  if (at < s.size() && s[at] == ':') {
    if (!field(at + 1, 2)) return std::nullopt;
    out += s.substr(at + 1, 2);
    at += 3;
    if (at < s.size() && s[at] == '.') {
      ++at;
      const size_t start = at;
      while (at < s.size() && s[at] >= '0' && s[at] <= '9') ++at;
      if (at == start) return std::nullopt;
    }
  }
  if (at < s.size()) {
    if (s[at] == 'Z' && at + 1 == s.size()) {
      out += "Z";
    } else if ((s[at] == '+' || s[at] == '-') && at + 6 == s.size() && field(at + 1, 2) &&
               s[at + 3] == ':' && field(at + 4, 2)) {
      out += s[at];
      out += std::string(s.substr(at + 1, 2)) + "'" + std::string(s.substr(at + 4, 2)) + "'";
    } else {
      return std::nullopt;
    }
  }
  return fromPdfDate(out) ? std::optional(out) : std::nullopt;
}

}  // namespace docmill::pdfclean::xmp
