// Reinforcement on a cross-section: bars, evenly spaced bar layers and stirrups.
#include "external/idea_rcs/objects/classes.hpp"
#include "external/idea_rcs/objects/state.hpp"

namespace objects {
namespace {

constexpr std::string_view coordinates_annotation = "Tuple[float, float]";
constexpr std::string_view points_annotation =
    "Sequence[Union[Tuple[float, float], Tuple[Tuple[float, float], Tuple[float, float]]]]";

// Only the first coordinate of the first entry is looked at: an arc entry there has a pair in its place.
void check_start_point(State&, Call& call) {
  Ref zero = native::own(PyLong_FromLong(0));
  Ref first_entry = native::own(PyObject_GetItem(call[1].ptr(), zero.ptr()));
  Ref first_coordinate = native::own(PyObject_GetItem(first_entry.ptr(), zero.ptr()));
  PyObject* x = first_coordinate.ptr();
  // isinstance(x, (float, int)): subclasses count, bool among them.
  if (native::ok(PyObject_IsInstance(x, reinterpret_cast<PyObject*>(&PyFloat_Type))) ||
      native::ok(PyObject_IsInstance(x, reinterpret_cast<PyObject*>(&PyLong_Type))))
    return;
  native::raise(PyExc_ValueError,
                "First entry of 'points' is the start-point and must be of type Tuple[float, float].");
}

// A new reference to the material, from its `id` alone.
Ref reinforcement_reference(const State& state, Handle material) {
  Ref reference_class = module_global(state, state.s__ReferenceElement);
  return native::call(reference_class, {native::getattr(material, state.s_id), state.s_MatReinforcement});
}

Ref create_bar(Call& call) {
  const State& state = call.state<State>();
  Handle self = call[0], coordinates = call[1], diameter = call[2], material = call[3];
  Ref reference = reinforcement_reference(state, material);
  Ref bar = native::call(module_global(state, state.s_ReinforcedBar), {coordinates, diameter, reference});
  append(state, native::getattr(self, state.s__bars), bar);
  return native::none();
}

// 0.0 without a delta, else delta / (number_of_bars - 1) as a true division.
Ref step_of(Handle delta, Handle number_of_bars) {
  if (delta.is_none()) return native::own(PyFloat_FromDouble(0.0));
  Ref one = native::own(PyLong_FromLong(1));
  Ref intervals = native::own(PyNumber_Subtract(number_of_bars.ptr(), one.ptr()));
  return native::own(PyNumber_TrueDivide(delta.ptr(), intervals.ptr()));
}

// A coordinate that float arithmetic in C treats exactly as Python's float operations would.
bool plain_number(PyObject* o, double& out) {
  if (PyFloat_CheckExact(o)) {
    out = PyFloat_AS_DOUBLE(o);
    return true;
  }
  if (!PyLong_CheckExact(o)) return false;
  out = PyLong_AsDouble(o);  // the conversion int + float makes
  if (out == -1.0 && PyErr_Occurred()) {
    PyErr_Clear();  // too large: the general path raises it where Python would
    return false;
  }
  return true;
}

bool plain_origin(Handle origin, double& y, double& z) {
  PyObject* o = origin.ptr();
  if (PyTuple_CheckExact(o) && PyTuple_GET_SIZE(o) >= 2)
    return plain_number(PyTuple_GET_ITEM(o, 0), y) && plain_number(PyTuple_GET_ITEM(o, 1), z);
  if (PyList_CheckExact(o) && PyList_GET_SIZE(o) >= 2)
    return plain_number(PyList_GET_ITEM(o, 0), y) && plain_number(PyList_GET_ITEM(o, 1), z);
  return false;
}

Ref coordinate_pair(double y, double z) {
  Ref pair = native::own(PyTuple_New(2));
  PyTuple_SET_ITEM(pair.ptr(), 0, native::own(PyFloat_FromDouble(y)).release());
  PyTuple_SET_ITEM(pair.ptr(), 1, native::own(PyFloat_FromDouble(z)).release());
  // Two floats cannot be part of a cycle: the collector would untrack the pair on its first pass.
  PyObject_GC_UnTrack(pair.ptr());
  return pair;
}

// The bars at origin + step * i for i = 0 .. count - 1, each step a float, the origin's two
// coordinates read once. Only for plain numbers and a bar class that can be made directly: then no
// Python code runs in this loop (the collector waits for the interpreter's next check), and C
// arithmetic gives the very values Python would compute.
Ref plain_layer(const DirectConstructor& make_bar, double origin_y, double origin_z, double step_y,
                double step_z, Py_ssize_t count, Handle diameter, Handle reference) {
  Ref layer = native::own(PyList_New(count));
  for (Py_ssize_t i = 0; i < count; ++i) {
    // Each product is rounded on its own before the sum, as Python's multiply then add are
    // (volatile keeps the compiler from fusing them into one multiply-add).
    volatile double dy = step_y * static_cast<double>(i);
    volatile double dz = step_z * static_cast<double>(i);
    Ref coordinates = coordinate_pair(origin_y + dy, origin_z + dz);
    PyList_SET_ITEM(layer.ptr(), i, make_bar({coordinates, diameter, reference}).release());
  }
  return layer;
}

// The same bars for any other numbers, origin or bar class: step by step through the interpreter,
// as Python code would take them, the origin and the bar class read again for every bar.
Ref general_layer(const State& state, Handle origin, Handle step_y, Handle step_z, Py_ssize_t count,
                  Handle diameter, Handle reference) {
  Ref layer = native::own(PyList_New(0));  // Python code runs meanwhile: only whole items in it
  Ref zero = native::own(PyLong_FromLong(0));
  Ref one = native::own(PyLong_FromLong(1));
  for (Py_ssize_t i = 0; i < count; ++i) {
    Ref index = native::own(PyLong_FromSsize_t(i));
    Ref oy = native::own(PyObject_GetItem(origin.ptr(), zero.ptr()));
    Ref dy = native::own(PyNumber_Multiply(step_y.ptr(), index.ptr()));
    Ref y = native::own(PyNumber_Add(oy.ptr(), dy.ptr()));
    Ref oz = native::own(PyObject_GetItem(origin.ptr(), one.ptr()));
    Ref dz = native::own(PyNumber_Multiply(step_z.ptr(), index.ptr()));
    Ref z = native::own(PyNumber_Add(oz.ptr(), dz.ptr()));
    Ref coordinates = native::own(PyTuple_Pack(2, y.ptr(), z.ptr()));
    Ref bar = native::call(module_global(state, state.s_ReinforcedBar), {coordinates, diameter, reference});
    native::ok(PyList_Append(layer.ptr(), bar.ptr()));
  }
  return layer;
}

// A layer is built whole before any of its bars is added to the section, so a layer that fails
// half-way leaves the section as it was.
Ref create_bar_layer(Call& call) {
  const State& state = call.state<State>();
  Handle self = call[0], origin = call[1], diameter = call[2], material = call[3], number_of_bars = call[4],
         delta_y = call[5], delta_z = call[6];
  Ref two = native::own(PyLong_FromLong(2));
  if (native::ok(PyObject_RichCompareBool(number_of_bars.ptr(), two.ptr(), Py_LT)))
    native::raise(PyExc_ValueError, "'number_of_bars' should be > 1");
  if (delta_y.is_none() && delta_z.is_none())
    native::raise(PyExc_ValueError, "Either 'delta_y' or 'delta_z' should be defined");
  Ref reference = reinforcement_reference(state, material);  // one reference, shared by the whole layer
  Ref step_y = step_of(delta_y, number_of_bars);
  Ref step_z = step_of(delta_z, number_of_bars);
  // range(number_of_bars): a count that is not an integer is refused here, before any bar exists.
  Ref count_index = native::own(PyNumber_Index(number_of_bars.ptr()));
  Py_ssize_t count = PyLong_AsSsize_t(count_index.ptr());
  if (count == -1 && PyErr_Occurred()) throw native::PythonError{};
  if (count < 0) count = 0;  // as range() of a negative count

  PyObject* found = nullptr;
  native::ok(PyDict_GetItemRef(state.module_dict.ptr(), state.s_ReinforcedBar.ptr(), &found));
  Ref bar_class = native::steal(found);
  std::optional<DirectConstructor> make_bar;
  if (bar_class) make_bar.emplace(state, bar_class, reinforced_bar);
  double origin_y = 0.0, origin_z = 0.0;
  const bool plain = make_bar && make_bar->usable() && PyFloat_CheckExact(step_y.ptr()) &&
                     PyFloat_CheckExact(step_z.ptr()) && plain_origin(origin, origin_y, origin_z);
  Ref layer = plain ? plain_layer(*make_bar, origin_y, origin_z, PyFloat_AS_DOUBLE(step_y.ptr()),
                                  PyFloat_AS_DOUBLE(step_z.ptr()), count, diameter, reference)
                    : general_layer(state, origin, step_y, step_z, count, diameter, reference);

  Ref bars = native::getattr(self, state.s__bars);
  if (PyList_CheckExact(bars.ptr())) {
    native::ok(PyList_SetSlice(bars.ptr(), PY_SSIZE_T_MAX, PY_SSIZE_T_MAX, layer.ptr()));
  } else {
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(layer.ptr()); ++i) append(state, bars, PyList_GET_ITEM(layer.ptr(), i));
  }
  return native::none();
}

Ref create_stirrup(Call& call) {
  const State& state = call.state<State>();
  Handle self = call[0], points = call[1], diameter = call[2], material = call[3], distance = call[4];
  Ref reference = reinforcement_reference(state, material);
  Ref stirrup = native::call(module_global(state, state.s_Stirrup),
                             {points, diameter, reference, distance, call[5], call[6], call[7], call[8]});
  append(state, native::getattr(self, state.s__stirrups), stirrup);
  return native::none();
}

std::vector<Arg> stirrup_args(std::string_view material_annotation) {
  return {arg("points", points_annotation),
          arg("diameter", "float"),
          arg("material", material_annotation),
          arg("distance", "float"),
          arg("shear_check", "bool", none_default),
          arg("torsion_check", "bool", none_default),
          arg("mandrel_diameter_factor", "float", none_default),
          arg("anchorage_length", "float", none_default)};
}

}  // namespace

