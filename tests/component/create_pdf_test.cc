#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "automation/creation.h"
#include "component/create_pdf.h"
#include "component/exports.h"
#include "component/type_library.h"
#include "platform/scratch.h"

namespace docmill {
namespace {

namespace fs = std::filesystem;

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

TEST(MemberTableTest, ParameterListsCarryTheirDefaults) {
  auto find = [](const std::string& name) -> const FuncDesc& {
    for (const auto& f : createPdfInterface().funcs) {
      if (f.name == name) return f;
    }
    throw std::runtime_error(name);
  };
  const auto& word = find("CreatePSfromWord");
  ASSERT_EQ(word.params.size(), 11u);
  EXPECT_FALSE(word.params[1].optional);
  EXPECT_EQ(word.params[2].defaultValue, Variant("Generic PostScript Printer"));
  EXPECT_EQ(word.params[9].defaultValue, Variant(int16_t{1}));
  const auto& ppt = find("CreatePDFfromPowerPoint");
  ASSERT_EQ(ppt.params.size(), 7u);
  EXPECT_EQ(ppt.params[3].defaultValue, Variant(int16_t{-1}));
  EXPECT_EQ(ppt.params[4].defaultValue, Variant(int16_t{-1}));
  const auto& multi = find("CreatePDFfromMultiExcel");
  ASSERT_EQ(multi.params.size(), 20u);
  EXPECT_EQ(multi.params[8].defaultValue, Variant::nothing());
  EXPECT_EQ(multi.params[19].defaultValue, Variant::nothing());
  EXPECT_EQ(find("CreatePSfromExcel").params[12].defaultValue, Variant(int16_t{0}));
  EXPECT_EQ(find("CreatePSfromExcel").params[18].defaultValue, Variant(0.0));
  EXPECT_EQ(find("CreatePDFfromTextFile").params.size(), 18u);
  EXPECT_EQ(find("CreatePDFfromTextFile").params[6].defaultValue, Variant(int16_t{8}));
  for (const auto& f : createPdfInterface().funcs) {
    if (f.name.rfind("Create", 0) != 0) continue;
    for (const auto& p : f.params) EXPECT_TRUE(p.byRef) << f.name << " " << p.name;
  }
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

}  // namespace
}  // namespace docmill
