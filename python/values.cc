#include "python/values.h"

#include <cfloat>
#include <chrono>
#include <cmath>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace docmill::python {

namespace {

PythonTypes gTypes;

// Deeper nesting than this is refused rather than recursed into: a list that contains
// itself would otherwise exhaust the stack.
constexpr int kMaxDepth = 64;

[[noreturn]] void mismatch(const std::string& why) {
  raiseRuntime(rt::TypeMismatch, "Type mismatch: " + why);
}

std::string typeName(py::handle value) {
  return py::str(py::type::handle_of(value).attr("__name__"));
}

bool isInstance(py::handle value, py::handle type) {
  return type && PyObject_IsInstance(value.ptr(), type.ptr()) == 1;
}

// A Python string as UTF-8 bytes; characters that stand for undecodable bytes (as file
// names read from the system carry them) become those bytes again.
std::string textOf(py::handle value) {
  PyObject* bytes = PyUnicode_AsEncodedString(value.ptr(), "utf-8", "surrogateescape");
  if (!bytes) {
    PyErr_Clear();
    mismatch("the string cannot be written as UTF-8");
  }
  std::string text(PyBytes_AS_STRING(bytes), static_cast<size_t>(PyBytes_GET_SIZE(bytes)));
  Py_DECREF(bytes);
  if (text.find('\0') != std::string::npos) mismatch("the string holds a NUL character");
  return text;
}

Variant fromInt(py::handle value) {
  int overflow = 0;
  long long n = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
  if (n == -1 && PyErr_Occurred()) {
    PyErr_Clear();
    raiseRuntime(rt::Overflow);
  }
  if (!overflow && n >= INT32_MIN && n <= INT32_MAX) return Variant(static_cast<int32_t>(n));
  // Larger numbers travel as doubles, as automation's own literals do, but only while the
  // double holds them exactly.
  constexpr long long kExact = 1LL << 53;
  if (!overflow && n >= -kExact && n <= kExact) return Variant(static_cast<double>(n));
  raiseRuntime(rt::Overflow);
}

Variant toVariantAt(py::handle value, int depth);

// The items of a sequence, or nothing when `value` is not one (strings and byte strings
// are not sequences of values here).
std::optional<py::sequence> sequenceOf(py::handle value) {
  if (PyUnicode_Check(value.ptr()) || PyBytes_Check(value.ptr()) ||
      PyByteArray_Check(value.ptr()) || PyMemoryView_Check(value.ptr()) ||
      PyDict_Check(value.ptr()) || !PySequence_Check(value.ptr())) {
    return std::nullopt;
  }
  return py::reinterpret_borrow<py::sequence>(value);
}

// The shape of `ndim` nested sequences, checking that every level is rectangular.
std::vector<size_t> shapeOf(py::handle value, int ndim) {
  std::vector<size_t> shape;
  py::handle level = value;
  for (int d = 0; d < ndim; ++d) {
    auto seq = sequenceOf(level);
    if (!seq) mismatch("an array of " + std::to_string(ndim) + " dimensions needs nested lists");
    shape.push_back(seq->size());
    if (seq->size() == 0) {
      shape.resize(static_cast<size_t>(ndim), 0);
      return shape;
    }
    level = (*seq)[0];
  }
  return shape;
}

void fill(SafeArray& array, py::handle value, const std::vector<size_t>& shape, size_t dim,
          std::vector<int32_t>& index, int depth) {
  auto seq = sequenceOf(value);
  if (!seq || seq->size() != shape[dim]) mismatch("the array is not rectangular");
  for (size_t i = 0; i < shape[dim]; ++i) {
    index[dim] = array.lbound(static_cast<int>(dim) + 1) + static_cast<int32_t>(i);
    py::object item = (*seq)[i];
    if (dim + 1 < shape.size()) {
      fill(array, item, shape, dim + 1, index, depth);
    } else {
      array.at(index) = toVariantAt(item, depth + 1);
    }
  }
}

int32_t lowerBound(py::handle bound) {
  if (!PyLong_Check(bound.ptr())) mismatch("a lower bound must be an int");
  Variant v = fromInt(bound);
  if (v.type() != vt::I4) raiseRuntime(rt::Overflow);
  return v.i4();
}

Variant arrayFrom(py::handle value, int depth) {
  int ndim = 1;
  std::vector<int32_t> lower;
  if (isInstance(value, gTypes.array)) {
    ndim = py::cast<int>(value.attr("ndim"));
    py::object bound = value.attr("lower_bound");
    if (PyLong_Check(bound.ptr())) {
      lower.assign(static_cast<size_t>(ndim), lowerBound(bound));
    } else {
      for (py::handle b : py::reinterpret_borrow<py::sequence>(bound)) {
        lower.push_back(lowerBound(b));
      }
    }
  } else {
    lower.push_back(0);
  }
  if (ndim < 1 || lower.size() != static_cast<size_t>(ndim)) {
    mismatch("an array needs one lower bound per dimension");
  }
  std::vector<size_t> shape = shapeOf(value, ndim);
  std::vector<ArrayBound> bounds;
  for (int d = 0; d < ndim; ++d) {
    if (shape[d] > INT32_MAX) raiseRuntime(rt::Overflow);
    int64_t upper = static_cast<int64_t>(lower[d]) + static_cast<int64_t>(shape[d]) - 1;
    if (upper > INT32_MAX) raiseRuntime(rt::Overflow);
    bounds.push_back({lower[d], static_cast<uint32_t>(shape[d])});
  }
  SafeArray array(vt::Variant, std::move(bounds));
  bool empty = false;
  for (size_t n : shape) empty = empty || n == 0;
  if (!empty) {
    std::vector<int32_t> index(static_cast<size_t>(ndim));
    fill(array, value, shape, 0, index, depth);
  }
  return Variant(std::move(array));
}

Variant toVariantAt(py::handle value, int depth) {
  if (depth > kMaxDepth) mismatch("the value is nested too deeply");
  PyObject* p = value.ptr();
  if (p == Py_None) return Variant::nothing();
  if (value.is(gTypes.empty)) return Variant();
  if (value.is(gTypes.null)) return Variant::null();
  if (value.is(gTypes.missing)) return Variant::missing();
  if (PyBool_Check(p)) return Variant(p == Py_True);
  if (isInstance(value, gTypes.i2)) {
    Variant v = fromInt(value);
    if (v.type() != vt::I4) raiseRuntime(rt::Overflow);
    return Variant(v.toI2());
  }
  if (isInstance(value, gTypes.r4)) {
    double d = PyFloat_AsDouble(p);
    if (std::isfinite(d) && std::fabs(d) > FLT_MAX) raiseRuntime(rt::Overflow);
    return Variant(static_cast<float>(d));
  }
  if (PyLong_Check(p)) return fromInt(value);
  if (PyFloat_Check(p)) return Variant(PyFloat_AS_DOUBLE(p));
  if (PyUnicode_Check(p)) return Variant(textOf(value));
  if (isInstance(value, gTypes.dispatch)) {
    return Variant(py::cast<HandlePtr>(value.attr("_oleobj_"))->object());
  }
  if (isInstance(value, gTypes.array) || sequenceOf(value)) return arrayFrom(value, depth);
  if (py::hasattr(value, "__fspath__")) {
    py::object path = py::reinterpret_steal<py::object>(PyOS_FSPath(p));
    if (!path) throw py::error_already_set();
    if (PyUnicode_Check(path.ptr())) return Variant(textOf(path));
  }
  mismatch("a Python " + typeName(value) + " has no automation type");
}

py::object arrayToPython(const SafeArray& array) {
  const PythonTypes& t = gTypes;
  const int ndim = array.dims();
  if (ndim == 0) return t.array(py::list(), py::arg("lower_bound") = 0);
  std::vector<int32_t> index(static_cast<size_t>(ndim));
  // Nested lists with the first index outermost, as a[i][j] reads a(i, j).
  std::function<py::list(int)> level = [&](int dim) {
    py::list items;
    for (int32_t i = array.lbound(dim + 1); i <= array.ubound(dim + 1); ++i) {
      index[dim] = i;
      if (dim + 1 < ndim) {
        items.append(level(dim + 1));
      } else {
        items.append(fromVariant(array.at(index)));
      }
    }
    return items;
  };
  py::object lower;
  if (ndim == 1) {
    lower = py::int_(array.lbound(1));
  } else {
    py::list bounds;
    for (int d = 1; d <= ndim; ++d) bounds.append(array.lbound(d));
    lower = py::tuple(bounds);
  }
  return t.array(level(0), py::arg("lower_bound") = lower, py::arg("ndim") = ndim);
}

}  // namespace

