#include "external/spreadsheet/state.hpp"

namespace spreadsheet {

namespace {
Ref names_tuple(std::initializer_list<Handle> names) {
  Ref tuple = native::own(PyTuple_New(static_cast<Py_ssize_t>(names.size())));
  Py_ssize_t i = 0;
  for (Handle n : names) PyTuple_SET_ITEM(tuple.ptr(), i++, Py_NewRef(n.ptr()));
  return tuple;
}
}  // namespace

State::State() {
#define SPREADSHEET_INTERN_NAME(name) s_##name = native::interned(#name);
  SPREADSHEET_NAMES(SPREADSHEET_INTERN_NAME)
#undef SPREADSHEET_INTERN_NAME
  timeout_seconds = native::own(PyLong_FromLong(60));
  zero = native::own(PyLong_FromLong(0));
  kwnames_values = names_tuple({s_values});
  kwnames_values_file = names_tuple({s_values, s_file});
  kwnames_file = names_tuple({s_file});
  kwnames_file_inputs = names_tuple({s_file, s_inputs});
  kwnames_file_input_cells = names_tuple({s_file, s_input_cells});
  kwnames_timeout_mapping = names_tuple({s_timeout, s_error_mapping});
}

int State::traverse(visitproc visit, void* arg) const {
  if (int r = rt.traverse(visit, arg)) return r;
  Py_VISIT(module_dict.ptr());
  for (Ref State::*cls : cell_classes) Py_VISIT((this->*cls).ptr());
  return 0;
}

// Classes and functions that outlive a cleared module may still run and read this state, so nothing
// is dropped here: the module dict and the classes clear themselves, which breaks the cycles through
// them, and the state is released with the module.
void State::clear() { rt.clear(); }

std::vector<Ref> State::attribute_names(std::initializer_list<std::string_view> names) {
  std::vector<Ref> interned;
  for (std::string_view name : names) interned.push_back(native::interned(name));
  return interned;
}

Ref State::global(Handle name) const { return native::global(module_dict, name); }

void raise_with(Handle type, Handle message) { native::raise_object(native::call(type, {message})); }

void unpack3(Handle value, Ref out[3]) {
  Ref iterator = Ref::steal(PyObject_GetIter(value.ptr()));
  if (!iterator) {
    if (PyErr_ExceptionMatches(PyExc_TypeError) && Py_TYPE(value.ptr())->tp_iter == nullptr &&
        !PySequence_Check(value.ptr())) {
      PyErr_Clear();
      native::raise_format(PyExc_TypeError, "cannot unpack non-iterable %.200s object", Py_TYPE(value.ptr())->tp_name);
    }
    throw native::PythonError{};
  }
  for (int i = 0; i < 3; ++i) {
    PyObject* item = PyIter_Next(iterator.ptr());
    if (item == nullptr) {
      if (PyErr_Occurred()) throw native::PythonError{};
      native::raise_format(PyExc_ValueError, "not enough values to unpack (expected 3, got %d)", i);
    }
    out[i] = native::steal(item);
  }
  Ref extra = native::steal(PyIter_Next(iterator.ptr()));
  if (extra) {
    native::raise(PyExc_ValueError, "too many values to unpack (expected 3)");
  }
  if (PyErr_Occurred()) throw native::PythonError{};
}

Ref lookup_special(Handle obj, Handle name) {
  PyObject* mro = Py_TYPE(obj.ptr())->tp_mro;
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); ++i) {
    Ref dict = native::own(PyType_GetDict(reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i))));
    PyObject* found = nullptr;
    if (native::ok(PyDict_GetItemRef(dict.ptr(), name.ptr(), &found)) == 0) continue;
    Ref attr = native::steal(found);
    descrgetfunc get = Py_TYPE(found)->tp_descr_get;
    if (get == nullptr) return attr;
    return native::own(get(found, obj.ptr(), reinterpret_cast<PyObject*>(Py_TYPE(obj.ptr()))));
  }
  return {};
}

bool exit_after_failure(Handle exit) {
  Ref error = native::steal(PyErr_GetRaisedException());
  Ref traceback = native::steal(PyException_GetTraceback(error.ptr()));
  if (!traceback) traceback = native::none();
  int suppress;
  {
    // While __exit__ runs the exception counts as being handled, so what __exit__ raises is chained to it.
    Handling handling(error);
    PyObject* argv[] = {reinterpret_cast<PyObject*>(Py_TYPE(error.ptr())), error.ptr(), traceback.ptr()};
    Ref answer = Ref::steal(PyObject_Vectorcall(exit.ptr(), argv, 3, nullptr));
    suppress = answer ? PyObject_IsTrue(answer.ptr()) : -1;
  }
  if (suppress < 0) throw native::PythonError{};
  if (suppress) return true;
  PyErr_SetRaisedException(error.release());
  return false;
}

void exit_normally(Handle exit) {
  PyObject* argv[] = {Py_None, Py_None, Py_None};
  native::own(PyObject_Vectorcall(exit.ptr(), argv, 3, nullptr));
}

}  // namespace spreadsheet
