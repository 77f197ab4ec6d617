// The module ondrel.external.idea_rcs.objects: its imports, its export list and the order in which
// it builds its contents (an enumeration exists before the class whose defaults use it).
#include "external/idea_rcs/objects/classes.hpp"
#include "external/idea_rcs/objects/state.hpp"
#include "native/module.hpp"

namespace objects {
namespace {

void bind(PyObject* module, const char* name, Ref value) {
  native::ok(PyModule_AddObjectRef(module, name, value.ptr()));
}

void exec(PyObject* module, State& state) {
  state.rt.init();
  state.module_dict = native::borrow(PyModule_GetDict(module));

  // Imports, in the order a reader of the module would write them.
  bind(module, "datetime", native::own(PyImport_ImportModule("datetime")));
  bind(module, "math", native::own(PyImport_ImportModule("math")));
  bind(module, "ABC", native::import("abc", "ABC"));
  bind(module, "abstractmethod", native::import("abc", "abstractmethod"));
  bind(module, "Enum", native::import("enum", "Enum"));
  for (const char* name : {"List", "Tuple", "Any", "Union", "Sequence", "Optional", "Literal"})
    bind(module, name, native::import("typing", name));

  // Filled as the classes are built, and sorted once all are.
  state.exported = native::own(PyList_New(0));
  bind(module, "__all__", state.exported);

  // Grade tables (grades.cpp).
  build_enum(module, state, concrete_material);
  build_enum(module, state, reinforcement_material);
  build_grade_tables(module, state);

  // Roots (base.cpp).
  build_class(module, state, open_object);
  build_class(module, state, open_element_id);
  build_class(module, state, reference_element);

  // Project data and code settings (project.cpp).
  build_enum(module, state, national_annex);
  build_class(module, state, project_data);
  build_enum(module, state, evaluation_interaction_diagram);
  build_enum(module, state, no_resistance_concrete_tension_1d);
  build_enum(module, state, type_sls_calculation);
  build_class(module, state, code_settings);

  // Check members and thermal state (members.cpp).
  build_class(module, state, check_member);
  build_class(module, state, check_member_1d);
  build_enum(module, state, thermal_state_type);
  build_class(module, state, thermal_state);

  // Materials (materials.cpp).
  build_class(module, state, material);
  build_enum(module, state, reinf_class);
  build_enum(module, state, reinf_type);
  build_enum(module, state, bar_surface);
  build_enum(module, state, reinf_diagram_type);
  build_enum(module, state, reinf_fabrication);
  build_class(module, state, mat_reinforcement);
  build_class(module, state, mat_reinforcement_ec2);
  build_enum(module, state, conc_diagram_type);
  build_enum(module, state, conc_aggregate_type);
  build_enum(module, state, conc_cement_class);
  build_class(module, state, mat_concrete);
  build_class(module, state, conc_dependent_params);
  build_class(module, state, mat_concrete_ec2);

  // Cross-sections (sections.cpp).
  build_enum(module, state, cross_section_type);
  build_class(module, state, cross_section);
  build_class(module, state, cross_section_parameter);
  build_class(module, state, cross_section_component);
  build_class(module, state, css_component);

  // Reinforcement (reinforcement.cpp).
  build_class(module, state, reinforced_bar);
  build_class(module, state, stirrup);
  build_class(module, state, reinforced_cross_section);

  // Internal forces and loadings (loads.cpp).
  build_class(module, state, result_of_internal_forces);
  build_class(module, state, loading_uls);
  build_class(module, state, loading_sls);
  build_class(module, state, fatigue_loading);

  // Check sections and extremes (check_sections.cpp).
  build_class(module, state, check_section_extreme);
  build_class(module, state, standard_check_section_extreme);
  build_class(module, state, check_section);
  build_class(module, state, standard_check_section);
  bind_create_extreme(state);

  // Calculation setup and member data (member_data.cpp).
  build_enum(module, state, member_type);
  build_enum(module, state, two_way_slab_type);
  build_class(module, state, calculation_setup);
  build_class(module, state, concrete_member_data);
  build_enum(module, state, exposure_class_ec2_carbonation);
  build_enum(module, state, exposure_class_ec2_chlorides);
  build_enum(module, state, exposure_class_ec2_chlorides_from_sea);
  build_enum(module, state, exposure_class_ec2_freeze_attack);
  build_enum(module, state, exposure_class_ec2_chemical_attack);
  build_class(module, state, exposure_classes_data_ec2);
  build_class(module, state, concrete_member_data_ec2);

  // The export list: a case-sensitive alphabetical sort.
  native::ok(PyList_Sort(state.exported.ptr()));
}

using Def = native::ModuleDef<State, exec>;
PyModuleDef module_def = Def::make("ondrel.external.idea_rcs.objects",
                                   "The object model of an IDEA StatiCa RCS project and its OpenModel dictionaries.");

}  // namespace
}  // namespace objects

PyMODINIT_FUNC PyInit_objects() { return PyModuleDef_Init(&objects::module_def); }
