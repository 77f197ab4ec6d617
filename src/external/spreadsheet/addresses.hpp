// The set of direct-cell addresses of a fill request body.
#pragma once

#include <vector>

#include "external/spreadsheet/state.hpp"

namespace spreadsheet {

// Addresses compared as the tuples (sheet_name, row, column) are. While every address is made of an
// exact str, an exact int and an exact str (the usual case), they are kept in a flat hash table
// without making tuples; the first address of any other kind moves them all into a Python set of
// tuples, which then decides by the interpreter's own hashing and equality.
class AddressSet {
 public:
  explicit AddressSet(Py_ssize_t expected);
  // Adds the address; false when an equal one was there already.
  bool add(Handle sheet_name, Handle row, Handle column);

 private:
  struct Key {
    PyObject* sheet_name = nullptr;  // null: an empty slot
    PyObject* column = nullptr;
    long long row = 0;
    size_t hash = 0;
  };
  bool add_fast(const Key& key);
  void grow();
  void move_to_python_set();

  std::vector<Key> slots_;
  size_t used_ = 0;
  std::vector<Ref> texts_;  // keeps the texts that the keys point to alive
  Ref tuples_;              // the Python set, once there is one
};

}  // namespace spreadsheet
