#include "native/slots.hpp"

#include <cstddef>

namespace native {
namespace {

// The interpreter's layout of inline values and shared key tables. It is not part of the C API,
// hence the version check here and the probe at run time: where either fails, every access takes
// the generic functions.
#if PY_VERSION_HEX >= 0x030D0000 && PY_VERSION_HEX < 0x030E0000 && !defined(Py_GIL_DISABLED)
constexpr bool kKnownLayout = true;
#else
constexpr bool kKnownLayout = false;
#endif

// Right after the object header: four bytes, the values, then the insertion order (one byte each).
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
constexpr size_t kValuesOffset = offsetof(ValuesLayout, first);

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
constexpr uint8_t kSplitKeys = 2;  // the kind of a table shared by the instances of a class
struct UnicodeEntry {
  PyObject* key;
  PyObject* value;
};

// The instance dictionary pointer sits before the object, ahead of the weak reference list and the
// garbage collector's header.
constexpr Py_ssize_t kManagedDictOffset = -3 * static_cast<Py_ssize_t>(sizeof(PyObject*));

ValuesHeader* header_of(PyObject* self) {
  return reinterpret_cast<ValuesHeader*>(reinterpret_cast<char*>(self) + sizeof(PyObject));
}
PyObject** values_of(PyObject* self) {
  return reinterpret_cast<PyObject**>(reinterpret_cast<char*>(self) + sizeof(PyObject) + kValuesOffset);
}
uint8_t* order_of(PyObject* self) { return reinterpret_cast<uint8_t*>(values_of(self) + header_of(self)->capacity); }
PyObject* managed_dict(PyObject* self) {
  return *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(self) + kManagedDictOffset);
}

// Stores into the inline values, as the interpreter's own attribute store does; false when the slot
// cannot take it (then nothing changed).
bool store(PyObject* self, int8_t ix, PyObject* value) {
  ValuesHeader* header = header_of(self);
  if (ix >= header->capacity) return false;
  PyObject** values = values_of(self);
  PyObject* old = values[ix];
  if (old == nullptr) {
    if (header->size >= header->capacity) return false;
    order_of(self)[header->size] = static_cast<uint8_t>(ix);
    ++header->size;
  }
  values[ix] = Py_NewRef(value);
  Py_XDECREF(old);  // last: it may run code
  return true;
}

bool probe();

// Whether this interpreter lays instances out as this file expects; decided once per process.
bool layout_recognised() {
  static const bool recognised = [] {
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
  }();
  return recognised;
}

}  // namespace

SlotTable::SlotTable(std::vector<Ref> names) : names_(std::move(names)) {}

void SlotTable::learn_position(Layout& layout, size_t i) const {
  PyObject* name = names_[i].ptr();
  PyObject* descriptor = _PyType_Lookup(layout.type, name);
  if (descriptor != nullptr && Py_TYPE(descriptor)->tp_descr_set != nullptr) {
    layout.index[i] = -2;  // a data descriptor handles this name: never direct
    return;
  }
  const auto* keys = static_cast<const KeysHeader*>(layout.keys);
  const auto* entries = reinterpret_cast<const UnicodeEntry*>(reinterpret_cast<const char*>(keys) + sizeof(KeysHeader) +
                                                              (size_t{1} << keys->log2_index_bytes));
  for (Py_ssize_t j = 0; j < keys->nentries && j < INT8_MAX; ++j) {
    PyObject* key = entries[j].key;
    if (key == name || (key != nullptr && PyUnicode_CheckExact(key) && PyUnicode_Compare(key, name) == 0)) {
      layout.index[i] = static_cast<int8_t>(j);
      return;
    }
  }
  layout.index[i] = -1;
}

void SlotTable::learn(Layout& layout, PyTypeObject* type) const {
  layout.type = type;
  layout.index.assign(names_.size(), -1);
  layout.direct_get = layout.direct_set = false;
  layout.keys = nullptr;
  const unsigned long flags = type->tp_flags;
  const bool plain = (flags & Py_TPFLAGS_HEAPTYPE) && (flags & Py_TPFLAGS_INLINE_VALUES) &&
                     (flags & Py_TPFLAGS_MANAGED_DICT) && type->tp_basicsize == sizeof(PyObject) &&
                     type->tp_itemsize == 0 && layout_recognised();
  if (plain) {
    const auto* keys = reinterpret_cast<const KeysHeader*>(reinterpret_cast<PyHeapTypeObject*>(type)->ht_cached_keys);
    if (keys != nullptr && keys->kind == kSplitKeys) {
      layout.keys = keys;
      for (size_t i = 0; i < names_.size(); ++i) learn_position(layout, i);
      layout.direct_get = type->tp_getattro == PyObject_GenericGetAttr;
      layout.direct_set = type->tp_setattro == PyObject_GenericSetAttr;
    }
  }
  // Read last: the lookups above give the class a version if it had none.
  if (layout.keys != nullptr) PyUnstable_Type_AssignVersionTag(type);
  layout.version = type->tp_version_tag;
  if (layout.version == 0) layout.direct_get = layout.direct_set = false;
}

SlotTable::Layout* SlotTable::layout_for(PyTypeObject* type) const {
  for (Layout& layout : layouts_) {
    if (layout.type != type) continue;
    if (layout.version != type->tp_version_tag) learn(layout, type);
    return &layout;
  }
  Layout& layout = layouts_[next_];
  next_ = (next_ + 1) % layouts_.size();
  learn(layout, type);
  return &layout;
}

