#include "native/function.hpp"

#include <stddef.h>  // offsetof

#include <cstdint>
#include <memory>

#include <string>

#include "native/boundary.hpp"
#include "native/layout.hpp"  // generic_paths
#include "native/recursion.hpp"

namespace native {
namespace {

struct FunctionData {
  Ref name, qualname, module_name, doc, globals;
  std::vector<Ref> names;        // interned parameter names
  std::vector<Kind> kinds;
  std::vector<Ref> defaults;     // null where required
  Ref annotations;               // dict, built once and handed out as is
  Ref defaults_tuple;            // __defaults__: None or a tuple
  Ref kwdefaults;                // __kwdefaults__: None or a dict
  Ref code;                      // built on first read of __code__
  size_t n_positional = 0;
  size_t n_kwonly = 0;
  bool var_kw = false;
  size_t n_required_positional = 0;
  Impl impl = nullptr;
  const void* context = nullptr;

  // How the last call by keyword was bound. A call site passes the same keyword names, the same
  // interned strings in the same order, on every call (mostly in the very same tuple), so the next
  // call with those names skips the search by name. The tuple is held so that its names stay the
  // objects compared.
  struct KeywordPlan {
    Ref kwnames;
    size_t nargs = 0;
    std::vector<uint8_t> targets;  // the parameter each keyword binds, in keyword order
    std::vector<uint8_t> rest;     // the parameters after the positional ones left at their defaults
  };
  mutable KeywordPlan plan;
};

struct FunctionObject {
  PyObject_HEAD
  vectorcallfunc vectorcall;
  PyObject* dict;    // __dict__: __isabstractmethod__ and other attributes callers set
  PyObject* weakrefs;  // the weak references to the function, as a Python function has them
  PyObject* module;  // the owning module: its state and its globals
  void* module_state;
  FunctionData* data;
};

FunctionObject* as_function(PyObject* o) { return reinterpret_cast<FunctionObject*>(o); }

// ---- argument errors, in the interpreter's wording ------------------------------------------

[[gnu::noinline, gnu::cold]] void raise_missing(const FunctionData& d, const std::vector<size_t>& missing,
                                                const char* kind) {
  std::string names;
  const size_t n = missing.size();
  for (size_t i = 0; i < n; ++i) {
    Ref r = own(PyObject_Repr(d.names[missing[i]].ptr()));
    names += PyUnicode_AsUTF8(r.ptr());
    if (n == 2 && i == 0) names += " and ";
    else if (n > 2 && i + 2 < n) names += ", ";
    else if (n > 2 && i + 2 == n) names += ", and ";
  }
  raise_format(PyExc_TypeError, "%U() missing %zd required %s argument%s: %s", d.qualname.ptr(),
               static_cast<Py_ssize_t>(n), kind, n == 1 ? "" : "s", names.c_str());
}

[[gnu::noinline, gnu::cold]] void raise_too_many_positional(const FunctionData& d, size_t given,
                                                            PyObject* const* bound) {
  size_t kwonly_given = 0;
  for (size_t i = d.n_positional; i < d.n_positional + d.n_kwonly; ++i)
    if (bound[i] != nullptr) ++kwonly_given;
  const size_t defcount = d.n_positional - d.n_required_positional;
  std::string sig;
  bool plural;
  if (defcount) {
    sig = "from " + std::to_string(d.n_required_positional) + " to " + std::to_string(d.n_positional);
    plural = true;
  } else {
    sig = std::to_string(d.n_positional);
    plural = d.n_positional != 1;
  }
  std::string kwonly_sig;
  if (kwonly_given) {
    kwonly_sig = std::string(" positional argument") + (given != 1 ? "s" : "") + " (and " +
                 std::to_string(kwonly_given) + " keyword-only argument" + (kwonly_given != 1 ? "s" : "") +
                 ")";
  }
  raise_format(PyExc_TypeError, "%U() takes %s positional argument%s but %zd%s %s given", d.qualname.ptr(),
               sig.c_str(), plural ? "s" : "", static_cast<Py_ssize_t>(given), kwonly_sig.c_str(),
               given == 1 && !kwonly_given ? "was" : "were");
}

// ---- binding ---------------------------------------------------------------------------------

// Keywords usually come in declaration order, so the search starts after the previous match.
Py_ssize_t find_keyword(const FunctionData& d, PyObject* key, size_t& start) {
  const size_t n = d.n_positional + d.n_kwonly;
  for (size_t k = 0; k < n; ++k) {
    const size_t i = start + k < n ? start + k : start + k - n;
    if (d.names[i].ptr() == key) {
      start = i + 1 < n ? i + 1 : 0;
      return static_cast<Py_ssize_t>(i);
    }
  }
  // Names that are equal without being the same object, as from a dict built at run time.
  for (size_t i = 0; i < n; ++i)
    if (PyUnicode_Compare(d.names[i].ptr(), key) == 0) return static_cast<Py_ssize_t>(i);
  return -1;
}

bool same_names(PyObject* kwnames, PyObject* planned) {
  if (kwnames == planned) return true;
  if (planned == nullptr || PyTuple_GET_SIZE(kwnames) != PyTuple_GET_SIZE(planned)) return false;
  for (Py_ssize_t j = 0, n = PyTuple_GET_SIZE(kwnames); j < n; ++j)
    if (PyTuple_GET_ITEM(kwnames, j) != PyTuple_GET_ITEM(planned, j)) return false;
  return true;
}

// Called once a call by keyword is bound (no **kwargs): which parameter each keyword took, and
// which parameters took their defaults.
void remember_plan(const FunctionData& d, size_t nargs, PyObject* kwnames) {
  FunctionData::KeywordPlan& plan = d.plan;
  plan.kwnames.reset();  // unusable until complete
  const size_t nkw = static_cast<size_t>(PyTuple_GET_SIZE(kwnames));
  const size_t end = d.n_positional + d.n_kwonly;
  plan.targets.clear();
  plan.rest.clear();
  bool by_keyword[kMaxParams] = {};
  for (size_t j = 0; j < nkw; ++j) {
    size_t i = nargs;
    while (i < end && d.names[i].ptr() != PyTuple_GET_ITEM(kwnames, j)) ++i;
    if (i == end) return;  // matched by equal text only: search by name next time too
    by_keyword[i] = true;
    plan.targets.push_back(static_cast<uint8_t>(i));
  }
  for (size_t i = nargs; i < end; ++i)
    if (!by_keyword[i]) plan.rest.push_back(static_cast<uint8_t>(i));
  plan.nargs = nargs;
  plan.kwnames = borrow(kwnames);
}

Ref invoke(FunctionObject* fn, PyObject* const* args, size_t nargs, PyObject* kwnames) {
  const FunctionData& d = *fn->data;
  const size_t n_params = d.names.size();
  if (kwnames == nullptr && nargs == n_params && !d.var_kw && d.n_kwonly == 0) {
    // Every parameter given by position: the arguments are already bound.
    Call call{reinterpret_cast<PyObject*>(fn), args, n_params, d.context, fn->module, fn->module_state};
    return d.impl(call);
  }
  PyObject* bound[kMaxParams];
  if (kwnames == nullptr && nargs >= d.n_required_positional && nargs < n_params && n_params == d.n_positional) {
    // By position, the trailing parameters left at their defaults.
    for (size_t i = 0; i < nargs; ++i) bound[i] = args[i];
    for (size_t i = nargs; i < n_params; ++i) bound[i] = d.defaults[i].ptr();
    Call call{reinterpret_cast<PyObject*>(fn), bound, n_params, d.context, fn->module, fn->module_state};
    return d.impl(call);
  }
  if (kwnames != nullptr && nargs == d.plan.nargs && same_names(kwnames, d.plan.kwnames.ptr())) {
    for (size_t i = 0; i < nargs; ++i) bound[i] = args[i];
    for (size_t j = 0; j < d.plan.targets.size(); ++j) bound[d.plan.targets[j]] = args[nargs + j];
    for (uint8_t i : d.plan.rest) bound[i] = d.defaults[i].ptr();
    Call call{reinterpret_cast<PyObject*>(fn), bound, n_params, d.context, fn->module, fn->module_state};
    return d.impl(call);
  }
  for (size_t i = 0; i < n_params; ++i) bound[i] = nullptr;
  const size_t n_copy = nargs < d.n_positional ? nargs : d.n_positional;
  for (size_t i = 0; i < n_copy; ++i) bound[i] = args[i];

  Ref kwargs;
  if (kwnames != nullptr) {
    const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    size_t start = nargs < d.n_positional ? nargs : d.n_positional;
    for (Py_ssize_t j = 0; j < nkw; ++j) {
      PyObject* key = PyTuple_GET_ITEM(kwnames, j);
      PyObject* value = args[nargs + static_cast<size_t>(j)];
      const Py_ssize_t idx = find_keyword(d, key, start);
      if (idx < 0) {
        if (!d.var_kw)
          raise_format(PyExc_TypeError, "%U() got an unexpected keyword argument '%U'", d.qualname.ptr(), key);
        if (!kwargs) kwargs = own(PyDict_New());
        setitem(kwargs, key, value);
      } else if (bound[idx] != nullptr) {
        raise_format(PyExc_TypeError, "%U() got multiple values for argument '%U'", d.qualname.ptr(), key);
      } else {
        bound[idx] = value;
      }
    }
  }
  if (nargs > d.n_positional) raise_too_many_positional(d, nargs, bound);

  bool missing_any = false;
  for (size_t i = nargs; i < d.n_positional; ++i) {
    if (bound[i] != nullptr) continue;
    if (d.defaults[i]) bound[i] = d.defaults[i].ptr();
    else missing_any = true;
  }
  if (missing_any) {
    std::vector<size_t> missing;
    for (size_t i = nargs; i < d.n_positional; ++i)
      if (bound[i] == nullptr) missing.push_back(i);
    raise_missing(d, missing, "positional");
  }
  const size_t kw_end = d.n_positional + d.n_kwonly;
  for (size_t i = d.n_positional; i < kw_end; ++i) {
    if (bound[i] != nullptr) continue;
    if (d.defaults[i]) bound[i] = d.defaults[i].ptr();
    else missing_any = true;
  }
  if (missing_any) {
    std::vector<size_t> missing;
    for (size_t i = d.n_positional; i < kw_end; ++i)
      if (bound[i] == nullptr) missing.push_back(i);
    raise_missing(d, missing, "keyword-only");
  }
  if (d.var_kw) {
    if (!kwargs) kwargs = own(PyDict_New());
    bound[kw_end] = kwargs.ptr();
  } else if (kwnames != nullptr && !generic_paths()) {
    remember_plan(d, nargs, kwnames);
  }
  Call call{reinterpret_cast<PyObject*>(fn), bound, n_params, d.context, fn->module, fn->module_state};
  return d.impl(call);
}

// ---- slots -----------------------------------------------------------------------------------

PyObject* function_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
  return guard<PyObject*>(nullptr, [&] {
    const Frame frame;
    return invoke(as_function(self), args, PyVectorcall_NARGS(nargsf), kwnames).release();
  });
}

PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject*) {
  if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
  return PyMethod_New(self, obj);
}

