// Instance attributes of ordinary classes, read and written where the interpreter keeps them.
//
// An instance of a class made by `class` (or by calling its metaclass) keeps its attributes inline:
// a small array of values right after the object header, indexed by the position of each name in
// the class's shared key table. The interpreter's attribute instructions go straight to that array
// once they have checked the class's version. The C API offers only the generic lookup (type cache,
// key table search, descriptor checks) on every access, which costs ten times as much.
//
// A SlotTable does for a fixed list of names what those instructions do: it learns, once per class
// and class version, where each name lives, and on every access checks that the object is still
// laid out that way. Anything unusual takes the generic functions instead: a class with its own
// __getattribute__ or __setattr__, a data descriptor of that name in the class, an attribute not
// set yet, an instance whose __dict__ holds the values on its own, or an interpreter whose layout
// the start-up probe does not recognise. What Python sees is the same either way.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "native/layout.hpp"
#include "native/ref.hpp"

namespace native {

// Whether this interpreter lays instances out as this file expects (a probe, run once per process).
bool instance_layout_recognised();

class SlotTable {
 public:
  // `names` are interned strings; accessors take their positions in this list.
  explicit SlotTable(std::vector<Ref> names);
  SlotTable(const SlotTable&) = delete;
  SlotTable& operator=(const SlotTable&) = delete;

  size_t size() const { return names_.size(); }
  Handle name(size_t i) const { return names_[i]; }

  // Where one class keeps the names, for one version of the class.
  struct Layout {
    PyTypeObject* type = nullptr;
    unsigned int version = 0;
    const void* keys = nullptr;
    bool direct_get = false;  // the class reads attributes the generic way
    bool direct_set = false;  // ... and writes them the generic way
    std::vector<int8_t> index;  // position in the values, or -1: not known, or never direct
  };

  // Access to the attributes of one object.
  class Object {
   public:
    // self.<name(i)>; raises AttributeError as Python does.
    Ref get(size_t i) const {
      if (PyObject** values = this->values(false)) {
        const int8_t ix = layout_->index[i];
        if (ix >= 0 && ix < cpython::values_header(self_)->capacity && values[ix] != nullptr) return borrow(values[ix]);
      }
      return get_generic(i);
    }
    // self.<name(i)> when reading it runs no code at all: the value stored in the instance, borrowed;
    // null otherwise, and then nothing happened (get() gives the answer, or the error, Python gives).
    PyObject* peek(size_t i) const {
      PyObject* const* values = readable();
      return values != nullptr ? peek(values, i) : nullptr;
    }
    // The object's inline values for reading with peek(), or null. They stay valid only until code
    // runs that could change the object or its class; get() is the read that is always right.
    PyObject* const* readable() const { return values(false); }
    // self.<name(i)> among readable()'s values, borrowed; null if it is not there.
    PyObject* peek(PyObject* const* values, size_t i) const {
      const int8_t ix = layout_->index[i];
      return ix >= 0 && ix < cpython::values_header(self_)->capacity ? values[ix] : nullptr;
    }

    // Where self.<name(i)> sits among readable()'s values while the class keeps its version; negative when
    // reads of it do not go there.
    int position(size_t i) const { return layout_ != nullptr && layout_->direct_get ? layout_->index[i] : -1; }

    // self.<name(i)> = value
    void set(size_t i, Handle value) const {
      if (values(true) != nullptr && layout_->index[i] >= 0 && cpython::store(self_, layout_->index[i], value.ptr()))
        return;
      set_generic(i, value);
    }

   private:
    friend class SlotTable;
    Object(const SlotTable& table, PyObject* self, Layout* layout) : table_(table), self_(self), layout_(layout) {}
    // The object's inline values, if this access may use them.
    PyObject** values(bool writing) const {
      if (layout_ == nullptr) return nullptr;
      PyTypeObject* type = Py_TYPE(self_);
      // Checked on every access: code run between two accesses may have changed the class or the object.
      if (type != layout_->type || type->tp_version_tag != layout_->version) return nullptr;
      if (!(writing ? layout_->direct_set : layout_->direct_get)) return nullptr;
      if (!cpython::values_header(self_)->valid) return nullptr;
      // Once the instance has a __dict__, a store must also go through it.
      if (writing && cpython::managed_dict(self_) != nullptr) return nullptr;
      return cpython::values(self_);
    }
    Ref get_generic(size_t i) const;
    void set_generic(size_t i, Handle value) const;
    const SlotTable& table_;
    PyObject* self_;
    Layout* layout_;  // null: only the generic functions
  };
  Object of(Handle self) const {
    PyTypeObject* type = Py_TYPE(self.ptr());
    Layout& last = layouts_[last_];
    const bool same = last.type == type && last.version == type->tp_version_tag;
    return Object(*this, self.ptr(), same ? &last : layout_for(type));
  }

 private:
  Layout* layout_for(PyTypeObject* type) const;
  void learn(Layout& layout, PyTypeObject* type) const;
  void learn_position(Layout& layout, size_t i) const;

  std::vector<Ref> names_;
  // The last few classes seen: a record serves its class and the subclasses that inherit from it.
  mutable std::array<Layout, 4> layouts_;
  mutable size_t next_ = 0;
  mutable size_t last_ = 0;  // the layout used last
};

}  // namespace native
