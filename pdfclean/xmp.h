// XMP metadata packets, the XML a PDF carries beside its document information dictionary:
// read one, change single properties and write it back, keeping everything else it holds
// (other schemas, comments, the PDF/A and PDF/UA identification).
//
// Properties may be written as elements or as attributes of rdf:Description, under any prefix;
// both are found by their namespace. A changed property is removed wherever it stood and
// written again, as an element, into one rdf:Description of our own. The reader takes plain
// XML only: a document type declaration, entities other than XML's five and character
// references, and nesting deeper than 64 levels make a packet unreadable (`parse` gives
// nothing), so nothing in a hostile packet is expanded or fetched. Text put in is made valid
// XML (broken UTF-8 replaced, control characters dropped) and escaped. Pure functions over
// strings; nothing here throws but std::bad_alloc.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace docmill::pdfclean::xmp {

inline constexpr std::string_view kRdf = "http://www.w3.org/1999/02/22-rdf-syntax-ns#";
inline constexpr std::string_view kDc = "http://purl.org/dc/elements/1.1/";
inline constexpr std::string_view kXmp = "http://ns.adobe.com/xap/1.0/";
inline constexpr std::string_view kPdf = "http://ns.adobe.com/pdf/1.3/";
inline constexpr std::string_view kXmpRights = "http://ns.adobe.com/xap/1.0/rights/";
inline constexpr std::string_view kPdfaId = "http://www.aiim.org/pdfa/ns/id/";
inline constexpr std::string_view kPdfuaId = "http://www.aiim.org/pdfua/ns/id/";

// A property's value: a text, a language alternative (one default text), or an ordered or
// unordered array of texts.
struct Value {
  enum class Kind { Text, LangAlt, Seq, Bag };
  Kind kind = Kind::Text;
  std::vector<std::string> items;

  static Value text(std::string s) { return {Kind::Text, {std::move(s)}}; }
  static Value langAlt(std::string s) { return {Kind::LangAlt, {std::move(s)}}; }
  static Value seq(std::vector<std::string> v) { return {Kind::Seq, std::move(v)}; }
  static Value bag(std::vector<std::string> v) { return {Kind::Bag, std::move(v)}; }
};

class Packet {
 public:
  // A packet with no properties.
  Packet();

  // Nothing when `bytes` is not a readable packet: not well-formed (see above), or without an
  // rdf:RDF element (at the top or inside x:xmpmeta).
  static std::optional<Packet> parse(std::string_view bytes);

  // The value of property `name` of namespace `ns`: a simple value, the default text of a
  // language alternative, or the first item of an array. Nothing when it is not there.
  std::optional<std::string> get(std::string_view ns, std::string_view name) const;

  // Removes the property wherever it is written.
  void remove(std::string_view ns, std::string_view name);

  // Replaces the property (an empty array or text is still written, as given).
  void set(std::string_view ns, std::string_view name, const Value& value);

  // The packet as UTF-8, with its xpacket header and trailer.
  std::string serialize() const;

  struct Node {
    enum class Kind { Element, Text, Comment, Instruction };
    Kind kind = Kind::Element;
    std::string name;                                             // an element's qualified name
    std::vector<std::pair<std::string, std::string>> attributes;  // qualified name, value
    std::string text;  // a text's characters; a comment's or instruction's raw content
    std::vector<Node> children;
  };

 private:
  Node* rdf();
  const Node* rdf() const;
  Node& ownDescription();

  std::vector<Node> top_;  // what the packet holds outside its xpacket instructions
  int own_ = -1;           // our rdf:Description among the rdf:RDF element's children
};

// A PDF date ("D:20060918162750-04'00'", any precision, the "D:" optional) as an XMP date
// ("2006-09-18T16:27:50-04:00"); nothing when it is no date.
std::optional<std::string> fromPdfDate(std::string_view pdfDate);
// An XMP date (any precision the format allows, fractions of a second dropped) as a PDF
// date; nothing when it is no date.
std::optional<std::string> toPdfDate(std::string_view xmpDate);

// `text` as valid XML character data: broken UTF-8 replaced by U+FFFD, control characters
// other than tab and line ends and the two non-characters U+FFFE and U+FFFF dropped.
std::string validXmlText(std::string_view text);

}  // namespace docmill::pdfclean::xmp