const ModelClass reinforced_bar{
    .name = "ReinforcedBar",
    .bases = {"_OpenObject"},
    .init = Init{.args = {arg("coordinates", coordinates_annotation), arg("diameter", "float"),
                          arg("material", "_ReferenceElement")},
                 .doc = "\n        Do not use this __init__ directly, but create the object by "
                        ":meth:`~.ReinforcedCrossSection.create_bar`.\n        ",
                 .stores = private_stores({"coordinates", "diameter", "material"})},
    .serialize = Serialize{.keys = private_keys({"coordinates", "diameter", "material"})},
    .properties = {{"coordinates", "_coordinates", coordinates_annotation},
                   {"diameter", "_diameter", "float"},
                   {"material_id", "_material", "int", Getter::IdOf}},
};

const ModelClass stirrup{
    .name = "Stirrup",
    .bases = {"_OpenObject"},
    .init = Init{.args = stirrup_args("_ReferenceElement"),
                 .doc = "\n        Do not use this __init__ directly, but create the object by "
                        ":meth:`~.ReinforcedCrossSection.create_stirrup`.\n        ",
                 .stores = {{"_points", "points", StoreRule::ListOf},
                            {"diameter", "diameter"},
                            {"_material", "material"},
                            {"distance", "distance"},
                            {"_shear_check", "shear_check"},
                            {"_torsion_check", "torsion_check"},
                            {"_mandrel_diameter_factor", "mandrel_diameter_factor"},
                            {"_anchorage_length", "anchorage_length"}},
                 .check = check_start_point},
    // Unset options are left out, so that IDEA applies its own defaults.
    .serialize = Serialize{.keys = {{"points", "_points"},
                                    {"diameter", "diameter"},
                                    {"material", "_material"},
                                    {"distance", "distance"},
                                    {"shear_check", "_shear_check", Rule::IfNotNone},
                                    {"torsion_check", "_torsion_check", Rule::IfNotNone},
                                    {"mandrel_diameter_factor", "_mandrel_diameter_factor", Rule::IfNotNone},
                                    {"anchorage_length", "_anchorage_length", Rule::IfNotNone}}},
    // The properties report the defaults IDEA applies to unset options.
    .properties = {{"points", "_points", points_annotation, Getter::ListCopy},
                   {"material_id", "_material", "int", Getter::IdOf},
                   {"shear_check", "_shear_check", "bool", Getter::TruthyOr, false_default},
                   {"torsion_check", "_torsion_check", "bool", Getter::TruthyOr, false_default},
                   {"mandrel_diameter_factor", "_mandrel_diameter_factor", "float", Getter::TruthyOr,
                    float_default(1.0)},
                   {"anchorage_length", "_anchorage_length", "float", Getter::TruthyOr, float_default(0.0)}},
};

