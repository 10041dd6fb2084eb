#include "automation/error.h"

#include <cstdio>

namespace docmill {

AutomationError::AutomationError(Error error, int32_t hresult)
    : error_(std::move(error)), hresult_(hresult) {
  what_ = hexCode(error_.number) + " (" + error_.source + "): " + error_.description;
}

std::string runtimeErrorText(int32_t number) {
  switch (number) {
    case rt::InvalidProcedureCall:
      return "Invalid procedure call or argument";
    case rt::Overflow:
      return "Overflow";
    case rt::SubscriptOutOfRange:
      return "Subscript out of range";
    case rt::TypeMismatch:
      return "Type mismatch";
    case rt::FileNotFound:
      return "File not found";
    case rt::PermissionDenied:
      return "Permission denied";
    case rt::PathFileAccessError:
      return "Path/File access error";
    case rt::PathNotFound:
      return "Path not found";
    case rt::ObjectNotSet:
      return "Object variable or With block variable not set";
    case rt::CantCreateObject:
      return "Automation server can't create object";
    case rt::DllEntryPointNotFound:
      return "Can't find DLL entry point";
    default:
      return "Application-defined or object-defined error";
  }
}

Error runtimeError(int32_t number, std::string detail) {
  return Error{number, "docmill", detail.empty() ? runtimeErrorText(number) : std::move(detail)};
}

void raise(Error error) {
  throw AutomationError(std::move(error));
}

void raiseRuntime(int32_t number, std::string detail) {
  raise(runtimeError(number, std::move(detail)));
}

std::string dispatchErrorText(int32_t hresult) {
  switch (hresult) {
    case hr::DISP_E_MEMBERNOTFOUND:
      return "Member not found.";
    case hr::DISP_E_PARAMNOTFOUND:
      return "Parameter not found.";
    case hr::DISP_E_TYPEMISMATCH:
      return "Type mismatch.";
    case hr::DISP_E_UNKNOWNNAME:
      return "Unknown name.";
    case hr::DISP_E_NONAMEDARGS:
      return "No named arguments.";
    case hr::DISP_E_OVERFLOW:
      return "Out of present range.";
    case hr::DISP_E_BADINDEX:
      return "Invalid index.";
    case hr::DISP_E_BADPARAMCOUNT:
      return "Invalid number of parameters.";
    case hr::DISP_E_PARAMNOTOPTIONAL:
      return "Parameter not optional.";
    case hr::E_NOTIMPL:
      return "Not implemented.";
    default:
      return "Unspecified error.";
  }
}

void raiseDispatch(int32_t hresult) {
  throw AutomationError(Error{hresult, "docmill", dispatchErrorText(hresult)}, hresult);
}

uint32_t errorCode(int32_t number) {
  if (number > 0 && number <= 0xFFFF) return 0x800A0000u | static_cast<uint32_t>(number);
  return static_cast<uint32_t>(number);
}

std::string hexCode(int32_t number) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%08X", errorCode(number));
  return buf;
}

std::string describeError(const Error& error) {
  return "error " + hexCode(error.number) + " (" + error.source + "): " + error.description;
}

}  // namespace docmill
