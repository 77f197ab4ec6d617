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
  // {keys[i]: values[i]} in this order, as inserting them one by one makes it (a repeated key keeps
  // its first place and its last value). The keys are interned strings that their owner keeps
  // alive; the values are borrowed.
  Ref make(PyObject* const* keys, PyObject* const* values, size_t count) const {
    if (last_ < shapes_.size() && shapes_[last_].is(keys, count) && shapes_[last_].prototype) {
      if (Ref dict = fill(shapes_[last_].prototype, values, count)) return dict;
    }
    return make_other(keys, values, count);
  }

  // A copy of a prepared dict with the values put into its entries in order; null (and no error)
  // if the copy is not laid out as the prototype.
  static Ref fill(Handle prototype, PyObject* const* values, size_t count);

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
  Ref make_other(PyObject* const* keys, PyObject* const* values, size_t count) const;
  const Shape* find(PyObject* const* keys, size_t count) const;

  static constexpr size_t kMaxShapes = 4;
  mutable std::vector<Shape> shapes_;
  mutable size_t last_ = 0;  // the shape found last time
};

}  // namespace native
