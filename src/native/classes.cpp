#include "native/classes.hpp"

#include <string>

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

Ref ClassBuilder::build() {
  Ref bases = own(PyTuple_New(static_cast<Py_ssize_t>(bases_.size())));
  PyTypeObject* meta = &PyType_Type;
  for (size_t i = 0; i < bases_.size(); ++i) {
    PyTuple_SET_ITEM(bases.ptr(), static_cast<Py_ssize_t>(i), Py_NewRef(bases_[i].ptr()));
    PyTypeObject* candidate = Py_TYPE(bases_[i].ptr());
    if (PyType_IsSubtype(candidate, meta)) meta = candidate;
  }
  Ref name = interned(name_);
  return call(reinterpret_cast<PyObject*>(meta), {name, bases, namespace_});
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
  Ref annotation = str("'" + std::string(name) + "'");
  for (const auto& [member, value] : members) setitem(annotations, interned(member), annotation);
  ok(PyObject_SetItem(ns.ptr(), interned("__annotations__").ptr(), annotations.ptr()));
  for (const auto& [member, value] : members) ok(PyObject_SetItem(ns.ptr(), interned(member).ptr(), value.ptr()));
  return call(meta, {py_name, bases, ns});
}

}  // namespace native
