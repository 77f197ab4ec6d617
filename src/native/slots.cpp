#include "native/slots.hpp"

#include <cstddef>

#include "native/layout.hpp"

namespace native {
namespace {

using cpython::KeysHeader;
using cpython::UnicodeEntry;
using cpython::ValuesHeader;
using cpython::kSplitKeys;

bool probe();

// Whether this interpreter lays instances out as this file expects; decided once per process.
bool layout_recognised() {
  static const bool recognised = cpython::recognised(probe);
  return recognised;
}

}  // namespace

bool instance_layout_recognised() { return layout_recognised(); }

SlotTable::SlotTable(std::vector<Ref> names) : names_(std::move(names)) {}

void SlotTable::learn_position(Layout& layout, size_t i) const {
  PyObject* name = names_[i].ptr();
  PyObject* descriptor = _PyType_Lookup(layout.type, name);
  if (descriptor != nullptr && Py_TYPE(descriptor)->tp_descr_set != nullptr) {
    layout.index[i] = -2;  // a data descriptor handles this name: never direct
    return;
  }
  const auto* keys = static_cast<const KeysHeader*>(layout.keys);
  layout.index[i] = static_cast<int8_t>(cpython::shared_key_index(keys, name, INT8_MAX));
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
    const KeysHeader* keys = cpython::class_keys(type);
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
  size_t i = 0;
  while (i < layouts_.size() && layouts_[i].type != type) ++i;
  if (i == layouts_.size()) {
    i = next_;
    next_ = (next_ + 1) % layouts_.size();
    learn(layouts_[i], type);
  } else if (layouts_[i].version != type->tp_version_tag) {
    learn(layouts_[i], type);
  }
  last_ = i;
  return &layouts_[i];
}

Ref SlotTable::Object::get_generic(size_t i) const {
  PyObject* name = table_.names_[i].ptr();
  return own(Py_TYPE(self_)->tp_getattro == PyObject_GenericGetAttr ? PyObject_GenericGetAttr(self_, name)
                                                                    : PyObject_GetAttr(self_, name));
}

void SlotTable::Object::set_generic(size_t i, Handle value) const {
  const bool direct = values(true) != nullptr;
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

  const KeysHeader* keys = cpython::class_keys(tp);
  if (keys == nullptr || keys->kind != kSplitKeys || keys->nentries != 2) return false;
  const UnicodeEntry* entries = cpython::unicode_entries(keys);
  if (entries[0].key != x.ptr() || entries[1].key != y.ptr()) return false;
  const ValuesHeader* ha = cpython::values_header(a.ptr());
  if (!ha->valid || ha->size != 2 || ha->capacity < 2 || cpython::managed_dict(a.ptr()) != nullptr) return false;
  if (cpython::values(a.ptr())[0] != vx.ptr() || cpython::values(a.ptr())[1] != vy.ptr()) return false;
  if (cpython::insertion_order(a.ptr())[0] != 0 || cpython::insertion_order(a.ptr())[1] != 1) return false;

  if (!cpython::store(b.ptr(), 1, vy.ptr()) || !cpython::store(b.ptr(), 0, vx.ptr())) return false;
  if (!own(PyObject_GenericGetAttr(b.ptr(), x.ptr())).is(vx)) return false;
  Ref dict = own(PyObject_GenericGetDict(b.ptr(), nullptr));
  if (cpython::managed_dict(b.ptr()) != dict.ptr() || PyDict_GET_SIZE(dict.ptr()) != 2) return false;
  Py_ssize_t pos = 0;
  PyObject *key, *value;
  const PyObject* expected[][2] = {{y.ptr(), vy.ptr()}, {x.ptr(), vx.ptr()}};  // in insertion order
  for (const auto& pair : expected)
    if (!PyDict_Next(dict.ptr(), &pos, &key, &value) || key != pair[0] || value != pair[1]) return false;
  return true;
}

}  // namespace
}  // namespace native
