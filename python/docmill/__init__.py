"""docmill: document conversion through automation objects, late-bound from Python.

    import docmill
    pdf = docmill.Dispatch("PDF.CreatePDF")
    pdf.TempFilePath = "/var/tmp/docmill"
    pdf.CreatePDFfromWord("out.pdf", "report.docx", strPages="2-4")

Member names resolve case-insensitively at run time; keyword arguments are named
arguments; properties read and write as attributes. A failing member raises
AutomationError with the number, source and description it reported.

Values convert by one table:

    Python                         automation          back to Python
    None                           Nothing             None
    bool                           Bool                bool
    int                            I4 (R8 past 32 bits) int
    float                          R8                  float
    str, os.PathLike               Bstr                str
    list, tuple, other sequences   Array from 0        Array (a list)
    I2(n), R4(x)                   I2, R4              int, float
    Empty, Null                    Empty, Null         Empty, Null
    Missing                        omitted argument    Missing
    Array(values, lower_bound=1)   Array from 1        Array
    Dispatch object                object              Dispatch object

A member that returns nothing returns None (on objects without type information, so
does one that returns Empty). Nested sequences are arrays of arrays; Array(rows, ndim=2)
is one two-dimensional array. An Error value comes back as its code.

By-reference parameters come back as the usual Python dispatch wrappers return them: a
member with by-reference parameters returns a tuple holding its result (unless it
returns nothing) and then the value of every by-reference parameter after the call, in
parameter order, with omitted ones at their defaults; a tuple of one item is returned as
that item. Objects without type information return only their result.
"""

import inspect as _inspect
import os as _os

from . import _docmill

__all__ = [
    "Dispatch", "AutomationError", "I2", "R4", "Array", "Empty", "Null", "Missing",
    "convert", "ConversionResult", "constants",
]


class AutomationError(Exception):
    """A member's failure: .number (the 32-bit code), .source and .description."""

    def __init__(self, number, source, description):
        super().__init__(number, source, description)
        self.number = number
        self.source = source
        self.description = description

    def __str__(self):
        return "error 0x%08X (%s): %s" % (self.number, self.source, self.description)


class I2(int):
    """An int passed as a 16-bit integer."""

    def __repr__(self):
        return "docmill.I2(%d)" % self


class R4(float):
    """A float passed as a single-precision number."""

    def __repr__(self):
        return "docmill.R4(%r)" % float(self)


class _Marker:
    __slots__ = ("_name",)

    def __init__(self, name):
        self._name = name

    def __repr__(self):
        return "docmill." + self._name

    def __bool__(self):
        return False

    def __reduce__(self):
        return self._name


Empty = _Marker("Empty")
Null = _Marker("Null")
Missing = _Marker("Missing")


class Array(list):
    """An automation array: a list that keeps its lower bound and dimensions.

    Array(["a", "b"], lower_bound=1) is a one-dimensional array indexed from 1.
    Array([[1, 2, 3], [4, 5, 6]], lower_bound=(1, 0), ndim=2) is a 2 x 3 array
    whose element (i, j) is rows[i - 1][j]. Python indexing stays zero-based.
    lower_bound is an int (the same for every dimension) or one int per dimension;
    it reads back as an int for one dimension and as a tuple for several.
    """

    def __init__(self, values=(), lower_bound=1, ndim=1):
        super().__init__(values)
        if not isinstance(ndim, int) or ndim < 1:
            raise ValueError("ndim must be a positive int")
        if isinstance(lower_bound, int):
            bounds = (lower_bound,) * ndim
        else:
            bounds = tuple(lower_bound)
            if len(bounds) != ndim or not all(isinstance(b, int) for b in bounds):
                raise ValueError("lower_bound needs one int per dimension")
        self.ndim = ndim
        self.lower_bound = bounds[0] if ndim == 1 else bounds

    def __repr__(self):
        extra = "" if self.ndim == 1 else ", ndim=%d" % self.ndim
        return "docmill.Array(%s, lower_bound=%r%s)" % (list.__repr__(self), self.lower_bound,
                                                         extra)


_METHOD = _docmill.METHOD
_GET = _docmill.PROPERTYGET


def _param_doc(params):
    lines = []
    for name, vtype, byref, optional, default in params:
        text = "    %s: %s, %s" % (name, vtype, "by reference" if byref else "by value")
        if optional:
            text += ", optional (default %r)" % (default,)
        lines.append(text)
    return lines


