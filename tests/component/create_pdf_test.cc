#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>

#include "automation/creation.h"
#include "component/create_pdf.h"
#include "component/exports.h"
#include "component/system_folder.h"
#include "component/type_library.h"
#include "platform/scratch.h"
#include "tests/support/prerequisites.h"

namespace docmill {
namespace {

namespace fs = std::filesystem;

TEST(SystemFolderTest, SystemFolderIsWhereTheInterpreterLibraryLives) {
  EXPECT_EQ(getSpecialFolder(5), "");
  std::string folder = getSpecialFolder(37);
  DOCMILL_REQUIRE(!folder.empty(), "interpreter library not installed");
  EXPECT_TRUE(fs::exists(fs::path(folder) / "libgs.so.10") ||
              fs::exists(fs::path(folder) / "libgs.so"));
}

TEST(MemberTableTest, EveryMemberResolvesInAnyCaseToItsIdentifierAndSlot) {
  const auto& funcs = createPdfInterface().funcs;
  ASSERT_EQ(funcs.size(), 21u);
  for (size_t i = 0; i < funcs.size(); ++i) EXPECT_EQ(funcs[i].slot, static_cast<int>(i) + 7);
  auto obj = CreatePDF::create();
  for (const auto& f : funcs) {
    std::string upper = f.name, lower = f.name;
    for (auto& c : upper) c = static_cast<char>(std::toupper(c));
    for (auto& c : lower) c = static_cast<char>(std::tolower(c));
    for (const auto& name : {upper, lower}) {
      std::vector<std::string> names = {name};
      EXPECT_EQ(obj->getIDsOfNames(names)[0], f.dispId) << name;
    }
  }
  std::vector<std::string> names = {"createpdfFROMword", "BLNFIRSTPAGE"};
  auto ids = obj->getIDsOfNames(names);
  EXPECT_EQ(ids[0], 0x60030019);
  EXPECT_EQ(ids[1], 10);
}

// Every member's parameters as the published table gives them, typed out by hand so that a
// changed name, order, default or default type in the code's table is caught: "name" for a
// required parameter, "name=TYPE:value" for an optional one.
std::string describe(const ParamDesc& p) {
  if (!p.optional) return p.name;
  const Variant& d = p.defaultValue;
  if (d.type() == vt::Dispatch) return p.name + "=Nothing";
  return p.name + "=" + varTypeName(d.type()) + ":" + d.toString();
}

std::vector<std::string> excelTable(const std::string& out) {
  return {out,
          "strExcelWorkbook",
          "varExcelWorksheet",
          "strRange",
          "strPrinter=Bstr:Generic PostScript Printer",
          "strPassword=Bstr:",
          "strWriteResPassword=Bstr:",
          "blnUseGrid=Bool:False",
          "blnLandscape=Bool:False",
          "strHeader=Bstr:",
          "lngHeaderAlignment=I2:1",
          "strFooter=Bstr:",
          "lngFooterAlignment=I2:0",
          "dblTopMargin=R8:0",
          "dblLeftMargin=R8:0",
          "dblRightMargin=R8:0",
          "dblBottomMargin=R8:0",
          "dblHeaderMargin=R8:0",
          "dblFooterMargin=R8:0",
          "lngFirstPageNumber=I2:1"};
}

std::vector<std::string> powerPointTable(const std::string& out) {
  return {out,
          "strPPDocument",
          "strPrinter=Bstr:Generic PostScript Printer",
          "lngStartSlide=I2:-1",
          "lngEndSlide=I2:-1",
          "blnHorizontalOrientation=Bool:False",
          "blnBlackAndWhite=Bool:False"};
}

std::vector<std::string> textTable(const std::string& out) {
  return {out,
          "strTextfile",
          "strPrinter=Bstr:Generic PostScript Printer",
          "blnLandscape=Bool:False",
          "strFont=Bstr:",
          "blnFontBold=Bool:False",
          "intFontSize=I2:8",
          "lngFontColor=I2:0",
          "blnFontItalic=Bool:False",
          "blnFontUnderline=Bool:False",
          "blnPageNumberInFooter=Bool:False",
          "blnPageNumberInHeader=Bool:False",
          "lngPageNumberAlignment=I2:1",
          "sngTopMargin=R8:0",
          "sngLeftMargin=R8:0",
          "sngRightMargin=R8:0",
          "sngBottomMargin=R8:0",
          "blnFirstPage=Bool:False"};
}

std::vector<std::string> wordTable(const std::string& out) {
  return {out,
          "strWordDocument",
          "strPrinter=Bstr:Generic PostScript Printer",
          "strPassword=Bstr:",
          "strWritePassword=Bstr:",
          "strPages=Bstr:",
          "blnLandscape=Bool:False",
          "blnPageNumberInFooter=Bool:False",
          "blnPageNumberInHeader=Bool:False",
          "lngPageNumberAlignment=I2:1",
          "blnFirstPage=Bool:False"};
}

TEST(MemberTableTest, ParameterListsCarryTheirDefaults) {
  std::vector<std::string> multiExcel = excelTable("strPDFFile");
  multiExcel[2] = "varExcelWorksheets";
  multiExcel[3] = "varRanges";
  multiExcel[8] = "varLandscape=Nothing";
  multiExcel[19] = "varFirstPageNumber=Nothing";
  const std::string printer = "strPrinter=Bstr:Generic PostScript Printer";
  const std::map<std::string, std::vector<std::string>> table = {
      {"CreatePDFfromMiscFile", {"strPDFFile", "strMiscFile", printer}},
      {"CreatePDFfromMultiExcel", multiExcel},
      {"CreatePDFfromMultiPDF", {"strPDFFile", "varPDFFiles"}},
      {"CreatePDFfromMultiPS", {"strPDFFile", "varPSFiles"}},
      {"CreatePDFfromPS", {"strPDFFile", "strPSFile"}},
      {"CreatePDFfromPub", {"strPDFFile", "strPubFile", printer}},
      {"CreatePDFfromPowerPoint", powerPointTable("strPDFFile")},
      {"CreatePDFfromExcel", excelTable("strPDFFile")},
      {"CreatePSfromExcel", excelTable("strPSFile")},
      {"CreatePSfromMiscFile", {"strPSFile", "strMiscFile", printer}},
      {"CreatePSfromPowerPoint", powerPointTable("strPSFile")},
      {"CreatePSfromPub", {"strPSFile", "strPubFile", printer}},
      {"CreatePSfromTextFile", textTable("strPSFile")},
      {"CreatePSfromWord", wordTable("strPSFile")},
      {"CreatePDFfromWord", wordTable("strPDFFile")},
      {"CreatePDFfromTextFile", textTable("strPDFFile")},
  };
  size_t checked = 0;
  for (const auto& f : createPdfInterface().funcs) {
    if (f.name.rfind("Create", 0) != 0) continue;
    auto expected = table.find(f.name);
    ASSERT_NE(expected, table.end()) << f.name;
    std::vector<std::string> actual;
    for (const auto& p : f.params) {
      actual.push_back(describe(p));
      EXPECT_TRUE(p.byRef) << f.name << " " << p.name;
      EXPECT_EQ(p.type, vt::Variant) << f.name << " " << p.name;
    }
    EXPECT_EQ(actual, expected->second) << f.name;
    ++checked;
  }
  EXPECT_EQ(checked, table.size());
}

class ObjectStateTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = fs::temp_directory_path() / ("docmill-state-" + std::to_string(::getpid()));
    fs::create_directories(dir);
  }
  void TearDown() override { fs::remove_all(dir); }
  fs::path dir;
};

