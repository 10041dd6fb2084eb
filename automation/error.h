// Error values of the automation runtime: a number, a source and a description.
//
// Every failure that crosses a layer travels as an `Error`, thrown inside an
// `AutomationError` (which also says which dispatch result code the failure maps to).
// The classic run-time errors that the component raises have fixed numbers and texts,
// built by `runtimeError`; each layer converts its own platform errors in one place.
#pragma once

#include <cstdint>
#include <exception>
#include <string>

namespace docmill {

struct Error {
  int32_t number = 0;
  std::string source;
  std::string description;
};

// Result codes of the dispatch layer, with their automation meanings.
namespace hr {
inline constexpr int32_t S_OK = 0;
inline constexpr int32_t S_FALSE = 1;
inline constexpr int32_t E_NOTIMPL = static_cast<int32_t>(0x80004001);
inline constexpr int32_t E_NOINTERFACE = static_cast<int32_t>(0x80004002);
inline constexpr int32_t E_POINTER = static_cast<int32_t>(0x80004003);
inline constexpr int32_t E_ABORT = static_cast<int32_t>(0x80004004);
inline constexpr int32_t E_FAIL = static_cast<int32_t>(0x80004005);
inline constexpr int32_t E_INVALIDARG = static_cast<int32_t>(0x80070057);
inline constexpr int32_t DISP_E_UNKNOWNINTERFACE = static_cast<int32_t>(0x80020001);
inline constexpr int32_t DISP_E_MEMBERNOTFOUND = static_cast<int32_t>(0x80020003);
inline constexpr int32_t DISP_E_PARAMNOTFOUND = static_cast<int32_t>(0x80020004);
inline constexpr int32_t DISP_E_TYPEMISMATCH = static_cast<int32_t>(0x80020005);
inline constexpr int32_t DISP_E_UNKNOWNNAME = static_cast<int32_t>(0x80020006);
inline constexpr int32_t DISP_E_NONAMEDARGS = static_cast<int32_t>(0x80020007);
inline constexpr int32_t DISP_E_EXCEPTION = static_cast<int32_t>(0x80020009);
inline constexpr int32_t DISP_E_OVERFLOW = static_cast<int32_t>(0x8002000A);
inline constexpr int32_t DISP_E_BADINDEX = static_cast<int32_t>(0x8002000B);
inline constexpr int32_t DISP_E_BADPARAMCOUNT = static_cast<int32_t>(0x8002000E);
inline constexpr int32_t DISP_E_PARAMNOTOPTIONAL = static_cast<int32_t>(0x8002000F);
inline constexpr int32_t CLASS_E_CLASSNOTAVAILABLE = static_cast<int32_t>(0x80040111);
inline constexpr int32_t REGDB_E_CLASSNOTREG = static_cast<int32_t>(0x80040154);
inline constexpr int32_t SELFREG_E_CLASS = static_cast<int32_t>(0x80040201);
inline constexpr int32_t SELFREG_E_TYPELIB = static_cast<int32_t>(0x80040200);
}  // namespace hr

// Classic automation run-time error numbers.
namespace rt {
inline constexpr int32_t InvalidProcedureCall = 5;
inline constexpr int32_t Overflow = 6;
inline constexpr int32_t SubscriptOutOfRange = 9;
inline constexpr int32_t TypeMismatch = 13;
inline constexpr int32_t FileNotFound = 53;
inline constexpr int32_t PermissionDenied = 70;
inline constexpr int32_t PathFileAccessError = 75;
inline constexpr int32_t PathNotFound = 76;
inline constexpr int32_t ObjectNotSet = 91;
inline constexpr int32_t CantCreateObject = 429;
inline constexpr int32_t DllEntryPointNotFound = 453;
}  // namespace rt

// Thrown for every failure that a caller of an automation member sees.
// `hresult` is the dispatch result: DISP_E_EXCEPTION when the member itself failed (the
// rich record is then `error()`), or a dispatch-layer code such as DISP_E_TYPEMISMATCH.
class AutomationError : public std::exception {
 public:
  explicit AutomationError(Error error, int32_t hresult = hr::DISP_E_EXCEPTION);
  const Error& error() const noexcept { return error_; }
  int32_t hresult() const noexcept { return hresult_; }
  const char* what() const noexcept override { return what_.c_str(); }

 private:
  Error error_;
  int32_t hresult_;
  std::string what_;
};

// The standard text of a classic run-time error ("Type mismatch" for 13, ...).
std::string runtimeErrorText(int32_t number);
// A classic run-time error with its standard text; `detail` replaces the text when given.
Error runtimeError(int32_t number, std::string detail = {});
[[noreturn]] void raise(Error error);
[[noreturn]] void raiseRuntime(int32_t number, std::string detail = {});
// A dispatch-layer failure (DISP_E_...), with the layer's standard text.
[[noreturn]] void raiseDispatch(int32_t hresult);
std::string dispatchErrorText(int32_t hresult);

// The number as the 32-bit result code a client sees: classic run-time errors
// (1..65535) travel as 0x800A0000 | number, as automation does.
uint32_t errorCode(int32_t number);
// "0x%08X" of errorCode(number).
std::string hexCode(int32_t number);
// "error 0xNNNNNNNN (SOURCE): DESCRIPTION", the line hosts show for a failure.
std::string describeError(const Error& error);

}  // namespace docmill