def _make_method(name, dispid, result, params):
    def method(self, *args, **kwargs):
        return self._oleobj_.invoke(name, _METHOD | _GET, args, kwargs)

    kind = _inspect.Parameter.POSITIONAL_OR_KEYWORD
    try:
        method.__signature__ = _inspect.Signature(
            [_inspect.Parameter("self", kind)] +
            [_inspect.Parameter(pname, kind,
                                default=default if optional else _inspect.Parameter.empty)
             for pname, _t, _b, optional, default in params])
    except ValueError:
        pass  # a parameter name Python cannot spell; help() then shows (*args, **kwargs)
    method.__name__ = method.__qualname__ = name
    doc = ["Method, dispatch id 0x%08X%s." % (dispid & 0xFFFFFFFF,
                                              ", returns " + result if result else "")]
    doc += _param_doc(params)
    if any(p[2] for p in params):
        doc.append("Returns the by-reference arguments after the call (see help(docmill)).")
    method.__doc__ = "\n".join(doc)
    return method


def _make_property(name, dispid, get, put):
    def fget(self):
        return self._oleobj_.invoke(name, _GET, (), {})

    def fset(self, value):
        self._oleobj_.put(name, value)

    vtype = get[3] if get else "Variant"
    doc = "%s: %s property, dispatch id 0x%08X%s." % (
        name, vtype, dispid & 0xFFFFFFFF, "" if put else ", read-only")
    return property(fget if get else None, fset if put else None, None, doc)


_classes = {}


def _class_for(handle):
    """The Dispatch subclass that describes the object's type information."""
    info = handle.members()
    if info is None:
        return Dispatch
    interface, members = info
    key = (interface, tuple((m[0], m[1], m[2]) for m in members))
    cls = _classes.get(key)
    if cls is not None:
        return cls
    namespace = {"__doc__": "Automation object with interface %s; members below." % interface,
                 "__slots__": ()}
    by_name = {}
    for name, kind, dispid, result, params in members:
        by_name.setdefault(name, {})[kind] = (name, kind, dispid, result, params)
    lower = {}
    setters = {}
    for name, kinds in by_name.items():
        lower[name.lower()] = name
        get = kinds.get("get")
        # A property read with arguments is called like a method.
        if "method" in kinds or (get and get[4]):
            entry = kinds.get("method") or get
            namespace[name] = _make_method(name, entry[2], entry[3], entry[4])
        else:
            entry = kinds.get("get") or kinds.get("put")
            prop = _make_property(name, entry[2], kinds.get("get"), kinds.get("put"))
            namespace[name] = prop
            if prop.fset:
                setters[name.lower()] = prop.fset
    namespace["_members_"] = lower
    namespace["_setters_"] = setters
    cls = type(interface, (Dispatch,), namespace)
    cls.__module__ = __name__
    _classes[key] = cls
    return cls


class Dispatch:
    """Dispatch(progid_or_clsid): a new automation object, reached late-bound.

    Objects with type information offer their members as methods and properties (see
    dir() and help()); unknown names raise AttributeError. On objects without type
    information every name is a method: call it with no arguments to read a property,
    assign to the attribute to set one.
    """

    __slots__ = ("_oleobj_", "__weakref__")
    _members_ = None  # lower-case name -> name, for objects with type information
    _setters_ = None  # lower-case name -> property setter

    def __new__(cls, progid_or_clsid):
        if not isinstance(progid_or_clsid, str):
            raise TypeError("Dispatch() takes a ProgID or a class identifier")
        return _wrap(_docmill.create(progid_or_clsid))

    def __init__(self, progid_or_clsid):
        pass

    def __getattr__(self, name):
        if name.startswith("_"):
            raise AttributeError(name)
        members = type(self)._members_
        if members is None:
            return _LateMember(self, name)
        canonical = members.get(name.lower())
        if canonical is None or canonical == name:
            raise AttributeError("%s has no member %r" % (type(self).__name__, name))
        return getattr(self, canonical)

    def __setattr__(self, name, value):
        if name == "_oleobj_":
            object.__setattr__(self, name, value)
            return
        members = type(self)._members_
        if members is None:
            self._oleobj_.put(name, value)
            return
        setter = type(self)._setters_.get(name.lower())
        if setter is None:
            raise AttributeError("%s has no writable property %r" % (type(self).__name__, name))
        setter(self, value)

    def __dir__(self):
        members = type(self)._members_
        return sorted(members.values()) if members else []

    def __eq__(self, other):
        if not isinstance(other, Dispatch):
            return NotImplemented
        return self._oleobj_.identity() == other._oleobj_.identity()

    def __hash__(self):
        return hash(self._oleobj_.identity())

    def __repr__(self):
        return "<docmill.Dispatch %s>" % type(self).__name__


