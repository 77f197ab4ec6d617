#include "external/spreadsheet/addresses.hpp"

#include <cstring>

namespace spreadsheet {
namespace {

bool same_text(PyObject* a, PyObject* b) {
  if (a == b) return true;
  const Py_ssize_t length = PyUnicode_GET_LENGTH(a);
  if (length != PyUnicode_GET_LENGTH(b) || PyUnicode_KIND(a) != PyUnicode_KIND(b)) return false;
  return std::memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b), static_cast<size_t>(length) * PyUnicode_KIND(a)) == 0;
}

// The hash of an exact str, which cannot fail; usually kept in the text already.
Py_hash_t text_hash(PyObject* text) {
  const Py_hash_t hash = reinterpret_cast<PyASCIIObject*>(text)->hash;
  return hash != -1 ? hash : PyObject_Hash(text);
}

// The value of an exact int when it fits in 64 bits.
bool int_value(PyObject* number, long long& value, int& overflow) {
  const auto* n = reinterpret_cast<PyLongObject*>(number);
  if (PyUnstable_Long_IsCompact(n)) {
    value = PyUnstable_Long_CompactValue(n);
    return true;
  }
  value = PyLong_AsLongLongAndOverflow(number, &overflow);
  return overflow == 0;
}

}  // namespace

AddressSet::AddressSet(Py_ssize_t expected) {
  size_t capacity = 16;
  while (capacity < static_cast<size_t>(expected) * 2) capacity *= 2;
  slots_.resize(capacity);
}

bool AddressSet::add(Handle sheet_name, Handle row, Handle column) {
  if (!tuples_) {
    int overflow = 0;
    long long row_number = 0;
    const bool usual = PyUnicode_CheckExact(sheet_name.ptr()) && PyUnicode_CheckExact(column.ptr()) &&
                       PyLong_CheckExact(row.ptr()) && int_value(row.ptr(), row_number, overflow);
    if (usual) {
      const size_t hash = static_cast<size_t>(text_hash(sheet_name.ptr())) * 1000003u ^
                          static_cast<size_t>(text_hash(column.ptr())) * 31u ^ static_cast<size_t>(row_number);
      return add_fast({sheet_name.ptr(), column.ptr(), row_number, hash});
    }
    move_to_python_set();
  }
  Ref address = native::own(PyTuple_Pack(3, sheet_name.ptr(), row.ptr(), column.ptr()));
  const Py_ssize_t before = PySet_GET_SIZE(tuples_.ptr());
  native::ok(PySet_Add(tuples_.ptr(), address.ptr()));
  return PySet_GET_SIZE(tuples_.ptr()) != before;
}

bool AddressSet::add_fast(const Key& key) {
  const size_t mask = slots_.size() - 1;
  for (size_t i = key.hash & mask;; i = (i + 1) & mask) {
    Key& slot = slots_[i];
    if (slot.sheet_name == nullptr) {
      slot = key;
      texts_.push_back(native::borrow(key.sheet_name));
      texts_.push_back(native::borrow(key.column));
      if (++used_ * 2 > slots_.size()) grow();
      return true;
    }
    if (slot.hash == key.hash && slot.row == key.row && same_text(slot.sheet_name, key.sheet_name) &&
        same_text(slot.column, key.column))
      return false;
  }
}

void AddressSet::grow() {
  std::vector<Key> old(slots_.size() * 2);
  old.swap(slots_);
  const size_t mask = slots_.size() - 1;
  for (const Key& key : old) {
    if (key.sheet_name == nullptr) continue;
    size_t i = key.hash & mask;
    while (slots_[i].sheet_name != nullptr) i = (i + 1) & mask;
    slots_[i] = key;
  }
}

void AddressSet::move_to_python_set() {
  tuples_ = native::own(PySet_New(nullptr));
  for (const Key& key : slots_) {
    if (key.sheet_name == nullptr) continue;
    Ref row = native::own(PyLong_FromLongLong(key.row));
    Ref address = native::own(PyTuple_Pack(3, key.sheet_name, row.ptr(), key.column));
    native::ok(PySet_Add(tuples_.ptr(), address.ptr()));
  }
  slots_.clear();
  texts_.clear();
}

}  // namespace spreadsheet
