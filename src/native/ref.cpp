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

Ref import(const char* module, const char* name) {
  Ref m = own(PyImport_ImportModule(module));
  Ref attr = str(name);
  PyObject* found = nullptr;
  if (ok(PyObject_GetOptionalAttr(m.ptr(), attr.ptr(), &found))) return steal(found);
  // As the import statement: a submodule of that name imported meanwhile, else ImportError.
  Ref full = own(PyUnicode_FromFormat("%s.%s", module, name));
  if (ok(PyDict_GetItemRef(PyImport_GetModuleDict(), full.ptr(), &found))) return steal(found);
  Ref module_name = str(module);
  Ref path;
  if (ok(PyObject_GetOptionalAttrString(m.ptr(), "__file__", &found))) path = steal(found);
  Ref message = path ? own(PyUnicode_FromFormat("cannot import name %R from %R (%S)", attr.ptr(), module_name.ptr(),
                                                path.ptr()))
                     : own(PyUnicode_FromFormat("cannot import name %R from %R (unknown location)", attr.ptr(),
                                                module_name.ptr()));
  PyErr_SetImportError(message.ptr(), module_name.ptr(), path ? path.ptr() : nullptr);
  // The name asked for, as the statement records it.
  PyObject* error = PyErr_GetRaisedException();
  if (PyObject_SetAttrString(error, "name_from", attr.ptr()) < 0) PyErr_Clear();
  PyErr_SetRaisedException(error);
  throw PythonError{};
}

namespace {

// The exception that `raise` makes of what it is given, or the TypeError it raises instead.
Ref raised_instance(Handle given, const char* not_an_exception) {
  if (PyExceptionClass_Check(given.ptr())) {
    Ref value = own(PyObject_CallNoArgs(given.ptr()));
    if (!PyExceptionInstance_Check(value.ptr()))
      raise_format(PyExc_TypeError, "calling %R should have returned an instance of BaseException, not %R",
                   given.ptr(), reinterpret_cast<PyObject*>(Py_TYPE(value.ptr())));
    return value;
  }
  if (PyExceptionInstance_Check(given.ptr())) return borrow(given);
  raise(PyExc_TypeError, not_an_exception);
}

}  // namespace

void raise_object(Handle exc, Handle cause) {
  Ref value = raised_instance(exc, "exceptions must derive from BaseException");
  if (cause) {
    // None as the cause only hides the context.
    Ref fixed = cause.is_none() ? Ref() : raised_instance(cause, "exception causes must derive from BaseException");
    PyException_SetCause(value.ptr(), fixed.release());
  }
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(value.ptr())), value.ptr());
  throw PythonError{};
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
