// Name lookups as Python code does them: super() through the method resolution order, and globals
// through a module's namespace (then the builtins) at call time.
#pragma once

#include "native/layout.hpp"
#include "native/ref.hpp"

namespace native {

// The next definition of `name` in type(self).__mro__ after `defining`, as super() finds it; when
// self is not an instance of `defining`, in the MRO of the class its __class__ names if that one
// derives from `defining`, else super()'s own TypeError.
Ref find_super(Handle self, PyTypeObject* defining, Handle name);
// The same for the instances of `type`, before there is one.
Ref find_super_of(PyTypeObject* type, PyTypeObject* defining, Handle name);
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

// find_method for one name, remembered for the last few classes it found a method on. The answer
// has two parts: the function in the class, which depends only on the classes in the MRO (any
// change to them gives the class a new version), and the absence of an instance attribute of that
// name, which the interpreter decides from the instance's inline values and the class's shared key
// table. A remembered answer is used while the version, the key table and the instance's own slot
// for the name say it still holds; otherwise find_method decides. Only answers the interpreter's own
// lookup would give as "unbound" are remembered, and the function is held borrowed: while the
// version stands, the class dict it was found in still holds it.
class MethodCache {
 public:
  Method find(Handle obj, Handle name) const {
    PyTypeObject* type = Py_TYPE(obj.ptr());
    for (const Entry& e : entries_)
      if (e.type == type && e.version == type->tp_version_tag && e.version != 0 && e.absent_from(obj.ptr()))
        return {borrow(e.found), true};
    return find_and_learn(obj, name);
  }

 private:
  struct Entry {
    PyTypeObject* type = nullptr;
    unsigned int version = 0;
    const void* keys = nullptr;  // the class's shared key table ...
    Py_ssize_t nentries = 0;     // ... and how many names it held
    int ix = -1;                 // the name's place among them, or -1
    PyObject* found = nullptr;
    // Whether obj, of this class, holds no attribute of the name, as the interpreter's lookup
    // finds instance attributes: in its inline values, through the class's key table.
    bool absent_from(PyObject* obj) const {
      const cpython::KeysHeader* current = cpython::class_keys(type);
      if (current != keys || current->nentries != nentries) return false;
      const cpython::ValuesHeader* header = cpython::values_header(obj);
      if (!header->valid) return false;  // the instance dict holds its own values
      return ix < 0 || (ix < header->capacity && cpython::values(obj)[ix] == nullptr);
    }
  };
  Method find_and_learn(Handle obj, Handle name) const;

  mutable Entry entries_[4];
  mutable unsigned next_ = 0;
};

// The value of a global name of a module: its namespace first, then the builtins; NameError else.
Ref global(Handle module_dict, Handle name);

}  // namespace native
