// The interpreter's own layout of instance values and dictionary key tables (CPython 3.13).
//
// None of this is part of the C API. Code that relies on it checks kKnownLayout at compile time and
// a probe at run time (see slots.cpp and dicts.cpp), and takes the public functions when either
// says no.
#pragma once

#include <cstddef>
#include <cstdint>

#include "native/ref.hpp"

namespace native {

// Whether the environment variable ONDREL_GENERIC_PATHS (set, not empty and not "0") forces the
// generic path everywhere: no layout is recognised, and nothing that a fast path would remember (a
// super() lookup, a serialisation plan, a keyword binding, a direct constructor) is remembered or
// used. Read once per process, where the layout probes run.
bool generic_paths();

}  // namespace native

namespace native::cpython {

#if PY_VERSION_HEX >= 0x030D0000 && PY_VERSION_HEX < 0x030E0000 && !defined(Py_GIL_DISABLED)
constexpr bool kKnownLayout = true;
#else
constexpr bool kKnownLayout = false;
#endif

// Right after the header of an instance with inline values: four bytes, the values, then the
// insertion order (one byte per value).
struct ValuesHeader {
  uint8_t capacity;
  uint8_t size;
  uint8_t embedded;
  uint8_t valid;
};
struct ValuesLayout {
  ValuesHeader header;
  PyObject* first;
};

inline ValuesHeader* values_header(PyObject* self) {
  return reinterpret_cast<ValuesHeader*>(reinterpret_cast<char*>(self) + sizeof(PyObject));
}
inline PyObject** values(PyObject* self) {
  return reinterpret_cast<PyObject**>(reinterpret_cast<char*>(self) + sizeof(PyObject) +
                                      offsetof(ValuesLayout, first));
}
inline uint8_t* insertion_order(PyObject* self) {
  return reinterpret_cast<uint8_t*>(values(self) + values_header(self)->capacity);
}
// Stores into the inline values as the interpreter's own attribute store does; false when the slot
// cannot take it (then nothing changed).
inline bool store(PyObject* self, int8_t ix, PyObject* value) {
  ValuesHeader* header = values_header(self);
  if (ix >= header->capacity) return false;
  PyObject** slots = values(self);
  PyObject* old = slots[ix];
  if (old == nullptr) {
    if (header->size >= header->capacity) return false;
    insertion_order(self)[header->size] = static_cast<uint8_t>(ix);
    ++header->size;
  }
  slots[ix] = Py_NewRef(value);
  Py_XDECREF(old);  // last: it may run code
  return true;
}

// The instance dictionary pointer sits before the object, ahead of the weak reference list and the
// garbage collector's header.
inline PyObject* managed_dict(PyObject* self) {
  return *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(self) - 3 * static_cast<Py_ssize_t>(sizeof(PyObject*)));
}

// Runs a probe of the layout once the compile-time check has passed: true if it recognised what it
// looked at. A Python error it raises counts as no; an error set before is kept. Always no when the
// generic path is forced.
bool recognised(bool (*probe)());

// A key table: this header, the hash index of 2**log2_index_bytes bytes, then the entries.
struct KeysHeader {
  Py_ssize_t refcnt;
  uint8_t log2_size;
  uint8_t log2_index_bytes;
  uint8_t kind;
  uint32_t version;
  Py_ssize_t usable;
  Py_ssize_t nentries;
};
static_assert(sizeof(KeysHeader) == 4 * sizeof(Py_ssize_t));
enum KeysKind : uint8_t { kGeneralKeys = 0, kUnicodeKeys = 1, kSplitKeys = 2 };
// The entry of a table whose keys are all text (and of a class's shared table).
struct UnicodeEntry {
  PyObject* key;
  PyObject* value;
};

inline const KeysHeader* class_keys(PyTypeObject* type) {
  return reinterpret_cast<const KeysHeader*>(reinterpret_cast<PyHeapTypeObject*>(type)->ht_cached_keys);
}
inline const KeysHeader* dict_keys(PyObject* dict) {
  return reinterpret_cast<const KeysHeader*>(reinterpret_cast<PyDictObject*>(dict)->ma_keys);
}
inline UnicodeEntry* unicode_entries(const KeysHeader* keys) {
  return reinterpret_cast<UnicodeEntry*>(const_cast<char*>(reinterpret_cast<const char*>(keys)) + sizeof(KeysHeader) +
                                         (size_t{1} << keys->log2_index_bytes));
}
// The place of `name` (an exact str) in a class's shared key table, where instances keep its value
// among their inline values; -1 if the table does not hold it (or holds it beyond `limit`).
inline int shared_key_index(const KeysHeader* keys, PyObject* name, Py_ssize_t limit) {
  const UnicodeEntry* entries = unicode_entries(keys);
  for (Py_ssize_t j = 0; j < keys->nentries && j < limit; ++j) {
    PyObject* key = entries[j].key;
    if (key == name || (key != nullptr && PyUnicode_CheckExact(key) && PyUnicode_Compare(key, name) == 0))
      return static_cast<int>(j);
  }
  return -1;
}

}  // namespace native::cpython