PyObject** SlotTable::Object::values(bool writing) const {
  if (layout_ == nullptr) return nullptr;
  PyTypeObject* type = Py_TYPE(self_);
  // Checked on every access: code run between two accesses may have changed the class or the object.
  if (type != layout_->type || type->tp_version_tag != layout_->version) return nullptr;
  if (!(writing ? layout_->direct_set : layout_->direct_get)) return nullptr;
  if (!header_of(self_)->valid) return nullptr;
  // Once the instance has a __dict__, a store must also go through it.
  if (writing && managed_dict(self_) != nullptr) return nullptr;
  return values_of(self_);
}

Ref SlotTable::Object::get(size_t i) const {
  if (PyObject** values = this->values(false)) {
    const int8_t ix = layout_->index[i];
    if (ix >= 0 && ix < header_of(self_)->capacity && values[ix] != nullptr) return borrow(values[ix]);
  }
  PyObject* name = table_.names_[i].ptr();
  return own(Py_TYPE(self_)->tp_getattro == PyObject_GenericGetAttr ? PyObject_GenericGetAttr(self_, name)
                                                                    : PyObject_GetAttr(self_, name));
}

PyObject* SlotTable::Object::peek(size_t i) const {
  PyObject** values = this->values(false);
  if (values == nullptr) return nullptr;
  const int8_t ix = layout_->index[i];
  return ix >= 0 && ix < header_of(self_)->capacity ? values[ix] : nullptr;
}

void SlotTable::Object::set(size_t i, Handle value) const {
  const bool direct = values(true) != nullptr;
  if (direct && layout_->index[i] >= 0 && store(self_, layout_->index[i], value.ptr())) return;
  PyObject* name = table_.names_[i].ptr();
  ok(Py_TYPE(self_)->tp_setattro == PyObject_GenericSetAttr ? PyObject_GenericSetAttr(self_, name, value.ptr())
                                                            : PyObject_SetAttr(self_, name, value.ptr()));
  // The first store of a name adds it to the class's key table: learn where it went.
  if (direct && layout_->index[i] == -1 && values(true) != nullptr) table_.learn_position(*layout_, i);
}

namespace {

// Makes a throwaway class, sets two attributes the generic way and looks for them where this file
// expects them; then stores the other way round on a second instance and checks what Python sees.
bool probe() {
  Ref type = own(PyObject_CallFunction(reinterpret_cast<PyObject*>(&PyType_Type), "s(O){}", "_slot_probe",
                                       reinterpret_cast<PyObject*>(&PyBaseObject_Type)));
  auto* tp = reinterpret_cast<PyTypeObject*>(type.ptr());
  const unsigned long flags = tp->tp_flags;
  if (!(flags & Py_TPFLAGS_INLINE_VALUES) || !(flags & Py_TPFLAGS_MANAGED_DICT) ||
      tp->tp_basicsize != sizeof(PyObject))
    return false;
  Ref a = own(PyObject_CallNoArgs(type.ptr()));
  Ref b = own(PyObject_CallNoArgs(type.ptr()));
  Ref x = interned("x"), y = interned("y");
  Ref vx = own(PyList_New(0)), vy = own(PyList_New(0));
  ok(PyObject_GenericSetAttr(a.ptr(), x.ptr(), vx.ptr()));
  ok(PyObject_GenericSetAttr(a.ptr(), y.ptr(), vy.ptr()));

  const auto* keys = reinterpret_cast<const KeysHeader*>(reinterpret_cast<PyHeapTypeObject*>(tp)->ht_cached_keys);
  if (keys == nullptr || keys->kind != kSplitKeys || keys->nentries != 2) return false;
  const auto* entries = reinterpret_cast<const UnicodeEntry*>(reinterpret_cast<const char*>(keys) + sizeof(KeysHeader) +
                                                              (size_t{1} << keys->log2_index_bytes));
  if (entries[0].key != x.ptr() || entries[1].key != y.ptr()) return false;
  const ValuesHeader* ha = header_of(a.ptr());
  if (!ha->valid || ha->size != 2 || ha->capacity < 2 || managed_dict(a.ptr()) != nullptr) return false;
  if (values_of(a.ptr())[0] != vx.ptr() || values_of(a.ptr())[1] != vy.ptr()) return false;
  if (order_of(a.ptr())[0] != 0 || order_of(a.ptr())[1] != 1) return false;

  if (!store(b.ptr(), 1, vy.ptr()) || !store(b.ptr(), 0, vx.ptr())) return false;
  if (!own(PyObject_GenericGetAttr(b.ptr(), x.ptr())).is(vx)) return false;
  Ref dict = own(PyObject_GenericGetDict(b.ptr(), nullptr));
  if (managed_dict(b.ptr()) != dict.ptr() || PyDict_GET_SIZE(dict.ptr()) != 2) return false;
  Py_ssize_t pos = 0;
  PyObject *key, *value;
  const PyObject* expected[][2] = {{y.ptr(), vy.ptr()}, {x.ptr(), vx.ptr()}};  // in insertion order
  for (const auto& pair : expected)
    if (!PyDict_Next(dict.ptr(), &pos, &key, &value) || key != pair[0] || value != pair[1]) return false;
  return true;
}

}  // namespace
}  // namespace native
