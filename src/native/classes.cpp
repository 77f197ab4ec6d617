#include "native/classes.hpp"

#include <string>

#include "native/boundary.hpp"
#include "native/layout.hpp"  // generic_paths

namespace native {

ClassBuilder::ClassBuilder(const Runtime& rt, Handle module, std::string_view name)
    : rt_(rt), module_(module), name_(name), namespace_(own(PyDict_New())) {
  Ref module_name = own(PyModule_GetNameObject(module.ptr()));
  setitem(namespace_, interned("__module__"), module_name);
  setitem(namespace_, interned("__qualname__"), interned(name));
}

ClassBuilder& ClassBuilder::base(Handle cls) {
  bases_.push_back(borrow(cls));
  return *this;
}

ClassBuilder& ClassBuilder::doc(std::string_view text) {
  setitem(namespace_, interned("__doc__"), str(text));
  return *this;
}

Ref ClassBuilder::function(FunctionDecl& decl) {
  std::string qualname = std::string(name_) + "." + std::string(decl.name);
  decl.qualname = qualname;
  return make_function(rt_, module_, std::move(decl));
}

ClassBuilder& ClassBuilder::method(FunctionDecl decl, bool abstract) {
  Ref name = interned(decl.name);
  Ref fn = function(decl);
  if (abstract) fn = call(rt_.abstractmethod, {fn});
  setitem(namespace_, name, fn);
  return *this;
}

ClassBuilder& ClassBuilder::class_method(FunctionDecl decl) {
  Ref name = interned(decl.name);
  Ref fn = function(decl);
  setitem(namespace_, name, call(rt_.classmethod_type, {fn}));
  return *this;
}

ClassBuilder& ClassBuilder::property(FunctionDecl getter, std::optional<FunctionDecl> setter) {
  Ref name = interned(getter.name);
  Ref fget = function(getter);
  Ref prop = setter ? call(rt_.property_type, {fget, function(*setter)}) : call(rt_.property_type, {fget});
  setitem(namespace_, name, prop);
  return *this;
}

ClassBuilder& ClassBuilder::attr(std::string_view name, Handle value) {
  setitem(namespace_, interned(name), value);
  return *this;
}

namespace {

[[gnu::noinline]] PyObject* construct_generic(PyTypeObject* type, PyObject* const* args, size_t nargs,
                                              PyObject* kwnames) {
  Ref tuple = own(PyTuple_New(static_cast<Py_ssize_t>(nargs)));
  for (size_t i = 0; i < nargs; ++i) PyTuple_SET_ITEM(tuple.ptr(), static_cast<Py_ssize_t>(i), Py_NewRef(args[i]));
  Ref kwargs;
  if (kwnames != nullptr) {
    kwargs = own(PyDict_New());
    for (Py_ssize_t j = 0; j < PyTuple_GET_SIZE(kwnames); ++j)
      setitem(kwargs, PyTuple_GET_ITEM(kwnames, j), args[nargs + static_cast<size_t>(j)]);
  }
  return Py_TYPE(type)->tp_call(reinterpret_cast<PyObject*>(type), tuple.ptr(), kwargs.ptr());
}

// Calling a class whose constructor is native: what type.__call__ does (object.__new__, then
// __init__), without packing the arguments into a tuple and a dict and unpacking them again.
// Anything unusual (a replaced __new__ or __init__, a metaclass with its own __call__) takes the
// interpreter's own path. Subclasses never get this vectorcall: the field is not inherited.
PyObject* class_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
  return guard<PyObject*>(nullptr, [&]() -> PyObject* {
    auto* type = reinterpret_cast<PyTypeObject*>(callable);
    const size_t nargs = PyVectorcall_NARGS(nargsf);
    const Runtime& rt = Runtime::of_module(PyType_GetModule(type));
    PyObject* init = _PyType_Lookup(type, rt.init_name.ptr());
    const size_t nkw = kwnames ? static_cast<size_t>(PyTuple_GET_SIZE(kwnames)) : 0;
    if (init == nullptr || Py_TYPE(init) != reinterpret_cast<PyTypeObject*>(rt.function_type.ptr()) ||
        type->tp_new != PyBaseObject_Type.tp_new || Py_TYPE(type)->tp_call != PyType_Type.tp_call ||
        nargs + nkw > kMaxParams)
      return construct_generic(type, args, nargs, kwnames);
    Ref init_ref = borrow(init);
    Ref self = own(type->tp_new(type, rt.empty_tuple.ptr(), nullptr));
    PyObject* argv[kMaxParams + 1];
    argv[0] = self.ptr();
    for (size_t i = 0; i < nargs + nkw; ++i) argv[i + 1] = args[i];
    Ref result = own(PyObject_Vectorcall(init, argv, nargs + 1, kwnames));
    if (!result.is_none())
      raise_format(PyExc_TypeError, "__init__() should return None, not '%.200s'", Py_TYPE(result.ptr())->tp_name);
    return self.release();
  });
}

}  // namespace

