// Internal forces and loadings: plain value holders that a check section's extremes refer to.
// Every key is always written, None included.
#include "external/idea_rcs/objects/classes.hpp"

namespace objects {

const ModelClass result_of_internal_forces{
    .name = "ResultOfInternalForces",
    .bases = {"_OpenObject"},
    .init =
        Init{
            .args = {arg("N", "float", float_default(0.0)), arg("Qy", "float", float_default(0.0)),
                     arg("Qz", "float", float_default(0.0)), arg("Mx", "float", float_default(0.0)),
                     arg("My", "float", float_default(0.0)), arg("Mz", "float", float_default(0.0))},
            .doc = "Result of internal forces at a certain location.\n"
                   "\n"
                   "        :param N: Normal force (default: 0.0).\n"
                   "        :param Qy: Shear force in y direction (default: 0.0).\n"
                   "        :param Qz: Shear force in z direction (default: 0.0).\n"
                   "        :param Mx: Bending moment around x-axis (default: 0.0).\n"
                   "        :param My: Bending moment around y-axis (default: 0.0).\n"
                   "        :param Mz: Bending moment around z-axis (default: 0.0).\n"
                   "        ",
            .returns = "None",
            .stores = private_stores({"N", "Qy", "Qz", "Mx", "My", "Mz"}),
        },
    .serialize = Serialize{.keys = private_keys({"N", "Qy", "Qz", "Mx", "My", "Mz"}), .from_base = true},
};

const ModelClass loading_uls{
    .name = "LoadingULS",
    .bases = {"_OpenObject"},
    .init =
        Init{
            .args = {arg("internal_forces", "ResultOfInternalForces"),
                     arg("internal_forces_second_order", "ResultOfInternalForces", none_default),
                     arg("internal_forces_begin", "ResultOfInternalForces", none_default),
                     arg("internal_forces_end", "ResultOfInternalForces", none_default),
                     arg("internal_forces_imperfection", "ResultOfInternalForces", none_default)},
            .doc = "Loading ULS.\n"
                   "\n"
                   "        :param internal_forces: Internal force in section.\n"
                   "        :param internal_forces_second_order: Internal forces of 2nd order effect.\n"
                   "        :param internal_forces_begin: Internal forces at the beginning.\n"
                   "        :param internal_forces_end: Internal forces at the end.\n"
                   "        :param internal_forces_imperfection: Internal forces of imperfection effect.\n"
                   "        ",
            .returns = "None",
            .stores = private_stores({"internal_forces", "internal_forces_second_order", "internal_forces_begin",
                                      "internal_forces_end", "internal_forces_imperfection"}),
        },
    .serialize = Serialize{.keys = private_keys({"internal_forces", "internal_forces_second_order",
                                                 "internal_forces_begin", "internal_forces_end",
                                                 "internal_forces_imperfection"}),
                           .from_base = true},
};

const ModelClass loading_sls{
    .name = "LoadingSLS",
    .bases = {"_OpenObject"},
    .init =
        Init{
            .args = {arg("internal_forces", "ResultOfInternalForces"),
                     arg("internal_forces_imperfection", "ResultOfInternalForces", none_default)},
            .doc = "Loading SLS.\n"
                   "\n"
                   "        :param internal_forces: Internal force in section.\n"
                   "        :param internal_forces_imperfection: Internal forces of imperfection effect.\n"
                   "        ",
            .returns = "None",
            .stores = private_stores({"internal_forces", "internal_forces_imperfection"}),
        },
    .serialize =
        Serialize{.keys = private_keys({"internal_forces", "internal_forces_imperfection"}), .from_base = true},
};

const ModelClass fatigue_loading{
    .name = "FatigueLoading",
    .bases = {"_OpenObject"},
    .init =
        Init{
            .args = {arg("max_loading", "LoadingULS"), arg("min_loading", "LoadingULS")},
            .doc = "Fatigue loading.\n"
                   "\n"
                   "        :param max_loading: Max. cyclic loading.\n"
                   "        :param min_loading: Min. cyclic loading.\n"
                   "        ",
            .returns = "None",
            .stores = private_stores({"max_loading", "min_loading"}),
        },
    .serialize = Serialize{.keys = private_keys({"max_loading", "min_loading"}), .from_base = true},
};

}  // namespace objects
