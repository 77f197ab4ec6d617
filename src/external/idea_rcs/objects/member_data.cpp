// Calculation setup and concrete member data: what kind of member an element is, which checks run
// on it, and how its concrete is exposed. Unset choices are left out so that IDEA RCS applies its
// own defaults.
#include "external/idea_rcs/objects/classes.hpp"

namespace objects {

// Powers of two, not consecutive numbers; combinations are not members.
const EnumClass member_type{"MemberType",
                            {{"UNDEFINED", 0},
                             {"BEAM", 1},
                             {"COLUMN", 2},
                             {"BEAM_SLAB", 4},
                             {"HOLLOW_CORE_SLAB", 8},
                             {"TWO_WAY_SLAB", 16},
                             {"PLATE", 32},
                             {"WALL", 64}}};

const EnumClass two_way_slab_type{
    "TwoWaySlabType", {{"SLAB", 0}, {"WALL", 1}, {"DEEP_BEAM", 2}, {"SHELL_AS_PLATE", 3}, {"SHELL_AS_WALL", 4}}};

// A switch left at None is not written (an identity test: False is written).
const ModelClass calculation_setup{
    .name = "CalculationSetup",
    .bases = {"_OpenObject"},
    .init =
        Init{
            .args = {kwarg("uls_response", "bool", none_default), kwarg("uls_diagram", "bool", none_default),
                     kwarg("uls_shear", "bool", none_default), kwarg("uls_torsion", "bool", none_default),
                     kwarg("uls_interaction", "bool", none_default), kwarg("sls_crack", "bool", none_default),
                     kwarg("sls_stress_limitation", "bool", none_default),
                     kwarg("sls_stiffnesses", "bool", none_default), kwarg("detailing", "bool", none_default),
                     kwarg("m_n_kappa_diagram", "bool", none_default), kwarg("fatigue", "bool", none_default),
                     kwarg("cross_section_characteristics", "bool", none_default)},
            .doc = "Concrete calculation setup.\n"
                   "\n"
                   "        :param uls_response: Response N-M(-M) (default: False).\n"
                   "        :param uls_diagram: Capacity N-M(-M) (default: True).\n"
                   "        :param uls_shear: Shear (default: True).\n"
                   "        :param uls_torsion: Torsion (default: True).\n"
                   "        :param uls_interaction: Interaction (default: True).\n"
                   "        :param sls_crack: Crack width (default: True).\n"
                   "        :param sls_stress_limitation: Stress limitation (default: True).\n"
                   "        :param sls_stiffnesses: Stiffnesses (default: False).\n"
                   "        :param detailing: Detailing (default: True).\n"
                   "        :param m_n_kappa_diagram: M-N-κ diagram (default: False).\n"
                   "        :param fatigue: Fatigue (default: True).\n"
                   "        :param cross_section_characteristics: Cross-section characteristics (default: IDEA-RCS "
                   "default).\n"
                   "        ",
            .returns = "None",
            .stores = private_stores({"uls_response", "uls_diagram", "uls_shear", "uls_torsion", "uls_interaction",
                                      "sls_crack", "sls_stress_limitation", "sls_stiffnesses", "detailing",
                                      "m_n_kappa_diagram", "fatigue", "cross_section_characteristics"}),
        },
    .serialize = Serialize{.keys = private_keys({"uls_response", "uls_diagram", "uls_shear", "uls_torsion",
                                                 "uls_interaction", "sls_crack", "sls_stress_limitation",
                                                 "sls_stiffnesses", "detailing", "m_n_kappa_diagram", "fatigue",
                                                 "cross_section_characteristics"},
                                                Rule::IfNotNone)},
};

// A member data object never shares its default calculation setup with another one.
const ModelClass concrete_member_data{
    .name = "ConcreteMemberData",
    .bases = {"_OpenObject", "ABC"},
    .doc = " Abstract base class of all concrete member data. ",
    .init = Init{.args = {arg("element", "_ReferenceElement"), arg("member_type", "MemberType"),
                          arg("two_way_slab_type", "TwoWaySlabType"),
                          arg("calculation_setup", "CalculationSetup", none_default)},
                 .returns = "None",
                 .abstract = true,
                 .stores = {{"_element", "element"},
                            {"_member_type", "member_type"},
                            {"_two_way_slab_type", "two_way_slab_type"},
                            {"_calculation_setup", "calculation_setup", StoreRule::OrNew, "CalculationSetup"}}},
    .serialize = Serialize{.keys = private_keys({"element", "member_type", "two_way_slab_type", "calculation_setup"})},
    .exported = false,
};

// Exposure classes of Eurocode 2, numbered from 1; no exposure is None, not a member.
const EnumClass exposure_class_ec2_carbonation{"ExposureClassEc2Carbonation",
                                               {{"XC1", 1}, {"XC2", 2}, {"XC3", 3}, {"XC4", 4}}};
const EnumClass exposure_class_ec2_chlorides{"ExposureClassEc2Chlorides", {{"XD1", 1}, {"XD2", 2}, {"XD3", 3}}};
const EnumClass exposure_class_ec2_chlorides_from_sea{"ExposureClassEc2ChloridesFromSea",
                                                      {{"XS1", 1}, {"XS2", 2}, {"XS3", 3}}};
const EnumClass exposure_class_ec2_freeze_attack{"ExposureClassEc2FreezeAttack",
                                                 {{"XF1", 1}, {"XF2", 2}, {"XF3", 3}, {"XF4", 4}}};
const EnumClass exposure_class_ec2_chemical_attack{"ExposureClassEc2ChemicalAttack",
                                                   {{"XA1", 1}, {"XA2", 2}, {"XA3", 3}}};

// A class is written when truthy, which every member is.
const ModelClass exposure_classes_data_ec2{
    .name = "ExposureClassesDataEc2",
    .bases = {"_OpenObject"},
    .init =
        Init{
            .args = {kwarg("carbonation", "ExposureClassEc2Carbonation", none_default),
                     kwarg("chlorides", "ExposureClassEc2Chlorides", none_default),
                     kwarg("chlorides_from_sea", "ExposureClassEc2ChloridesFromSea", none_default),
                     kwarg("freeze_attack", "ExposureClassEc2FreezeAttack", none_default),
                     kwarg("chemical_attack", "ExposureClassEc2ChemicalAttack", none_default)},
            .doc = "Exposure Classes Ec2.\n"
                   "\n"
                   "        :param carbonation: Carbonation (default: None).\n"
                   "        :param chlorides: Chlorides (default: None).\n"
                   "        :param chlorides_from_sea: Chlorides from sea (default: None).\n"
                   "        :param freeze_attack: Freeze/Thaw Attack (default: None).\n"
                   "        :param chemical_attack: Chemical Attack (default: None).\n"
                   "        ",
            .returns = "None",
            .stores = private_stores({"carbonation", "chlorides", "chlorides_from_sea", "freeze_attack",
                                      "chemical_attack"}),
        },
    .serialize = Serialize{.keys = private_keys({"carbonation", "chlorides", "chlorides_from_sea", "freeze_attack",
                                                 "chemical_attack"},
                                                Rule::IfTruthy)},
};

// The exposure classes are always written; the three numbers only when not None (0.0 is written).
const ModelClass concrete_member_data_ec2{
    .name = "ConcreteMemberDataEc2",
    .bases = {"ConcreteMemberData"},
    .init = Init{.args = {arg("element", "_ReferenceElement"), arg("member_type", "MemberType"),
                          arg("two_way_slab_type", "TwoWaySlabType"),
                          arg("calculation_setup", "CalculationSetup", none_default),
                          arg("coeff_kx_for_wmax", "float", none_default),
                          arg("exposure_class_data", "ExposureClassesDataEc2", none_default),
                          arg("creep_coefficient", "float", none_default),
                          arg("relative_humidity", "float", none_default)},
                 .doc = "\n"
                        "        Do not use this __init__ directly, but create the object by "
                        ":meth:`~.idea_rcs.OpenModel.add_member_data_ec2`.\n"
                        "        ",
                 .returns = "None",
                 .base_args = 4,
                 .calls_base = true,
                 .stores = {{"_coeff_kx_for_wmax", "coeff_kx_for_wmax"},
                            {"_exposure_class_data", "exposure_class_data", StoreRule::OrNew,
                             "ExposureClassesDataEc2"},
                            {"_creep_coefficient", "creep_coefficient"},
                            {"_relative_humidity", "relative_humidity"}}},
    .serialize = Serialize{.keys = {{"exposure_class_data", "_exposure_class_data"},
                                    {"coeff_kx_for_wmax", "_coeff_kx_for_wmax", Rule::IfNotNone},
                                    {"creep_coefficient", "_creep_coefficient", Rule::IfNotNone},
                                    {"relative_humidity", "_relative_humidity", Rule::IfNotNone}},
                           .from_base = true},
};

}  // namespace objects
