// The PDF options every surface reads through one parser: what each takes and refuses, and
// the words of a refusal.
#include <gtest/gtest.h>

#include <string>

#include "cli/pdf_options.h"

namespace docmill::cli {
namespace {

std::string refusal(PdfOptions& options, const std::string& name, const std::string& value,
                    OptionUse use = OptionUse::Convert) {
  try {
    options.set(name, value, use);
    options.check();
  } catch (const OptionError& e) {
    return e.what();
  }
  return {};
}

TEST(PdfOptionsTest, ValuesAreTakenAsTheCommonApiTakesThem) {
  PdfOptions archival;
  archival.set("pdfa", "pdf/a-2B");  // any letter case
  archival.check();
  EXPECT_EQ(archival.pdfa, PdfStandard::A2b);
  EXPECT_EQ(standardName(archival.pdfa), "PDF/A-2b");

  PdfOptions o;
  o.set("pdfua", "true");
  o.set("quality", "1");
  o.set("maxImageResolution", "1200");
  o.set("reduceImageResolution", "T");
  o.set("exportFormFields", "0");
  o.set("openBookmarkLevels", "-1");
  o.set("userPassword", "secret");
  o.set("allowPrinting", "false");
  o.set("flatten", "1");
  o.set("singlePageSheets", "");  // empty: left at the default
  o.check();
  EXPECT_TRUE(o.pdfua);
  EXPECT_EQ(o.finish.userPassword, "secret");
  EXPECT_FALSE(o.finish.permissions.printing);
  EXPECT_TRUE(o.finish.flatten);
  ASSERT_NE(o.exportSetting("quality"), nullptr);
  EXPECT_EQ(*o.exportSetting("quality"), Variant(int32_t{1}));
  EXPECT_EQ(*o.exportSetting("exportFormFields"), Variant(false));
  EXPECT_EQ(*o.exportSetting("openBookmarkLevels"), Variant(int32_t{-1}));
  EXPECT_EQ(o.exportSetting("singlePageSheets"), nullptr);
  // A value given twice: the last one counts, once.
  o.set("quality", "100");
  EXPECT_EQ(*o.exportSetting("quality"), Variant(int32_t{100}));
  size_t qualities = 0;
  for (const auto& n : o.exportSettings) qualities += n.name == "quality";
  EXPECT_EQ(qualities, 1u);
}

TEST(PdfOptionsTest, BadValuesAreRefusedNamingOptionAndValue) {
  struct Case {
    const char *name, *value, *words;
  };
  const Case cases[] = {
      {"quality", "0", "quality: \"0\" is not a whole number from 1 to 100"},
      {"quality", "101", "from 1 to 100"},
      {"quality", "9x", "\"9x\""},
      {"quality", "+5", "\"+5\""},
      {"maxImageResolution", "200", "is not 75, 150, 300, 600 or 1200"},
      {"pdfa", "PDF/A-4", "pdfa: \"PDF/A-4\" is not PDF/A-1b, PDF/A-2b or PDF/A-3b"},
      {"pdfua", "yes", "pdfua: \"yes\" is not true or false"},
      {"openBookmarkLevels", "0", "is not -1, 1, 2"},
      {"splitMode", "chapters", "is not pages or intervals"},
      {"metadata", "[1]", "metadata is not a JSON object"},
      {"metadata", "{\"Title\": 5}", "metadata: \"Title\" is not a text"},
      {"metadata", "{\"Colour\": \"red\"}", "\"Colour\" is not a key docmill writes"},
      {"metadata", "{\"ModDate\": \"yesterday\"}", "\"ModDate\" is not a date"},
      {"metadata", "{\"PDFVersion\": 1.2}", "is not a PDF version"},
      {"noSuchThing", "1", "noSuchThing is no option docmill knows"},
      {"watermarkSource", "text", "watermarkSource is not supported by docmill"},
      {"addOriginalDocumentAsStream", "true", "is not supported"},
  };
  for (const auto& c : cases) {
    PdfOptions o;
    const std::string words = refusal(o, c.name, c.value);
    EXPECT_NE(words.find(c.words), std::string::npos) << c.name << "=" << c.value << ": " << words;
  }
  // Options of the office's export mean nothing to a merge of PDFs.
  PdfOptions merge;
  EXPECT_NE(refusal(merge, "quality", "50", OptionUse::Merge).find("not to joining PDFs"),
            std::string::npos);
  EXPECT_EQ(optionSupport("quality", OptionUse::Merge), OptionSupport::Unsupported);
  EXPECT_EQ(optionSupport("flatten", OptionUse::Merge), OptionSupport::Supported);
  EXPECT_EQ(optionSupport("files", OptionUse::Merge), OptionSupport::Unknown);
}

TEST(PdfOptionsTest, CombinationsThatCannotBeMetAreRefused) {
  auto refused = [](std::initializer_list<std::pair<const char*, const char*>> values) {
    PdfOptions o;
    try {
      for (const auto& [name, value] : values) o.set(name, value);
      o.check();
    } catch (const OptionError& e) {
      return std::string(e.what());
    }
    return std::string();
  };
  EXPECT_NE(refused({{"pdfa", "PDF/A-1b"}, {"ownerPassword", "x"}}).find("cannot be encrypted"),
            std::string::npos);
  EXPECT_NE(refused({{"allowCopying", "false"}}).find("only with userPassword"), std::string::npos);
  EXPECT_NE(refused({{"splitSpan", "2"}}).find("splitMode is needed"), std::string::npos);
  EXPECT_NE(refused({{"splitMode", "pages"}}).find("splitSpan is needed"), std::string::npos);
  EXPECT_NE(refused({{"splitMode", "intervals"}, {"splitSpan", "0"}}).find("at least 1"),
            std::string::npos);
  for (const char* span : {"3-1", "-5", "0", "1,,2", "x"}) {
    EXPECT_NE(refused({{"splitMode", "pages"}, {"splitSpan", span}}).find("page list"),
              std::string::npos)
        << span;
  }
  EXPECT_NE(refused({{"splitMode", "intervals"}, {"splitSpan", "2"}, {"splitUnify", "true"}})
                .find("only to splitMode pages"),
            std::string::npos);
  EXPECT_NE(refused({{"viaPostScript", "true"}, {"exportBookmarks", "false"}})
                .find("not with viaPostScript"),
            std::string::npos);
  EXPECT_NE(refused({{"reduceImageResolution", "false"}, {"maxImageResolution", "75"}})
                .find("only with reduceImageResolution"),
            std::string::npos);
  // The order in which fields arrive does not matter.
  EXPECT_EQ(refused({{"splitSpan", "2-"}, {"splitMode", "pages"}, {"splitUnify", "true"}}), "");
  EXPECT_EQ(refused({{"splitMode", "intervals"}, {"splitSpan", "3"}}), "");
}

TEST(PdfOptionsTest, MetadataBecomesWhatTheFileRecords) {
  std::string version;
  const pdfclean::Metadata m = parseMetadata(
      R"({"Author":"Ann Example","Copyright":"Ann Example","CreateDate":"2006-09-18T16:27:50-04:00",
          "Creator":"docmill","Keywords":["first","second"],"Marked":true,"ModDate":"2006:09:18 16:27:50Z",
          "PDFVersion":1.7,"Producer":"docmill","Subject":"Sample","Title":"Sample","Trapped":"Unknown"})",
      &version);
  EXPECT_EQ(m.author, "Ann Example");
  EXPECT_EQ(m.copyright, "Ann Example");
  EXPECT_EQ(m.creationDate, "D:20060918162750-04'00'");
  EXPECT_EQ(m.modDate, "D:20060918162750Z");
  EXPECT_EQ(m.keywords, (std::vector<std::string>{"first", "second"}));
  EXPECT_EQ(m.marked, true);
  EXPECT_EQ(m.trapped, "Unknown");
  EXPECT_EQ(version, "1.7");
  EXPECT_FALSE(m.empty());
  EXPECT_EQ(parseMetadata(R"({"Keywords":"one"})").keywords, std::vector<std::string>{"one"});
  EXPECT_TRUE(parseMetadata("{}").empty());

  EXPECT_EQ(pdfDate("2024-02-29"), "D:20240229");
  EXPECT_EQ(pdfDate("2024-02-29T08:05"), "D:20240229080500");
  EXPECT_EQ(pdfDate("2024-02-29T08:05:09.123+05:30"), "D:20240229080509+05'30'");
  for (const char* bad : {"2024-13-01", "2024-02-29T25:00", "2024/02/29", "2024-02-29T08:05+5",
                          "2024-02-29T08:05:09Zjunk", "2024-02-29x"}) {
    EXPECT_EQ(pdfDate(bad), std::nullopt) << bad;
  }
}

}  // namespace
}  // namespace docmill::cli
