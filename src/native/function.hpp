// Native functions: a vectorcall heap type that carries a declared Python signature.
//
// Python sees an ordinary function: it binds as a method, `inspect.signature` reads its parameters
// (through a `__code__` that describes them), `abc.abstractmethod` can mark it, and argument errors
// use the interpreter's own wording with the function's qualified name.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "native/ref.hpp"

namespace native {

enum class Kind : std::uint8_t { Positional, KeywordOnly, VarKeyword };

// One parameter as Python sees it. A null default means the parameter is required.
struct ParamDecl {
  std::string_view name;
  Kind kind = Kind::Positional;
  std::string_view annotation = {};  // kept as text; empty: not annotated
  Ref default_value = {};
};

struct Call;
using Impl = Ref (*)(Call&);

struct FunctionDecl {
  std::string_view name;
  std::string_view qualname;  // empty: same as name
  std::vector<ParamDecl> params;  // including `self` or `cls` where there is one
  std::optional<std::string_view> returns = std::nullopt;  // return annotation
  std::optional<std::string_view> doc = std::nullopt;
  Impl impl = nullptr;
  const void* context = nullptr;  // handed to the implementation through Call
};

// Lives at the start of the module state of every module that uses the runtime, so that code which
// only knows a class can reach it through the class's module.
struct Runtime {
  Ref function_type;
  Ref empty_tuple;
  Ref init_name;       // "__init__"
  Ref abstractmethod;  // abc.abstractmethod
  Ref property_type;   // builtins.property
  Ref classmethod_type;

  void init();
  static const Runtime& of_module(PyObject* module) { return *static_cast<const Runtime*>(PyModule_GetState(module)); }
  int traverse(visitproc visit, void* arg) const;
  void clear();
};

constexpr size_t kMaxParams = 40;

// The bound arguments of one call, one per declared parameter, in declaration order (borrowed).
// A `**kwargs` parameter receives a new dictionary.
struct Call {
  PyObject* function;
  PyObject* const* args;
  size_t count;
  const void* context;
  PyObject* module;
  void* module_state;  // PyModule_GetState(module), fixed for the module's lifetime

  Handle operator[](size_t i) const { return args[i]; }
  template <class State>
  State& state() const {
    return *static_cast<State*>(module_state);
  }
  template <class T>
  const T& ctx() const {
    return *static_cast<const T*>(context);
  }
};

Ref make_function(const Runtime& rt, Handle module, FunctionDecl decl);

// True when `o` is a native function whose implementation is `impl`; fills `call_context`.
bool is_native(const Runtime& rt, Handle o, Impl impl, const void** call_context = nullptr);

// Calls the implementation of a native function directly with already bound arguments.
Ref call_native(Handle function, PyObject* const* bound, size_t count);

}  // namespace native
