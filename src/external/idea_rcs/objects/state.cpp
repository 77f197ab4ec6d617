#include "external/idea_rcs/objects/state.hpp"

#include <string>

namespace objects {

State::State() {
#define OBJECTS_INTERN_NAME(name) s_##name = native::interned(#name);
  OBJECTS_NAMES(OBJECTS_INTERN_NAME)
#undef OBJECTS_INTERN_NAME
  date_format = native::str("%Y-%m-%d");
}

int State::traverse(visitproc visit, void* arg) const {
  if (int r = rt.traverse(visit, arg)) return r;
  Py_VISIT(module_dict.ptr());
  Py_VISIT(exported.ptr());
  for (const auto& c : classes)
    if (int r = c->traverse(visit, arg)) return r;
  if (int r = make_extreme.traverse(visit, arg)) return r;
  return 0;
}

// Classes and functions that outlive a cleared module may still run and read this state, so nothing
// is dropped here: the module dict and the classes clear themselves, which breaks the cycles through
// them, and the state is released with the module.
void State::clear() { rt.clear(); }

Ref State::attr(std::string_view name) const {
  PyObject* found = nullptr;
  Ref key = native::str(name);
  if (native::ok(PyDict_GetItemRef(module_dict.ptr(), key.ptr(), &found)) == 0)
    native::raise_format(PyExc_SystemError, "'%U' is not built yet", key.ptr());
  return native::steal(found);
}

}  // namespace objects