TEST_F(ObjectStateTest, NewObjectUsesTheHostsPrivateFolderAndTheInterpreterVersion) {
  auto obj = CreatePDF::create();
  if (getSpecialFolder(37).empty()) {
    EXPECT_EQ(get(obj, "TempFilePath"), Variant(""));
    EXPECT_EQ(get(obj, "GhostScriptVersion"), Variant(int16_t{0}));
    return;
  }
  // Printed documents wait in a folder only this process's user can enter.
  const std::string expected = platform::hostScratchFolder() + "/";
  EXPECT_EQ(get(obj, "TempFilePath"), Variant(expected));
  struct stat st {};
  ASSERT_EQ(::stat(expected.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  EXPECT_GE(get(obj, "GhostScriptVersion").i2(), 9);
  put(obj, "GhostScriptVersion", Variant(7.0));
  EXPECT_EQ(get(obj, "ghostscriptversion"), Variant(int16_t{7}));
}

TEST_F(ObjectStateTest, TempFilePathAcceptsUsableFoldersAndIgnoresTheRestSilently) {
  auto obj = CreatePDF::create();
  put(obj, "TempFilePath", Variant(dir.string()));
  EXPECT_EQ(get(obj, "TempFilePath").bstr(), dir.string() + "/");
  put(obj, "TempFilePath", Variant(dir.string() + "/"));
  EXPECT_EQ(get(obj, "TempFilePath").bstr(), dir.string() + "/");
  put(obj, "TempFilePath", Variant((dir / "new").string()));
  EXPECT_TRUE(fs::is_directory(dir / "new"));
  EXPECT_EQ(get(obj, "TempFilePath").bstr(), (dir / "new").string() + "/");
  for (const Variant& bad : {Variant((dir / "no" / "parent").string()), Variant::null(),
                             Variant(""), Variant::nothing()}) {
    put(obj, "TempFilePath", bad);
    EXPECT_EQ(get(obj, "TempFilePath").bstr(), (dir / "new").string() + "/");
  }
  EXPECT_FALSE(fs::exists(dir / "no"));
}

// Only root can hand files to another user; the tests that need it skip otherwise.
constexpr uid_t kStranger = 65534;
bool canChown() {
  return ::geteuid() == 0;
}

// Sets the process's umask for the life of the object.
struct Umask {
  explicit Umask(mode_t mask) : saved(::umask(mask)) {}
  ~Umask() { ::umask(saved); }
  mode_t saved;
};

mode_t modeOf(const fs::path& p) {
  struct stat st {};
  EXPECT_EQ(::lstat(p.c_str(), &st), 0) << p;
  return st.st_mode & 07777;
}

class TempFilePathTest : public ObjectStateTest {
 protected:
  void SetUp() override {
    ObjectStateTest::SetUp();
    obj = CreatePDF::create();
    put(obj, "TempFilePath", Variant(dir.string()));
  }
  // Puts `p` and expects 70 "Permission denied" with the previous value kept.
  void expectRefused(const fs::path& p) {
    const Variant before = get(obj, "TempFilePath");
    try {
      put(obj, "TempFilePath", Variant(p.string()));
      ADD_FAILURE() << p << " was accepted";
    } catch (const AutomationError& e) {
      EXPECT_EQ(e.error().number, 70) << p;
      EXPECT_EQ(e.error().source, "docmill");
      EXPECT_EQ(e.error().description, "Permission denied");
    }
    EXPECT_EQ(get(obj, "TempFilePath"), before);
  }
  void expectAccepted(const fs::path& p) {
    put(obj, "TempFilePath", Variant(p.string()));
    EXPECT_EQ(get(obj, "TempFilePath").bstr(), p.string() + "/");
  }
  std::shared_ptr<CreatePDF> obj;
};

TEST_F(TempFilePathTest, FoldersOthersMayWriteToAreRefusedUnlessSticky) {
  fs::create_directory(dir / "open");
  fs::permissions(dir / "open", fs::perms::all);
  expectRefused(dir / "open");
  fs::create_directory(dir / "group");
  fs::permissions(dir / "group", fs::perms::owner_all | fs::perms::group_all);
  expectRefused(dir / "group");
  // Nothing is made where somebody else could swap it.
  expectRefused(dir / "open" / "new");
  EXPECT_FALSE(fs::exists(dir / "open" / "new"));
  // A link is judged by the way it leads, and what it leads to.
  fs::create_directory_symlink(dir / "open", dir / "link-to-open");
  expectRefused(dir / "link-to-open");
  fs::create_directory_symlink(dir / "open" / "..", dir / "link-through-open");
  expectRefused(dir / "link-through-open");

  fs::create_directory(dir / "shared");
  fs::permissions(dir / "shared", fs::perms::all | fs::perms::sticky_bit);
  expectAccepted(dir / "shared");
  fs::create_directory_symlink(dir / "shared", dir / "link-to-shared");
  expectAccepted(dir / "link-to-shared");
  // Folders made here are private whatever the umask.
  Umask open(0);
  expectAccepted(dir / "shared" / "mine");
  EXPECT_EQ(modeOf(dir / "shared" / "mine"), 0700u);
}

TEST_F(TempFilePathTest, FoldersAndLinksOfOtherUsersAreRefused) {
  if (!canChown()) GTEST_SKIP() << "needs root to give a folder to another user";
  fs::create_directories(dir / "theirs" / "inside");
  ASSERT_EQ(::chown((dir / "theirs").c_str(), kStranger, kStranger), 0);
  expectRefused(dir / "theirs");
  // Our own folder inside theirs can be renamed away and replaced by its owner.
  expectRefused(dir / "theirs" / "inside");
  // Their link in a shared folder may be pointed elsewhere at any time.
  fs::create_directory(dir / "mine");
  fs::create_directory(dir / "shared");
  fs::permissions(dir / "shared", fs::perms::all | fs::perms::sticky_bit);
  fs::create_directory_symlink(dir / "mine", dir / "shared" / "their-link");
  ASSERT_EQ(::lchown((dir / "shared" / "their-link").c_str(), kStranger, kStranger), 0);
  expectRefused(dir / "shared" / "their-link");
  fs::create_directory_symlink(dir / "mine", dir / "shared" / "our-link");
  expectAccepted(dir / "shared" / "our-link");
}

TEST_F(ObjectStateTest, MissingInputRaisesBeforeAnyApplicationStarts) {
  auto obj = CreatePDF::create();
  int created = 0;
  auto counting = makeFactory([&]() -> DispatchPtr {
    ++created;
    return nullptr;
  });
  auto reg = registerClass(Guid{}, "Publisher.Application", counting);
  Variant out((dir / "out.ps").string());
  Variant in((dir / "missing.pub").string());
  try {
    call(obj, "CreatePSfromPub", {Variant::byRef(out), Variant::byRef(in)});
    FAIL();
  } catch (const AutomationError& e) {
    EXPECT_EQ(e.error().number, static_cast<int32_t>(0x80004100));
    EXPECT_EQ(e.error().source, "docmill");
    EXPECT_EQ(e.error().description, "File " + in.bstr() + " does not exist.");
  }
  EXPECT_EQ(created, 0);
}

class RegistrationTest : public ObjectStateTest {
 protected:
  void SetUp() override {
    ObjectStateTest::SetUp();
    setenv("DOCMILL_REGISTRY", (dir / "registry").c_str(), 1);
  }
  void TearDown() override {
    unsetenv("DOCMILL_REGISTRY");
    ObjectStateTest::TearDown();
  }
};

TEST_F(RegistrationTest, RegisterWritesTheRecordAndCreationLoadsTheLibrary) {
  ASSERT_EQ(DllRegisterServer(), hr::S_OK);
  auto record = findClassRecord("pdf.createpdf");
  ASSERT_TRUE(record);
  EXPECT_EQ(record->clsid, createPdfClass().clsid);
  EXPECT_EQ(record->threadingModel, "Apartment");
  EXPECT_EQ(record->version, "2.0.0.0");
  EXPECT_EQ(record->typeLibId, typeLibrary().libId);
  EXPECT_EQ(record->interfaceId, createPdfInterface().iid);
  EXPECT_TRUE(fs::exists(record->library));

  {
    DispatchPtr obj = createObject("PDF.CreatePDF");
    ASSERT_NE(obj, nullptr);
    EXPECT_EQ(DllCanUnloadNow(), hr::S_FALSE);
    EXPECT_TRUE(get(obj, "TempFilePath").valueType() == vt::Bstr);
  }
  EXPECT_EQ(DllCanUnloadNow(), hr::S_OK);

  ClassFactoryPtr* factory = nullptr;
  Guid other{};
  EXPECT_EQ(DllGetClassObject(&other, &factory), hr::CLASS_E_CLASSNOTAVAILABLE);
  EXPECT_EQ(factory, nullptr);

  ASSERT_EQ(DllUnregisterServer(), hr::S_OK);
  EXPECT_FALSE(findClassRecord("PDF.CreatePDF"));
  try {
    createObject("PDF.CreatePDF");
    FAIL();
  } catch (const AutomationError& e) {
    EXPECT_EQ(e.error().number, rt::CantCreateObject);
  }
}

// The record as registration writes it.
std::string recordFile(const fs::path& folder) {
  return (folder / (createPdfClass().clsid.toString() + ".reg")).string();
}

// The library a record's text names.
std::string findLibrary(const std::string& record) {
  const size_t at = record.find("InprocServer32=") + 15;
  return record.substr(at, record.find('\n', at) - at);
}

std::string replaced(std::string text, const std::string& from, const std::string& to) {
  text.replace(text.find(from), from.size(), to);
  return text;
}

TEST_F(RegistrationTest, RecordsAndFoldersAreWrittenPrivatelyWithoutFollowingLinks) {
  fs::create_directories(dir / "victims");
  std::ofstream(dir / "victims" / "a") << "root's file";
  std::ofstream(dir / "victims" / "b") << "root's other file";
  // The registry folder exists already; links wait at the record's name and at the name
  // earlier versions used for their temporary file.
  fs::create_directories(dir / "deep");
  setenv("DOCMILL_REGISTRY", (dir / "deep" / "registry").c_str(), 1);
  Umask open(0);
  ASSERT_EQ(DllRegisterServer(), hr::S_OK);
  EXPECT_EQ(modeOf(dir / "deep" / "registry"), 0755u);
  EXPECT_EQ(modeOf(recordFile(dir / "deep" / "registry")), 0644u);

  const fs::path registry = dir / "deep" / "registry";
  fs::remove(recordFile(registry));
  fs::create_symlink(dir / "victims" / "a", recordFile(registry));
  fs::create_symlink(dir / "victims" / "b", recordFile(registry) + ".tmp");
  ASSERT_EQ(DllRegisterServer(), hr::S_OK);
  EXPECT_FALSE(fs::is_symlink(recordFile(registry)));
  EXPECT_EQ(modeOf(recordFile(registry)), 0644u);
  std::ifstream a(dir / "victims" / "a"), b(dir / "victims" / "b");
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(a), {}), "root's file");
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(b), {}), "root's other file");
  ASSERT_TRUE(findClassRecord("PDF.CreatePDF"));
  // Nothing but the record (and the planted link) is left in the folder.
  EXPECT_EQ(std::distance(fs::directory_iterator(registry), {}), 2);
}

