#include <gtest/gtest.h>

#include "automation/creation.h"
#include "automation/dispatch.h"

namespace docmill {
namespace {

InterfaceInfo sampleInterface() {
  InterfaceInfo info;
  info.name = "_Sample";
  info.funcs = {
      {7, 0x40030005, "Level", invoke::PropertyGet, vt::I2, {}},
      {8, 0x40030005, "Level", invoke::PropertyPut, vt::Empty, {{"value", vt::I2}}},
      {9,
       0x60030001,
       "Convert",
       invoke::Method,
       vt::Empty,
       {{"strOut", vt::Variant, true},
        {"strIn", vt::Variant, true},
        {"strPrinter", vt::Variant, true, true, Variant("Generic PostScript Printer")},
        {"intSize", vt::Variant, true, true, Variant(int16_t{8})}}},
      {10, 0x60030002, "Fail", invoke::Method, vt::Empty, {}},
  };
  return info;
}

class Sample : public TableDispatch {
 public:
  explicit Sample(const InterfaceInfo& info) : TableDispatch(info) {}
  std::vector<Variant> lastArgs;
  int16_t level = 0;

 protected:
  Variant invokeMember(const FuncDesc& f, std::span<Variant* const> args) override {
    if (f.name == "Level") {
      if (f.kind == invoke::PropertyPut) level = args[0]->i2();
      return Variant(level);
    }
    if (f.name == "Fail") raise(Error{53, "inner", "File not found: x"});
    lastArgs.clear();
    for (auto* a : args) lastArgs.push_back(*a);
    args[0]->deref() = Variant("written back");
    return {};
  }
};

int32_t hresultOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const AutomationError& e) {
    return e.hresult();
  }
  return 0;
}

class DispatchTest : public ::testing::Test {
 protected:
  InterfaceInfo info = sampleInterface();
  std::shared_ptr<Sample> obj = std::make_shared<Sample>(info);
};

TEST_F(DispatchTest, NamesResolveInAnyCaseAndAccessorsShareAnIdentifier) {
  std::vector<std::string> names = {"cOnVeRt", "STRPRINTER"};
  auto ids = obj->getIDsOfNames(names);
  EXPECT_EQ(ids[0], 0x60030001);
  EXPECT_EQ(ids[1], 2);
  std::vector<std::string> level = {"level"};
  EXPECT_EQ(obj->getIDsOfNames(level)[0], 0x40030005);
  EXPECT_EQ(hresultOf([&] {
              std::vector<std::string> n = {"Nope"};
              obj->getIDsOfNames(n);
            }),
            hr::DISP_E_UNKNOWNNAME);
  EXPECT_EQ(hresultOf([&] {
              std::vector<std::string> n = {"Convert", "strBogus"};
              obj->getIDsOfNames(n);
            }),
            hr::DISP_E_UNKNOWNNAME);
}

TEST_F(DispatchTest, OmittedOptionalsTakeDefaultsAndNamedArgumentsBind) {
  call(obj, "Convert", {Variant("out"), Variant("in")});
  ASSERT_EQ(obj->lastArgs.size(), 4u);
  EXPECT_EQ(obj->lastArgs[2], Variant("Generic PostScript Printer"));
  EXPECT_EQ(obj->lastArgs[3], Variant(int16_t{8}));

  call(obj, "convert", {Variant("out"), Variant("in"), Variant::missing()},
       {{"intSize", Variant(12.5)}});
  EXPECT_EQ(obj->lastArgs[2], Variant("Generic PostScript Printer"));
  EXPECT_EQ(obj->lastArgs[3], Variant(12.5));  // a Variant parameter keeps the caller's type
}

TEST_F(DispatchTest, ArgumentErrorsAreDispatchErrors) {
  EXPECT_EQ(hresultOf([&] { call(obj, "Convert", {Variant("out")}); }),
            hr::DISP_E_PARAMNOTOPTIONAL);
  EXPECT_EQ(hresultOf([&] {
              call(obj, "Convert", {Variant::missing(), Variant("in")});
            }),
            hr::DISP_E_PARAMNOTOPTIONAL);
  EXPECT_EQ(hresultOf([&] { call(obj, "Convert", {1, 2, 3, 4, 5}); }), hr::DISP_E_BADPARAMCOUNT);
  EXPECT_EQ(hresultOf([&] { put(obj, "Level", Variant("abc")); }), hr::DISP_E_TYPEMISMATCH);
  EXPECT_EQ(hresultOf([&] { put(obj, "Level", Variant(40000)); }), hr::DISP_E_OVERFLOW);
  EXPECT_EQ(hresultOf([&] { put(obj, "Fail", Variant(1)); }), hr::DISP_E_MEMBERNOTFOUND);
}

