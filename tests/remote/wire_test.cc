#include "remote/wire.h"

#include <gtest/gtest.h>

#include <cstring>

#include "automation/dispatch.h"

namespace docmill::remote {
namespace {

Variant roundTrip(const Variant& v) {
  Writer w(Kind::Done);
  w.variant(v);
  Reader r(w.bytes());
  Variant back = r.variant();
  r.end();
  return back;
}

TEST(WireTest, EveryValueACallerPassesComesBackTheSame) {
  SafeArray grid(vt::Variant, {{-1, 2}, {5, 3}});
  grid.at(std::vector<int32_t>{0, 6}) = Variant("cell");
  grid.at(std::vector<int32_t>{-1, 7}) = Variant(SafeArray::of({Variant(int16_t{1}), Variant()}));
  const Variant values[] = {Variant(),
                            Variant::null(),
                            Variant(int16_t{-7}),
                            Variant(int32_t{1 << 30}),
                            Variant(2.5f),
                            Variant(-1e300),
                            Variant(true),
                            Variant(false),
                            Variant(std::string("a\0b\xff", 4)),
                            Variant::missing(),
                            Variant::nothing(),
                            Variant(SafeArray::of({Variant("x"), Variant("y")}, 1, vt::Bstr)),
                            Variant(grid)};
  for (const Variant& v : values) {
    const Variant back = roundTrip(v);
    EXPECT_EQ(back.type(), v.type()) << v.debugString();
    EXPECT_TRUE(back == v) << v.debugString() << " came back as " << back.debugString();
  }
  Variant target(int32_t{3});
  EXPECT_TRUE(roundTrip(Variant::byRef(target)) == target);
}

TEST(WireTest, MalformedMessagesAreRefusedWithoutHugeAllocations) {
  Writer good(Kind::Done);
  good.variant(Variant("text"));
  // Cut anywhere, a message is refused.
  for (size_t n = 1; n < good.bytes().size(); ++n) {
    Reader r(std::string_view(good.bytes()).substr(0, n));
    EXPECT_THROW(r.variant(), WireError) << n;
  }
  // An array that claims four billion elements in a few bytes.
  std::string bytes(1, static_cast<char>(Kind::Done));
  const VarType array = vt::Array | vt::Variant, element = vt::Variant;
  bytes.append(reinterpret_cast<const char*>(&array), 2);
  bytes.append(reinterpret_cast<const char*>(&element), 2);
  const uint32_t dims = 1, count = 0xffffffffu;
  const int32_t lower = 0;
  bytes.append(reinterpret_cast<const char*>(&dims), 4);
  bytes.append(reinterpret_cast<const char*>(&lower), 4);
  bytes.append(reinterpret_cast<const char*>(&count), 4);
  Reader r(bytes);
  EXPECT_THROW(r.variant(), WireError);
  // Arrays inside arrays without end.
  Variant nested("leaf");
  for (int i = 0; i < 40; ++i) nested = Variant(SafeArray::of({nested}));
  Writer deep(Kind::Done);
  EXPECT_THROW(deep.variant(nested), NotTransferable);
  // A type no variant has.
  std::string unknown(1, static_cast<char>(Kind::Done));
  const VarType odd = 77;
  unknown.append(reinterpret_cast<const char*>(&odd), 2);
  Reader u(unknown);
  EXPECT_THROW(u.variant(), WireError);
  // Bytes left over after what the message should hold.
  const std::string longer = good.bytes() + "x";
  Reader extra(longer);
  extra.variant();
  EXPECT_THROW(extra.end(), WireError);
}

TEST(WireTest, AnObjectDoesNotTravel) {
  struct Object : IDispatch {
    std::vector<DispId> getIDsOfNames(std::span<const std::string>) override { return {}; }
    Variant invoke(DispId, uint16_t, DispParams&) override { return {}; }
  };
  Writer w(Kind::Done);
  EXPECT_THROW(w.variant(Variant(DispatchPtr(std::make_shared<Object>()))), NotTransferable);
}

}  // namespace
}  // namespace docmill::remote