int function_traverse(PyObject* self, visitproc visit, void* arg) {
  FunctionObject* fn = as_function(self);
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(fn->dict);
  Py_VISIT(fn->module);
  if (fn->data != nullptr) {
    // The globals, defaults and annotations may refer back to classes that hold this function.
    Py_VISIT(fn->data->globals.ptr());
    Py_VISIT(fn->data->annotations.ptr());
    Py_VISIT(fn->data->defaults_tuple.ptr());
    Py_VISIT(fn->data->kwdefaults.ptr());
    for (const Ref& r : fn->data->defaults) Py_VISIT(r.ptr());
  }
  return 0;
}

int function_clear(PyObject* self) {
  FunctionObject* fn = as_function(self);
  Py_CLEAR(fn->dict);
  Py_CLEAR(fn->module);
  if (fn->data != nullptr) {
    fn->data->globals.reset();
    fn->data->annotations.reset();
    fn->data->defaults_tuple.reset();
    fn->data->kwdefaults.reset();
    for (Ref& r : fn->data->defaults) r.reset();
  }
  return 0;
}

void function_dealloc(PyObject* self) {
  PyTypeObject* tp = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  if (as_function(self)->weakrefs != nullptr) PyObject_ClearWeakRefs(self);
  function_clear(self);
  delete as_function(self)->data;
  tp->tp_free(self);
  Py_DECREF(tp);
}

