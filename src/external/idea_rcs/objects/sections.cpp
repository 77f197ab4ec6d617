// Cross-sections: parametric sections and sections built from polygon components.
#include "external/idea_rcs/objects/classes.hpp"
#include "external/idea_rcs/objects/state.hpp"

namespace objects {
namespace {

Py_ssize_t length_of(Handle o) {
  const Py_ssize_t n = PyObject_Size(o.ptr());
  if (n < 0) throw native::PythonError{};
  return n;
}

// Only the vertex counts are checked; the vertices themselves are the caller's business.
void check_vertex_counts(State&, Call& call) {
  Handle outline = call[3], openings = call[4];
  if (length_of(outline) < 3)
    native::raise(PyExc_ValueError,
                  "'outline' of subcomponent of CrossSectionComponent should have at least three points");
  if (!native::truthy(openings)) return;
  Ref iterator = native::own(PyObject_GetIter(openings.ptr()));
  while (Ref opening = native::steal(PyIter_Next(iterator.ptr()))) {
    if (length_of(opening) < 3)
      native::raise(PyExc_ValueError,
                    "'openings' of subcomponent of CrossSectionComponent should have at least three points");
  }
  if (PyErr_Occurred()) throw native::PythonError{};
}

// The component is numbered by its position and appended only once it has passed its checks.
Ref create_component(Call& call) {
  State& state = call.state<State>();
  Handle self = call[0], outline = call[1], material = call[2], openings = call[3];
  Ref reference_class = module_global(state, state.s__ReferenceElement);
  Ref reference = native::call(reference_class, {native::getattr(material, state.s_id), state.s_MatConcrete});
  const Py_ssize_t count = length_of(native::getattr(self, state.s__components));
  Ref component_id = native::own(PyLong_FromSsize_t(count + 1));
  Ref component_class = module_global(state, state.s__CssComponent);
  Ref component = native::call(component_class, {component_id, reference, outline, openings});
  append(state, native::getattr(self, state.s__components), component);
  return native::none();
}

constexpr std::string_view outline_annotation = "Sequence[Tuple[float, float]]";

}  // namespace

const EnumClass cross_section_type{
    "CrossSectionType",
    {{"ONE_COMPONENT_CSS", 0}, {"ROLLED_I", 1}, {"ROLLED_ANGLE", 2}, {"ROLLED_T", 3}, {"ROLLED_U", 4},
     {"ROLLED_CHS", 5}, {"ROLLED_RHS", 6}, {"ROLLED_DOUBLE_UO", 7}, {"ROLLED_DOUBLE_UC", 8},
     {"ROLLED_DOUBLE_LT", 10}, {"ROLLED_DOUBLE_LU", 11}, {"ROLLED_TI", 12}, {"ROLLED_I_PAR", 13},
     {"ROLLED_U_PAR", 14}, {"ROLLED_L_PAR", 15}, {"BOX_FL", 16}, {"BOX_WEB", 17}, {"BOX_2I", 18},
     {"BOX_2U", 19}, {"BOX_2U_2PI", 20}, {"BOX_2L", 21}, {"BOX_4L", 22}, {"IW", 23}, {"IWN", 24}, {"TW", 25},
     {"O", 26}, {"RECT", 27}, {"IGN", 28}, {"IGH", 29}, {"TG", 30}, {"LG", 31}, {"LG_MIRRORED", 32},
     {"UG", 33}, {"CHS_G", 34}, {"ZG", 35}, {"RHS_G", 36}, {"OVAL", 37}, {"GENERAL", 38}, {"ROLLED_2I", 39},
     {"TRAPEZOID", 40}, {"TTFH", 41}, {"TWH", 42}, {"TGREV", 43}, {"TTFHREV", 44}, {"TWHREV", 45},
     {"TCHAMFER_1", 46}, {"TCHAMFER_2", 47}, {"TT", 48}, {"TT1", 49}, {"SG", 50}, {"GENERAL_STEEL", 51},
     {"GENERAL_CONCRETE", 52}, {"COMPOSITE_BEAM_BOX", 53}, {"COMPOSITE_BEAM_BOX_1", 54},
     {"COMPOSITE_BEAM_IGEN_T", 55}, {"COMPOSITE_BEAM_L_LEFT", 56}, {"COMPOSITE_BEAM_PLATE", 57},
     {"COMPOSITE_BEAM_R_RES_T", 58}, {"COMPOSITE_BEAM_R_RES_T_1", 59}, {"COMPOSITE_BEAM_R_T", 60},
     {"COMPOSITE_BEAM_SHAPE_CHAMF", 61}, {"COMPOSITE_BEAM_SHAPE_CHAMF_ASYM", 62},
     {"COMPOSITE_BEAM_SHAPE_IGEN", 63}, {"COMPOSITE_BEAM_SHAPE_I_T", 64},
     {"COMPOSITE_BEAM_SHAPE_I_T_ASYM", 65}, {"COMPOSITE_BEAM_T_LEFT", 66}, {"COMPOSITE_BEAM_TRAPEZOID", 67},
     {"COMPOSITE_BEAM_TRES_T", 68}, {"COMPOSITE_BEAM_TREV", 69}, {"COMPOSITE_BEAM_TREV_RES_I", 70},
     {"COMPOSITE_BEAM_TREV_RES_I_1", 71}, {"COMPOSITE_BEAM_TREV_RES_R", 72},
     {"COMPOSITE_BEAM_TREV_RES_R_1", 73}, {"COMPOSITE_BEAM_TREV_T", 74}, {"COMPOSITE_BEAM_SHAPE_T_T", 75},
     {"BEAM_SHAPE_I_HAUNCH_CHAMFER", 76}, {"BEAM_SHAPE_I_HAUNCH_CHAMFER_ASYM", 77}, {"BEAM_SHAPE_REV_U", 78},
     {"BEAM_SHAPE_BOX", 79}, {"BEAM_SHAPE_BOX_1", 80}, {"BEAM_SHAPE_TREV_CHAMFER_HAUNCH_S", 81},
     {"BEAM_SHAPE_TREV_CHAMFER_HAUNCH_D", 82}, {"BEAM_SHAPE_IREV_DEGEN", 83},
     {"BEAM_SHAPE_IREV_DEGEN_ADD", 84}, {"BEAM_SHAPE_TREV_DEGEN", 85}, {"BEAM_SHAPE_TREV_DEGEN_ADD", 86},
     {"BEAM_SHAPE_Z_DEGEN", 87}, {"BEAM_SHAPE_I_Z_DEGEN", 88}, {"BEAM_SHAPE_L_DEGEN", 89}, {"CHS_PAR", 101},
     {"UNIQUE_NAME", 1001}}};

const ModelClass cross_section{
    .name = "CrossSection",
    .bases = {"_OpenElementId", "ABC"},
    .doc = " Abstract base class of all cross-sections. ",
    .init = Init{.args = {arg("id_", "int"), arg("name", "str")},
                 .abstract = true,
                 .base_args = 1,
                 .calls_base = true,
                 .stores = private_stores({"name"})},
    .serialize = Serialize{.keys = private_keys({"name"}), .from_base = true},
};

const ModelClass cross_section_parameter{
    .name = "CrossSectionParameter",
    .bases = {"CrossSection"},
    .init = Init{.args = {arg("id_", "int"), arg("name", "str"), arg("cross_section_type", "CrossSectionType"),
                          arg("material", "_ReferenceElement"),
                          // The runtime hands every call a new dictionary, in the order the names were given.
                          Arg{.name = "parameters", .annotation = "Any", .kind = Kind::VarKeyword}},
                 .doc = "\n        Do not use this __init__ directly, but create the object by "
                        ":meth:`~.idea_rcs.OpenModel.create_cross_section_parameter`.\n        ",
                 .returns = "None",
                 .base_args = 2,
                 .calls_base = true,
                 .stores = private_stores({"cross_section_type", "material", "parameters"})},
    .serialize = Serialize{.keys = private_keys({"cross_section_type", "material", "parameters"}),
                           .from_base = true},
};

const ModelClass cross_section_component{
    .name = "CrossSectionComponent",
    .bases = {"CrossSection"},
    .init = Init{.args = {arg("id_", "int"), arg("name", "str")},
                 .doc = "\n        Do not use this __init__ directly, but create the object by "
                        ":meth:`~.idea_rcs.OpenModel.create_cross_section_component`.\n        ",
                 .returns = "None",
                 .base_args = 2,
                 .calls_base = true,
                 .stores = {{"_components", "", StoreRule::EmptyList}}},
    .serialize = Serialize{.keys = private_keys({"components"}), .from_base = true},
    .methods = {{.name = "create_component",
                 .args = {arg("outline", outline_annotation), arg("material", "MatConcrete"),
                          kwarg("openings", "Sequence[Sequence[Tuple[float, float]]]", none_default)},
                 .returns = "None",
                 .doc = " Create a component to build up the cross-section.\n"
                        "\n"
                        "        :param outline: vertices (y, z) which define the outline of the section "
                        "(minimum of 3). The outline is closed\n"
                        "                        automatically.\n"
                        "        :param material: material created by "
                        ":meth:`~.idea_rcs.OpenModel.create_matconcrete_ec2`\n"
                        "        :param openings: one or more openings, each defined by at least 3 vertices "
                        "(y, z). An opening is closed\n"
                        "                         automatically.\n"
                        "        ",
                 .impl = create_component}},
};

const ModelClass css_component{
    .name = "_CssComponent",
    .bases = {"_OpenElementId"},
    .init = Init{.args = {arg("id_", "int"), arg("material", "_ReferenceElement"), arg("outline", outline_annotation),
                          arg("openings", "Optional[Sequence[Sequence[Tuple[float, float]]]]")},
                 .base_args = 1,
                 .calls_base = true,
                 .stores = private_stores({"material", "outline", "openings"}),
                 .check = check_vertex_counts},
    .serialize = Serialize{.keys = private_keys({"material", "outline", "openings"}), .from_base = true},
};

}  // namespace objects
