// Check sections and their extremes: a section owns an ordered list of extremes, each the loadings
// of one extreme case. Particular here: default extreme descriptions, the bulk path that makes an
// extreme, and the (class name, extreme) pairs a section serialises.
#include <algorithm>  // find_if
#include <charconv>   // to_chars
#include <string>

#include "external/idea_rcs/objects/classes.hpp"
#include "external/idea_rcs/objects/state.hpp"

namespace objects {
namespace {

using native::own;

// "<section description> - E <n>", where n counts the extremes the section holds, the new one
// included. Text is used as it is; any other value is formatted with the default format. Written
// into one new string directly: this runs once per extreme and the formatting machinery dominated.
Ref default_description(Handle section_description, Py_ssize_t held) {
  Ref text = PyUnicode_CheckExact(section_description.ptr())
                 ? native::borrow(section_description)
                 : own(PyObject_Format(section_description.ptr(), nullptr));
  char suffix[32] = " - E ";
  char* const end = std::to_chars(suffix + 5, suffix + sizeof suffix, held + 1).ptr;
  const Py_ssize_t length = PyUnicode_GET_LENGTH(text.ptr()), extra = end - suffix;
  Ref joined = own(PyUnicode_New(length + extra, PyUnicode_MAX_CHAR_VALUE(text.ptr())));
  if (PyUnicode_CopyCharacters(joined.ptr(), 0, text.ptr(), 0, length) < 0) throw native::PythonError{};
  const int kind = PyUnicode_KIND(joined.ptr());
  void* data = PyUnicode_DATA(joined.ptr());
  for (Py_ssize_t i = 0; i < extra; ++i) PyUnicode_WRITE(kind, data, length + i, static_cast<Py_UCS4>(suffix[i]));
  return joined;
}

Ref create_extreme(Call& call) {
  State& state = call.state<State>();
  const CompiledClass& section = call.ctx<CompiledClass>();
  Handle self = call[0];
  Ref description = native::borrow(call[state.extreme_description]);
  if (!native::truthy(description)) {
    const native::SlotTable::Object attrs = section.slots->of(self);
    Ref section_description = attrs.get(section.slot(state.s__description));
    Ref held = attrs.get(section.slot(state.s__extremes));
    description = default_description(section_description, native::ok(PyObject_Size(held.ptr())));
  }
  // The extreme's parameters in its declaration order, each given create_extreme's argument of that name.
  const size_t count = state.extreme_arguments.size();  // at most kMaxParams, checked when bound
  PyObject* arguments[native::kMaxParams];
  for (size_t i = 0; i < count; ++i)
    arguments[i] = state.extreme_arguments[i] == state.extreme_description ? description.ptr()
                                                                           : call[state.extreme_arguments[i]].ptr();

  // Looked up at call time, as a global is.
  PyObject* found = nullptr;
  if (native::ok(PyDict_GetItemRef(state.module_dict.ptr(), state.s_StandardCheckSectionExtreme.ptr(), &found)) == 0)
    native::raise_format(PyExc_NameError, "name '%U' is not defined", state.s_StandardCheckSectionExtreme.ptr());
  Ref cls = native::steal(found);

  Ref extreme;
  if (const DirectConstructor* make = state.make_extreme.get(state, cls, standard_check_section_extreme)) {
    extreme = (*make)(arguments, count);  // the module's own class as it was made
  } else {
    extreme = own(PyObject_Vectorcall(cls.ptr(), arguments, 0, state.extreme_keywords.ptr()));
  }

  Ref extremes = section.slots->of(self).get(section.slot(state.s__extremes));
  if (PyList_CheckExact(extremes.ptr())) {
    native::ok(PyList_Append(extremes.ptr(), extreme.ptr()));
  } else {
    own(PyObject_CallMethodOneArg(extremes.ptr(), state.s_append.ptr(), extreme.ptr()));
  }
  return native::none();
}

// Whether obj.__class__.__name__ is the name of type(obj) for every instance of `type`: neither the
// class nor its metaclass defines either attribute its own way.
bool class_attribute_is_type(PyTypeObject* type, const State& state) {
  PyTypeObject* meta = Py_TYPE(type);
  return type->tp_getattro == PyObject_GenericGetAttr &&
         _PyType_Lookup(type, state.s___class__.ptr()) == _PyType_Lookup(&PyBaseObject_Type, state.s___class__.ptr()) &&
         meta->tp_getattro == PyType_Type.tp_getattro &&
         _PyType_Lookup(meta, state.s___name__.ptr()) == _PyType_Lookup(&PyType_Type, state.s___name__.ptr());
}

// "extremes": a new list of (class name, extreme) pairs in list order, only when there is one.
void write_extremes(State& state, const CompiledClass& section, Handle self, Handle dict) {
  Ref extremes = section.slots->of(self).get(section.slot(state.s__extremes));
  if (!native::truthy(extremes)) return;
  // A private copy that becomes the result: nothing that runs meanwhile can change it.
  Ref pairs = own(PySequence_List(extremes.ptr()));
  PyTypeObject* named_type = nullptr;  // the class whose instances are all named `name`
  Ref name;
  for (Py_ssize_t i = 0, n = PyList_GET_SIZE(pairs.ptr()); i < n; ++i) {
    PyObject* extreme = PyList_GET_ITEM(pairs.ptr(), i);
    if (Py_TYPE(extreme) != named_type) {
      named_type = nullptr;
      if (class_attribute_is_type(Py_TYPE(extreme), state)) {
        named_type = Py_TYPE(extreme);
        name = own(PyType_GetName(named_type));
      } else {
        // extreme.__class__.__name__, as Python reads it (a mock made with spec=Cls reports Cls).
        name = native::getattr(native::getattr(extreme, state.s___class__), state.s___name__);
      }
    }
    Ref pair = own(PyTuple_New(2));
    PyTuple_SET_ITEM(pair.ptr(), 0, Ref(name).release());
    PyTuple_SET_ITEM(pair.ptr(), 1, extreme);  // the list's reference moves into the pair
    PyList_SET_ITEM(pairs.ptr(), i, pair.release());
  }
  native::setitem(dict, state.s_extremes, pairs);
}

}  // namespace

void bind_create_extreme(State& state) {
  const std::vector<Arg>& params = standard_check_section_extreme.init->args;
  const auto found = std::find_if(check_section.methods.begin(), check_section.methods.end(),
                                  [](const Method& m) { return m.impl == create_extreme; });
  if (found == check_section.methods.end()) native::raise(PyExc_SystemError, "CheckSection has no create_extreme");
  const Method& method = *found;
  auto position = [&](std::string_view name) -> size_t {  // among the call's arguments, self first
    for (size_t i = 0; i < method.args.size(); ++i)
      if (method.args[i].name == name) return i + 1;
    native::raise_format(PyExc_SystemError, "create_extreme has no argument '%s'", std::string(name).c_str());
  };
  if (params.size() > native::kMaxParams) native::raise(PyExc_SystemError, "too many extreme parameters");
  state.extreme_keywords = own(PyTuple_New(static_cast<Py_ssize_t>(params.size())));
  state.extreme_arguments.clear();
  for (size_t i = 0; i < params.size(); ++i) {
    PyTuple_SET_ITEM(state.extreme_keywords.ptr(), static_cast<Py_ssize_t>(i), native::interned(params[i].name).release());
    state.extreme_arguments.push_back(position(params[i].name));
  }
  state.extreme_description = position("description");
}

const ModelClass check_section_extreme{
    .name = "CheckSectionExtreme",
    .bases = {"_OpenObject"},
    .doc = " Abstract base class of all check section extremes. ",
    .init = Init{.args = {arg("accidental", "LoadingULS", none_default), arg("fatigue", "FatigueLoading", none_default),
                          arg("frequent", "LoadingSLS", none_default), arg("fundamental", "LoadingULS", none_default),
                          arg("characteristic", "LoadingSLS", none_default),
                          arg("quasi_permanent", "LoadingSLS", none_default), kwarg("description", "str")},
                 .abstract = true,
                 .stores = {{"description", "description"},
                            {"_accidental", "accidental"},
                            {"_fatigue", "fatigue"},
                            {"_frequent", "frequent"},
                            {"_fundamental", "fundamental"},
                            {"_characteristic", "characteristic"},
                            {"_quasi_permanent", "quasi_permanent"}}},
    .serialize = Serialize{.keys = {{"description", "description"},
                                    {"accidental", "_accidental"},
                                    {"fatigue", "_fatigue"},
                                    {"frequent", "_frequent"},
                                    {"fundamental", "_fundamental"},
                                    {"characteristic", "_characteristic"},
                                    {"quasi_permanent", "_quasi_permanent"}},
                           .from_base = true},
};

// Its own signature order differs from the base's; everything goes on to the base by keyword.
const ModelClass standard_check_section_extreme{
    .name = "StandardCheckSectionExtreme",
    .bases = {"CheckSectionExtreme"},
    .init = Init{.args = {kwarg("accidental", "LoadingULS", none_default), kwarg("frequent", "LoadingSLS", none_default),
                          kwarg("fundamental", "LoadingULS", none_default),
                          kwarg("characteristic", "LoadingSLS", none_default),
                          kwarg("quasi_permanent", "LoadingSLS", none_default),
                          kwarg("fatigue", "FatigueLoading", none_default), kwarg("description", "str")},
                 .doc = "\n"
                        "        Do not use this __init__ directly, but create the object by "
                        ":meth:`CheckSection.create_extreme`.\n"
                        "        ",
                 .base_args = 7,
                 .calls_base = true,
                 .base_by_keyword = true},
};

const ModelClass check_section{
    .name = "CheckSection",
    .bases = {"_OpenElementId", "ABC"},
    .doc = " Abstract base class of all check sections. ",
    .init = Init{.args = {arg("id_", "int"), arg("description", "str"), arg("check_member", "_ReferenceElement"),
                          arg("reinf_section", "_ReferenceElement"),
                          arg("extremes", "List[CheckSectionExtreme]", none_default)},
                 .abstract = true,
                 .base_args = 1,
                 .calls_base = true,
                 .stores = {{"_description", "description"},
                            {"_extremes", "extremes", StoreRule::ListOrEmpty},
                            {"_check_member", "check_member"},
                            {"_reinf_section", "reinf_section"}}},
    .serialize = Serialize{.keys = private_keys({"description", "check_member", "reinf_section"}),
                           .from_base = true,
                           .extra = write_extremes},
    .properties = {{"extremes", "_extremes", "List[CheckSectionExtreme]", Getter::ListCopy}},
    .methods = {{.name = "create_extreme",
                 .args = {kwarg("description", "str", none_default), kwarg("accidental", "LoadingULS", none_default),
                          kwarg("fatigue", "FatigueLoading", none_default),
                          kwarg("frequent", "LoadingSLS", none_default),
                          kwarg("fundamental", "LoadingULS", none_default),
                          kwarg("characteristic", "LoadingSLS", none_default),
                          kwarg("quasi_permanent", "LoadingSLS", none_default)},
                 .returns = "None",
                 .doc = "Create an extreme case with corresponding internal forces on the section for checking.\n"
                        "\n"
                        "        :param description: Description of the extreme (default: '{section_name} - E {i}'). "
                        "::version(v14.6.0)\n"
                        "        :param accidental: Accidental loading.\n"
                        "        :param fatigue: Fatigue loading.\n"
                        "        :param frequent: Frequent loading.\n"
                        "        :param fundamental: Fundamental loading.\n"
                        "        :param characteristic: Characteristic loading.\n"
                        "        :param quasi_permanent: Quasi-Permanent loading.\n"
                        "        ",
                 .impl = create_extreme}},
};

const ModelClass standard_check_section{
    .name = "StandardCheckSection",
    .bases = {"CheckSection"},
    .init = Init{.args = {arg("id_", "int"), arg("description", "str"), arg("check_member", "_ReferenceElement"),
                          arg("reinf_section", "_ReferenceElement"),
                          arg("extremes", "List[CheckSectionExtreme]", none_default)},
                 .doc = "\n"
                        "        Do not use this __init__ directly, but create the object by "
                        ":meth:`~.idea_rcs.OpenModel.add_check_section`.\n"
                        "        ",
                 .base_args = 5,
                 .calls_base = true},
};

}  // namespace objects