PyObject* function_repr(PyObject* self) {
  return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->data->qualname.ptr(), self);
}

PyObject* get_name(PyObject* self, void*) { return Py_NewRef(as_function(self)->data->name.ptr()); }
PyObject* get_qualname(PyObject* self, void*) { return Py_NewRef(as_function(self)->data->qualname.ptr()); }
PyObject* get_module(PyObject* self, void*) { return Py_NewRef(as_function(self)->data->module_name.ptr()); }
PyObject* get_doc(PyObject* self, void*) { return Py_NewRef(as_function(self)->data->doc.ptr()); }
PyObject* get_defaults(PyObject* self, void*) { return Py_NewRef(as_function(self)->data->defaults_tuple.ptr()); }
PyObject* get_kwdefaults(PyObject* self, void*) { return Py_NewRef(as_function(self)->data->kwdefaults.ptr()); }
PyObject* get_annotations(PyObject* self, void*) { return Py_NewRef(as_function(self)->data->annotations.ptr()); }
PyObject* get_globals(PyObject* self, void*) { return Py_NewRef(as_function(self)->data->globals.ptr()); }

// A code object that describes the parameters, so `inspect` treats the function like a Python one
// (this is what makes `inspect.signature(..., eval_str=True)` work).
Ref build_code(const FunctionData& d) {
  PyCodeObject* empty = PyCode_NewEmpty(PyUnicode_AsUTF8(d.module_name.ptr()), PyUnicode_AsUTF8(d.name.ptr()), 0);
  Ref tmpl = own(reinterpret_cast<PyObject*>(empty));
  Ref varnames = own(PyTuple_New(static_cast<Py_ssize_t>(d.names.size())));
  for (size_t i = 0; i < d.names.size(); ++i)
    PyTuple_SET_ITEM(varnames.ptr(), static_cast<Py_ssize_t>(i), Py_NewRef(d.names[i].ptr()));
  Ref replace = own(PyObject_GetAttrString(tmpl.ptr(), "replace"));
  Ref kwargs = own(Py_BuildValue("{s:n,s:n,s:n,s:O,s:i,s:O,s:O}", "co_argcount", d.n_positional,
                                 "co_kwonlyargcount", d.n_kwonly, "co_nlocals",
                                 static_cast<Py_ssize_t>(d.names.size()), "co_varnames", varnames.ptr(),
                                 "co_flags", CO_OPTIMIZED | CO_NEWLOCALS | (d.var_kw ? CO_VARKEYWORDS : 0),
                                 "co_name", d.name.ptr(), "co_qualname", d.qualname.ptr()));
  Ref no_args = own(PyTuple_New(0));
  return own(PyObject_Call(replace.ptr(), no_args.ptr(), kwargs.ptr()));
}

