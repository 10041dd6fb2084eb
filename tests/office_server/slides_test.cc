// Powerpoint.Application and Publisher.Application over the real office, driven through
// the same late-bound calls the presentation and publication converters make.
#include <gtest/gtest.h>

#include <algorithm>

#include "automation/creation.h"
#include "office_server/servers.h"
#include "pdf2ps/renderer.h"
#include "tests/office_server/fixtures.h"

namespace docmill {
namespace {

using fixtures::Printed;
using fixtures::Scratch;

const auto* const kEnvironment =
    ::testing::AddGlobalTestEnvironment(new fixtures::OfficeEnvironment);

// The PowerPoint converter's sequence up to PrintOut.
Printed printSlides(const Scratch& dir, const std::string& file, int16_t orientation, int16_t from,
                    int16_t to, bool colour) {
  auto app = createObject("Powerpoint.Application");
  put(app, "Visible", Variant(int16_t{-1}));
  put(app, "WindowState", Variant(int16_t{2}));
  auto pres = call(getObject(app, "Presentations"), "Open", {Variant(file)}).toObject();
  put(getObject(pres, "PageSetup"), "SlideOrientation", Variant(orientation));
  auto options = getObject(pres, "PrintOptions");
  std::string saved = get(options, "ActivePrinter").toString();
  put(options, "ActivePrinter", Variant("Generic PostScript Printer"));
  if (colour) put(options, "PrintColorType", Variant(int16_t{1}));
  put(options, "PrintInBackground", Variant(int16_t{0}));
  std::string out = dir.path("slides.ps");
  call(pres, "PrintOut", {},
       {{"From", Variant(from)}, {"To", Variant(to)}, {"PrintToFile", Variant(out)}});
  put(getObject(pres, "PrintOptions"), "ActivePrinter", Variant(saved));
  call(pres, "Close");
  call(app, "Quit");
  EXPECT_EQ(fixtures::readFile(out).rfind("%!PS-Adobe-3.0", 0), 0u);
  return fixtures::readPostScript(out);
}

TEST(PowerPointApplication, SlideRangeAndOrientation) {
  Scratch dir;
  std::string file = dir.path("deck.fodp");
  fixtures::writeFile(file, fixtures::flatPresentation(
                                {"Slide Alpha", "Slide Bravo", "Slide Charlie", "Slide Delta"}));
  Printed all = printSlides(dir, file, 1, -1, -1, true);
  ASSERT_EQ(all.pages, 4);
  EXPECT_TRUE(all.landscape());
  EXPECT_NE(all.pageText[3].find("Delta"), std::string::npos);

  Printed middle = printSlides(dir, file, 2, 2, 3, false);
  ASSERT_EQ(middle.pages, 2);
  EXPECT_FALSE(middle.landscape());
  EXPECT_NE(middle.pageText[0].find("Bravo"), std::string::npos);
  EXPECT_NE(middle.pageText[1].find("Charlie"), std::string::npos);

  Error range = fixtures::errorOf([&] { printSlides(dir, file, 1, 3, 9, true); });
  EXPECT_EQ(range.source, "PowerPoint");
  EXPECT_NE(range.description.find("4 slides"), std::string::npos);
}

// What the PostScript printer asks of the page renderer: grey output and slides fitted onto
// paper turned the other way.
class RecordingRenderer : public pdf2ps::Renderer {
 public:
  void render(const std::string&, const std::string& ps,
              const pdf2ps::RenderOptions& options) override {
    last = options;
    fixtures::writeFile(ps, "%!PS-Adobe-3.0\n");
  }
  pdf2ps::RenderOptions last;
};

TEST(PowerPointApplication, GreyAndTurnedSlidesReachTheRenderer) {
  Scratch dir;
  std::string file = dir.path("deck.fodp");
  fixtures::writeFile(file, fixtures::flatPresentation({"Only slide"}));
  RecordingRenderer recorder;
  pdf2ps::setRenderer(&recorder);
  auto app = createObject("Powerpoint.Application");
  auto pres = call(getObject(app, "Presentations"), "Open", {Variant(file)}).toObject();
  put(getObject(pres, "PrintOptions"), "PrintColorType", Variant(int16_t{3}));
  put(getObject(pres, "PageSetup"), "SlideOrientation", Variant(int16_t{2}));
  call(pres, "PrintOut", {}, {{"PrintToFile", Variant(dir.path("x.ps"))}});
  EXPECT_TRUE(recorder.last.grey);
  // 28 x 15.75 cm slides on paper of 15.75 x 28 cm.
  ASSERT_TRUE(recorder.last.paper);
  EXPECT_NEAR(recorder.last.paper->first, 446.5, 1);
  EXPECT_NEAR(recorder.last.paper->second, 793.7, 1);

  put(getObject(pres, "PrintOptions"), "PrintColorType", Variant(int16_t{1}));
  put(getObject(pres, "PageSetup"), "SlideOrientation", Variant(int16_t{1}));
  call(pres, "PrintOut", {}, {{"PrintToFile", Variant(dir.path("y.ps"))}});
  EXPECT_FALSE(recorder.last.grey);
  EXPECT_FALSE(recorder.last.paper);
  pdf2ps::setRenderer(nullptr);
  call(pres, "Close");
  call(app, "Quit");
}

TEST(PublisherApplication, PrintsEveryPageOfTheActiveDocument) {
  Scratch dir;
  std::string file = dir.path("leaflet.fodg");
  fixtures::writeFile(file, fixtures::flatDrawing({"Leaflet front", "Leaflet back"}));
  auto app = createObject("Publisher.Application");
  call(app, "Open", {Variant(file)});
  std::string saved = get(getObject(app, "ActiveDocument"), "ActivePrinter").toString();
  put(getObject(app, "ActiveDocument"), "ActivePrinter", Variant("Generic PostScript Printer"));
  std::string out = dir.path("pub.ps");
  call(getObject(app, "ActiveDocument"), "PrintOut",
       {Variant::missing(), Variant::missing(), Variant(out)});
  put(getObject(app, "ActiveDocument"), "ActivePrinter", Variant(saved));
  Error printer = fixtures::errorOf(
      [&] { put(getObject(app, "ActiveDocument"), "ActivePrinter", Variant("Nowhere")); });
  EXPECT_EQ(printer.source, "Publisher");
  call(getObject(app, "ActiveDocument"), "Close");
  Error none = fixtures::errorOf([&] { getObject(app, "ActiveDocument"); });
  EXPECT_NE(none.description.find("No publication"), std::string::npos);
  call(app, "Quit");

  Printed printed = fixtures::readPostScript(out);
  ASSERT_EQ(printed.pages, 2);
  EXPECT_NE(printed.pageText[0].find("front"), std::string::npos);
  EXPECT_NE(printed.pageText[1].find("back"), std::string::npos);
  EXPECT_FALSE(printed.landscape());
}

std::string le32(unsigned v) {
  std::string out;
  for (int i = 0; i < 4; ++i) out += static_cast<char>((v >> (8 * i)) & 0xff);
  return out;
}

// A presentation of the legacy format as far as its encryption mark goes: the current-user
// record with the token of an encrypted (or plain) document, and a document stream.
void writeLegacyPresentation(const std::string& path, bool encrypted) {
  const std::string user = std::string("\0\0\xF6\x0F", 4) + le32(0x14 + 6) + le32(0x14) +
                           le32(encrypted ? 0xF3D1C4DF : 0xE391C05F) + std::string(22, '\0');
  fixtures::writeCompoundFile(
      path, {{"Current User", user}, {"PowerPoint Document", std::string(5000, '\x42')}});
}
// An encrypted Office Open XML package: its encryption details and the sealed package.
void writeSealedPackage(const std::string& path) {
  fixtures::writeCompoundFile(path, {{"EncryptionInfo", std::string(300, '\x04')},
                                     {"EncryptedPackage", std::string(9000, '\x5A')}});
}

// Password-protected files the office cannot even read fail as protected, files of the same
// shape without the mark as damaged.
TEST(PowerPointApplication, EncryptedPresentationsAreToldFromDamagedOnes) {
  Scratch dir;
  writeLegacyPresentation(dir.path("locked.ppt"), true);
  writeLegacyPresentation(dir.path("damaged.ppt"), false);
  writeSealedPackage(dir.path("locked.pptx"));
  auto app = createObject("Powerpoint.Application");
  auto open = [&](const std::string& name) {
    return fixtures::errorOf(
        [&] { call(getObject(app, "Presentations"), "Open", {Variant(dir.path(name))}); });
  };
  for (const char* name : {"locked.ppt", "locked.pptx"}) {
    Error locked = open(name);
    EXPECT_EQ(locked.number, static_cast<int32_t>(0x80048241))
        << name << ": " << locked.description;
    EXPECT_NE(locked.description.find("password"), std::string::npos) << locked.description;
  }
  EXPECT_EQ(open("damaged.ppt").number, static_cast<int32_t>(0x80048240));
  call(app, "Quit");
}

TEST(PublisherApplication, EncryptedPublicationsAreToldFromDamagedOnes) {
  Scratch dir;
  writeSealedPackage(dir.path("locked.pub"));
  fixtures::writeCompoundFile(dir.path("damaged.pub"), {{"Quill", std::string(5000, '\x11')}});
  auto app = createObject("Publisher.Application");
  Error locked = fixtures::errorOf([&] { call(app, "Open", {Variant(dir.path("locked.pub"))}); });
  EXPECT_EQ(locked.number, static_cast<int32_t>(0x80041001)) << locked.description;
  Error damaged = fixtures::errorOf([&] { call(app, "Open", {Variant(dir.path("damaged.pub"))}); });
  EXPECT_EQ(damaged.number, static_cast<int32_t>(0x80041000)) << damaged.description;
  call(app, "Quit");
}

}  // namespace
}  // namespace docmill
