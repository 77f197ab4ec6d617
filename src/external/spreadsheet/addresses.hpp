// The set of direct-cell addresses of a fill request body.
#pragma once

#include <cstdint>
#include <vector>

#include "external/spreadsheet/state.hpp"

namespace spreadsheet {

// Addresses compared as the tuples (sheet_name, row, column) are, with the letters of an exact ASCII
// column in upper case ("b" and "B" name one column). While every address is made of an
// exact str, an exact int and an exact str (the usual case), no tuples are made: each distinct pair of
// texts (sheet name, column) gets a number and a bitmap of the rows seen with it, and a row that its
// pair's bitmap does not cover goes into a flat hash table of (pair number, row). The first address
// of any other kind moves them all into a Python set of tuples, which then decides by the
// interpreter's own hashing and equality.
class AddressSet {
 public:
  // `expected`: how many addresses may come, which bounds the memory the bitmaps may take.
  explicit AddressSet(Py_ssize_t expected);
  // Adds the address; false when an equal one was there already.
  bool add(Handle sheet_name, Handle row, Handle column);

 private:
  struct Pair {
    Ref sheet_name, column;      // the texts as first seen; equal texts share the pair
    size_t hash;
    std::vector<uint64_t> rows;  // bit r % 64 of word r / 64: row r seen
  };
  struct Other {  // a row outside its pair's bitmap
    long long row = 0;
    uint32_t pair = 0;
    bool used = false;
  };
  uint32_t pair_of(PyObject* sheet_name, PyObject* column);
  bool add_row(uint32_t pair, long long row);
  bool add_other(uint32_t pair, long long row);
  void index_pairs(size_t capacity);
  void grow_others();
  void move_to_python_set();

  size_t bitmap_budget_;   // words that all bitmaps together may take
  size_t bitmap_words_ = 0;
  std::vector<Pair> pairs_;
  std::vector<int32_t> pair_slots_;  // open addressing over pairs_ by their hashes; -1: empty
  // The texts of the last address and their pair; held, so that the same objects mean the same texts.
  Ref last_sheet_name_, last_column_;
  uint32_t last_pair_ = 0;
  std::vector<Other> others_;
  size_t others_used_ = 0;
  Ref tuples_;  // the Python set, once there is one
};

}  // namespace spreadsheet
