// XMP packets as other programs write them are read, changed and written back without losing
// what they hold; hostile packets are not read at all.
#include "pdfclean/xmp.h"

#include <gtest/gtest.h>

namespace docmill::pdfclean::xmp {
namespace {

// As the interpreter writes them: properties as attributes, single quotes, an instruction
// before the root.
const std::string kAttributeStyle =
    "<?xpacket begin='\xEF\xBB\xBF' id='W5M0MpCehiHzreSzNTczkc9d'?>\n"
    "<?adobe-xap-filters esc=\"CRLF\"?>\n"
    "<x:xmpmeta xmlns:x='adobe:ns:meta/' x:xmptk='XMP toolkit 2.9.1-13, framework 1.6'>\n"
    "<rdf:RDF xmlns:rdf='http://www.w3.org/1999/02/22-rdf-syntax-ns#' "
    "xmlns:iX='http://ns.adobe.com/iX/1.0/'>\n"
    "<rdf:Description rdf:about=\"uuid:1\" xmlns:pdf='http://ns.adobe.com/pdf/1.3/' "
    "pdf:Producer='GPL Ghostscript'/>\n"
    "<rdf:Description rdf:about=\"uuid:1\" xmlns:dc='http://purl.org/dc/elements/1.1/' "
    "dc:format='application/pdf'><dc:title><rdf:Alt><rdf:li xml:lang='de'>Titel</rdf:li>"
    "<rdf:li xml:lang='x-default'>Untitled &amp; more</rdf:li></rdf:Alt></dc:title>"
    "</rdf:Description>\n"
    "<rdf:Description rdf:about=\"uuid:1\" xmlns:a='http://www.aiim.org/pdfa/ns/id/' "
    "a:part='2' a:conformance='B'/></rdf:RDF>\n</x:xmpmeta>\n"
    "                                   \n<?xpacket end='w'?>";

TEST(XmpTest, PropertiesAreFoundWhateverTheirFormAndPrefix) {
  auto packet = Packet::parse(kAttributeStyle);
  ASSERT_TRUE(packet);
  EXPECT_EQ(packet->get(kPdf, "Producer"), "GPL Ghostscript");
  EXPECT_EQ(packet->get(kDc, "title"), "Untitled & more");  // the default item
  EXPECT_EQ(packet->get(kPdfaId, "part"), "2");
  EXPECT_EQ(packet->get(kPdfaId, "conformance"), "B");
  EXPECT_EQ(packet->get(kDc, "creator"), std::nullopt);
}

TEST(XmpTest, ChangedPropertiesReplaceTheOldOnesAndEverythingElseStays) {
  auto packet = Packet::parse(kAttributeStyle);
  ASSERT_TRUE(packet);
  packet->set(kPdf, "Producer", Value::text("docmill <&> \"tests\""));
  packet->set(kDc, "title", Value::langAlt("Bericht \xE2\x80\x93 Q3"));
  packet->set(kDc, "subject", Value::bag({"alpha", "beta"}));
  const std::string written = packet->serialize();
  auto again = Packet::parse(written);
  ASSERT_TRUE(again) << written;
  EXPECT_EQ(again->get(kPdf, "Producer"), "docmill <&> \"tests\"");
  EXPECT_EQ(again->get(kDc, "title"), "Bericht \xE2\x80\x93 Q3");
  EXPECT_EQ(again->get(kDc, "subject"), "alpha");
  EXPECT_EQ(again->get(kPdfaId, "part"), "2");  // the identification stays
  EXPECT_NE(written.find("dc:format=\"application/pdf\""), std::string::npos);
  EXPECT_NE(written.find("adobe-xap-filters"), std::string::npos);
  // The old values are gone, not merely shadowed; our description has the others' subject.
  EXPECT_EQ(written.find("GPL Ghostscript"), std::string::npos);
  EXPECT_EQ(written.find("Untitled"), std::string::npos);
  EXPECT_NE(written.find("<rdf:Description rdf:about=\"uuid:1\" xmlns:pdf="), std::string::npos);
  EXPECT_TRUE(written.starts_with("<?xpacket begin="));
  EXPECT_TRUE(written.ends_with("<?xpacket end=\"w\"?>"));

  again->remove(kPdfaId, "part");
  again->remove(kPdfaId, "conformance");
  EXPECT_EQ(Packet::parse(again->serialize())->get(kPdfaId, "part"), std::nullopt);
}

TEST(XmpTest, ANewPacketHoldsWhatIsSet) {
  Packet packet;
  packet.set(kDc, "creator", Value::seq({"Ada"}));
  packet.set(kXmp, "CreateDate", Value::text("2024-01-02T03:04:05Z"));
  auto again = Packet::parse(packet.serialize());
  ASSERT_TRUE(again);
  EXPECT_EQ(again->get(kDc, "creator"), "Ada");
  EXPECT_EQ(again->get(kXmp, "CreateDate"), "2024-01-02T03:04:05Z");
}

TEST(XmpTest, HostileOrBrokenPacketsAreNotRead) {
  const std::string body =
      "<rdf:RDF xmlns:rdf='http://www.w3.org/1999/02/22-rdf-syntax-ns#'><rdf:Description "
      "rdf:about=''>X</rdf:Description></rdf:RDF>";
  EXPECT_TRUE(Packet::parse(body));
  // Entities that would expand or fetch something, and unknown ones.
  EXPECT_FALSE(Packet::parse("<!DOCTYPE r [<!ENTITY a 'aaaa'>]>" + body));
  EXPECT_FALSE(Packet::parse(
      "<rdf:RDF xmlns:rdf='http://www.w3.org/1999/02/22-rdf-syntax-ns#'>&a;</rdf:RDF>"));
  EXPECT_FALSE(
      Packet::parse("<rdf:RDF xmlns:rdf='http://www.w3.org/1999/02/22-rdf-syntax-ns#'>"
                    "&#0;</rdf:RDF>"));
  // Unbalanced, truncated, two roots, no RDF, broken UTF-8.
  EXPECT_FALSE(Packet::parse(body.substr(0, body.size() - 3)));
  EXPECT_FALSE(Packet::parse(body + body));
  EXPECT_FALSE(Packet::parse("<x:xmpmeta xmlns:x='adobe:ns:meta/'/>"));
  EXPECT_FALSE(
      Packet::parse("<rdf:RDF xmlns:rdf='http://www.w3.org/1999/02/22-rdf-syntax-ns#'>"
                    "\xC3\x28</rdf:RDF>"));
  // Nesting past the limit.
  std::string deep;
  for (int i = 0; i < 100; ++i) deep += "<a>";
  for (int i = 0; i < 100; ++i) deep += "</a>";
  EXPECT_FALSE(Packet::parse("<rdf:RDF xmlns:rdf='http://www.w3.org/1999/02/22-rdf-syntax-ns#'>" +
                             deep + "</rdf:RDF>"));
}

TEST(XmpTest, TextIsMadeValidXml) {
  EXPECT_EQ(validXmlText("a\x01"
                         "b\tc"),
            "ab\tc");
  EXPECT_EQ(validXmlText("bad \xFF byte"), "bad \xEF\xBF\xBD byte");
  EXPECT_EQ(validXmlText("\xEF\xBF\xBE"), "");  // U+FFFE
  Packet packet;
  packet.set(kDc, "title", Value::langAlt("ctl\x02 and \xC0\xAF"));
  EXPECT_EQ(Packet::parse(packet.serialize())->get(kDc, "title"),
            "ctl and \xEF\xBF\xBD\xEF\xBF\xBD");
}

TEST(XmpTest, DatesConvertBetweenTheTwoFormsAtAnyPrecision) {
  EXPECT_EQ(fromPdfDate("D:20060918162750-04'00'"), "2006-09-18T16:27:50-04:00");
  EXPECT_EQ(fromPdfDate("D:20060918162750+0530"), "2006-09-18T16:27:50+05:30");
  EXPECT_EQ(fromPdfDate("D:20060918162750Z00'00'"), "2006-09-18T16:27:50Z");
  EXPECT_EQ(fromPdfDate("D:200609181627"), "2006-09-18T16:27");
  EXPECT_EQ(fromPdfDate("D:2006"), "2006");
  EXPECT_EQ(fromPdfDate("20060918"), "2006-09-18");
  for (const char* bad : {"D:200613", "D:2006091", "D:20060918256000", "yesterday", "D:2006+01"}) {
    EXPECT_EQ(fromPdfDate(bad), std::nullopt) << bad;
  }
  EXPECT_EQ(toPdfDate("2006-09-18T16:27:50.25-04:00"), "D:20060918162750-04'00'");
  EXPECT_EQ(toPdfDate("2006-09-18T16:27Z"), "D:200609181627Z");
  EXPECT_EQ(toPdfDate("2006-09"), "D:200609");
  for (const char* bad : {"2006-9-18", "2006-09-18T16", "2006-09-18T16:27:50+5", "2006-13"}) {
    EXPECT_EQ(toPdfDate(bad), std::nullopt) << bad;
  }
}

}  // namespace
}  // namespace docmill::pdfclean::xmp
