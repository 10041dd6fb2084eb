#include "office_server/app_base.h"

#include <mutex>

#include "printer/destinations.h"

namespace docmill::office_server {

OfficeObject::OfficeObject(const AppIdentity& app) : app_(app), lease_(OfficeLease::current()) {
  if (!lease_) lease_ = OfficePool::instance().acquireForCreation();
}

Variant OfficeObject::invokeByName(NamedCall& call) {
  CallScope scope(lease_);
  Variant result;
  try {
    unoGuard(app_, call.member + " failed", [&] { result = member(call); });
  } catch (const AutomationError&) {
    scope.checkOffice(app_, call.member, true);
    throw;
  }
  scope.checkOffice(app_, call.member, false);
  return result;
}

void OfficeObject::unknownMember(const NamedCall& call) const {
  raise(Error{438, app_.name, "Object doesn't support this property or method: " + call.member});
}

const Variant* argument(const NamedCall& call, size_t position, std::string_view name) {
  if (const Variant* named = call.namedArg(name)) {
    return named->isMissing() ? nullptr : named;
  }
  if (position < call.args.size() && !call.args[position].isMissing()) {
    return &call.args[position];
  }
  return nullptr;
}

const Variant& putValue(const NamedCall& call) {
  if (!call.putValue) raiseDispatch(hr::DISP_E_PARAMNOTOPTIONAL);
  return *call.putValue;
}

Variant printsSynchronously(const AppIdentity& app, const NamedCall& call) {
  if (call.isPut()) {
    raiseApp(app, app.badValue, "The property PrintsSynchronously is read-only.");
  }
  return Variant(true);
}

bool printerKnown(std::string_view name) {
  if (namesEqual(name, kDefaultPrinter)) return true;
  for (const auto& installed : printer::installedPrinters()) {
    if (installed == name) return true;
  }
  return false;
}

std::string checkPrinter(const AppIdentity& app, const Variant& value) {
  std::string name = value.toString();
  if (!printerKnown(name)) {
    raiseApp(app, app.badValue,
             "There is no printer named \"" + name + "\". Use \"" + kDefaultPrinter +
                 "\" or an installed printer.");
  }
  return name;
}

Variant IndexedCollection::member(NamedCall& call) {
  if (is(call, "Item")) {
    if (call.args.empty()) raiseDispatch(hr::DISP_E_PARAMNOTOPTIONAL);
    return item(call.args[0]);
  }
  if (is(call, "Count")) return Variant(count());
  return otherMember(call);
}

}  // namespace docmill::office_server
