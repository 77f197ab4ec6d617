#include "native/dicts.hpp"

#include "native/layout.hpp"

namespace native {
namespace {

using cpython::KeysHeader;
using cpython::UnicodeEntry;

Ref key_by_key(PyObject* const* keys, PyObject* const* values, size_t count) {
  Ref dict = own(PyDict_New());
  for (size_t i = 0; i < count; ++i) ok(PyDict_SetItem(dict.ptr(), keys[i], values[i]));
  return dict;
}

// The keys with the value None, when the table came out as expected: all-text keys whose entries
// are in insertion order.
Ref prototype_of(PyObject* const* keys, size_t count) {
  Ref dict = own(PyDict_New());
  for (size_t i = 0; i < count; ++i) ok(PyDict_SetItem(dict.ptr(), keys[i], Py_None));
  const KeysHeader* table = cpython::dict_keys(dict.ptr());
  if (PyDict_GET_SIZE(dict.ptr()) != static_cast<Py_ssize_t>(count) || table->kind != cpython::kUnicodeKeys ||
      table->nentries != static_cast<Py_ssize_t>(count))
    return {};
  const UnicodeEntry* entries = cpython::unicode_entries(table);
  for (size_t i = 0; i < count; ++i)
    if (entries[i].key != keys[i]) return {};
  return dict;
}

}  // namespace

// What the collector follows: containers, and among tuples only those it still tracks.
bool DictShapes::may_be_tracked(PyObject* value) {
  PyTypeObject* type = Py_TYPE(value);
  if (!PyType_IS_GC(type)) return false;
  if (type == &PyTuple_Type) return PyObject_GC_IsTracked(value);
  return type->tp_is_gc == nullptr || type->tp_is_gc(value);
}

namespace {

// Fills a copy of a two-key prototype and checks it through the public functions, also after
// further changes.
bool probe() {
  Ref a = interned("a"), b = interned("b"), c = interned("c");
  Ref va = own(PyList_New(0)), vb = own(PyList_New(0));
  PyObject* keys[] = {a.ptr(), b.ptr()};
  PyObject* values[] = {va.ptr(), vb.ptr()};
  Ref prototype = prototype_of(keys, 2);
  if (!prototype) return false;
  const Py_ssize_t before = Py_REFCNT(va.ptr());
  Ref dict = DictShapes::fill(prototype, values, 2);
  if (!dict || Py_REFCNT(va.ptr()) != before + 1 || !PyObject_GC_IsTracked(dict.ptr())) return false;  // lists
  if (PyDict_GetItemWithError(dict.ptr(), a.ptr()) != va.ptr() ||
      PyDict_GetItemWithError(dict.ptr(), b.ptr()) != vb.ptr())
    return false;
  if (PyDict_GetItemWithError(prototype.ptr(), a.ptr()) != Py_None) return false;
  ok(PyDict_SetItem(dict.ptr(), c.ptr(), Py_None));
  ok(PyDict_DelItem(dict.ptr(), a.ptr()));
  Ref expected = own(PyDict_New());
  ok(PyDict_SetItem(expected.ptr(), b.ptr(), vb.ptr()));
  ok(PyDict_SetItem(expected.ptr(), c.ptr(), Py_None));
  Py_ssize_t pos = 0;
  PyObject *key, *value;
  if (!PyDict_Next(dict.ptr(), &pos, &key, &value) || key != b.ptr()) return false;
  return ok(PyObject_RichCompareBool(dict.ptr(), expected.ptr(), Py_EQ)) == 1;
}

bool layout_recognised() {
  static const bool recognised = cpython::recognised(probe);
  return recognised;
}

}  // namespace

PyObject* EntryCache::find_and_learn(Handle dict, Handle name) const {
  ix_ = -1;
  PyObject* found = nullptr;
  if (!ok(PyDict_GetItemRef(dict.ptr(), name.ptr(), &found))) return nullptr;
  Ref held = steal(found);  // the dict holds it too: no code runs from here on
  const KeysHeader* table = cpython::dict_keys(dict.ptr());
  if (layout_recognised() && reinterpret_cast<PyDictObject*>(dict.ptr())->ma_values == nullptr &&
      table->kind == cpython::kUnicodeKeys) {
    const UnicodeEntry* entries = cpython::unicode_entries(table);
    for (Py_ssize_t i = 0; i < table->nentries; ++i)
      if (entries[i].key == name.ptr() && entries[i].value == found) {
        ix_ = i;
        break;
      }
  }
  return found;
}

Ref DictShapes::prototype(PyObject* const* keys, size_t count) {
  return count > 0 && layout_recognised() ? prototype_of(keys, count) : Ref();
}

const DictShapes::Shape* DictShapes::find(PyObject* const* keys, size_t count) const {
  for (last_ = 0; last_ < shapes_.size(); ++last_)
    if (shapes_[last_].is(keys, count)) return &shapes_[last_];
  if (shapes_.size() == kMaxShapes) return nullptr;
  shapes_.push_back({std::vector<PyObject*>(keys, keys + count), prototype_of(keys, count)});
  return &shapes_.back();
}

Ref DictShapes::make_other(PyObject* const* keys, PyObject* const* values, size_t count) const {
  if (count > 0 && layout_recognised()) {
    const Shape* shape = find(keys, count);
    if (shape != nullptr && shape->prototype) {
      if (Ref dict = fill(shape->prototype, values, count)) return dict;
    }
  }
  return key_by_key(keys, values, count);
}

}  // namespace native
