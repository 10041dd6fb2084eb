#include "tests/support/pdf_checks.h"

#include <nlohmann/json.hpp>

#include <set>

#include "tests/support/programs.h"

namespace docmill::test {

namespace {

using Json = nlohmann::json;

// qpdf's JSON view of a file: its objects by reference ("5 0 R") and its trailer.
class Objects {
 public:
  explicit Objects(const Json& qpdf) {
    if (!qpdf.is_array() || qpdf.size() < 2 || !qpdf[1].is_object()) return;
    for (const auto& [key, object] : qpdf[1].items()) {
      if (key == "trailer") {
        trailer_ = object.value("value", Json());
      } else if (key.starts_with("obj:")) {
        const std::string ref = key.substr(4);
        if (object.contains("stream")) {
          dicts_[ref] = object["stream"].value("dict", Json());
          streams_.insert(ref);
        } else {
          dicts_[ref] = object.value("value", Json());
        }
      }
    }
  }

  // `v` itself, or the object it refers to.
  const Json& at(const Json& v) const {
    static const Json none;
    if (v.is_string()) {
      const std::string s = v.get<std::string>();
      if (s.ends_with(" R")) {
        auto it = dicts_.find(s);
        return it == dicts_.end() ? none : it->second;
      }
    }
    return v;
  }
  const Json& key(const Json& dict, const char* name) const {
    static const Json none;
    const Json& d = at(dict);
    if (!d.is_object() || !d.contains(name)) return none;
    return at(d[name]);
  }
  bool isStream(const Json& v) const {
    return v.is_string() && streams_.count(v.get<std::string>()) != 0;
  }
  const Json& catalog() const { return key(trailer_, "/Root"); }
  const std::map<std::string, Json>& all() const { return dicts_; }

