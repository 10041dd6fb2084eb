// _docmill: the compiled half of the Python package `docmill`. It creates automation objects,
// calls their members late-bound with the GIL released, converts values by the table of
// python/values.h, describes members from the type information, and runs batch
// conversions. The Python half (docmill/__init__.py) turns this into attribute access.
//
// Importing it registers the built-in classes as the command-line host does; the offices
// end when `shutdown()` is called (at interpreter exit) or, failing that, when the process
// exits.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <memory>
#include <optional>

#include "automation/creation.h"
#include "cli/convert.h"
#include "cli/servers.h"
#include "component/type_library.h"
#include "python/values.h"
#include "remote/pool_client.h"
#ifdef DOCMILL_HAVE_OFFICE_APPS
#include "office_server/servers.h"
#endif

namespace docmill::python {

namespace {

// The variant bound to parameter `index` of the call, or nullptr when it was not passed.
const Variant* boundArgument(size_t index, std::span<const Variant> storage, size_t positional,
                             std::span<const DispId> namedIds) {
  if (index < positional) return &storage[index];
  for (size_t k = 0; k < namedIds.size(); ++k) {
    if (namedIds[k] == static_cast<DispId>(index)) return &storage[positional + k];
  }
  return nullptr;
}

// What a call returns to Python. A member with by-reference parameters returns a tuple:
// its result first unless it returns nothing, then every by-reference parameter's value
// after the call in parameter order (an omitted one as its default); a tuple of one is
// returned as its item. Other members return their result, None when they have none.
// Without type information (`func` null) only the result comes back, Empty as None.
py::object callResult(const FuncDesc* func, const Variant& result, std::span<const Variant> storage,
                      size_t positional, std::span<const DispId> namedIds) {
  if (!func) return fromResult(result);
  const bool returns = func->result != vt::Empty;
  const bool byRef =
      std::any_of(func->params.begin(), func->params.end(), [](const auto& p) { return p.byRef; });
  if (!byRef) return returns ? fromVariant(result) : py::object(py::none());
  py::list out;
  if (returns) out.append(fromVariant(result));
  for (size_t i = 0; i < func->params.size(); ++i) {
    const ParamDesc& p = func->params[i];
    if (!p.byRef) continue;
    const Variant* bound = boundArgument(i, storage, positional, namedIds);
    out.append(fromVariant(bound && !bound->isMissing() ? *bound : p.defaultValue));
  }
  if (out.size() == 1) return out[0];
  return py::tuple(out);
}

py::object callByName(Handle& self, const std::string& name, uint16_t flags, const py::tuple& args,
                      const py::dict& kwargs) {
  std::vector<std::string> names{name};
  std::vector<Variant> storage;
  storage.reserve(args.size() + kwargs.size());
  for (py::handle a : args) storage.push_back(toVariant(a));
  for (auto [key, value] : kwargs) {
    names.push_back(py::cast<std::string>(key));
    storage.push_back(toVariant(value));
  }
  const size_t positional = args.size();
  Variant result;
  std::vector<DispId> ids;
  withoutGil([&] {
    std::lock_guard lock(self.callMutex());
    ids = self.object()->getIDsOfNames(names);
    // Every argument by reference, as a script passes its variables.
    DispParams params;
    params.args.reserve(positional);
    for (size_t i = 0; i < positional; ++i) params.args.push_back(Variant::byRef(storage[i]));
    for (size_t k = 1; k < ids.size(); ++k) {
      params.named.emplace_back(ids[k], Variant::byRef(storage[positional + k - 1]));
    }
    result = self.object()->invoke(ids[0], flags, params);
  });
  const InterfaceInfo* info = self.object()->typeInfo();
  const FuncDesc* func = info ? findMember(*info, ids[0], flags) : nullptr;
  return callResult(func, result, storage, positional, std::span(ids).subspan(1));
}

void putProperty(Handle& self, const std::string& name, py::handle value) {
  Variant v = toVariant(value);
  withoutGil([&] {
    std::lock_guard lock(self.callMutex());
    put(self.object(), name, std::move(v));
  });
}

std::string typeText(VarType type) {
  return type == vt::Variant ? "Variant" : varTypeName(type);
}

// The members of the object's type information, or None when it has none.
py::object members(const Handle& self) {
  const InterfaceInfo* info = self.object()->typeInfo();
  if (!info) return py::none();
  py::list list;
  for (const FuncDesc& f : info->funcs) {
    py::list params;
    for (const ParamDesc& p : f.params) {
      params.append(
          py::make_tuple(p.name, typeText(p.type), p.byRef, p.optional,
                         p.optional ? fromVariant(p.defaultValue) : py::object(py::none())));
    }
    const char* kind = f.kind == invoke::PropertyGet   ? "get"
                       : f.kind == invoke::PropertyPut ? "put"
                                                       : "method";
    list.append(py::make_tuple(
        f.name, kind, f.dispId,
        f.result == vt::Empty ? py::object(py::none()) : py::str(typeText(f.result)), params));
  }
  return py::make_tuple(info->name, list);
}

HandlePtr create(const std::string& progIdOrClsid) {
  DispatchPtr object;
  withoutGil([&] { object = remote::createObject(progIdOrClsid); });
  return std::make_shared<Handle>(std::move(object));
}

std::string pathArgument(py::handle value) {
  Variant v = toVariant(value);
  if (v.valueType() != vt::Bstr)
    raiseRuntime(rt::TypeMismatch, "Type mismatch: a path must be a string");
  return v.bstr();
}

// Runs a batch with the PDF options `options` (name to text, as PdfOptions reads them);
// returns (input, output or None, AutomationError or None, parts) per input. A bad option or
// a request that cannot be carried out raises ValueError with PdfOptions' words.
py::list convert(const py::sequence& inputs, const py::object& output, bool merge, int jobs,
                 const std::vector<std::pair<std::string, std::string>>& options) {
  cli::BatchRequest request;
  for (py::handle in : inputs) request.inputs.push_back(pathArgument(in));
  if (!output.is_none()) request.output = pathArgument(output);
  request.merge = merge;
  request.jobs = jobs;
  try {
    for (const auto& [name, value] : options) request.pdf.set(name, value);
  } catch (const cli::OptionError& e) {
    throw py::value_error(e.what());
  }
  cli::BatchResult result;
  withoutGil([&] { result = remote::convertBatch(request); });
  if (!result.refused.empty()) throw py::value_error(result.refused);
  if (result.noScratch) {
    raiseRuntime(rt::PathFileAccessError, "Cannot create a temporary folder for the merge.");
  }
  py::list out;
  for (const auto& f : result.files) {
    out.append(py::make_tuple(
        f.input, f.output.empty() ? py::object(py::none()) : py::str(f.output),
        f.error ? errorObject(*f.error) : py::object(py::none()), py::cast(f.parts)));
  }
  return out;
}

void shutdown() {
#ifdef DOCMILL_HAVE_OFFICE_APPS
  withoutGil([] { office_server::shutdownOffice(); });
#endif
}

// The built-in classes, registered for the life of the process.
cli::HostServers* servers = nullptr;

}  // namespace

}  // namespace docmill::python

