#include "external/idea_rcs/objects/model.hpp"

#include <algorithm>
#include <string>

#include "external/idea_rcs/objects/state.hpp"
#include "native/layout.hpp"
#include "native/lookup.hpp"

namespace objects {
namespace {

using native::FunctionDecl;
using native::ParamDecl;

Ref resolve_default(const State& state, const Default& d) {
  switch (d.type) {
    case Default::Type::Required: return {};
    case Default::Type::None: return native::none();
    case Default::Type::False: return native::boolean(false);
    case Default::Type::Float: return native::own(PyFloat_FromDouble(d.number));
    case Default::Type::Member: {
      const size_t dot = d.member.find('.');
      Ref enumeration = state.attr(d.member.substr(0, dot));
      return native::getattr(enumeration, native::interned(d.member.substr(dot + 1)));
    }
  }
  return {};
}

std::vector<ParamDecl> params_of(const State& state, std::string_view self, const std::vector<Arg>& args) {
  std::vector<ParamDecl> params;
  params.push_back({self});
  for (const Arg& a : args) params.push_back({a.name, a.kind, a.annotation, resolve_default(state, a.value)});
  return params;
}

// ---- the generic implementations -------------------------------------------------------------

Ref model_init(Call& call);
Ref model_serialize(Call& call);

// super().__init__(...) with our leading arguments, by position or by keyword, as Python calls it.
void call_base_init(const CompiledClass& cls, Handle self, Handle base_init, Call& call) {
  const Init& init = *cls.decl->init;
  if (init.base_by_keyword) {
    native::call_found(self, base_init, call.args + 1, 0, cls.base_kwnames);
  } else {
    native::call_found(self, base_init, call.args + 1, init.base_args);
  }
}

// Which of `cls`'s arguments (by position, self first) the generic constructor `base` takes, in its
// parameter order; false when one of its parameters is not among them.
bool map_base_arguments(const CompiledClass& cls, const CompiledClass& base, std::vector<size_t>& from) {
  const Init& init = *cls.decl->init;
  const std::vector<Arg>& base_args = base.decl->init->args;
  from.clear();
  if (base_args.size() != init.base_args) return false;
  for (size_t j = 0; j < base_args.size(); ++j) {
    size_t i = j;
    if (init.base_by_keyword) {
      i = 0;
      while (i < init.base_args && init.args[i].name != base_args[j].name) ++i;
      if (i == init.base_args) return false;
    }
    from.push_back(i + 1);
  }
  return true;
}

// super().__init__ for `self`, the generic way, planning for the next calls on its class version.
Ref find_base_init(const State& state, const CompiledClass& cls, Handle self) {
  PyTypeObject* type = Py_TYPE(self.ptr());
  const unsigned int version = !native::generic_paths() && PyUnstable_Type_AssignVersionTag(type) ? type->tp_version_tag : 0;
  Ref found = native::find_super(self, cls.type, state.s___init__);
  // Planned only when found through the object's own class (then no code ran for it).
  if (version == 0 || !PyType_IsSubtype(type, cls.type) || type->tp_version_tag != version) return found;
  CompiledClass::InitPlan plan{{type, version}, found.ptr()};
  const void* context = nullptr;
  if (native::is_native(state.rt, found, model_init, &context)) {
    const auto* base = static_cast<const CompiledClass*>(context);
    if (map_base_arguments(cls, *base, plan.from)) {
      plan.base = base;
      plan.identity = true;
      for (size_t j = 0; j < plan.from.size(); ++j) plan.identity = plan.identity && plan.from[j] == j + 1;
    }
  }
  cls.init_plan = std::move(plan);
  return found;
}

Ref model_init(Call& call) {
  const CompiledClass& cls = call.ctx<CompiledClass>();
  const Init& init = *cls.decl->init;
  State& state = call.state<State>();
  Handle self = call[0];
  if (init.calls_base) {
    const CompiledClass::InitPlan& plan = cls.init_plan;
    if (plan.of.holds(Py_TYPE(self.ptr()))) {
      // The planned path: a generic base constructor runs directly, without binding the arguments again.
      Ref base_init = native::borrow(plan.base_init);
      if (plan.base != nullptr && plan.identity) {
        native::call_native(base_init, call.args, plan.from.size() + 1);  // self and our leading arguments
      } else if (plan.base != nullptr) {
        PyObject* bound[native::kMaxParams + 1];
        bound[0] = call.args[0];
        const size_t n = plan.from.size();
        for (size_t j = 0; j < n; ++j) bound[j + 1] = call.args[plan.from[j]];
        native::call_native(base_init, bound, n + 1);
      } else {
        call_base_init(cls, self, base_init, call);
      }
    } else {
      call_base_init(cls, self, find_base_init(state, cls, self), call);
    }
  }
  if (init.check != nullptr) init.check(state, call);
  const native::SlotTable::Object attrs = cls.slots->of(self);
  for (const CompiledStore& s : cls.stores) {
    Handle value = s.rule == StoreRule::EmptyList ? Handle() : call[s.param];
    switch (s.rule) {
      case StoreRule::AsIs:
        attrs.set(s.slot, value);
        break;
      case StoreRule::ListOrEmpty:
        attrs.set(s.slot, native::truthy(value) ? native::own(PySequence_List(value.ptr()))
                                                : native::own(PyList_New(0)));
        break;
      case StoreRule::OrNew:
        attrs.set(s.slot, native::truthy(value) ? native::borrow(value) : native::call(module_global(state, s.cls_name)));
        break;
      case StoreRule::ListOf:
        attrs.set(s.slot, native::own(PySequence_List(value.ptr())));
        break;
      case StoreRule::EmptyList:
        attrs.set(s.slot, native::own(PyList_New(0)));
        break;
    }
  }
  return native::none();
}

Ref model_serialize(Call& call) {
  const CompiledClass& cls = call.ctx<CompiledClass>();
  return serialize_as(call.state<State>(), cls, call[0]);
}

Ref model_property(Call& call) {
  // The property's index travels in the context as the address of its compiled record.
  const auto& prop = call.ctx<CompiledClass::CompiledProperty>();
  Handle self = call[0];
  const CompiledClass& cls = *prop.owner;
  Ref value = cls.slots->of(self).get(prop.slot);
  switch (prop.getter) {
    case Getter::Attr: return value;
    case Getter::ListCopy: return native::own(PySequence_List(value.ptr()));
    case Getter::TruthyOr: return native::truthy(value) ? value : prop.fallback;
    case Getter::IdOf: return native::getattr(value, call.state<State>().s_id);
  }
  return value;
}

}  // namespace

std::string underscored(std::string_view name) {
  std::string out(1, '_');
  out.append(name);
  return out;
}

std::vector<Store> private_stores(std::initializer_list<std::string_view> params) {
  std::vector<Store> stores;
  for (std::string_view p : params) stores.push_back({underscored(p), std::string(p)});
  return stores;
}

std::vector<Store> public_stores(std::initializer_list<std::string_view> params) {
  std::vector<Store> stores;
  for (std::string_view p : params) stores.push_back({std::string(p), std::string(p)});
  return stores;
}

std::vector<Key> private_keys(std::initializer_list<std::string_view> keys, Rule rule) {
  std::vector<Key> out;
  for (std::string_view k : keys) out.push_back({std::string(k), underscored(k), rule});
  return out;
}

std::vector<Key> public_keys(std::initializer_list<std::string_view> keys, Rule rule) {
  std::vector<Key> out;
  for (std::string_view k : keys) out.push_back({std::string(k), std::string(k), rule});
  return out;
}

Init extending(const ModelClass& base, std::vector<Arg> own, Init init) {
  const std::vector<Arg>& inherited = base.init->args;
  init.base_args = inherited.size();
  init.calls_base = true;
  if (init.stores.empty()) {
    for (const Arg& a : own) {
      std::string_view field = a.name.ends_with('_') ? a.name.substr(0, a.name.size() - 1) : a.name;
      init.stores.push_back({underscored(field), std::string(a.name)});
    }
  }
  init.args = inherited;
  init.args.insert(init.args.end(), own.begin(), own.end());
  return init;
}

size_t CompiledClass::slot(Handle attr) const {
  for (size_t i = 0; i < slots->size(); ++i)
    if (slots->name(i).is(attr)) return i;
  native::raise_format(PyExc_SystemError, "%s has no attribute slot %R", std::string(decl->name).c_str(), attr.ptr());
}

int CompiledClass::traverse(visitproc visit, void* arg) const {
  Py_VISIT(cls.ptr());
  for (const CompiledProperty& p : properties) Py_VISIT(p.fallback.ptr());
  return 0;
}

namespace {

// The keys and values of a serialisation as they are gathered, before the dict is made.
class Pairs {
 public:
  Pairs() = default;
  Pairs(const Pairs&) = delete;
  Pairs& operator=(const Pairs&) = delete;
  ~Pairs() { clear(); }

