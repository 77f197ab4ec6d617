#include "native/boundary.hpp"
#include "native/ref.hpp"

#include <cstdarg>

namespace native {

void raise(PyObject* type, const char* message) {
  PyErr_SetString(type, message);
  throw PythonError{};
}

void raise_format(PyObject* type, const char* format, ...) {
  va_list args;
  va_start(args, format);
  PyErr_FormatV(type, format, args);
  va_end(args);
  throw PythonError{};
}

Ref str(const char* s) { return own(PyUnicode_FromString(s)); }
Ref str(std::string_view s) {
  return own(PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())));
}
Ref interned(std::string_view s) {
  PyObject* p = PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
  if (p == nullptr) throw PythonError{};
  PyUnicode_InternInPlace(&p);
  return steal(p);
}

Ref call(Handle callable, std::initializer_list<Handle> args) {
  PyObject* argv[8];
  size_t n = 0;
  for (Handle a : args) argv[n++] = a.ptr();
  return own(PyObject_Vectorcall(callable.ptr(), argv, n, nullptr));
}

Ref import(const char* module, const char* name) {
  Ref m = own(PyImport_ImportModule(module));
  return own(PyObject_GetAttrString(m.ptr(), name));
}

void translate_exception() noexcept {
  try {
    throw;
  } catch (const PythonError&) {
    // The Python exception is already set.
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
  } catch (...) {
    PyErr_SetString(PyExc_RuntimeError, "unknown C++ exception");
  }
}

}  // namespace native