// A record is obeyed only when nobody but root and the current user could have written it,
// its folder or the library it names.
class UntrustedRecordTest : public RegistrationTest {
 protected:
  void SetUp() override {
    RegistrationTest::SetUp();
    ASSERT_EQ(DllRegisterServer(), hr::S_OK);
    record = recordFile(dir / "registry");
    ASSERT_TRUE(findClassRecord("PDF.CreatePDF"));
  }
  // Expects the record to be passed over with a warning naming it, and creation by ProgID to
  // fail as for an unregistered class.
  void expectIgnored(const std::string& named) {
    ::testing::internal::CaptureStderr();
    EXPECT_FALSE(findClassRecord("PDF.CreatePDF"));
    EXPECT_FALSE(findClassRecord(createPdfClass().clsid.toString()));
    try {
      createObject("PDF.CreatePDF");
      ADD_FAILURE() << "created";
    } catch (const AutomationError& e) {
      EXPECT_EQ(e.error().number, rt::CantCreateObject);
    }
    const std::string warning = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(warning.find("docmill: ignoring the registry"), std::string::npos) << warning;
    EXPECT_NE(warning.find(named), std::string::npos) << warning;
  }
  std::string record;
};

TEST_F(UntrustedRecordTest, RecordsAndFoldersOthersMayWriteToAreIgnored) {
  const auto readable = fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read;
  fs::permissions(record, readable | fs::perms::owner_write | fs::perms::others_write);
  expectIgnored(record);
  fs::permissions(record, readable | fs::perms::owner_write);
  fs::permissions(dir / "registry", fs::perms::all);
  expectIgnored((dir / "registry").string());
  // Not even with the sticky bit: whoever may add records chooses the library.
  fs::permissions(dir / "registry", fs::perms::all | fs::perms::sticky_bit);
  expectIgnored((dir / "registry").string());
}