class _LateMember:
    """A member of an object without type information, called by name."""

    __slots__ = ("_object", "_name")

    def __init__(self, obj, name):
        self._object = obj
        self._name = name

    def __call__(self, *args, **kwargs):
        return self._object._oleobj_.invoke(self._name, _METHOD | _GET, args, kwargs)

    def __repr__(self):
        return "<docmill member %s>" % self._name


def _wrap(handle):
    obj = object.__new__(_class_for(handle))
    object.__setattr__(obj, "_oleobj_", handle)
    return obj


class ConversionResult:
    """What convert() did with one input: .input, .output (the PDF that holds it, or
    None), .parts (the PDFs a split cut it into, in order; then .output is None), .error
    (an AutomationError, or None) and .ok."""

    __slots__ = ("input", "output", "error", "parts")

    def __init__(self, input, output, error, parts=()):
        self.input = input
        self.output = output
        self.error = error
        self.parts = list(parts)

    @property
    def ok(self):
        return self.error is None and (self.output is not None or bool(self.parts))

    def __repr__(self):
        if self.ok:
            return "<ConversionResult %s -> %s>" % (self.input, self.output or self.parts)
        return "<ConversionResult %s failed: %s>" % (self.input, self.error)


def _option_text(name, value):
    """The text of a convert() keyword's value, as `docmill convert --NAME=TEXT` takes it."""
    if isinstance(value, bool):
        return "true" if value else "false"
    if isinstance(value, int):
        return str(value)
    if isinstance(value, str):
        return value
    if name == "metadata" and isinstance(value, dict):
        import json
        return json.dumps(value)
    raise ValueError("%s: a value of type %s is not a bool, int or str%s"
                     % (name, type(value).__name__, " (or a dict)" if name == "metadata" else ""))


def convert(inputs, output=None, merge=False, jobs=None, **options):
    """Converts files to PDF as `docmill convert` does; returns a ConversionResult per
    input, in the order given.

    Office documents are exported by the office itself, with their links, outline and
    tags; via_postscript=True prints them through PostScript instead, as the
    CreatePDFfrom... members do. Each input is converted several at a time (`jobs`, by
    default DOCMILL_OFFICE_POOL or the number of cores). With one input, `output` names the
    PDF unless it is a folder; with several it names a folder (created when needed);
    without it each PDF lands beside its input. No input is ever written over. With
    merge=True every input is joined, in order, into the one PDF `output`, which is written
    only when every input converted. A failing file does not stop the others: its result
    carries the error.

    The other keywords are the PDF options of `docmill convert` and of the service, by the
    same names, with Python values: pdfa="PDF/A-2b", pdfua=True, password="...",
    userPassword="...", ownerPassword="...", allowPrinting=False, metadata={"Title": "..."}
    (or JSON text), flatten=True, splitMode="intervals", splitSpan=2, splitUnify=True,
    singlePageSheets=True, exportFormFields=False, exportBookmarks=False,
    losslessImageCompression=True, quality=80, reduceImageResolution=True,
    maxImageResolution=150, and the other settings of the office's export (`docmill
    convert --help` lists them all). A split fills each result's .parts. A bad option, and
    a request that cannot be carried out, raise ValueError naming the option and the value.
    """
    if isinstance(inputs, (str, bytes)) or hasattr(inputs, "__fspath__"):
        inputs = [inputs]
    inputs = [_os.fspath(i) for i in inputs]
    if output is not None:
        output = _os.fspath(output)
    if jobs is None:
        jobs = 0
    elif not isinstance(jobs, int) or isinstance(jobs, bool) or jobs < 1:
        raise ValueError("jobs must be a positive int")
    texts = []
    for name, value in options.items():
        if name == "via_postscript":
            name = "viaPostScript"
        if value is not None:
            texts.append((name, _option_text(name, value)))
    return [ConversionResult(*r)
            for r in _docmill.convert(inputs, output, bool(merge), jobs, texts)]


class _Constants:
    """The type library's enumeration values by name (pdoAlignLeft, ...)."""

    def __init__(self, values):
        self.__dict__.update(values)

    def __repr__(self):
        return "<docmill.constants %s>" % ", ".join(sorted(self.__dict__))


constants = _Constants(_docmill.constants)

_docmill.register_types(I2, R4, Array, Dispatch, _wrap, Empty, Null, Missing, AutomationError)


def _end_offices():
    # Ends the offices while the interpreter still runs; objects released later find their
    # office gone and close nothing.
    _docmill.shutdown()


import atexit as _atexit  # noqa: E402

_atexit.register(_end_offices)
