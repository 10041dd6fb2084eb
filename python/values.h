// The Python side of automation objects: the handle a Python object keeps on an automation
// object, and the one table by which Python values become variants and variants become
// Python values.
//
// Python -> variant: None is Nothing; bool is Bool; int is I4, or R8 when it does not fit
// in 32 bits but is exact as a double (else Overflow); float is R8; str and path-like
// objects are Bstr (UTF-8, undecodable bytes kept through surrogate escapes); lists,
// tuples and other sequences are Variant arrays from index 0, nested ones arrays of arrays;
// I2, R4, Empty, Null, Missing and Array say what Python cannot; Dispatch objects are
// objects. Variant -> Python is the same table backwards, with Empty as `Empty`, every
// array as an `Array` (a list that keeps its lower bounds and dimensions), an Error value
// as its code (Missing for an omitted argument).
//
// Values that do not convert raise AutomationError: 13 Type mismatch for a Python type
// without an automation type, a string with a NUL character (no file or printer name can
// hold one) or an array that is not rectangular; 6 Overflow for a number out of range.
// Everything here needs the GIL.
#pragma once

#include <pybind11/pybind11.h>

#include <functional>
#include <memory>
#include <mutex>

#include "automation/dispatch.h"

namespace docmill::python {

namespace py = pybind11;

// Keeps one automation object for Python. Calls through one handle are serialised (Python
// code shares objects between threads freely; the objects expect one caller at a time);
// calls through different handles run in parallel.
class Handle {
 public:
  explicit Handle(DispatchPtr object) : object_(std::move(object)) {}
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;

  const DispatchPtr& object() const { return object_; }
  std::mutex& callMutex() { return mutex_; }

 private:
  DispatchPtr object_;
  std::mutex mutex_;
};
using HandlePtr = std::shared_ptr<Handle>;

// Runs `work` with the GIL released, then takes the GIL back; exceptions of `work` are
// rethrown once it is held. A thread that comes back while the interpreter is shutting
// down (a daemon thread still inside a call at exit) does not take it back but waits for
// the process to end: the interpreter would end such a thread while it takes the GIL, in
// the middle of frames that cannot be unwound that way.
void withoutGil(const std::function<void()>& work);

// The package's Python classes and singletons the table uses; set once at import.
struct PythonTypes {
  py::handle i2, r4, array, dispatch, wrap;  // `wrap(handle)` makes a Dispatch object
  py::handle empty, null, missing;
  py::handle automationError;
};
void setPythonTypes(const PythonTypes& types);
const PythonTypes& pythonTypes();

Variant toVariant(py::handle value);
py::object fromVariant(const Variant& value);
// The result of a member that may return nothing (known to have no type information):
// Empty is None.
py::object fromResult(const Variant& value);

// The Python AutomationError for a failure: number (the 32-bit code hosts show), source,
// description.
py::object errorObject(const Error& error);

}  // namespace docmill::python