TEST_F(DispatchTest, PropertiesAndByReferenceArguments) {
  put(obj, "Level", Variant(3.5));
  EXPECT_EQ(get(obj, "LEVEL"), Variant(int16_t{4}));

  Variant out("old");
  call(obj, "Convert", {Variant::byRef(out), Variant("in")});
  EXPECT_EQ(out.bstr(), "written back");
  Variant byValue("old");
  call(obj, "Convert", {byValue, Variant("in")});
  EXPECT_EQ(byValue.bstr(), "old");
}

TEST_F(DispatchTest, FailingMemberCarriesItsRecord) {
  try {
    call(obj, "Fail");
    FAIL();
  } catch (const AutomationError& e) {
    EXPECT_EQ(e.hresult(), hr::DISP_E_EXCEPTION);
    EXPECT_EQ(e.error().number, 53);
    EXPECT_EQ(e.error().source, "inner");
    EXPECT_EQ(e.error().description, "File not found: x");
  }
}

class Recorder : public NamedDispatch {
 public:
  std::vector<NamedCall> calls;

 protected:
  Variant invokeByName(NamedCall& c) override {
    calls.push_back(c);
    if (namesEqual(c.member, "Boom")) raise(Error{1004, "Recorder", "no such sheet"});
    return Variant(static_cast<int32_t>(calls.size()));
  }
};

TEST(NamedDispatchTest, LateBoundCallsArriveWithExactNamesAndTypes) {
  auto rec = std::make_shared<Recorder>();
  call(rec, "PrintOut", {}, {{"Outputfilename", Variant("x.ps")}, {"Copies", Variant(int16_t{1})}});
  put(rec, "DisplayAlerts", Variant(int16_t{0}));
  ASSERT_EQ(rec->calls.size(), 2u);
  const NamedCall& p = rec->calls[0];
  EXPECT_EQ(p.member, "PrintOut");
  ASSERT_EQ(p.named.size(), 2u);
  EXPECT_EQ(p.named[0].first, "Outputfilename");
  EXPECT_EQ(p.named[1].second.valueType(), vt::I2);
  ASSERT_TRUE(rec->calls[1].putValue.has_value());
  EXPECT_EQ(*rec->calls[1].putValue, Variant(int16_t{0}));
  try {
    call(rec, "Boom");
    FAIL();
  } catch (const AutomationError& e) {
    EXPECT_EQ(e.error().number, 1004);
    EXPECT_EQ(e.error().description, "no such sheet");
  }
}

TEST(CreationTest, ProgIdsResolveToRegisteredFactoriesAndUnknownOnesFailWith429) {
  auto clsid = *Guid::parse("{6D1F0C52-0B59-4D1E-9E7B-3C2B7A000001}");
  {
    auto reg = registerClass(clsid, "Test.Thing",
                             makeFactory([] { return std::make_shared<Recorder>(); }));
    EXPECT_NE(createObject("test.thing"), nullptr);
    EXPECT_NE(createObject(clsid.toString()), nullptr);
  }
  setenv("DOCMILL_REGISTRY", "/nonexistent-docmill-registry", 1);
  try {
    createObject("Test.Thing");
    FAIL();
  } catch (const AutomationError& e) {
    EXPECT_EQ(e.error().number, rt::CantCreateObject);
    EXPECT_EQ(e.error().description, "Automation server can't create object");
  }
  unsetenv("DOCMILL_REGISTRY");
  EXPECT_EQ(Guid::parse(clsid.toString()), clsid);
  EXPECT_FALSE(Guid::parse("{not-a-guid}"));
}

// Implementations reach their arguments by the member table's names: a name the table does
// not have is caught at the first call instead of reading a neighbour's value.
TEST(MemberArgumentsTest, ArgumentsAreFoundByTheTablesNamesOnly) {
  FuncDesc member;
  member.name = "Convert";
  member.params = {{"strOut", vt::Variant, true, false, {}},
                   {"strIn", vt::Variant, true, false, {}},
                   {"blnFlag", vt::Variant, true, true, Variant(false)}};
  Variant out("o.pdf"), in("i.doc"), flag(true);
  std::vector<Variant*> bound = {&out, &in, &flag};
  const MemberArguments args(member, bound);
  EXPECT_EQ(&args["strIn"], &in);
  EXPECT_EQ(&args["blnFlag"], &flag);
  EXPECT_EQ(&args.at(0), &out);
  EXPECT_TRUE(args.has("strOut"));
  EXPECT_FALSE(args.has("strout"));  // exact spelling, as the table holds it
  try {
    args["blnflag"];
    FAIL() << "a misspelt parameter was found";
  } catch (const AutomationError& e) {
    EXPECT_EQ(e.error().number, hr::E_FAIL);
    EXPECT_EQ(e.error().description, "Convert has no parameter blnflag");
  }
  const MemberArguments shortList(member, std::span<Variant* const>(bound).first(2));
  EXPECT_THROW(shortList["blnFlag"], AutomationError);
}

}  // namespace
}  // namespace docmill