PYBIND11_MODULE(_docmill, m) {
  using namespace docmill;
  using namespace docmill::python;
  m.doc() = "The compiled half of docmill; use the docmill package.";

  if (!servers) servers = new cli::HostServers;

  py::register_exception_translator([](std::exception_ptr p) {
    try {
      if (p) std::rethrow_exception(p);
    } catch (const AutomationError& e) {
      if (!pythonTypes().automationError) throw;
      py::object error = errorObject(e.error());
      PyErr_SetObject(pythonTypes().automationError.ptr(), error.ptr());
    }
  });

  py::class_<Handle, HandlePtr>(m, "Object")
      .def("invoke", &callByName, py::arg("name"), py::arg("flags"), py::arg("args"),
           py::arg("kwargs"))
      .def("put", &putProperty)
      .def("members", &members)
      .def("identity",
           [](const Handle& h) { return reinterpret_cast<uintptr_t>(h.object().get()); });

  m.def("create", &create);
  m.def("convert", &convert);
  m.def("shutdown", &shutdown);
  m.def("register_types",
        [](py::handle i2, py::handle r4, py::handle array, py::handle dispatch, py::handle wrap,
           py::handle empty, py::handle null, py::handle missing, py::handle automationError) {
          setPythonTypes({i2, r4, array, dispatch, wrap, empty, null, missing, automationError});
        });

  m.attr("METHOD") = invoke::Method;
  m.attr("PROPERTYGET") = invoke::PropertyGet;
  m.attr("PROPERTYPUT") = invoke::PropertyPut;
  py::dict constants;
  for (const EnumInfo* e : typeLibrary().enums) {
    for (const auto& [name, value] : e->values) constants[py::str(name)] = value;
  }
  m.attr("constants") = constants;
}
