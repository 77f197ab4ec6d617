#include "native/layout.hpp"

namespace native::cpython {

bool recognised(bool (*probe)()) {
  if (!kKnownLayout) return false;
  PyObject* pending = PyErr_GetRaisedException();
  bool ok = false;
  try {
    ok = probe();
  } catch (const PythonError&) {
    PyErr_Clear();
  }
  PyErr_SetRaisedException(pending);
  return ok;
}

}  // namespace native::cpython
