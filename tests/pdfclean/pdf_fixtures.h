// PDF documents the finishing tests write themselves: pages of text, optionally tagged, with
// bookmarks, a link, a form field, document information, an XMP packet and a PDF/A output
// intent, so that what finishing, splitting and joining keep can be read back.
#pragma once

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace docmill::test {

struct Fixture {
  std::vector<std::string> pages;   // the text of each page
  bool tagged = false;              // a structure tree: a Document, one P per page
  std::string lang;                 // the catalog's language
  std::string roleMap;              // the RoleMap's entries ("/Para /P")
  std::string role = "/P";          // the role of each page's element
  bool outline = false;             // a bookmark "Section N" for each page, nested under the first
  bool linkToLast = false;          // a link on the first page to the last
  std::string info;                 // entries of the document information ("/Title (x)")
  std::string xmp;                  // the XMP packet
  std::string pdfaProfile;          // with one: a PDF/A output intent with this "profile"
  bool field = false;               // a text field "name" holding "Ada Lovelace" on page 1
  bool fieldAppearance = true;      // the field has an appearance of its own
  std::string fieldFont = "/Helv";  // the font its default appearance names
  // Its appearance is empty and the form says appearances are to be made anew
  // (NeedAppearances), as the office writes its forms.
  bool staleAppearance = false;
  std::string trailer;  // more entries of the trailer
  // The text's font embedded: the bytes of a TrueType font file (else Helvetica, not
  // embedded).
  std::string fontFile;
};

// The TrueType font the tests embed (installed with the project's packages); empty when it
// is missing.
inline std::string embeddableFont() {
  std::ifstream in("/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf", std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// An XMP packet with `properties` (elements inside one rdf:Description, any namespaces
// declared there).
inline std::string xmpPacket(const std::string& properties) {
  return "<?xpacket begin=\"\xEF\xBB\xBF\" id=\"W5M0MpCehiHzreSzNTczkc9d\"?>\n"
         "<x:xmpmeta xmlns:x=\"adobe:ns:meta/\"><rdf:RDF "
         "xmlns:rdf=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\">\n"
         "<rdf:Description rdf:about=\"\" xmlns:pdfaid=\"http://www.aiim.org/pdfa/ns/id/\" "
         "xmlns:pdfuaid=\"http://www.aiim.org/pdfua/ns/id/\" "
         "xmlns:dc=\"http://purl.org/dc/elements/1.1/\" xmlns:xmp=\"http://ns.adobe.com/xap/1.0/\" "
         "xmlns:pdf=\"http://ns.adobe.com/pdf/1.3/\">" +
         properties + "</rdf:Description>\n</rdf:RDF></x:xmpmeta>\n<?xpacket end=\"w\"?>";
}

inline std::string fixtureStream(const std::string& data, const std::string& entries = {}) {
  return "<< /Length " + std::to_string(data.size()) + " " + entries + " >>\nstream\n" + data +
         "\nendstream";
}

// Escapes a text for a PDF literal string.
inline std::string pdfLiteral(const std::string& text) {
  std::string out = "(";
  for (char c : text) {
    if (c == '(' || c == ')' || c == '\\') out += '\\';
    out += c;
  }
  return out + ")";
}

inline std::string fixturePdf(const Fixture& f) {
  std::vector<std::string> objects;
  auto reserve = [&] {
    objects.emplace_back();
    return static_cast<int>(objects.size());
  };
  auto ref = [](int n) { return std::to_string(n) + " 0 R"; };
  const int catalog = reserve(), pages = reserve(), font = reserve();
  objects[font - 1] = "<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>";
  if (!f.fontFile.empty()) {
    const int descriptor = reserve(), file = reserve();
    objects[file - 1] = fixtureStream(f.fontFile, "/Length1 " + std::to_string(f.fontFile.size()));
    objects[descriptor - 1] =
        "<< /Type /FontDescriptor /FontName /DejaVuSans /Flags 32 "
        "/FontBBox [-1021 -463 1793 1232] /ItalicAngle 0 /Ascent 928 "
        "/Descent -236 /CapHeight 729 /StemV 80 /FontFile2 " +
        ref(file) + " >>";
    std::string widths;
    for (int c = 32; c <= 126; ++c) widths += "600 ";
    objects[font - 1] =
        "<< /Type /Font /Subtype /TrueType /BaseFont /DejaVuSans /FirstChar 32 /LastChar 126 "
        "/Widths [" +
        widths + "] /Encoding /WinAnsiEncoding /FontDescriptor " + ref(descriptor) + " >>";
  }
  const size_t n = f.pages.size();
  std::vector<int> page(n), content(n), element(n);
  for (size_t i = 0; i < n; ++i) {
    page[i] = reserve();
    content[i] = reserve();
    if (f.tagged) element[i] = reserve();
  }
  std::string kids;
  for (size_t i = 0; i < n; ++i) kids += ref(page[i]) + " ";
  objects[pages - 1] = "<< /Type /Pages /Kids [" + kids + "] /Count " + std::to_string(n) + " >>";

  std::string catalogExtra;
  int field = 0, link = 0;
  if (f.field) {
    field = reserve();
    const std::string look = f.fieldAppearance ? "/AP << /N " + ref(reserve()) + " >>" : "";
    if (f.fieldAppearance) {
      objects[objects.size() - 1] = fixtureStream(
          f.staleAppearance ? "/Tx BMC EMC"
                            : "/Tx BMC BT /Helv 12 Tf 2 6 Td (Ada Lovelace) Tj ET EMC",
          "/Type /XObject /Subtype /Form /BBox [0 0 200 24] /Resources << /Font << "
          "/Helv " +
              ref(font) + " >> >>");
    }
    objects[field - 1] =
        "<< /Type /Annot /Subtype /Widget /FT /Tx /T (name) /V (Ada Lovelace) "
        "/DA (" +
        f.fieldFont + " 12 Tf 0 g) /Rect [72 600 272 624] /F 4 /P " + ref(page[0]) + " " + look +
        (f.tagged ? " /StructParent " + std::to_string(n) : "") + " >>";
    catalogExtra += " /AcroForm << /Fields [" + ref(field) + "] /DR << /Font << /Helv " +
                    ref(font) + " >> >> /DA (/Helv 12 Tf 0 g)" +
                    (f.staleAppearance ? " /NeedAppearances true" : "") + " >>";
  }
  if (f.linkToLast && n > 1) {
    link = reserve();
    objects[link - 1] =
        "<< /Type /Annot /Subtype /Link /Rect [72 500 272 520] /Border [0 0 0] "
        "/Dest [" +
        ref(page[n - 1]) + " /XYZ 0 792 0] >>";
  }
  for (size_t i = 0; i < n; ++i) {
    std::string annots;
    if (i == 0 && field) annots += ref(field) + " ";
    if (i == 0 && link) annots += ref(link) + " ";
    const std::string text = "BT /F1 24 Tf 72 700 Td " + pdfLiteral(f.pages[i]) + " Tj ET";
    objects[content[i] - 1] =
        fixtureStream(f.tagged ? f.role + " << /MCID 0 >> BDC " + text + " EMC" : text);
    objects[page[i] - 1] =
        "<< /Type /Page /Parent " + ref(pages) + " /MediaBox [0 0 612 792] /Contents " +
        ref(content[i]) + " /Resources << /Font << /F1 " + ref(font) + " >> >> /Annots [" + annots +
        "]" + (f.tagged ? " /StructParents " + std::to_string(i) : "") + " >>";
  }
  if (f.tagged) {
    const int root = reserve(), document = reserve(), parents = reserve();
    std::string elements, nums;
    for (size_t i = 0; i < n; ++i) {
      objects[element[i] - 1] = "<< /Type /StructElem /S " + f.role + " /P " + ref(document) +
                                " /Pg " + ref(page[i]) + " /K 0 >>";
      elements += ref(element[i]) + " ";
      nums += std::to_string(i) + " [" + ref(element[i]) + "] ";
    }
    if (field) {
      // The field's element, which refers to the field's annotation.
      const int form = reserve();
      objects[form - 1] = "<< /Type /StructElem /S /Form /P " + ref(document) + " /Pg " +
                          ref(page[0]) + " /K << /Type /OBJR /Obj " + ref(field) + " /Pg " +
                          ref(page[0]) + " >> >>";
      elements += ref(form) + " ";
      nums += std::to_string(n) + " " + ref(form) + " ";
    }
    objects[document - 1] =
        "<< /Type /StructElem /S /Document /P " + ref(root) + " /K [" + elements + "] >>";
    objects[parents - 1] = "<< /Nums [" + nums + "] >>";
    objects[root - 1] = "<< /Type /StructTreeRoot /K " + ref(document) + " /ParentTree " +
                        ref(parents) + " /ParentTreeNextKey " + std::to_string(field ? n + 1 : n) +
                        (f.roleMap.empty() ? "" : " /RoleMap << " + f.roleMap + " >>") + " >>";
    catalogExtra += " /MarkInfo << /Marked true >> /StructTreeRoot " + ref(root);
  }
  if (f.outline && n > 0) {
    const int outlines = reserve();
    std::vector<int> items(n);
    for (size_t i = 0; i < n; ++i) items[i] = reserve();
    for (size_t i = 0; i < n; ++i) {
      std::string item =
          "<< /Title (Section " + std::to_string(i + 1) + ") /Dest [" + ref(page[i]) + " /Fit]";
      if (i == 0) {
        item += " /Parent " + ref(outlines);
        if (n > 1) {
          item += " /First " + ref(items[1]) + " /Last " + ref(items[n - 1]) + " /Count " +
                  std::to_string(n - 1);
        }
      } else {
        item += " /Parent " + ref(items[0]);
        if (i > 1) item += " /Prev " + ref(items[i - 1]);
        if (i + 1 < n) item += " /Next " + ref(items[i + 1]);
      }
      objects[items[i] - 1] = item + " >>";
    }
    objects[outlines - 1] = "<< /Type /Outlines /First " + ref(items[0]) + " /Last " +
                            ref(items[0]) + " /Count " + std::to_string(n) + " >>";
    catalogExtra += " /Outlines " + ref(outlines);
  }
  if (!f.xmp.empty()) {
    const int metadata = reserve();
    objects[metadata - 1] = fixtureStream(f.xmp, "/Type /Metadata /Subtype /XML");
    catalogExtra += " /Metadata " + ref(metadata);
  }
  if (!f.pdfaProfile.empty()) {
    const int profile = reserve();
    objects[profile - 1] = fixtureStream(f.pdfaProfile, "/N 3");
    catalogExtra +=
        " /OutputIntents [<< /Type /OutputIntent /S /GTS_PDFA1 "
        "/OutputConditionIdentifier (sRGB) /DestOutputProfile " +
        ref(profile) + " >>]";
  }
  if (!f.lang.empty()) catalogExtra += " /Lang " + pdfLiteral(f.lang);
  objects[catalog - 1] = "<< /Type /Catalog /Pages " + ref(pages) + catalogExtra + " >>";
  std::string trailer = f.trailer;
  if (!f.info.empty()) {
    const int info = reserve();
    objects[info - 1] = "<< " + f.info + " >>";
    trailer += " /Info " + ref(info);
  }

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
  out += "trailer\n<< /Size " + std::to_string(objects.size() + 1) + " /Root 1 0 R" + trailer +
         " >>\nstartxref\n" + std::to_string(xref) + "\n%%EOF\n";
  return out;
}

// Page texts "PREFIX 1", "PREFIX 2", ...
inline std::vector<std::string> numberedPages(const std::string& prefix, int count) {
  std::vector<std::string> pages;
  for (int i = 1; i <= count; ++i) pages.push_back(prefix + " " + std::to_string(i));
  return pages;
}

}  // namespace docmill::test
