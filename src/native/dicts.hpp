// Dictionaries of text keys in a fixed order, as serialisers make them over and over.
//
// Inserting key by key costs a hash probe, an entry write and sometimes a resize per key. When the
// same sequence of keys comes back, it is cheaper to copy a prepared dictionary of those keys (one
// block copy of its key table) and put the values into the copy's entries. DictShapes remembers a
// few such sequences; any other sequence, or an interpreter whose table layout the start-up probe
// does not recognise, is built key by key. The result is an ordinary new dict either way.
#pragma once

#include <vector>

#include "native/ref.hpp"

namespace native {

class DictShapes {
 public:
  // {keys[i]: values[i]} in this order. The keys are distinct interned strings that outlive this
  // object (their owner keeps them); the values are borrowed.
  Ref make(PyObject* const* keys, PyObject* const* values, size_t count) const;

 private:
  struct Shape {
    std::vector<PyObject*> keys;
    Ref prototype;  // the keys, each with the value None; null: the layout was not as expected
  };
  const Shape* find(PyObject* const* keys, size_t count) const;

  static constexpr size_t kMaxShapes = 4;
  mutable std::vector<Shape> shapes_;
  mutable size_t last_ = 0;  // the shape found last time
};

}  // namespace native
