// Materials: reinforcement steel and concrete, each in a general form and in the Eurocode 2 form.
// The creator supplies every value; nothing is computed or checked here.
#include "external/idea_rcs/objects/classes.hpp"

namespace objects {

// The constructor arguments of the classes below chain through their bases (`extending`), so each
// record states only what it adds; the bases are defined first in this file.

const ModelClass material{
    .name = "_Material",
    .bases = {"_OpenElementId", "ABC"},
    .doc = " Abstract base class of all materials. ",
    // The id goes on to _OpenElementId, which stores it.
    .init = Init{.args = {arg("id_", "int"), arg("name", "str"), arg("e_modulus", "float"),
                          arg("g_modulus", "float"), arg("poisson", "float"), arg("unit_mass", "float"),
                          arg("specific_heat", "float"), arg("thermal_expansion", "float"),
                          arg("thermal_conductivity", "float"), arg("is_default", "bool"),
                          arg("order_in_code", "int"), arg("thermal_state", "ThermalState")},
                 .returns = "None",
                 .abstract = true,
                 .base_args = 1,
                 .calls_base = true,
                 .stores = private_stores({"name", "e_modulus", "g_modulus", "poisson", "unit_mass", "specific_heat",
                                           "thermal_expansion", "thermal_conductivity", "is_default",
                                           "order_in_code", "thermal_state"})},
    .serialize = Serialize{.keys = private_keys({"name", "e_modulus", "g_modulus", "poisson", "unit_mass",
                                                 "specific_heat", "thermal_expansion", "thermal_conductivity",
                                                 "is_default", "order_in_code", "thermal_state"}),
                           .from_base = true},
};

// ---- reinforcement ---------------------------------------------------------------------------

const EnumClass reinf_class{"ReinfClass", {{"A", 0}, {"B", 1}, {"C", 2}}};
const EnumClass reinf_type{"ReinfType",
                           {{"BARS", 0}, {"DECOILED_RODS", 1}, {"WIRE_FABRICS", 2}, {"LATTICE_GIRDERS", 3}}};
const EnumClass bar_surface{"BarSurface", {{"SMOOTH", 0}, {"RIBBED", 1}}};
const EnumClass reinf_diagram_type{"ReinfDiagramType",
                                   {{"BILINEAR_INCLINED", 0}, {"BILINEAR_NOT_INCLINED", 1}, {"USER", 2}}};
const EnumClass reinf_fabrication{"ReinfFabrication", {{"HOT_ROLLED", 0}, {"COLD_WORKED", 1}}};

const ModelClass mat_reinforcement{
    .name = "MatReinforcement",
    .bases = {"_Material", "ABC"},
    .doc = " Abstract base class of all material reinforcements. ",
    .init = extending(material, {arg("bar_surface", "BarSurface")}, {.abstract = true}),
    .serialize = Serialize{.keys = private_keys({"bar_surface"}), .from_base = true},
};

const ModelClass mat_reinforcement_ec2{
    .name = "MatReinforcementEc2",
    .bases = {"MatReinforcement"},
    .init = extending(mat_reinforcement,
                      {arg("fyk", "float"), arg("ftk_by_fyk", "float"), arg("epsuk", "float"), arg("ftk", "float"),
                       arg("class_", "ReinfClass"), arg("type_", "ReinfType"),
                       arg("fabrication", "ReinfFabrication"), arg("diagram_type", "ReinfDiagramType")},
                      {.doc = "\n        Do not use this __init__ directly, but create the object by "
                              ":meth:`~.idea_rcs.OpenModel.create_matreinforcement_ec2`.\n        "}),
    .serialize = Serialize{.keys = private_keys({"fyk", "ftk_by_fyk", "epsuk", "ftk", "class", "type",
                                                 "fabrication", "diagram_type"}),
                           .from_base = true},
};

// ---- concrete --------------------------------------------------------------------------------

const EnumClass conc_diagram_type{"ConcDiagramType", {{"BILINEAR", 0}, {"PARABOLIC", 1}, {"USER", 2}}};
const EnumClass conc_aggregate_type{"ConcAggregateType",
                                    {{"QUARTZITE", 0}, {"LIMESTONE", 1}, {"SANDSTONE", 2}, {"BASALT", 3}}};
const EnumClass conc_cement_class{"ConcCementClass", {{"S", 0}, {"R", 1}, {"N", 2}}};

// Adds no field and writes _Material's dictionary.
const ModelClass mat_concrete{
    .name = "MatConcrete",
    .bases = {"_Material", "ABC"},
    .doc = " Abstract base class of all concrete materials. ",
    .init = extending(material, {}, {.abstract = true}),
};

// Its keys are the OpenModel spellings, not the argument names.
const ModelClass conc_dependent_params{
    .name = "ConcDependentParams",
    .bases = {"_OpenObject"},
    .init =
        Init{
            .args = {arg("E_cm", "float"), arg("eps_c1", "float"), arg("eps_c2", "float"), arg("eps_c3", "float"),
                     arg("eps_cu1", "float"), arg("eps_cu2", "float"), arg("eps_cu3", "float"),
                     arg("F_ctm", "float"), arg("F_ctk_0_05", "float"), arg("F_ctk_0_95", "float"),
                     arg("n_factor", "float"), arg("F_cm", "float")},
            .doc = " Collection of all MatConcreteEc2 dependent parameters.\n"
                   "\n"
                   "        :param E_cm: Secant modulus of elasticity of concrete [MPa]\n"
                   "        :param eps_c1: Compressive strain in the concrete - εc1 [-]\n"
                   "        :param eps_c2: Compressive strain in the concrete - εc2 [-]\n"
                   "        :param eps_c3: Compressive strain in the concrete - εc3 [-]\n"
                   "        :param eps_cu1: Ultimate compressive strain in the concrete - εcu1 [-]\n"
                   "        :param eps_cu2: Ultimate compressive strain in the concrete - εcu2 [-]\n"
                   "        :param eps_cu3: Ultimate compressive strain in the concrete - εcu3 [-]\n"
                   "        :param F_ctm: Mean value of axial tensile strength of concrete [MPa]\n"
                   "        :param F_ctk_0_05: Characteristic axial tensile strength of concrete 5% quantile [MPa]\n"
                   "        :param F_ctk_0_95: Characteristic axial tensile strength of concrete 95% quantile [MPa]\n"
                   "        :param n_factor: Coefficient n-factor - necessary parabolic part of stress-strain "
                   "diagram - n [-]\n"
                   "        :param F_cm: Mean value of concrete cylinder compressive strength [MPa]\n"
                   "        ",
            .stores = private_stores({"E_cm", "eps_c1", "eps_c2", "eps_c3", "eps_cu1", "eps_cu2", "eps_cu3", "F_ctm",
                                      "F_ctk_0_05", "F_ctk_0_95", "n_factor", "F_cm"}),
        },
    .serialize = Serialize{.keys = {{"Ecm", "_E_cm"},
                                    {"Epsc1", "_eps_c1"},
                                    {"Epsc2", "_eps_c2"},
                                    {"Epsc3", "_eps_c3"},
                                    {"Epscu1", "_eps_cu1"},
                                    {"Epscu2", "_eps_cu2"},
                                    {"Epscu3", "_eps_cu3"},
                                    {"Fctm", "_F_ctm"},
                                    {"Fctk_0_05", "_F_ctk_0_05"},
                                    {"Fctk_0_95", "_F_ctk_0_95"},
                                    {"NFactor", "_n_factor"},
                                    {"Fcm", "_F_cm"}},
                           .from_base = true},
};

// "dep_params" is written also when it is None.
const ModelClass mat_concrete_ec2{
    .name = "MatConcreteEc2",
    .bases = {"MatConcrete"},
    .init = extending(mat_concrete,
                      {arg("fck", "float"), arg("stone_diameter", "float"), arg("cement_class", "ConcCementClass"),
                       arg("aggregate_type", "ConcAggregateType"), arg("diagram_type", "ConcDiagramType"),
                       arg("silica_fume", "bool"), arg("plain_concrete_diagram", "bool"),
                       arg("dep_params", "ConcDependentParams", none_default)},
                      {.doc = "\n        Do not use this __init__ directly, but create the object by "
                              ":meth:`~.idea_rcs.OpenModel.create_matconcrete_ec2`.\n        "}),
    .serialize = Serialize{.keys = private_keys({"fck", "stone_diameter", "cement_class", "aggregate_type",
                                                 "diagram_type", "silica_fume", "plain_concrete_diagram",
                                                 "dep_params"}),
                           .from_base = true},
};

}  // namespace objects