  void add(PyObject* key, Ref value, Ref& dict, const native::DictShapes& shapes) {
    if (count_ == kMax) flush(dict, shapes);
    keys_[count_] = key;
    values_[count_++] = value.release();
  }
  // Makes the dict of what was gathered, or adds it to the dict begun already.
  void flush(Ref& dict, const native::DictShapes& shapes) {
    if (!dict) {
      dict = shapes.make(keys_, values_, count_);
    } else {
      for (size_t i = 0; i < count_; ++i) native::ok(PyDict_SetItem(dict.ptr(), keys_[i], values_[i]));
    }
    clear();
  }

 private:
  void clear() {
    for (; count_ > 0; --count_) Py_DECREF(values_[count_ - 1]);
  }
  static constexpr size_t kMax = 64;
  PyObject* keys_[kMax];    // borrowed from the records
  PyObject* values_[kMax];  // owned
  size_t count_ = 0;
};

// `math.radians`, as the module's global `math` holds it now.
Ref radians(const State& state) {
  PyObject* math = state.math_entry.find(state.module_dict, state.s_math);
  if (math == nullptr) return native::getattr(module_global(state, state.s_math), state.s_radians);  // builtins or NameError
  if (PyModule_CheckExact(math)) {
    // A plain module: the attribute is its dict's entry when there is one.
    if (PyObject* found = state.radians_entry.find(PyModule_GetDict(math), state.s_radians)) return native::borrow(found);
  }
  return native::getattr(math, state.s_radians);
}

// The table's pairs of one class, then what its particular hook adds.
void write_keys(State& state, const CompiledClass& cls, Handle self, Pairs& pairs, Ref& dict,
                const native::DictShapes& shapes) {
  const Serialize& decl = *cls.decl->serialize;
  const native::SlotTable::Object attrs = cls.slots->of(self);
  const size_t n_keys = cls.keys.size();
  size_t next = 0;
  if (cls.keys_run_no_code) {
    // No code runs between two of these reads, so one check of the object serves them all.
    if (PyObject* const* values = attrs.readable()) {
      for (; next < n_keys; ++next) {
        const CompiledKey& k = cls.keys[next];
        PyObject* value = attrs.peek(values, k.slot);
        if (value == nullptr) break;  // not there: the reads below take it from here
        if (k.rule == Rule::IfNotNone && value == Py_None) continue;
        pairs.add(k.key.ptr(), native::borrow(value), dict, shapes);
      }
    }
  }
  for (; next < n_keys; ++next) {
    const CompiledKey& k = cls.keys[next];
    Ref value = attrs.get(k.slot);
    if (k.rule == Rule::IfNotNone && value.is_none()) continue;
    if (k.rule == Rule::IfTruthy && !native::truthy(value)) continue;
    switch (k.convert) {
      case Convert::None: break;
      case Convert::Radians: value = native::call(radians(state), {value}); break;
      case Convert::DateText: {
        PyObject* argv[] = {value.ptr(), state.date_format.ptr()};
        value = native::own(PyObject_VectorcallMethod(state.s_strftime.ptr(), argv, 2, nullptr));
        break;
      }
    }
    pairs.add(k.key.ptr(), std::move(value), dict, shapes);
  }
  if (decl.extra != nullptr) {
    pairs.flush(dict, shapes);
    decl.extra(state, cls, self, dict);
  }
}

// The base's pairs first (or the dict its own serialiser made), then the table's.
// `chain` collects the classes that wrote something, base first; it is left starting with null
// when a base's own serialiser ran instead.
void gather(State& state, const CompiledClass& cls, Handle self, Pairs& pairs, Ref& dict,
            const native::DictShapes& shapes, std::vector<const CompiledClass*>& chain) {
  const Serialize& decl = *cls.decl->serialize;
  if (decl.from_base) {
    Ref base_serialize = native::find_super(self, cls.type, state.s__serialize);
    const void* context = nullptr;
    if (native::is_native(state.rt, base_serialize, model_serialize, &context)) {
      gather(state, *static_cast<const CompiledClass*>(context), self, pairs, dict, shapes, chain);
    } else {
      chain.clear();
      chain.push_back(nullptr);  // a serialiser of its own in the chain: nothing to remember
      Ref base = native::call_found(self, base_serialize, nullptr, 0);
      if (PyDict_CheckExact(base.ptr()) && Py_REFCNT(base.ptr()) == 1) {
        dict = std::move(base);  // a new dict nobody else holds: extending it is building a copy
      } else {
        dict = native::own(PyDict_New());
        native::ok(PyDict_Update(dict.ptr(), base.ptr()));
      }
    }
  }
  if (cls.keys.empty() && cls.decl->serialize->extra == nullptr) return;  // a base that writes nothing
  chain.push_back(&cls);
  write_keys(state, cls, self, pairs, dict, shapes);
}

constexpr size_t kMaxDirectReads = 64;

// The truth of `value` when testing it runs no code of its own, as for the builtin types and for
// objects without a truth or length slot (always true); -1 otherwise.
int truth_without_code(PyObject* value) {
  if (value == Py_None) return 0;
  PyTypeObject* type = Py_TYPE(value);
  const bool tested = (type->tp_as_number != nullptr && type->tp_as_number->nb_bool != nullptr) ||
                      (type->tp_as_mapping != nullptr && type->tp_as_mapping->mp_length != nullptr) ||
                      (type->tp_as_sequence != nullptr && type->tp_as_sequence->sq_length != nullptr);
  if (!tested) return 1;
  const bool builtin = type == &PyBool_Type || type == &PyFloat_Type || type == &PyLong_Type ||
                       type == &PyUnicode_Type || type == &PyList_Type || type == &PyTuple_Type || type == &PyDict_Type;
  return builtin ? PyObject_IsTrue(value) : -1;
}

// The dict made straight from the instance's inline values, as the planned tables write it; null (and
// nothing done) when the instance is not laid out as planned.
Ref serialize_direct(const CompiledClass& cls, PyObject* self) {
  const CompiledClass::Plan& plan = cls.plan;
  const native::cpython::ValuesHeader* header = native::cpython::values_header(self);
  if (!header->valid || header->capacity < plan.least_capacity) return {};
  PyObject* const* values = native::cpython::values(self);
  // A value not set gives null: the generic read raises as Python does. The values are borrowed:
  // making the dict allocates but runs no code, so nothing can drop them meanwhile.
  if (plan.prototype) {
    const CompiledClass::DirectRead* reads = plan.reads.data();
    return native::DictShapes::fill(plan.prototype, plan.reads.size(),
                                    [values, reads](size_t i) { return values[reads[i].position]; });
  }
  PyObject* keys[kMaxDirectReads];
  PyObject* found[kMaxDirectReads];
  size_t count = 0;
  for (const CompiledClass::DirectRead& read : plan.reads) {
    PyObject* value = values[read.position];
    if (value == nullptr) return {};
    if (read.rule == Rule::IfNotNone && value == Py_None) continue;
    if (read.rule == Rule::IfTruthy) {
      const int truth = truth_without_code(value);
      if (truth < 0) return {};  // the tables' own reads run the object's test
      if (truth == 0) continue;
    }
    keys[count] = read.key;
    found[count++] = value;
  }
  return cls.shapes.make(keys, found, count);
}

// The plan for instances of the class of `self`, of the given version, from the chain of classes the
// generic path has just found writing their tables.
CompiledClass::Plan make_plan(Handle self, unsigned int version, const std::vector<const CompiledClass*>& chain) {
  CompiledClass::Plan plan{{Py_TYPE(self.ptr()), version}, {}, chain.size()};
  std::copy(chain.begin(), chain.end(), plan.chain.begin());
  plan.direct = true;
  for (const CompiledClass* c : chain) {
    const native::SlotTable::Object attrs = c->slots->of(self);
    plan.direct = plan.direct && c->decl->serialize->extra == nullptr && attrs.readable() != nullptr;
    for (const CompiledKey& key : c->keys) {
      const int position = attrs.position(key.slot);
      plan.direct = plan.direct && key.convert == Convert::None && position >= 0 && plan.reads.size() < kMaxDirectReads;
      if (!plan.direct) break;
      plan.reads.push_back({key.key.ptr(), static_cast<int8_t>(position), key.rule});
      plan.least_capacity = std::max(plan.least_capacity, position + 1);
    }
  }
  if (!plan.direct) {
    plan.reads.clear();
    return plan;
  }
  if (std::all_of(plan.reads.begin(), plan.reads.end(), [](const auto& r) { return r.rule == Rule::Always; })) {
    // Every key always written: fill copies of one prepared dict.
    std::vector<PyObject*> keys;
    for (const CompiledClass::DirectRead& read : plan.reads) keys.push_back(read.key);
    plan.prototype = native::DictShapes::prototype(keys.data(), keys.size());
  }
  return plan;
}

}  // namespace

// Two paths: the planned one, while the class of `self` keeps the version planned for, and the generic
// one (the super() lookups, then each table read the generic way), which plans for the next time.
Ref serialize_as(State& state, const CompiledClass& cls, Handle self) {
  PyTypeObject* type = Py_TYPE(self.ptr());
  Pairs pairs;
  Ref dict;
  if (cls.plan.of.holds(type)) {
    if (cls.plan.direct) {
      if (Ref made = serialize_direct(cls, self.ptr())) return made;
    }
    // The tables of the planned classes, read one by one. A copy: code run by the reads may plan anew.
    const auto chain = cls.plan.chain;
    const size_t count = cls.plan.count;
    for (size_t i = 0; i < count; ++i) write_keys(state, *chain[i], self, pairs, dict, cls.shapes);
    pairs.flush(dict, cls.shapes);
    return dict;
  }
  // The version the lookups see. Code they run (a truth test, a base serialiser, a finaliser) may
  // change the class, and then what they found belongs to no version that can be named.
  const unsigned int version = !native::generic_paths() && PyUnstable_Type_AssignVersionTag(type) ? type->tp_version_tag : 0;
  std::vector<const CompiledClass*> chain;
  gather(state, cls, self, pairs, dict, cls.shapes, chain);
  pairs.flush(dict, cls.shapes);
  // A base serialiser of its own in the chain (a null first entry) cannot be planned.
  const bool plannable = (chain.empty() || chain.front() != nullptr) && chain.size() <= cls.plan.chain.size();
  if (plannable && version != 0 && Py_TYPE(self.ptr()) == type && type->tp_version_tag == version)
    cls.plan = make_plan(self, version, chain);
  return dict;
}

namespace {

// Binds a class in the module, and names it in __all__ when it is exported and its name is public.
void bind(PyObject* module, const State& state, std::string_view name, Handle cls, bool exported) {
  Ref key = native::interned(name);
  native::ok(PyObject_SetAttr(module, key.ptr(), cls.ptr()));
  if (exported && !name.starts_with('_')) native::ok(PyList_Append(state.exported.ptr(), key.ptr()));
}

}  // namespace

Ref build_class(PyObject* module, State& state, const ModelClass& decl) {
  auto compiled = std::make_unique<CompiledClass>();
  CompiledClass& c = *compiled;
  c.decl = &decl;
  native::ClassBuilder builder(state.rt, module, decl.name);
  for (std::string_view b : decl.bases) builder.base(state.attr(b));
  if (decl.doc) builder.doc(*decl.doc);

  // Every attribute name the record uses, once each, in the order first used.
  std::vector<std::string_view> slot_names;
  auto slot_of = [&](std::string_view attr) {
    size_t i = 0;
    while (i < slot_names.size() && slot_names[i] != attr) ++i;
    if (i == slot_names.size()) slot_names.push_back(attr);
    return i;
  };
  if (decl.init) {
    const Init& init = *decl.init;
    auto index_of = [&](std::string_view param) -> size_t {
      for (size_t i = 0; i < init.args.size(); ++i)
        if (init.args[i].name == param) return i + 1;
      native::raise_format(PyExc_SystemError, "%s stores an unknown argument", std::string(decl.name).c_str());
    };
    for (const Store& s : init.stores) {
      c.stores.push_back({slot_of(s.attr), s.rule == StoreRule::EmptyList ? 0 : index_of(s.param), s.rule,
                          s.rule == StoreRule::OrNew ? native::interned(s.cls) : Ref()});
    }
    if (init.base_by_keyword) {
      c.base_kwnames = native::own(PyTuple_New(static_cast<Py_ssize_t>(init.base_args)));
      for (size_t i = 0; i < init.base_args; ++i)
        PyTuple_SET_ITEM(c.base_kwnames.ptr(), static_cast<Py_ssize_t>(i),
                         native::interned(init.args[i].name).release());
    }
    builder.method(FunctionDecl{.name = "__init__",
                                .params = params_of(state, "self", init.args),
                                .returns = init.returns,
                                .doc = init.doc,
                                .impl = model_init,
                                .context = &c},
                   init.abstract);
  }
  if (decl.serialize) {
    c.keys_run_no_code = true;
    for (const Key& k : decl.serialize->keys) {
      c.keys.push_back({native::interned(k.key), slot_of(k.attr), k.rule, k.convert});
      c.keys_run_no_code &= k.rule != Rule::IfTruthy && k.convert == Convert::None;
    }
    builder.method(FunctionDecl{.name = "_serialize",
                                .params = params_of(state, "self", {}),
                                .returns = "dict",
                                .impl = model_serialize,
                                .context = &c},
                   decl.serialize->abstract);
  }
  c.properties.reserve(decl.properties.size());  // the getters keep pointers into this vector
  for (const Property& p : decl.properties) {
    c.properties.push_back({slot_of(p.attr), p.getter, resolve_default(state, p.fallback), &c});
    builder.property(FunctionDecl{.name = p.name,
                                  .params = params_of(state, "self", {}),
                                  .returns = p.annotation,
                                  .impl = model_property,
                                  .context = &c.properties.back()});
  }
  for (const Method& m : decl.methods) {
    builder.method(FunctionDecl{.name = m.name,
                                .params = params_of(state, "self", m.args),
                                .returns = m.returns,
                                .doc = m.doc,
                                .impl = m.impl,
                                .context = &c});
  }
  std::vector<Ref> interned_names;
  for (std::string_view n : slot_names) interned_names.push_back(native::interned(n));
  c.slots = std::make_unique<native::SlotTable>(std::move(interned_names));
  Ref cls = builder.build();
  c.type = reinterpret_cast<PyTypeObject*>(cls.ptr());
  c.cls = cls;
  state.classes.push_back(std::move(compiled));
  bind(module, state, decl.name, cls, decl.exported);
  return cls;
}

Ref build_enum(PyObject* module, State& state, const EnumClass& decl) {
  std::vector<std::pair<std::string_view, Ref>> members;
  for (const auto& [name, value] : decl.members) members.emplace_back(name, native::own(PyLong_FromLong(value)));
  Ref cls = native::make_enum(module, state.attr("Enum"), decl.name, members);
  bind(module, state, decl.name, cls, true);
  return cls;
}

Ref build_enum(PyObject* module, State& state, const TextEnumClass& decl) {
  std::vector<std::pair<std::string_view, Ref>> members;
  for (const auto& [name, value] : decl.members) members.emplace_back(name, native::str(value));
  Ref cls = native::make_enum(module, state.attr("Enum"), decl.name, members);
  bind(module, state, decl.name, cls, true);
  return cls;
}

Ref module_global(const State& state, Handle name) { return native::global(state.module_dict, name); }

void append(const State& state, Handle container, Handle item) {
  if (PyList_CheckExact(container.ptr())) {
    native::ok(PyList_Append(container.ptr(), item.ptr()));
    return;
  }
  native::own(PyObject_CallMethodOneArg(container.ptr(), state.s_append.ptr(), item.ptr()));
}

DirectConstructor::DirectConstructor(const State& state, Handle cls, const ModelClass& decl) {
  if (!PyType_Check(cls.ptr()) || !decl.init || native::generic_paths()) return;
  auto* type = reinterpret_cast<PyTypeObject*>(cls.ptr());
  // type.__call__ runs tp_new then tp_init; anything else in their place may do more.
  if (Py_TYPE(cls.ptr())->tp_call != PyType_Type.tp_call || type->tp_new != PyBaseObject_Type.tp_new) return;
  if (type->tp_setattro != PyObject_GenericSetAttr) return;
  // Found as type.__call__ finds it: no metaclass attribute hook runs.
  PyObject* init = _PyType_Lookup(type, state.s___init__.ptr());
  const void* context = nullptr;
  if (init == nullptr || !native::is_native(state.rt, init, model_init, &context)) return;
  const auto* record = static_cast<const CompiledClass*>(context);
  // The constructor runs super() from its own class, which must be one of the class's bases.
  if (record->decl != &decl || !PyType_IsSubtype(type, record->type) || type->tp_init != record->type->tp_init) return;
  // Down the constructors that only hand their arguments on, to the one that stores them.
  std::vector<size_t> from(decl.init->args.size());
  for (size_t i = 0; i < from.size(); ++i) from[i] = i;
  while (record->decl->init->calls_base) {
    const Init& spec = *record->decl->init;
    if (!record->stores.empty() || spec.check != nullptr) return;
    Ref base_init = native::find_super_of(type, record->type, state.s___init__);
    if (!native::is_native(state.rt, base_init, model_init, &context)) return;
    const auto* base = static_cast<const CompiledClass*>(context);
    const std::vector<Arg>& base_args = base->decl->init->args;
    if (base_args.size() != spec.base_args) return;
    std::vector<size_t> next(base_args.size());
    for (size_t j = 0; j < base_args.size(); ++j) {
      size_t i = j;
      if (spec.base_by_keyword) {
        i = 0;
        while (i < spec.base_args && spec.args[i].name != base_args[j].name) ++i;
        if (i == spec.base_args) return;
      }
      next[j] = from[i];
    }
    from = std::move(next);
    record = base;
  }
  if (record->decl->init->check != nullptr) return;
  for (const CompiledStore& s : record->stores)
    if (s.rule != StoreRule::AsIs) return;
  PyObject* mro = type->tp_mro;
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); ++i) {
    Ref dict = native::own(PyType_GetDict(reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i))));
    for (const CompiledStore& s : record->stores)
      if (native::ok(PyDict_Contains(dict.ptr(), record->slots->name(s.slot).ptr()))) return;
  }
  type_ = type;
  cls_ = native::borrow(cls);
  record_ = record;
  from_ = std::move(from);
  n_args_ = decl.init->args.size();
}