const ModelClass reinforced_cross_section{
    .name = "ReinforcedCrossSection",
    .bases = {"_OpenElementId"},
    .init = Init{.args = {arg("id_", "int"), arg("name", "str"), arg("cross_section", "_ReferenceElement"),
                          arg("bars", "List[ReinforcedBar]", none_default),
                          arg("stirrups", "List[Stirrup]", none_default)},
                 .doc = "\n        Do not use this __init__ directly, but create the object by "
                        ":meth:`~.idea_rcs.OpenModel.create_reinforced_cross_section`.\n        ",
                 .base_args = 1,
                 .calls_base = true,
                 .stores = {{"_name", "name"},
                            {"_cross_section", "cross_section"},
                            {"_bars", "bars", StoreRule::ListOrEmpty},
                            {"_stirrups", "stirrups", StoreRule::ListOrEmpty}}},
    .serialize = Serialize{.keys = {{"name", "_name"},
                                    {"cross_section", "_cross_section"},
                                    {"bars", "_bars", Rule::IfTruthy},
                                    {"stirrups", "_stirrups", Rule::IfTruthy}},
                           .from_base = true},
    .properties = {{"bars", "_bars", "List[ReinforcedBar]", Getter::ListCopy},
                   {"stirrups", "_stirrups", "List[Stirrup]", Getter::ListCopy}},
    .methods =
        {{.name = "create_bar",
          .args = {arg("coordinates", coordinates_annotation), arg("diameter", "float"),
                   arg("material", "MatReinforcement")},
          .returns = "None",
          .doc = " Create a reinforced bar on the reinforced cross-section.\n"
                 "\n"
                 "        :param coordinates: (X, Y) coordinate of the bar [m]\n"
                 "        :param diameter: Diameter of the bar [m]\n"
                 "        :param material: Reinforcement material, created by\n"
                 "                         :meth:`~.idea_rcs.OpenModel.create_matreinforcement_ec2`\n"
                 "        ",
          .impl = create_bar},
         {.name = "create_bar_layer",
          .args = {kwarg("origin", coordinates_annotation), kwarg("diameter", "float"),
                   kwarg("material", "MatReinforcement"), kwarg("number_of_bars", "int"),
                   kwarg("delta_y", "float", none_default), kwarg("delta_z", "float", none_default)},
          .returns = "None",
          .doc = " Create multiple reinforced bars on the reinforced cross-section, positioned on a line.\n"
                 "\n"
                 "        :param origin: origin point (Y, Z) [m]\n"
                 "        :param diameter: diameter of the bars [m]\n"
                 "        :param material: reinforcement material, created by\n"
                 "                         :meth:`~.idea_rcs.OpenModel.create_matreinforcement_ec2`\n"
                 "        :param number_of_bars: number of bars (minimum of 2)\n"
                 "        :param delta_y: distance between the origin bar and the last bar in the y direction [m]\n"
                 "        :param delta_z: distance between the origin bar and the last bar in the z direction [m]\n"
                 "        ",
          .impl = create_bar_layer},
         {.name = "create_stirrup",
          .args = stirrup_args("MatReinforcement"),
          .returns = "None",
          .doc = " Create a stirrup on the reinforced cross-section.\n"
                 "\n"
                 "        :param points: (X, Y) coordinates [m] of the stirrup vertices, connected by straight "
                 "line segments. An arc\n"
                 "                       segment is written as ((X_end, Y_end), (X_on_arc, Y_on_arc)).\n"
                 "        :param diameter: diameter of the stirrup [m]\n"
                 "        :param material: reinforcement material, created by\n"
                 "                         :meth:`~.idea_rcs.OpenModel.create_matreinforcement_ec2`\n"
                 "        :param distance: longitudinal distance between stirrups [m]\n"
                 "        :param shear_check: take stirrup into account in shear check (default: False)\n"
                 "        :param torsion_check: take stirrup into account in torsion check (default: False)\n"
                 "        :param mandrel_diameter_factor: inner diameter of mandrel as multiple of stirrup "
                 "diameter [-] (default: 1.0)\n"
                 "        :param anchorage_length: anchorage length [m] (default: 0.0)\n"
                 "        ",
          .impl = create_stirrup}},
};

}  // namespace objects
