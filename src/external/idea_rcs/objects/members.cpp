// Check members, the members on which sections are checked, and the thermal state of a material.
#include "external/idea_rcs/objects/classes.hpp"

namespace objects {

const ModelClass check_member{
    .name = "CheckMember",
    .bases = {"_OpenElementId", "ABC"},
    .doc = " Abstract base class of all check members. ",
    // The id goes on to _OpenElementId, which stores it.
    .init = Init{.args = {arg("id_", "int")}, .abstract = true, .base_args = 1, .calls_base = true},
};

// `name` is a public attribute that callers may change; the dictionary reads it at call time.
const ModelClass check_member_1d{
    .name = "CheckMember1D",
    .bases = {"CheckMember"},
    .init = extending(check_member, {arg("name", "str")},
                      {.doc = "\n        Do not use this __init__ directly, but create the object by "
                              ":meth:`~.idea_rcs.OpenModel.create_check_member1d`.\n        ",
                       .stores = public_stores({"name"})}),
    .serialize = Serialize{.keys = public_keys({"name"}), .from_base = true},
};

// USER is 5: the values are IDEA's.
const EnumClass thermal_state_type{"ThermalStateType", {{"NONE", 0}, {"CODE", 1}, {"USER", 5}}};

const ModelClass thermal_state{
    .name = "ThermalState",
    .bases = {"_OpenObject"},
    .init =
        Init{
            .args = {arg("expansion", "ThermalStateType", member_default("ThermalStateType.NONE")),
                     arg("conductivity", "ThermalStateType", member_default("ThermalStateType.NONE")),
                     arg("specific_heat", "ThermalStateType", member_default("ThermalStateType.NONE")),
                     arg("stress_strain", "ThermalStateType", member_default("ThermalStateType.NONE")),
                     arg("strain", "ThermalStateType", member_default("ThermalStateType.NONE"))},
            .doc = " Collection of thermal states for expansion, conductivity, specific heat, stress-strain and "
                   "strain.\n"
                   "\n"
                   "        :param expansion: state of thermal expansion curvature.\n"
                   "        :param conductivity: state of thermal conductivity curvature.\n"
                   "        :param specific_heat: state of thermal specific heat curvature.\n"
                   "        :param stress_strain: state of thermal specific stress-strain curvature.\n"
                   "        :param strain: state of thermal strain curvature.\n"
                   "        ",
            .stores = private_stores({"expansion", "conductivity", "specific_heat", "stress_strain", "strain"}),
        },
    .serialize = Serialize{.keys = private_keys({"expansion", "conductivity", "specific_heat", "stress_strain",
                                                 "strain"})},
};

}  // namespace objects
