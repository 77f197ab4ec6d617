// Multi-phase module initialisation with a C++ state object living in the module's state memory.
//
// `State` must offer `int traverse(visitproc, void*) const` and `void clear()`, and a constructor
// taking no arguments; `exec(PyObject* module, State&)` fills the module and may throw.
#pragma once

#include <new>

#include "native/boundary.hpp"

namespace native {

template <class State>
struct StateStorage {
  // The state comes first, so the module state pointer is the State pointer (see Call::state).
  alignas(State) unsigned char bytes[sizeof(State)];
  bool alive;
  State& get() { return *std::launder(reinterpret_cast<State*>(bytes)); }
};

template <class State>
State& state_of(PyObject* module) {
  return static_cast<StateStorage<State>*>(PyModule_GetState(module))->get();
}

template <class State, void (*Exec)(PyObject*, State&)>
struct ModuleDef {
  static int exec(PyObject* module) noexcept {
    return guard(-1, [&] {
      auto* storage = static_cast<StateStorage<State>*>(PyModule_GetState(module));
      new (storage->bytes) State();
      storage->alive = true;
      if (static_cast<void*>(&storage->get().rt) != static_cast<void*>(storage->bytes))
        raise(PyExc_SystemError, "the runtime must come first in the module state");
      Exec(module, storage->get());
      return 0;
    });
  }
  static int traverse(PyObject* module, visitproc visit, void* arg) noexcept {
    auto* storage = static_cast<StateStorage<State>*>(PyModule_GetState(module));
    if (storage == nullptr || !storage->alive) return 0;
    return storage->get().traverse(visit, arg);
  }
  static int clear(PyObject* module) noexcept {
    auto* storage = static_cast<StateStorage<State>*>(PyModule_GetState(module));
    if (storage != nullptr && storage->alive) storage->get().clear();
    return 0;
  }
  static void free(void* module) noexcept {
    auto* storage = static_cast<StateStorage<State>*>(PyModule_GetState(static_cast<PyObject*>(module)));
    if (storage == nullptr || !storage->alive) return;
    storage->get().~State();
    storage->alive = false;
  }

  static inline PyModuleDef_Slot slots[] = {
      {Py_mod_exec, reinterpret_cast<void*>(exec)},
      {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
      {Py_mod_gil, Py_MOD_GIL_USED},
      {0, nullptr},
  };

  static PyModuleDef make(const char* name, const char* doc) {
    return PyModuleDef{PyModuleDef_HEAD_INIT,
                       name,
                       doc,
                       static_cast<Py_ssize_t>(sizeof(StateStorage<State>)),
                       nullptr,
                       slots,
                       traverse,
                       clear,
                       free};
  }
};

}  // namespace native
