#include "native/lookup.hpp"

#include "native/function.hpp"  // kMaxParams
#include "native/slots.hpp"     // instance_layout_recognised

// The interpreter's method lookup, as its attribute instructions and PyObject_VectorcallMethod use
// it; exported by 3.13, not declared by its public headers.
#if PY_VERSION_HEX >= 0x030D0000 && PY_VERSION_HEX < 0x030E0000
#define NATIVE_HAS_GET_METHOD 1
extern "C" int _PyObject_GetMethod(PyObject* obj, PyObject* name, PyObject** method);
#endif

namespace native {

namespace {

// super()'s own error for an object that is not an instance of the class whose method runs.
[[noreturn, gnu::noinline, gnu::cold]] void raise_not_instance(PyTypeObject* type, PyTypeObject* defining) {
  raise_format(PyExc_TypeError, "super(type, obj): obj (instance of %.200s) is not an instance or subtype of type (%.200s).",
               type->tp_name, defining->tp_name);
}

}  // namespace

Ref find_super(Handle self, PyTypeObject* defining, Handle name) {
  PyTypeObject* type = Py_TYPE(self.ptr());
  if (PyType_IsSubtype(type, defining)) return find_super_of(type, defining, name);
  // As super() does for an object of another class: the class its __class__ claims, if that derives
  // from the defining class.
  PyObject* claimed = nullptr;
  if (ok(PyObject_GetOptionalAttrString(self.ptr(), "__class__", &claimed))) {
    Ref held = steal(claimed);
    if (PyType_Check(claimed) && PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(claimed), defining))
      return find_super_of(reinterpret_cast<PyTypeObject*>(claimed), defining, name);
  }
  raise_not_instance(type, defining);
}

Ref find_super_of(PyTypeObject* type, PyTypeObject* defining, Handle name) {
  PyObject* mro = type->tp_mro;
  const Py_ssize_t n = PyTuple_GET_SIZE(mro);
  Py_ssize_t i = 0;
  while (i < n && PyTuple_GET_ITEM(mro, i) != reinterpret_cast<PyObject*>(defining)) ++i;
  if (i == n) raise_not_instance(type, defining);
  for (++i; i < n; ++i) {
    auto* base = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i));
    // Heap types keep their dict in tp_dict; static types may not.
    Ref dict = (base->tp_flags & Py_TPFLAGS_HEAPTYPE) ? borrow(base->tp_dict) : own(PyType_GetDict(base));
    PyObject* found = nullptr;
    if (ok(PyDict_GetItemRef(dict.ptr(), name.ptr(), &found))) return steal(found);
  }
  raise_format(PyExc_AttributeError, "'super' object has no attribute '%U'", name.ptr());
}

Ref call_found(Handle self, Handle found, PyObject* const* args, size_t nargs, Handle kwnames) {
  const size_t nkw = kwnames ? static_cast<size_t>(PyTuple_GET_SIZE(kwnames.ptr())) : 0;
  if (PyFunction_Check(found.ptr()) || Py_TYPE(found.ptr())->tp_flags & Py_TPFLAGS_METHOD_DESCRIPTOR) {
    // Unbound call with self in front, as a bound method would do.
    if (nargs + nkw > kMaxParams) raise(PyExc_SystemError, "too many arguments for a super() call");
    PyObject* argv[kMaxParams + 1];
    argv[0] = self.ptr();
    for (size_t k = 0; k < nargs + nkw; ++k) argv[k + 1] = args[k];
    return own(PyObject_Vectorcall(found.ptr(), argv, nargs + 1, kwnames.ptr()));
  }
  descrgetfunc get = Py_TYPE(found.ptr())->tp_descr_get;
  Ref bound = get ? own(get(found.ptr(), self.ptr(), reinterpret_cast<PyObject*>(Py_TYPE(self.ptr()))))
                  : borrow(found);
  return own(PyObject_Vectorcall(bound.ptr(), args, nargs, kwnames.ptr()));
}

Ref call_super(Handle self, PyTypeObject* defining, Handle name, PyObject* const* args, size_t nargs,
               Handle kwnames) {
  return call_found(self, find_super(self, defining, name), args, nargs, kwnames);
}

Method find_method(Handle obj, Handle name) {
#ifdef NATIVE_HAS_GET_METHOD
  PyObject* found = nullptr;
  const int unbound = _PyObject_GetMethod(obj.ptr(), name.ptr(), &found);
  if (found == nullptr) throw PythonError{};
  return {steal(found), unbound != 0};
#else
  return {getattr(obj, name), false};
#endif
}

Method MethodCache::find_and_learn(Handle obj, Handle name) const {
  Method method = find_method(obj, name);
  PyTypeObject* type = Py_TYPE(obj.ptr());
  const unsigned long flags = type->tp_flags;
  // The lookup ran no code when it found a method, so the class and the instance are as it saw them.
  if (!method.unbound || !(flags & Py_TPFLAGS_HEAPTYPE) || !(flags & Py_TPFLAGS_INLINE_VALUES) ||
      type->tp_getattro != PyObject_GenericGetAttr || !instance_layout_recognised())
    return method;
  const cpython::KeysHeader* keys = cpython::class_keys(type);
  if (keys == nullptr || keys->kind != cpython::kSplitKeys || !cpython::values_header(obj.ptr())->valid ||
      !PyUnstable_Type_AssignVersionTag(type))
    return method;
  const int ix = cpython::shared_key_index(keys, name.ptr(), keys->nentries);
  Entry* e = nullptr;
  for (Entry& known : entries_)
    if (known.type == type) e = &known;  // an older answer for the class: replaced
  if (e == nullptr) {
    e = &entries_[next_];
    next_ = (next_ + 1) % 4;
  }
  *e = {type, type->tp_version_tag, keys, keys->nentries, ix, method.callable.ptr()};
  return method;
}

Ref Method::call(Handle obj) const {
  if (!unbound) return own(PyObject_CallNoArgs(callable.ptr()));
  PyObject* argv[] = {obj.ptr()};
  return own(PyObject_Vectorcall(callable.ptr(), argv, 1, nullptr));
}

Ref global(Handle module_dict, Handle name) {
  PyObject* found = nullptr;
  if (ok(PyDict_GetItemRef(module_dict.ptr(), name.ptr(), &found))) return steal(found);
  if (ok(PyDict_GetItemRef(PyEval_GetBuiltins(), name.ptr(), &found))) return steal(found);
  raise_format(PyExc_NameError, "name '%U' is not defined", name.ptr());
}

}  // namespace native
