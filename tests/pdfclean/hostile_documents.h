// Hostile PDF and PostScript documents written by the tests themselves, and a look at which
// actions a PDF still carries where a reader would find them.
#pragma once

#include <qpdf/QPDF.hh>
#include <qpdf/QPDFObjectHandle.hh>

#include <cstdio>
#include <fstream>
#include <set>
#include <string>
#include <vector>

namespace docmill::test {

// A stream object holding `data`.
inline std::string pdfStream(const std::string& data, const std::string& entries = {}) {
  return "<< /Length " + std::to_string(data.size()) + " " + entries + " >>\nstream\n" + data +
         "\nendstream";
}

// A PDF file whose object n is objects[n-1] (object 1 the catalog), with a correct
// cross-reference table.
inline std::string pdfFromObjects(const std::vector<std::string>& objects) {
  std::string out = "%PDF-1.7\n%\xE2\xE3\xCF\xD3\n";
  std::vector<size_t> offsets;
  for (size_t i = 0; i < objects.size(); ++i) {
    offsets.push_back(out.size());
    out += std::to_string(i + 1) + " 0 obj\n" + objects[i] + "\nendobj\n";
  }
  const size_t xref = out.size();
  out += "xref\n0 " + std::to_string(objects.size() + 1) + "\n0000000000 65535 f \n";
  for (size_t offset : offsets) {
    char line[32];
    std::snprintf(line, sizeof line, "%010zu 00000 n \n", offset);
    out += line;
  }
  out += "trailer\n<< /Size " + std::to_string(objects.size() + 1) +
         " /Root 1 0 R >>\nstartxref\n" + std::to_string(xref) + "\n%%EOF\n";
  return out;
}

// A one-page PDF. `catalog` and `page` are extra entries of the catalog and the page;
// `extra` objects are numbered from 6 on (the page is 3 0 R); `annotations` follow them and
// are the page's annotations.
inline std::string onePagePdf(const std::string& catalog, const std::string& page,
                              const std::vector<std::string>& annotations,
                              const std::vector<std::string>& extra = {}) {
  std::string annots;
  for (size_t i = 0; i < annotations.size(); ++i) {
    annots += std::to_string(6 + extra.size() + i) + " 0 R ";
  }
  std::vector<std::string> objects = {
      "<< /Type /Catalog /Pages 2 0 R " + catalog + " >>",
      "<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
      "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] /Contents 4 0 R /Resources << "
      "/Font << /F1 5 0 R >> >> /Annots [" +
          annots + "] " + page + " >>",
      pdfStream("BT /F1 24 Tf 72 700 Td (Links and scripts) Tj ET"),
      "<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>"};
  objects.insert(objects.end(), extra.begin(), extra.end());
  for (const auto& a : annotations) {
    objects.push_back("<< /Type /Annot /Rect [72 500 300 520] /Border [0 0 0] " + a + " >>");
  }
  return pdfFromObjects(objects);
}

// A link annotation with `action`.
inline std::string linkWith(const std::string& action) {
  return "/Subtype /Link /A " + action;
}

inline const std::string kLaunch =
    "<< /S /Launch /F (cmd.exe) /Win << /F (cmd.exe) /P (/c calc) >> >>";
inline const std::string kScript = "<< /S /JavaScript /JS (app.alert\\(1\\)) >>";
inline const std::string kWebLink = "<< /S /URI /URI (https://example.com/) >>";

// A document with a link of every kind and scripts in the places a reader runs them from.
inline std::string hostilePdf() {
  return onePagePdf("/OpenAction " + kScript + " /AA << /WC " + kScript + " >>",
                    "/AA << /O " + kLaunch + " >>",
                    {linkWith(kLaunch), linkWith(kWebLink), linkWith(kScript),
                     "/Subtype /Link /Dest [3 0 R /XYZ 0 792 0]"});
}

// PostScript whose marks ask for a script at opening, on a page and in a link, a launch
// link and a web link.
inline std::string hostilePostScript() {
  return "%!PS\n"
         "[ /Rect [72 500 300 520] /Action << /Subtype /URI /URI (https://example.org/) >> "
         "/Subtype /Link /ANN pdfmark\n"
         "[ /Rect [72 400 300 420] /Action << /Subtype /Launch /F (cmd.exe) >> /Subtype /Link "
         "/ANN pdfmark\n"
         "[ /Rect [72 300 300 320] /Action /JavaScript /JS (app.alert\\(7\\)) /Subtype /Link "
         "/ANN pdfmark\n"
         "[ /JS (app.alert\\(5\\)) /S /JavaScript /OUT pdfmark\n"
         "[ {Catalog} << /OpenAction << /S /JavaScript /JS (app.alert\\(8\\)) >> >> /PUT "
         "pdfmark\n"
         "[ {Page1} << /AA << /O << /S /JavaScript /JS (app.alert\\(9\\)) >> >> >> /PUT "
         "pdfmark\n"
         "/Helvetica findfont 20 scalefont setfont 72 700 moveto (Hostile marks) show showpage\n";
}

inline void writeFile(const std::string& path, const std::string& contents) {
  std::ofstream(path, std::ios::binary) << contents;
}

// What a reader finds in the PDF at `path`, following the document from its trailer: the
// type of every action ("/URI", "/Launch", ...), "Dest" for every link that names a
// destination directly, and the keys "/AA", "/OpenAction", "/JavaScript" and "/XFA"
// wherever they appear.
inline std::multiset<std::string> actionsIn(const std::string& path) {
  static const std::set<std::string> kActionTypes = {
      "/GoTo",       "/GoToR",      "/GoToE",     "/Launch", "/URI",  "/JavaScript",
      "/SubmitForm", "/ImportData", "/ResetForm", "/Named",  "/Hide", "/Rendition"};
  std::multiset<std::string> found;
  QPDF pdf;
  pdf.setSuppressWarnings(true);
  pdf.processFile(path.c_str());
  std::set<QPDFObjGen> seen;
  std::vector<QPDFObjectHandle> pending = {pdf.getTrailer()};
  while (!pending.empty()) {
    QPDFObjectHandle h = pending.back();
    pending.pop_back();
    if (h.isIndirect() && !seen.insert(h.getObjGen()).second) continue;
    if (h.isStream()) h = h.getDict();
    if (h.isDictionary()) {
      QPDFObjectHandle type = h.getKey("/S");
      if (type.isName() && kActionTypes.count(type.getName())) found.insert(type.getName());
      for (const auto& key : h.getKeys()) {
        if (key == "/AA" || key == "/OpenAction" || key == "/JavaScript" || key == "/XFA") {
          found.insert(key);
        }
        if (key == "/Dest") found.insert("Dest");
        pending.push_back(h.getKey(key));
      }
    } else if (h.isArray()) {
      for (int i = 0; i < h.getArrayNItems(); ++i) pending.push_back(h.getArrayItem(i));
    }
  }
  return found;
}

}  // namespace docmill::test
