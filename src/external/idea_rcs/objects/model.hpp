// Model classes declared as data.
//
// Most classes of this module store each constructor argument in an attribute and serialise their
// base's keys followed by their own keys, each under a rule. A class is therefore a record: bases,
// docstrings, parameters with kinds, defaults and annotations, the attribute each argument is stored
// in, and its key table. One generic constructor and one generic serialiser interpret the records;
// code is written only for behaviour that is truly particular (see the `check`, `extra` and method
// hooks).
#pragma once

#include <array>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "native/classes.hpp"
#include "native/function.hpp"
#include "native/lookup.hpp"
#include "native/dicts.hpp"
#include "native/slots.hpp"

namespace objects {

using native::Call;
using native::Handle;
using native::Kind;
using native::Ref;

struct State;
struct ModelClass;

// A default value, resolved into a Python object when the class is built.
struct Default {
  enum class Type { Required, None, False, Float, Member } type = Type::Required;
  double number = 0.0;
  std::string_view member = {};  // "Enumeration.MEMBER", looked up in the module when the class is built
};
inline constexpr Default required{};
inline constexpr Default none_default{Default::Type::None};
inline constexpr Default false_default{Default::Type::False};
constexpr Default float_default(double x) { return {Default::Type::Float, x}; }
constexpr Default member_default(std::string_view m) { return {Default::Type::Member, 0.0, m}; }

struct Arg {
  std::string_view name;
  std::string_view annotation = {};
  Default value = required;
  Kind kind = Kind::Positional;
};
inline Arg arg(std::string_view name, std::string_view annotation, Default value = required) {
  return {name, annotation, value, Kind::Positional};
}
inline Arg kwarg(std::string_view name, std::string_view annotation, Default value = required) {
  return {name, annotation, value, Kind::KeywordOnly};
}

// How a constructor argument becomes an attribute.
enum class StoreRule {
  AsIs,         // self.<attr> = value
  ListOrEmpty,  // self.<attr> = list(value) if value else []
  OrNew,        // self.<attr> = value if value else <cls>()
  ListOf,       // self.<attr> = list(value)
  EmptyList,    // self.<attr> = []  (takes no argument; `param` stays empty)
};
struct Store {
  std::string attr;
  std::string param;
  StoreRule rule = StoreRule::AsIs;
  std::string_view cls = {};  // for OrNew
};
// The common cases, in argument order: argument `x` stored as `_x`, or as `x`.
std::vector<Store> private_stores(std::initializer_list<std::string_view> params);
std::vector<Store> public_stores(std::initializer_list<std::string_view> params);

// Runs after the base constructor and before the stores; raises to refuse the arguments.
using Check = void (*)(State&, Call&);

struct Init {
  std::vector<Arg> args;  // without `self`
  std::optional<std::string_view> doc = std::nullopt;
  std::optional<std::string_view> returns = std::nullopt;
  bool abstract = false;
  size_t base_args = 0;         // the first `base_args` arguments go on to the base constructor
  bool calls_base = false;      // whether the base constructor is called at all
  bool base_by_keyword = false;  // pass them by keyword instead of by position
  std::vector<Store> stores;
  Check check = nullptr;
};

// The constructor of a class that extends its base's (a record defined before it): the base's
// arguments first, passed on to the base constructor by position, then `own`. Unless `init` names its
// stores, each own argument is stored as `_<name>` with a trailing underscore dropped (`class_` in `_class`).
Init extending(const ModelClass& base, std::vector<Arg> own, Init init = {});

// When a key is written.
enum class Rule { Always, IfNotNone, IfTruthy };
// How a stored value is written.
enum class Convert { None, Radians, DateText };
struct Key {
  std::string key;
  std::string attr;
  Rule rule = Rule::Always;
  Convert convert = Convert::None;
};

// The common cases: key `x` written from `_x`, or from `x`, each under the same rule.
std::vector<Key> private_keys(std::initializer_list<std::string_view> keys, Rule rule = Rule::Always);
std::vector<Key> public_keys(std::initializer_list<std::string_view> keys, Rule rule = Rule::Always);

struct CompiledClass;
// Adds class-specific keys after the table's keys; `cls` is the record of the class that declares it.
using Extra = void (*)(State&, const CompiledClass& cls, Handle self, Handle dict);

struct Serialize {
  std::vector<Key> keys;
  bool from_base = false;  // start from the base's dictionary
  bool abstract = false;
  Extra extra = nullptr;
};

// What a read-only property returns.
enum class Getter {
  Attr,      // self.<attr>
  ListCopy,  // list(self.<attr>)
  TruthyOr,  // self.<attr> if self.<attr> else <fallback>
  IdOf,      // self.<attr>.id
};
struct Property {
  std::string_view name;
  std::string_view attr;
  std::string_view annotation;
  Getter getter = Getter::Attr;
  Default fallback = required;
};

struct Method {
  std::string_view name;
  std::vector<Arg> args;  // without `self`
  std::optional<std::string_view> returns = std::nullopt;
  std::optional<std::string_view> doc = std::nullopt;
  native::Impl impl = nullptr;
};

struct ModelClass {
  std::string_view name;
  std::vector<std::string_view> bases;  // names bound in the module ("ABC" included)
  std::optional<std::string_view> doc = std::nullopt;
  std::optional<Init> init = std::nullopt;
  std::optional<Serialize> serialize = std::nullopt;
  std::vector<Property> properties = {};
  std::vector<Method> methods = {};
  // Named in the module's __all__; a name with a leading underscore never is.
  bool exported = true;
};

struct EnumClass {
  std::string_view name;
  std::vector<std::pair<std::string_view, long>> members;
};
struct TextEnumClass {
  std::string_view name;
  std::vector<std::pair<std::string_view, std::string_view>> members;
};

// The record compiled against one module: interned names and resolved objects.
struct CompiledStore {
  size_t slot;  // of the attribute, in the class's slot table
  size_t param;
  StoreRule rule;
  Ref cls_name;  // for OrNew: the class, a name of the module looked up at each call
};
struct CompiledKey {
  Ref key;
  size_t slot;
  Rule rule;
  Convert convert;
};
// A class and one version of it: what a plan was made for. Any change to the class or to one of its
// bases gives it a new version, and then the plan no longer holds. The one validity check of them all.
struct ClassVersion {
  PyTypeObject* type = nullptr;
  unsigned int version = 0;  // 0: no plan
  bool holds(PyTypeObject* t) const { return version != 0 && t == type && t->tp_version_tag == version; }
};

struct CompiledClass {
  const ModelClass* decl = nullptr;
  PyTypeObject* type = nullptr;  // the built class, held by `cls`
  // Held here, not only by the module: its functions may be moved into other classes and outlive the
  // module's name for it.
  Ref cls;
  std::unique_ptr<native::SlotTable> slots;        // every attribute the record stores, writes or reads
  std::vector<CompiledStore> stores;
  Ref base_kwnames;  // for a base call by keyword
  // How its constructor calls the base constructor for the instances of one class version, made by
  // the generic path the first time: what super().__init__ finds (borrowed: while the version stands,
  // the class dict it was found in holds it) and, when that is a generic constructor whose every
  // parameter our arguments give, which of them it takes.
  struct InitPlan {
    ClassVersion of;
    PyObject* base_init = nullptr;
    const CompiledClass* base = nullptr;  // null: base_init is called as Python would call it
    bool identity = false;                // the base takes our leading arguments, in order
    std::vector<size_t> from;             // else, for each of its parameters, our argument's position
  };
  mutable InitPlan init_plan;
  std::vector<CompiledKey> keys;
  bool keys_run_no_code = false;  // writing the keys runs no code: no truth test, no conversion
  native::DictShapes shapes;  // of the dicts its serialiser makes, base keys included
  // How its serialiser serialises the instances of one class, learned by the generic path the first
  // time and used while that class keeps its version (any change to it or to a base gives it a new
  // one): the classes whose tables are written, base first, as the super() lookups found them; and,
  // when every key of theirs is a stored attribute read as it is (no conversion, no hook), where each
  // value sits among the instance's inline values.
  struct DirectRead {
    PyObject* key;  // the record's
    int8_t position;
    Rule rule;
  };
  struct Plan {
    ClassVersion of;
    std::array<const CompiledClass*, 8> chain = {};
    size_t count = 0;
    bool direct = false;     // the reads below apply
    int least_capacity = 0;  // of the instance's inline values
    std::vector<DirectRead> reads;
    Ref prototype;  // the dict to fill when no key is ever left out
  };
  mutable Plan plan;
  // Property getters, one per property in declaration order.
  struct CompiledProperty {
    size_t slot;
    Getter getter;
    Ref fallback;
    const CompiledClass* owner;
  };
  std::vector<CompiledProperty> properties;

