#include "external/spreadsheet/addresses.hpp"

#include <algorithm>
#include <bit>
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

// The column letters in upper case, as a new text when any is lower case: "b" and "B" name one column.
Ref upper_column(Handle column) {
  PyObject* text = column.ptr();
  if (!PyUnicode_CheckExact(text) || !PyUnicode_IS_ASCII(text)) return native::borrow(column);
  const auto* letters = static_cast<const char*>(PyUnicode_DATA(text));
  const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
  if (std::none_of(letters, letters + length, [](char c) { return c >= 'a' && c <= 'z'; }))
    return native::borrow(column);
  Ref upper = native::own(PyUnicode_New(length, 127));
  auto* out = static_cast<char*>(PyUnicode_DATA(upper.ptr()));
  std::transform(letters, letters + length, out, [](char c) { return c >= 'a' && c <= 'z' ? char(c - 32) : c; });
  return upper;
}

// Spreads the bits of a hash over the whole word, for tables indexed by its low bits.
size_t mix(size_t h) {
  h ^= h >> 33;
  h *= 0xff51afd7ed558ccdULL;
  h ^= h >> 33;
  return h;
}

}  // namespace

// A bitmap of one word per 64 rows for every expected address is as much as the table of the rows
// that the bitmaps leave out would take, and covers a block of rows of that many words.
AddressSet::AddressSet(Py_ssize_t expected) : bitmap_budget_(std::max<size_t>(1024, expected > 0 ? expected : 0)) {}

bool AddressSet::add(Handle sheet_name, Handle row, Handle given_column) {
  const Ref column = upper_column(given_column);
  if (!tuples_) {
    int overflow = 0;
    long long row_number = 0;
    const bool usual = PyUnicode_CheckExact(sheet_name.ptr()) && PyUnicode_CheckExact(column.ptr()) &&
                       PyLong_CheckExact(row.ptr()) && int_value(row.ptr(), row_number, overflow);
    if (usual) return add_row(pair_of(sheet_name.ptr(), column.ptr()), row_number);
    move_to_python_set();
  }
  Ref address = native::own(PyTuple_Pack(3, sheet_name.ptr(), row.ptr(), column.ptr()));
  const Py_ssize_t before = PySet_GET_SIZE(tuples_.ptr());
  native::ok(PySet_Add(tuples_.ptr(), address.ptr()));
  return PySet_GET_SIZE(tuples_.ptr()) != before;
}

uint32_t AddressSet::pair_of(PyObject* sheet_name, PyObject* column) {
  // Usually the same two objects as last time.
  if (sheet_name == last_sheet_name_.ptr() && column == last_column_.ptr()) return last_pair_;
  const size_t hash = static_cast<size_t>(text_hash(sheet_name)) * 1000003u ^ static_cast<size_t>(text_hash(column));
  if (pair_slots_.empty()) index_pairs(8);
  const size_t mask = pair_slots_.size() - 1;
  size_t i = mix(hash) & mask;
  for (; pair_slots_[i] >= 0; i = (i + 1) & mask) {
    const Pair& pair = pairs_[static_cast<size_t>(pair_slots_[i])];
    if (pair.hash == hash && same_text(pair.sheet_name.ptr(), sheet_name) && same_text(pair.column.ptr(), column))
      break;
  }
  if (pair_slots_[i] < 0) {
    pair_slots_[i] = static_cast<int32_t>(pairs_.size());
    pairs_.push_back({native::borrow(sheet_name), native::borrow(column), hash, {}});
    if (pairs_.size() * 2 > pair_slots_.size()) index_pairs(pair_slots_.size() * 2);
    i = pairs_.size() - 1;
  } else {
    i = static_cast<size_t>(pair_slots_[i]);
  }
  last_sheet_name_ = native::borrow(sheet_name);
  last_column_ = native::borrow(column);
  last_pair_ = static_cast<uint32_t>(i);
  return last_pair_;
}

void AddressSet::index_pairs(size_t capacity) {
  pair_slots_.assign(capacity, -1);
  const size_t mask = capacity - 1;
  for (size_t p = 0; p < pairs_.size(); ++p) {
    size_t i = mix(pairs_[p].hash) & mask;
    while (pair_slots_[i] >= 0) i = (i + 1) & mask;
    pair_slots_[i] = static_cast<int32_t>(p);
  }
}

// A row lives in its pair's bitmap if the bitmap covers it when the row first comes, and in the
// table of the others if not; it is looked for in the same place later. A bitmap only grows, and it
// grows over a word only while the words of all the other bitmaps leave room for it up to that word.
// The other bitmaps only grow as well, so a word refused once is refused for good, and a row put
// into the table is never covered afterwards.
bool AddressSet::add_row(uint32_t index, long long row) {
  Pair& pair = pairs_[index];
  if (row >= 0) {
    const size_t word = static_cast<size_t>(row) >> 6;
    const size_t size = pair.rows.size();
    if (word >= size) {
      const size_t room = bitmap_budget_ - (bitmap_words_ - size);  // for this bitmap
      const size_t wanted = std::max(word + 1, size * 2);
      const size_t new_size = wanted <= room ? wanted : word < room ? word + 1 : size;
      bitmap_words_ += new_size - size;
      pair.rows.resize(new_size);
    }
    if (word < pair.rows.size()) {
      const uint64_t bit = uint64_t{1} << (row & 63);
      if (pair.rows[word] & bit) return false;
      pair.rows[word] |= bit;
      return true;
    }
  }
  return add_other(index, row);
}

bool AddressSet::add_other(uint32_t pair, long long row) {
  if (others_.empty()) others_.resize(16);
  const size_t mask = others_.size() - 1;
  for (size_t i = mix(static_cast<size_t>(row) * 0x9e3779b97f4a7c15ULL ^ pair) & mask;; i = (i + 1) & mask) {
    Other& slot = others_[i];
    if (!slot.used) {
      slot = {row, pair, true};
      if (++others_used_ * 2 > others_.size()) grow_others();
      return true;
    }
    if (slot.row == row && slot.pair == pair) return false;
  }
}

void AddressSet::grow_others() {
  std::vector<Other> old(others_.size() * 2);
  old.swap(others_);
  const size_t mask = others_.size() - 1;
  for (const Other& other : old) {
    if (!other.used) continue;
    size_t i = mix(static_cast<size_t>(other.row) * 0x9e3779b97f4a7c15ULL ^ other.pair) & mask;
    while (others_[i].used) i = (i + 1) & mask;
    others_[i] = other;
  }
}

void AddressSet::move_to_python_set() {
  tuples_ = native::own(PySet_New(nullptr));
  auto put = [&](const Pair& pair, long long row) {
    Ref number = native::own(PyLong_FromLongLong(row));
    Ref address = native::own(PyTuple_Pack(3, pair.sheet_name.ptr(), number.ptr(), pair.column.ptr()));
    native::ok(PySet_Add(tuples_.ptr(), address.ptr()));
  };
  for (const Pair& pair : pairs_) {
    for (size_t word = 0; word < pair.rows.size(); ++word)
      for (uint64_t bits = pair.rows[word]; bits != 0; bits &= bits - 1)
        put(pair, static_cast<long long>(word * 64 + static_cast<size_t>(std::countr_zero(bits))));
  }
  for (const Other& other : others_)
    if (other.used) put(pairs_[other.pair], other.row);
  pairs_.clear();
  pair_slots_.clear();
  others_.clear();
  last_sheet_name_.reset();
  last_column_.reset();
}

}  // namespace spreadsheet
