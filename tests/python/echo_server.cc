// A server library for the Python module's tests, created through a registry record as any
// registered class is. "Docmill.Echo" has type information and hands values back as it got
// them, describes them, swaps by-reference arguments, raises chosen errors, counts its
// live objects, and holds calls at named gates (shared by all its objects) until another
// call opens them, so that tests can see which calls run at the same time;
// "Docmill.EchoLate" has none and answers every name.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>

#include "automation/creation.h"
#include "automation/dispatch.h"

namespace docmill {
namespace {

std::atomic<int> gLive{0};

// Named gates: a call to Wait(name) stays inside until Open(name) lets one caller through.
struct Gates {
  std::mutex mutex;
  std::condition_variable changed;
  std::map<std::string, int> inside, most, permits;

  void wait(const std::string& name) {
    std::unique_lock lock(mutex);
    most[name] = std::max(most[name], ++inside[name]);
    changed.wait(lock, [&] { return permits[name] > 0; });
    --permits[name];
    --inside[name];
  }
  void open(const std::string& name) {
    std::lock_guard lock(mutex);
    ++permits[name];
    changed.notify_all();
  }
  int count(std::map<std::string, int>& of, const std::string& name) {
    std::lock_guard lock(mutex);
    return of[name];
  }
};
Gates gGates;

Guid guid(uint8_t last) {
  Guid g;
  g.bytes = {0x0e, 0xc7, 0x05, 0xe7, 0x31, 0x4d, 0x4e, 0x51,
             0x8a, 0x60, 0x2b, 0x11, 0x7c, 0x3e, 0x00, last};
  return g;
}

ParamDesc param(std::string name, bool byRef = false, VarType type = vt::Variant) {
  return ParamDesc{std::move(name), type, byRef, false, Variant()};
}
ParamDesc optional(std::string name, Variant value, bool byRef = false,
                   VarType type = vt::Variant) {
  return ParamDesc{std::move(name), type, byRef, true, std::move(value)};
}

const InterfaceInfo& echoInterface() {
  static const InterfaceInfo info{
      guid(0x10),
      "_Echo",
      true,
      false,
      true,
      true,
      {
          {7, 1, "Echo", invoke::Method, vt::Variant, {param("value")}},
          {9, 3, "Describe", invoke::Method, vt::Bstr, {param("value")}},
          {10, 4, "Value", invoke::PropertyGet, vt::Variant, {}},
          {11, 4, "Value", invoke::PropertyPut, vt::Empty, {param("value")}},
          {12, 5, "Swap", invoke::Method, vt::Empty, {param("a", true), param("b", true)}},
          {13,
           6,
           "Defaults",
           invoke::Method,
           vt::Bstr,
           {param("first"), optional("second", Variant(int16_t{7}), false, vt::I2),
            optional("third", Variant("x"), true)}},
          {14,
           7,
           "Raise",
           invoke::Method,
           vt::Empty,
           {param("number", false, vt::I4), param("description", false, vt::Bstr)}},
          {15, 8, "Sleep", invoke::Method, vt::Empty, {param("milliseconds", false, vt::I4)}},
          {16, 9, "Live", invoke::PropertyGet, vt::I4, {}},
          {17, 10, "Wait", invoke::Method, vt::Empty, {param("gate", false, vt::Bstr)}},
          {18, 11, "Open", invoke::Method, vt::Empty, {param("gate", false, vt::Bstr)}},
          {19, 12, "Inside", invoke::Method, vt::I4, {param("gate", false, vt::Bstr)}},
          {20, 13, "MostInside", invoke::Method, vt::I4, {param("gate", false, vt::Bstr)}},
      }};
  return info;
}

class Echo : public TableDispatch {
 public:
  Echo() : TableDispatch(echoInterface()) { ++gLive; }
  ~Echo() override { --gLive; }

 protected:
  Variant invokeMember(const FuncDesc& func, std::span<Variant* const> args) override {
    switch (func.dispId) {
      case 1:
        return *args[0];
      case 3:
        return Variant(args[0]->debugString());
      case 4:
        if (func.kind == invoke::PropertyPut) {
          value_ = *args[0];
          return Variant();
        }
        return value_;
      case 5:
        std::swap(*args[0], *args[1]);
        return Variant();
      case 6:
        return Variant(args[0]->debugString() + " " + args[1]->debugString() + " " +
                       args[2]->debugString());
      case 7:
        raise(Error{args[0]->i4(), "Echo", args[1]->bstr()});
      case 8:
        std::this_thread::sleep_for(std::chrono::milliseconds(args[0]->i4()));
        return Variant();
      case 9:
        return Variant(static_cast<int32_t>(gLive.load()));
      case 10:
        gGates.wait(args[0]->bstr());
        return Variant();
      case 11:
        gGates.open(args[0]->bstr());
        return Variant();
      case 12:
        return Variant(static_cast<int32_t>(gGates.count(gGates.inside, args[0]->bstr())));
      case 13:
        return Variant(static_cast<int32_t>(gGates.count(gGates.most, args[0]->bstr())));
      default:
        raiseDispatch(hr::DISP_E_MEMBERNOTFOUND);
    }
  }

 private:
  Variant value_;
};

// Answers every member with a description of the call; a property put is kept and read
// back by the same name.
class EchoLate : public NamedDispatch {
 protected:
  Variant invokeByName(NamedCall& call) override {
    if (call.putValue) {
      values_[call.member] = *call.putValue;
      return Variant();
    }
    if (auto it = values_.find(call.member); it != values_.end() && call.args.empty()) {
      return it->second;
    }
    std::string text = call.member + "(";
    for (size_t i = 0; i < call.args.size(); ++i) {
      text += (i ? ", " : "") + call.args[i].debugString();
    }
    for (const auto& [name, value] : call.named) text += "; " + name + "=" + value.debugString();
    return Variant(text + ")");
  }

 private:
  std::map<std::string, Variant> values_;
};

}  // namespace
}  // namespace docmill

extern "C" __attribute__((visibility("default"))) int32_t DllGetClassObject(
    const docmill::Guid* clsid, docmill::ClassFactoryPtr** factory) {
  using namespace docmill;
  if (!clsid || !factory) return hr::E_POINTER;
  if (*clsid == guid(1)) {
    *factory = new ClassFactoryPtr(makeFactory([] { return std::make_shared<Echo>(); }));
  } else if (*clsid == guid(2)) {
    *factory = new ClassFactoryPtr(makeFactory([] { return std::make_shared<EchoLate>(); }));
  } else {
    return hr::CLASS_E_CLASSNOTAVAILABLE;
  }
  return hr::S_OK;
}