 private:
  Json trailer_;
  std::map<std::string, Json> dicts_;
  std::set<std::string> streams_;
};

bool isName(const Json& v, const char* name) {
  return v.is_string() && v.get<std::string>() == name;
}

std::string textOf(const Json& v) {
  if (!v.is_string()) return {};
  const std::string s = v.get<std::string>();
  return s.starts_with("u:") ? s.substr(2) : s;
}

// Looks through a dictionary and the direct objects inside it for JavaScript and, for
// PDF/A-1, transparency.
void look(const Objects& objects, const Json& v, PdfFacts& facts, std::set<std::string>& kinds,
          int depth) {
  if (depth > 50) return;
  if (v.is_array()) {
    for (const auto& item : v) look(objects, item, facts, kinds, depth + 1);
    return;
  }
  if (!v.is_object()) return;
  if (isName(v.value("/S", Json()), "/JavaScript") || v.contains("/JS")) facts.javaScript = true;
  if (v.contains("/Group") &&
      isName(objects.key(v, "/Group").value("/S", Json()), "/Transparency")) {
    kinds.insert("transparency group");
  }
  if (v.contains("/SMask") && !isName(v["/SMask"], "/None")) kinds.insert("soft mask");
  if (v.contains("/BM")) {
    const Json& bm = v["/BM"].is_array() && !v["/BM"].empty() ? v["/BM"][0] : v["/BM"];
    if (!isName(bm, "/Normal") && !isName(bm, "/Compatible")) kinds.insert("blend mode");
  }
  for (const char* alpha : {"/CA", "/ca"}) {
    if (v.contains(alpha) && v[alpha].is_number() && v[alpha].get<double>() < 1) {
      kinds.insert("constant alpha");
    }
  }
  for (const auto& [key, value] : v.items()) {
    if (!value.is_string()) look(objects, value, facts, kinds, depth + 1);
  }
}

// `argv` with the password option after the program's name: "--password=PW" for qpdf, "-upw"
// and the password for poppler's tools.
std::vector<std::string> withPassword(std::vector<std::string> argv, const std::string& option,
                                      const std::string& password) {
  if (password.empty()) return argv;
  if (option.ends_with("=")) {
    argv.insert(argv.begin() + 1, option + password);
  } else {
    argv.insert(argv.begin() + 1, {option, password});
  }
  return argv;
}

std::string trimmed(const std::string& s) {
  const size_t b = s.find_first_not_of(" \t\r\n");
  if (b == std::string::npos) return {};
  return s.substr(b, s.find_last_not_of(" \t\r\n") - b + 1);
}

std::string unescaped(std::string s) {
  static const std::pair<const char*, const char*> entities[] = {
      {"&lt;", "<"}, {"&gt;", ">"}, {"&quot;", "\""}, {"&apos;", "'"}, {"&amp;", "&"}};
  for (const auto& [from, to] : entities) {
    for (size_t at = s.find(from); at != std::string::npos; at = s.find(from, at + 1)) {
      s.replace(at, std::string(from).size(), to);
    }
  }
  return s;
}

// The contents of the element `name` in `xmp`, or of its attribute; nothing when absent.
std::optional<std::string> rawValue(const std::string& xmp, const std::string& name,
                                    bool* element) {
  for (size_t at = xmp.find("<" + name); at != std::string::npos;
       at = xmp.find("<" + name, at + 1)) {
    const char next = at + name.size() + 1 < xmp.size() ? xmp[at + name.size() + 1] : '\0';
    if (next != '>' && next != ' ' && next != '/') continue;
    const size_t open = xmp.find('>', at);
    if (open == std::string::npos) return std::nullopt;
    if (xmp[open - 1] == '/') return std::string();
    const size_t close = xmp.find("</" + name + ">", open);
    if (close == std::string::npos) return std::nullopt;
    *element = true;
    return xmp.substr(open + 1, close - open - 1);
  }
  for (const char quote : {'"', '\''}) {
    const std::string start = " " + name + "=" + quote;
    const size_t at = xmp.find(start);
    if (at == std::string::npos) continue;
    const size_t end = xmp.find(quote, at + start.size());
    if (end == std::string::npos) return std::nullopt;
    *element = false;
    return xmp.substr(at + start.size(), end - at - start.size());
  }
  return std::nullopt;
}

std::vector<std::string> listItems(const std::string& raw) {
  std::vector<std::string> items;
  for (size_t at = raw.find("<rdf:li"); at != std::string::npos; at = raw.find("<rdf:li", at + 1)) {
    const size_t open = raw.find('>', at);
    const size_t close = raw.find("</rdf:li>", open);
    if (open == std::string::npos || close == std::string::npos) break;
    items.push_back(unescaped(raw.substr(open + 1, close - open - 1)));
  }
  return items;
}

}  // namespace

PdfFacts pdfFacts(const std::string& pdf, const std::string& password) {
  PdfFacts facts;
  const ProgramOutput json = runProgram(withPassword(
      {"qpdf", "--json", "--json-key=qpdf", "--json-key=encrypt", pdf}, "--password=", password));
  Json root = Json::parse(json.text, nullptr, false);
  if (json.status != 0 || root.is_discarded() || !root.is_object()) return facts;
  facts.readable = true;
  facts.encrypted = root.value("encrypt", Json()).value("encrypted", false);
  const Objects objects(root.value("qpdf", Json()));
  const Json& catalog = objects.catalog();

  // The XMP packet.
  if (catalog.is_object() && catalog.contains("/Metadata") && catalog["/Metadata"].is_string()) {
    const std::string ref = catalog["/Metadata"].get<std::string>();
    const std::string number = ref.substr(0, ref.find(' '));
    facts.xmp =
        runProgram(withPassword({"qpdf", "--show-object=" + number, "--filtered-stream-data", pdf},
                                "--password=", password))
            .text;
    facts.pdfaPart = xmpValue(facts.xmp, "pdfaid:part");
    facts.pdfaConformance = xmpValue(facts.xmp, "pdfaid:conformance");
    facts.pdfuaPart = xmpValue(facts.xmp, "pdfuaid:part");
  }
  const Json& intents = objects.key(catalog, "/OutputIntents");
  for (size_t i = 0; intents.is_array() && i < intents.size(); ++i) {
    const Json& intent = objects.at(intents[i]);
    if (intent.is_object() && isName(intent.value("/S", Json()), "/GTS_PDFA1") &&
        objects.isStream(intent.value("/DestOutputProfile", Json()))) {
      facts.outputIntentProfile = true;
    }
  }
  std::set<std::string> kinds;
  for (const auto& [ref, dict] : objects.all()) look(objects, dict, facts, kinds, 0);
  const Json& names = objects.key(catalog, "/Names");
  if (names.is_object() && names.contains("/JavaScript")) facts.javaScript = true;
  facts.transparency.assign(kinds.begin(), kinds.end());
  const Json& mark = objects.key(catalog, "/MarkInfo");
  facts.marked = mark.is_object() && mark.value("/Marked", false);
  facts.structTree = objects.key(catalog, "/StructTreeRoot").is_object();
  const Json& preferences = objects.key(catalog, "/ViewerPreferences");
  facts.displayDocTitle = preferences.is_object() && preferences.value("/DisplayDocTitle", false);
  facts.lang = textOf(objects.key(catalog, "/Lang"));
  const Json& fields = objects.key(objects.key(catalog, "/AcroForm"), "/Fields");
  facts.formFields = fields.is_array() && !fields.empty();

  // Fonts, as poppler finds them on the pages.
  const std::string fonts = runProgram(withPassword({"pdffonts", pdf}, "-upw", password)).text;
  const size_t headerEnd = fonts.find('\n');
  const std::string header = fonts.substr(0, headerEnd);
  const size_t typeAt = header.find("type"), encodingAt = header.find("encoding"),
               embAt = header.find("emb");
  size_t lineStart = fonts.find('\n', headerEnd + 1);  // past the dashes
  while (typeAt != std::string::npos && embAt != std::string::npos &&
         lineStart != std::string::npos && lineStart + 1 < fonts.size()) {
    const size_t lineEnd = fonts.find('\n', lineStart + 1);
    const std::string line = fonts.substr(lineStart + 1, lineEnd - lineStart - 1);
    lineStart = lineEnd;
    if (line.size() < embAt + 3) continue;
    const std::string type = trimmed(line.substr(typeAt, encodingAt - typeAt));
    if (type != "Type 3" && line.substr(embAt, 3) != "yes") {
      facts.unembeddedFonts.push_back(trimmed(line.substr(0, typeAt)));
    }
  }

  const std::string info =
      runProgram(withPassword({"pdfinfo", "-isodates", pdf}, "-upw", password)).text;
  for (size_t at = 0; at < info.size();) {
    size_t end = info.find('\n', at);
    if (end == std::string::npos) end = info.size();
    const std::string line = info.substr(at, end - at);
    at = end + 1;
    const size_t colon = line.find(':');
    if (colon != std::string::npos)
      facts.info[line.substr(0, colon)] = trimmed(line.substr(colon + 1));
  }
  return facts;
}

std::vector<std::string> pdfaProblems(const PdfFacts& facts, int part) {
  if (!facts.readable) return {"the file cannot be read"};
  std::vector<std::string> problems;
  if (facts.pdfaPart != std::to_string(part)) {
    problems.push_back("XMP pdfaid:part is " + facts.pdfaPart.value_or("missing"));
  }
  if (!facts.pdfaConformance) problems.push_back("XMP pdfaid:conformance is missing");
  if (!facts.outputIntentProfile) problems.push_back("no output intent with an ICC profile");
  for (const auto& font : facts.unembeddedFonts) problems.push_back("font not embedded: " + font);
  if (facts.encrypted) problems.push_back("encrypted");
  if (facts.javaScript) problems.push_back("JavaScript");
  if (part == 1) {
    for (const auto& kind : facts.transparency) problems.push_back("transparency: " + kind);
  }
  return problems;
}

std::vector<std::string> pdfuaProblems(const PdfFacts& facts) {
  if (!facts.readable) return {"the file cannot be read"};
  std::vector<std::string> problems;
  if (facts.pdfuaPart != "1") problems.push_back("XMP pdfuaid:part is not 1");
  if (!facts.marked) problems.push_back("MarkInfo Marked is not true");
  if (!facts.structTree) problems.push_back("no structure tree");
  if (!facts.displayDocTitle) problems.push_back("the viewer does not show the title");
  if (!xmpValue(facts.xmp, "dc:title")) problems.push_back("no dc:title");
  if (facts.lang.empty()) problems.push_back("no language");
  return problems;
}

std::optional<std::string> xmpValue(const std::string& xmp, const std::string& property) {
  bool element = false;
  auto raw = rawValue(xmp, property, &element);
  if (!raw) return std::nullopt;
  if (!element) return unescaped(*raw);
  if (raw->find("<rdf:li") == std::string::npos) return unescaped(trimmed(*raw));
  // A language alternative's default item, else the first item.
  const size_t preferred = raw->find("xml:lang=\"x-default\"");
  if (preferred != std::string::npos) {
    const size_t open = raw->find('>', preferred), close = raw->find("</rdf:li>", preferred);
    if (open != std::string::npos && close != std::string::npos) {
      return unescaped(raw->substr(open + 1, close - open - 1));
    }
  }
  auto items = listItems(*raw);
  if (items.empty()) return std::nullopt;
  return items.front();
}

std::vector<std::string> xmpItems(const std::string& xmp, const std::string& property) {
  bool element = false;
  auto raw = rawValue(xmp, property, &element);
  if (!raw || !element) return {};
  return listItems(*raw);
}

}  // namespace docmill::test