Ref DirectConstructor::operator()(PyObject* const* args, size_t count) const {
  if (record_ == nullptr || count != n_args_)
    native::raise(PyExc_SystemError, "a direct constructor used where it does not apply");
  // Copied first: making the instance may collect garbage, run code and replace this constructor in
  // its cache (the caller holds the class).
  PyTypeObject* const type = type_;
  const CompiledClass* const record = record_;
  size_t from[native::kMaxParams];
  std::copy(from_.begin(), from_.end(), from);
  Ref no_args = native::own(PyTuple_New(0));
  Ref self = native::own(type->tp_new(type, no_args.ptr(), nullptr));
  // What the generic constructors do for such records, less what PyObject_SetAttr adds around it:
  // interning each name (they are interned already) and the __setattr__ dispatch (it is the generic one).
  PyObject* const* values = args;
  const native::SlotTable::Object attrs = record->slots->of(self);
  for (const CompiledStore& s : record->stores) attrs.set(s.slot, values[from[s.param - 1]]);
  return self;
}

const DirectConstructor* DirectConstructorCache::get(const State& state, Handle cls, const ModelClass& decl) {
  if (!PyType_Check(cls.ptr())) return nullptr;
  auto* type = reinterpret_cast<PyTypeObject*>(cls.ptr());
  // The metaclass is checked every time: a change to it does not show in the class's version.
  if (Py_TYPE(cls.ptr())->tp_call != PyType_Type.tp_call) return nullptr;
  if (!of_.holds(type)) {
    // Forgotten first: deciding may raise, and then nothing is remembered.
    made_.reset();
    of_ = {};
    const unsigned int version = PyUnstable_Type_AssignVersionTag(type) ? type->tp_version_tag : 0;
    made_.emplace(state, cls, decl);
    // Deciding looks up names, which runs no code; kept only for the version it saw.
    if (version != 0 && type->tp_version_tag == version) of_ = {type, version};
  }
  return made_ && made_->usable() ? &*made_ : nullptr;
}

}  // namespace objects