Ref ClassBuilder::build() {
  Ref bases = own(PyTuple_New(static_cast<Py_ssize_t>(bases_.size())));
  PyTypeObject* meta = &PyType_Type;
  for (size_t i = 0; i < bases_.size(); ++i) {
    PyTuple_SET_ITEM(bases.ptr(), static_cast<Py_ssize_t>(i), Py_NewRef(bases_[i].ptr()));
    PyTypeObject* candidate = Py_TYPE(bases_[i].ptr());
    if (PyType_IsSubtype(candidate, meta)) meta = candidate;
  }
  Ref name = interned(name_);
  Ref cls = call(reinterpret_cast<PyObject*>(meta), {name, bases, namespace_});
  auto* type = reinterpret_cast<PyHeapTypeObject*>(cls.ptr());
  PyObject* init = PyDict_GetItemWithError(namespace_.ptr(), rt_.init_name.ptr());
  if (init != nullptr && Py_TYPE(init) == reinterpret_cast<PyTypeObject*>(rt_.function_type.ptr()) &&
      type->ht_module == nullptr && !generic_paths()) {
    type->ht_module = Py_NewRef(module_.ptr());  // released by the type itself
    type->ht_type.tp_vectorcall = class_vectorcall;
  }
  return cls;
}

Ref make_enum(Handle module, Handle enum_base, std::string_view name,
              const std::vector<std::pair<std::string_view, Ref>>& members) {
  Ref meta = borrow(reinterpret_cast<PyObject*>(Py_TYPE(enum_base.ptr())));
  Ref bases = own(PyTuple_Pack(1, enum_base.ptr()));
  Ref py_name = interned(name);
  // EnumType.__prepare__ gives the namespace that records member order.
  Ref prepare = own(PyObject_GetAttrString(meta.ptr(), "__prepare__"));
  Ref ns = call(prepare, {py_name, bases});
  ok(PyObject_SetItem(ns.ptr(), interned("__module__").ptr(), own(PyModule_GetNameObject(module.ptr())).ptr()));
  ok(PyObject_SetItem(ns.ptr(), interned("__qualname__").ptr(), py_name.ptr()));
  // The annotations go in before the members, as a class body with annotated members does.
  Ref annotations = own(PyDict_New());
  std::string quoted;
  quoted.reserve(name.size() + 2);
  quoted.append(1, '\'').append(name).append(1, '\'');
  Ref annotation = str(quoted);
  for (const auto& [member, value] : members) setitem(annotations, interned(member), annotation);
  ok(PyObject_SetItem(ns.ptr(), interned("__annotations__").ptr(), annotations.ptr()));
  for (const auto& [member, value] : members) ok(PyObject_SetItem(ns.ptr(), interned(member).ptr(), value.ptr()));
  return call(meta, {py_name, bases, ns});
}

}  // namespace native
