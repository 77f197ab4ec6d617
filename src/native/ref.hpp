// Owning and borrowed references, and the one exception type that means "a Python error is set".
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <string_view>
#include <utility>  // std::exchange, std::swap

namespace native {

// Thrown when a C API call failed: the Python exception is already set, the boundary returns null.
struct PythonError {};

// Raises the given Python exception and throws, so C++ code unwinds to the boundary.
[[noreturn]] void raise(PyObject* type, const char* message);
[[noreturn]] void raise_format(PyObject* type, const char* format, ...);

// A borrowed handle: never changes the reference count.
class Handle {
 public:
  Handle() = default;
  Handle(PyObject* p) : p_(p) {}  // NOLINT: borrowing is implicit on purpose
  PyObject* ptr() const { return p_; }
  explicit operator bool() const { return p_ != nullptr; }
  bool is(Handle other) const { return p_ == other.p_; }
  bool is_none() const { return p_ == Py_None; }

 protected:
  PyObject* p_ = nullptr;
};

// An owning reference. Ownership is named where a reference is born: steal(), borrow() or own().
class Ref : public Handle {
 public:
  Ref() = default;
  Ref(const Ref& other) : Handle(other.p_) { Py_XINCREF(p_); }
  Ref(Ref&& other) noexcept : Handle(std::exchange(other.p_, nullptr)) {}
  Ref& operator=(Ref other) noexcept {
    std::swap(p_, other.p_);
    return *this;
  }
  ~Ref() { Py_XDECREF(p_); }

  static Ref steal(PyObject* p) { return Ref(p); }
  static Ref borrow(PyObject* p) {
    Py_XINCREF(p);
    return Ref(p);
  }
  // Gives up ownership, at the C boundary.
  PyObject* release() { return std::exchange(p_, nullptr); }
  void reset() { Py_CLEAR(p_); }

 private:
  explicit Ref(PyObject* p) : Handle(p) {}
};

inline Ref steal(PyObject* p) { return Ref::steal(p); }
inline Ref borrow(Handle h) { return Ref::borrow(h.ptr()); }

// Takes a new reference returned by the C API; a null result means the call failed.
inline Ref own(PyObject* p) {
  if (p == nullptr) throw PythonError{};
  return Ref::steal(p);
}
// Checks the status of a C API call that returns -1 on failure.
inline int ok(int status) {
  if (status < 0) throw PythonError{};
  return status;
}

inline Ref none() { return Ref::borrow(Py_None); }
inline Ref boolean(bool b) { return Ref::borrow(b ? Py_True : Py_False); }
Ref str(const char* s);
Ref str(std::string_view s);
Ref interned(std::string_view s);

// Attribute and item helpers that throw on failure.
inline Ref getattr(Handle o, Handle name) { return own(PyObject_GetAttr(o.ptr(), name.ptr())); }
inline void setattr(Handle o, Handle name, Handle value) { ok(PyObject_SetAttr(o.ptr(), name.ptr(), value.ptr())); }
inline void setitem(Handle dict, Handle key, Handle value) { ok(PyDict_SetItem(dict.ptr(), key.ptr(), value.ptr())); }
inline bool truthy(Handle o) {
  PyObject* p = o.ptr();
  if (p == Py_None || p == Py_False) return false;
  if (p == Py_True) return true;
  return ok(PyObject_IsTrue(p)) != 0;
}
// `a == b` as a condition tests it: the comparison, then the truth of its result. Unlike
// PyObject_RichCompareBool, an object is not taken as equal to itself (NaN is not).
inline bool equal(Handle a, Handle b) { return truthy(own(PyObject_RichCompare(a.ptr(), b.ptr(), Py_EQ))); }
// callable(*args): the argument buffer is sized by the call, so no call can overrun it.
inline Ref call(Handle callable) { return own(PyObject_CallNoArgs(callable.ptr())); }
template <size_t N>
Ref call(Handle callable, const Handle (&args)[N]) {
  PyObject* argv[N];
  for (size_t i = 0; i < N; ++i) argv[i] = args[i].ptr();
  return own(PyObject_Vectorcall(callable.ptr(), argv, N, nullptr));
}
// `from module import name`, with the ImportError that statement raises when the name is missing.
Ref import(const char* module, const char* name);
// `raise exc`, or `raise exc from cause` when a cause is given, as the statement does: a class is called
// with no arguments, anything else that is not an exception is a TypeError, and the exception being
// handled becomes the context.
[[noreturn]] void raise_object(Handle exc, Handle cause = {});

}  // namespace native
