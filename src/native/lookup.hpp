// Name lookups as Python code does them: super() through the method resolution order, and globals
// through a module's namespace (then the builtins) at call time.
#pragma once

#include "native/ref.hpp"

namespace native {

// The next definition of `name` in type(self).__mro__ after `defining`, as super() finds it.
Ref find_super(Handle self, PyTypeObject* defining, Handle name);
// The same for the instances of `type`, before there is one.
Ref find_super_of(PyTypeObject* type, PyTypeObject* defining, Handle name);
// find_super for one defining class and one name, remembered for the last few classes of self. The
// answer depends only on the classes in type(self).__mro__ and their dicts, and any change to those
// gives the class a new version, so a remembered answer is used only while the version is the same.
// It is held borrowed: while the version stands, the dict it was found in still holds it.
class SuperCache {
 public:
  Ref find(Handle self, PyTypeObject* defining, Handle name) const;

 private:
  struct Entry {
    PyTypeObject* type = nullptr;
    unsigned int version = 0;
    PyObject* found = nullptr;
  };
  mutable Entry entries_[4];
  mutable unsigned next_ = 0;
};

// Calls what find_super found, bound to self, with the given arguments.
Ref call_found(Handle self, Handle found, PyObject* const* args, size_t nargs, Handle kwnames = {});
// super().<name>(*args, **kwargs), with keyword names in `kwnames` after the positional arguments.
Ref call_super(Handle self, PyTypeObject* defining, Handle name, PyObject* const* args, size_t nargs,
               Handle kwnames = {});

// `obj.<name>` as a method call looks it up, the instance's own attributes included: either the
// function found on the class, still to be called with `obj` first (`unbound`), or the attribute
// itself, to be called as it is.
struct Method {
  Ref callable;
  bool unbound;
  Ref call(Handle obj) const;  // obj.<name>()
};
Method find_method(Handle obj, Handle name);

// The value of a global name of a module: its namespace first, then the builtins; NameError else.
Ref global(Handle module_dict, Handle name);

}  // namespace native