void withoutGil(const std::function<void()>& work) {
  std::exception_ptr failure;
  PyThreadState* state = PyEval_SaveThread();
  try {
    work();
  } catch (...) {
    failure = std::current_exception();
  }
#if PY_VERSION_HEX >= 0x030D0000
  const bool finalizing = Py_IsFinalizing();
#else
  const bool finalizing = _Py_IsFinalizing();
#endif
  if (finalizing) {
    for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
  }
  PyEval_RestoreThread(state);
  if (failure) std::rethrow_exception(failure);
}

void setPythonTypes(const PythonTypes& types) {
  // Held for the life of the process: the table may be used until the interpreter ends.
  for (py::handle h : {types.i2, types.r4, types.array, types.dispatch, types.wrap, types.empty,
                       types.null, types.missing, types.automationError}) {
    h.inc_ref();
  }
  gTypes = types;
}

const PythonTypes& pythonTypes() {
  return gTypes;
}

Variant toVariant(py::handle value) {
  return toVariantAt(value, 0);
}

py::object fromVariant(const Variant& value) {
  const Variant& v = value.deref();
  switch (v.type()) {
    case vt::Empty:
      return py::reinterpret_borrow<py::object>(gTypes.empty);
    case vt::Null:
      return py::reinterpret_borrow<py::object>(gTypes.null);
    case vt::I2:
      return py::int_(v.i2());
    case vt::I4:
      return py::int_(v.i4());
    case vt::R4:
      return py::float_(static_cast<double>(v.r4()));
    case vt::R8:
      return py::float_(v.r8());
    case vt::Bool:
      return py::bool_(v.boolean());
    case vt::Bstr: {
      const std::string& s = v.bstr();
      PyObject* text =
          PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "surrogateescape");
      if (!text) throw py::error_already_set();
      return py::reinterpret_steal<py::object>(text);
    }
    case vt::Error:
      if (v.isMissing()) return py::reinterpret_borrow<py::object>(gTypes.missing);
      return py::int_(errorCode(v.scode()));
    case vt::Dispatch:
      if (!v.object()) return py::none();
      return gTypes.wrap(std::make_shared<Handle>(v.object()));
    default:
      break;
  }
  if (v.isArray()) return arrayToPython(v.array());
  mismatch("a " + varTypeName(v.type()) + " value has no Python type");
}

py::object fromResult(const Variant& value) {
  return value.isEmpty() ? py::object(py::none()) : fromVariant(value);
}

py::object errorObject(const Error& error) {
  return gTypes.automationError(errorCode(error.number), error.source, error.description);
}

}  // namespace docmill::python