PyObject* get_code(PyObject* self, void*) {
  return guard<PyObject*>(nullptr, [&] {
    FunctionData& d = *as_function(self)->data;
    if (!d.code) d.code = build_code(d);
    return Py_NewRef(d.code.ptr());
  });
}

PyGetSetDef function_getset[] = {
    {"__name__", get_name, nullptr, nullptr, nullptr},
    {"__qualname__", get_qualname, nullptr, nullptr, nullptr},
    {"__module__", get_module, nullptr, nullptr, nullptr},
    {"__doc__", get_doc, nullptr, nullptr, nullptr},
    {"__defaults__", get_defaults, nullptr, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, nullptr, nullptr, nullptr},
    {"__annotations__", get_annotations, nullptr, nullptr, nullptr},
    {"__globals__", get_globals, nullptr, nullptr, nullptr},
    {"__code__", get_code, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// Pickled, and copied, by reference as a Python function is: pickle finds it again by its module and
// qualified name, and the copy module takes the name as a sign that the function is its own copy.
PyObject* function_reduce(PyObject* self, PyObject*) { return Py_NewRef(as_function(self)->data->qualname.ptr()); }

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef function_members[] = {
    {"__dictoffset__", Py_T_PYSSIZET, offsetof(FunctionObject, dict), Py_READONLY, nullptr},
    {"__weaklistoffset__", Py_T_PYSSIZET, offsetof(FunctionObject, weakrefs), Py_READONLY, nullptr},
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(FunctionObject, vectorcall), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot function_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(function_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(function_clear)},
    {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(function_descr_get)},
    {Py_tp_getset, function_getset},
    {Py_tp_members, function_members},
    {Py_tp_methods, function_methods},
    {0, nullptr},
};

PyType_Spec function_spec = {
    "ondrel.native_function",
    sizeof(FunctionObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR |
        Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    function_slots,
};

}  // namespace

void Runtime::init() {
  function_type = own(PyType_FromSpec(&function_spec));
  empty_tuple = own(PyTuple_New(0));
  init_name = interned("__init__");
  abstractmethod = import("abc", "abstractmethod");
  property_type = borrow(reinterpret_cast<PyObject*>(&PyProperty_Type));
  classmethod_type = borrow(reinterpret_cast<PyObject*>(&PyClassMethod_Type));
}

int Runtime::traverse(visitproc visit, void* arg) const {
  Py_VISIT(function_type.ptr());
  Py_VISIT(abstractmethod.ptr());
  return 0;
}

// Nothing here can be part of a reference cycle, and classes or functions that outlive a cleared
// module may still use it: everything is released when the state is destroyed.
void Runtime::clear() {}

namespace {

constexpr size_t kMaxPositionalEntry = 8;

bool takes_positional_entry(const FunctionData& d) {
  return d.n_kwonly == 0 && !d.var_kw && d.n_positional <= kMaxPositionalEntry;
}

PyObject* positional_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
  FunctionObject* fn = as_function(self);
  const FunctionData& d = *fn->data;
  const size_t nargs = PyVectorcall_NARGS(nargsf);
  const size_t n = d.n_positional;
  if (kwnames != nullptr || nargs > n || nargs < d.n_required_positional)
    return function_vectorcall(self, args, nargsf, kwnames);
  PyObject* bound[kMaxPositionalEntry];
  if (nargs < n) {
    for (size_t i = 0; i < n; ++i) bound[i] = i < nargs ? args[i] : d.defaults[i].ptr();  // no memcpy call
    args = bound;
  }
  return guard<PyObject*>(nullptr, [&] {
    const Frame frame;
    Call call{self, args, n, d.context, fn->module, fn->module_state};
    return d.impl(call).release();
  });
}

}  // namespace

Ref make_function(const Runtime& rt, Handle module, FunctionDecl decl) {
  if (decl.params.size() > kMaxParams) raise(PyExc_SystemError, "too many parameters for a native function");
  auto data = std::make_unique<FunctionData>();
  FunctionData& d = *data;
  d.name = interned(decl.name);
  d.qualname = decl.qualname.empty() ? d.name : interned(decl.qualname);
  d.module_name = own(PyModule_GetNameObject(module.ptr()));
  d.globals = borrow(PyModule_GetDict(module.ptr()));
  d.doc = decl.doc ? str(*decl.doc) : none();
  d.impl = decl.impl;
  d.context = decl.context;
  d.annotations = own(PyDict_New());
  Ref positional_defaults = own(PyList_New(0));
  for (ParamDecl& p : decl.params) {
    d.names.push_back(interned(p.name));
    d.kinds.push_back(p.kind);
    if (p.kind == Kind::Positional) {
      ++d.n_positional;
      if (!p.default_value) ++d.n_required_positional;
      else ok(PyList_Append(positional_defaults.ptr(), p.default_value.ptr()));
    } else if (p.kind == Kind::KeywordOnly) {
      ++d.n_kwonly;
      if (p.default_value) {
        if (!d.kwdefaults) d.kwdefaults = own(PyDict_New());
        setitem(d.kwdefaults, d.names.back(), p.default_value);
      }
    } else {
      d.var_kw = true;
    }
    if (!p.annotation.empty()) setitem(d.annotations, d.names.back(), str(p.annotation));
    d.defaults.push_back(std::move(p.default_value));
  }
  if (decl.returns) setitem(d.annotations, interned("return"), str(*decl.returns));
  d.defaults_tuple = PyList_GET_SIZE(positional_defaults.ptr()) ? own(PyList_AsTuple(positional_defaults.ptr()))
                                                                 : none();
  if (!d.kwdefaults) d.kwdefaults = none();

  auto* tp = reinterpret_cast<PyTypeObject*>(rt.function_type.ptr());
  FunctionObject* fn = PyObject_GC_New(FunctionObject, tp);
  if (fn == nullptr) throw PythonError{};
  fn->dict = nullptr;
  fn->weakrefs = nullptr;
  fn->module = Py_NewRef(module.ptr());
  fn->module_state = PyModule_GetState(module.ptr());
  fn->data = data.release();
  // Functions with a few positional parameters only bind calls by position in an entry of their own.
  fn->vectorcall = takes_positional_entry(*fn->data) ? positional_vectorcall : function_vectorcall;
  PyObject_GC_Track(fn);
  return steal(reinterpret_cast<PyObject*>(fn));
}

bool is_native(const Runtime& rt, Handle o, Impl impl, const void** call_context) {
  if (Py_TYPE(o.ptr()) != reinterpret_cast<PyTypeObject*>(rt.function_type.ptr())) return false;
  const FunctionData& d = *as_function(o.ptr())->data;
  if (d.impl != impl) return false;
  if (call_context != nullptr) *call_context = d.context;
  return true;
}



Ref call_native(Handle function, PyObject* const* bound, size_t count) {
  FunctionObject* fn = as_function(function.ptr());
  Call call{function.ptr(), bound, count, fn->data->context, fn->module, fn->module_state};
  return fn->data->impl(call);
}

}  // namespace native