  // The position of an attribute name (interned) in `slots`; the record must use that attribute.
  size_t slot(Handle attr) const;

  int traverse(visitproc visit, void* arg) const;
};

// Builds the class described by `decl` and binds it in the module.
Ref build_class(PyObject* module, State& state, const ModelClass& decl);
Ref build_enum(PyObject* module, State& state, const EnumClass& decl);
Ref build_enum(PyObject* module, State& state, const TextEnumClass& decl);

// The serialisation of `self` by the class that defines the running method: base keys, then table keys.
Ref serialize_as(State& state, const CompiledClass& cls, Handle self);

// A name bound in the module, looked up at call time as Python code looks up its globals.
Ref module_global(const State& state, Handle name);

// `container.append(item)`: straight into a plain list, through its method otherwise.
void append(const State& state, Handle container, Handle item);

// Makes instances of a model class the short way, for bulk paths. It applies when calling `cls` would
// run nothing but object.__new__ and the generic constructor of `decl`, which either stores its
// arguments as they are into plain instance attributes (no __setattr__ and no class attribute of a
// stored name anywhere in the bases, hence no descriptor), or only hands them on to a base's generic
// constructor that does so (through any number of such steps). The instance is then allocated through
// the type and its attributes are set directly: no argument tuple, no __init__ lookup, no argument
// binding, and no Python code runs. Decided once, when made.
class DirectConstructor {
 public:
  DirectConstructor(const State& state, Handle cls, const ModelClass& decl);
  bool usable() const { return record_ != nullptr; }
  // Every argument of `decl`'s constructor, in its declaration order; only when usable().
  Ref operator()(PyObject* const* args, size_t count) const;
  Ref operator()(std::initializer_list<Handle> args) const {
    PyObject* values[native::kMaxParams];
    size_t count = 0;
    for (Handle a : args)
      if (count < native::kMaxParams) values[count++] = a.ptr();
    return (*this)(values, args.size() <= native::kMaxParams ? count : args.size());  // too many: refused
  }
  int traverse(visitproc visit, void* arg) const {
    Py_VISIT(cls_.ptr());
    return 0;
  }

 private:
  PyTypeObject* type_ = nullptr;
  Ref cls_;
  const CompiledClass* record_ = nullptr;  // the constructor that stores
  std::vector<size_t> from_;               // for each of its parameters, the argument it receives
  size_t n_args_ = 0;
};

// A DirectConstructor for whatever class is called now, decided again when that class or its version
// changes (a change to the class or to any of its bases gives it a new version).
class DirectConstructorCache {
 public:
  // The direct constructor for calling `cls` in place of `decl`'s class, or null.
  const DirectConstructor* get(const State& state, Handle cls, const ModelClass& decl);
  int traverse(visitproc visit, void* arg) const { return made_ ? made_->traverse(visit, arg) : 0; }

 private:
  ClassVersion of_;  // what made_ was decided for
  std::optional<DirectConstructor> made_;
};

}  // namespace objects
