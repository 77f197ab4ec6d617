// Dictionaries of text keys in a fixed order, as serialisers make them over and over.
//
// Inserting key by key costs a hash probe, an entry write and sometimes a resize per key. When the
// same sequence of keys comes back, it is cheaper to copy a prepared dictionary of those keys (one
// block copy of its key table) and put the values into the copy's entries. DictShapes remembers a
// few such sequences; any other sequence, or an interpreter whose table layout the start-up probe
// does not recognise, is built key by key. The result is an ordinary new dict either way.
#pragma once

#include <vector>

#include "native/layout.hpp"
#include "native/ref.hpp"

namespace native {

class DictShapes {
 public:
  // {keys[i]: values[i]} in this order, as inserting them one by one makes it (a repeated key keeps
  // its first place and its last value). The keys are interned strings that their owner keeps
  // alive; the values are borrowed.
  Ref make(PyObject* const* keys, PyObject* const* values, size_t count) const {
    if (last_ < shapes_.size() && shapes_[last_].is(keys, count) && shapes_[last_].prototype) {
      if (Ref dict = fill(shapes_[last_].prototype, values, count)) return dict;
    }
    return make_other(keys, values, count);
  }

  // A dict of `keys` in this order, each with the value None, to fill copies of; null (and no error)
  // when this interpreter does not lay it out as fill() expects.
  static Ref prototype(PyObject* const* keys, size_t count);

  // A copy of a prepared dict with the values put into its entries in order; null (and no error)
  // if the copy is not laid out as the prototype.
  static Ref fill(Handle prototype, PyObject* const* values, size_t count) {
    return fill(prototype, count, [values](size_t i) { return values[i]; });
  }
  // The same with the i-th value given by value_of(i), borrowed; a null value gives a null result.
  // The values are read after the copy is made, and nothing runs from then on.
  template <class ValueOf>
  static Ref fill(Handle prototype, size_t count, ValueOf value_of);

 private:
  struct Shape {
    std::vector<PyObject*> keys;
    Ref prototype;  // the keys, each with the value None; null: the layout was not as expected
    bool is(PyObject* const* other, size_t count) const {
      if (keys.size() != count) return false;
      for (size_t i = 0; i < count; ++i)
        if (keys[i] != other[i]) return false;
      return true;
    }
  };
  static bool may_be_tracked(PyObject* value);
  Ref make_other(PyObject* const* keys, PyObject* const* values, size_t count) const;
  const Shape* find(PyObject* const* keys, size_t count) const;

  static constexpr size_t kMaxShapes = 4;
  mutable std::vector<Shape> shapes_;
  mutable size_t last_ = 0;  // the shape found last time
};

// dict[name] for one dict and one interned name, read where the dict keeps it, as the interpreter's
// specialised global reads do: the place of the name's entry in the dict's key table is remembered and
// checked on every read (the entry there still holds that very name). A table that was rebuilt, a
// deleted name or an unrecognised layout take the public lookup, which learns the place again.
class EntryCache {
 public:
  // Borrowed (the dict holds it), or null when the dict has no such key; raises only as the lookup does.
  PyObject* find(Handle dict, Handle name) const {
    if (ix_ >= 0) {
      const cpython::KeysHeader* table = cpython::dict_keys(dict.ptr());
      if (reinterpret_cast<PyDictObject*>(dict.ptr())->ma_values == nullptr && table->kind == cpython::kUnicodeKeys &&
          ix_ < table->nentries) {
        const cpython::UnicodeEntry& entry = cpython::unicode_entries(table)[ix_];
        if (entry.key == name.ptr() && entry.value != nullptr) return entry.value;
      }
    }
    return find_and_learn(dict, name);
  }

 private:
  PyObject* find_and_learn(Handle dict, Handle name) const;
  mutable Py_ssize_t ix_ = -1;  // -1: not learned (then the table is not read)
};

template <class ValueOf>
Ref DictShapes::fill(Handle prototype, size_t count, ValueOf value_of) {
  Ref dict = own(PyDict_Copy(prototype.ptr()));
  const cpython::KeysHeader* table = cpython::dict_keys(dict.ptr());
  if (reinterpret_cast<PyDictObject*>(dict.ptr())->ma_values != nullptr || table->kind != cpython::kUnicodeKeys ||
      table->nentries != static_cast<Py_ssize_t>(count))
    return {};
  cpython::UnicodeEntry* entries = cpython::unicode_entries(table);
  bool may_hold_cycles = false;
  for (size_t i = 0; i < count; ++i) {
    PyObject* value = value_of(i);
    if (value == nullptr) return {};
    // The entry held None, which is immortal: replacing it releases nothing.
    entries[i].value = Py_NewRef(value);
    // As the interpreter decides for its own dicts: a value that is a container the collector
    // follows (a tuple only while it is tracked itself) makes the dict one to follow too.
    if (!may_hold_cycles && PyType_IS_GC(Py_TYPE(value))) may_hold_cycles = may_be_tracked(value);
  }
  // The prototype held only None, so the copy is not tracked yet.
  if (may_hold_cycles && !PyObject_GC_IsTracked(dict.ptr())) PyObject_GC_Track(dict.ptr());
  return dict;
}

}  // namespace native
