// The records of every class and enumeration of the module; one file per area defines them.
#pragma once

#include "external/idea_rcs/objects/model.hpp"

namespace objects {

// grades.cpp: the grade enumerations and the two tables built from them
extern const EnumClass concrete_material, reinforcement_material;
void build_grade_tables(PyObject* module, State& state);

// base.cpp
extern const ModelClass open_object, open_element_id, reference_element;

// project.cpp
extern const TextEnumClass national_annex;
extern const EnumClass evaluation_interaction_diagram, no_resistance_concrete_tension_1d, type_sls_calculation;
extern const ModelClass project_data, code_settings;

// members.cpp
extern const ModelClass check_member, check_member_1d, thermal_state;
extern const EnumClass thermal_state_type;

// materials.cpp
extern const ModelClass material, mat_reinforcement, mat_reinforcement_ec2, mat_concrete, conc_dependent_params,
    mat_concrete_ec2;
extern const EnumClass reinf_class, reinf_type, bar_surface, reinf_diagram_type, reinf_fabrication,
    conc_diagram_type, conc_aggregate_type, conc_cement_class;

// sections.cpp
extern const EnumClass cross_section_type;
extern const ModelClass cross_section, cross_section_parameter, cross_section_component, css_component;

// reinforcement.cpp
extern const ModelClass reinforced_bar, stirrup, reinforced_cross_section;

// loads.cpp
extern const ModelClass result_of_internal_forces, loading_uls, loading_sls, fatigue_loading;

// check_sections.cpp
extern const ModelClass check_section_extreme, standard_check_section_extreme, check_section,
    standard_check_section;
// Binds create_extreme's arguments by name to the parameters of the extreme's constructor.
void bind_create_extreme(State& state);

// member_data.cpp
extern const EnumClass member_type, two_way_slab_type;
extern const ModelClass calculation_setup, concrete_member_data, exposure_classes_data_ec2,
    concrete_member_data_ec2;
extern const EnumClass exposure_class_ec2_carbonation, exposure_class_ec2_chlorides,
    exposure_class_ec2_chlorides_from_sea, exposure_class_ec2_freeze_attack, exposure_class_ec2_chemical_attack;

}  // namespace objects
