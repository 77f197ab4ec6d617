#include "native/layout.hpp"

#include <cstdlib>
#include <string_view>

namespace native {

bool generic_paths() {
  static const bool forced = [] {
    const char* value = std::getenv("ONDREL_GENERIC_PATHS");
    return value != nullptr && *value != '\0' && std::string_view(value) != "0";
  }();
  return forced;
}

}  // namespace native

namespace native::cpython {

bool recognised(bool (*probe)()) {
  if (!kKnownLayout || generic_paths()) return false;
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