TEST_F(UntrustedRecordTest, LinksAndLibrariesOthersMayReplaceAreIgnored) {
  // A record that is a link, even to a good record.
  fs::rename(record, dir / "elsewhere.reg");
  fs::create_symlink(dir / "elsewhere.reg", record);
  expectIgnored(record);
  fs::remove(record);

  // A record whose library anybody may overwrite, or that names no absolute path.
  std::ifstream in(dir / "elsewhere.reg");
  std::string text(std::istreambuf_iterator<char>(in), {});
  const std::string library = findLibrary(text);
  fs::copy_file(library, dir / "lib.so");
  fs::permissions(dir / "lib.so", fs::perms::all);
  std::ofstream(record) << replaced(text, library, (dir / "lib.so").string());
  expectIgnored((dir / "lib.so").string());
  std::ofstream(record) << replaced(text, library, "lib.so");
  expectIgnored(record);
}

TEST_F(UntrustedRecordTest, RecordsAndFoldersOfOtherUsersAreIgnored) {
  if (!canChown()) GTEST_SKIP() << "needs root to give a record to another user";
  ASSERT_EQ(::chown(record.c_str(), kStranger, kStranger), 0);
  expectIgnored(record);
  ASSERT_EQ(::chown(record.c_str(), 0, 0), 0);
  ASSERT_EQ(::chown((dir / "registry").c_str(), kStranger, kStranger), 0);
  expectIgnored((dir / "registry").string());
  ASSERT_EQ(::chown((dir / "registry").c_str(), 0, 0), 0);
  ASSERT_TRUE(findClassRecord("PDF.CreatePDF"));
}

}  // namespace
}  // namespace docmill
