// Project data and code settings: the project header and its calculation settings.
#include "external/idea_rcs/objects/classes.hpp"

namespace objects {

const TextEnumClass national_annex{
    "NationalAnnex", {{"NO_ANNEX", "NoAnnex"}, {"DUTCH", "Dutch"}, {"BELGIUM", "Belgian"}}};

const EnumClass evaluation_interaction_diagram{"EvaluationInteractionDiagram",
                                               {{"NU_MU_MU", 0}, {"NU_M_M", 1}, {"N_MU_MU", 2}}};
const EnumClass no_resistance_concrete_tension_1d{"NoResistanceConcreteTension1d",
                                                  {{"EXTREME", 0}, {"SECTION", 1}, {"ALWAYS", 2}}};
const EnumClass type_sls_calculation{"TypeSLSCalculation", {{"BOTH", 0}, {"SHORT_TERM", 1}, {"LONG_TERM", 2}}};

// Settings left at None are not written, so that IDEA applies its own defaults.
const ModelClass project_data{
    .name = "ProjectData",
    .bases = {"_OpenObject"},
    .init =
        Init{
            .args = {kwarg("national_annex", "NationalAnnex", none_default),
                     kwarg("fatigue_check", "bool", false_default), kwarg("name", "str", none_default),
                     kwarg("number", "str", none_default), kwarg("description", "str", none_default),
                     kwarg("author", "str", none_default), kwarg("date", "datetime.date", none_default),
                     kwarg("design_working_life", "Literal[50, 75, 100]", none_default)},
            .doc = " Project data.\n"
                   "\n"
                   "        :param name: Project name ::version(v14.6.0)\n"
                   "        :param number: Project number ::version(v14.6.0)\n"
                   "        :param description: Project description ::version(v14.6.0)\n"
                   "        :param author: Author ::version(v14.6.0)\n"
                   "        :param date: Date (default: today) ::version(v14.6.0)\n"
                   "        :param national_annex: national annex (default: No national annex (EN))\n"
                   "        :param fatigue_check: functionality - fatigue (default: false)\n"
                   "        :param design_working_life: Design working life (default: 50) ::version(v14.6.0)\n"
                   "        ",
            .stores = public_stores({"national_annex", "fatigue_check", "name", "number", "description", "author",
                                     "date", "design_working_life"}),
        },
    .serialize = Serialize{.keys = {{"name", "name", Rule::IfNotNone},
                                    {"number", "number", Rule::IfNotNone},
                                    {"description", "description", Rule::IfNotNone},
                                    {"author", "author", Rule::IfNotNone},
                                    {"date", "date", Rule::IfNotNone, Convert::DateText},
                                    {"national_annex", "national_annex", Rule::IfNotNone},
                                    {"fatigue_check", "fatigue_check", Rule::IfNotNone},
                                    {"design_working_life", "design_working_life", Rule::IfNotNone}}},
};

const ModelClass code_settings{
    .name = "CodeSettings",
    .bases = {"_OpenObject"},
    .init =
        Init{
            .args = {kwarg("evaluation_interaction_diagram", "EvaluationInteractionDiagram", none_default),
                     kwarg("theta", "float", none_default), kwarg("theta_min", "float", none_default),
                     kwarg("theta_max", "float", none_default), kwarg("n_cycles_fatigue", "float", none_default),
                     kwarg("no_resistance_concrete_tension_1d", "NoResistanceConcreteTension1d", none_default),
                     kwarg("type_sls_calculation", "TypeSLSCalculation", none_default)},
            .doc = " Code and calculation settings.\n"
                   "\n"
                   "        :param evaluation_interaction_diagram: evaluation of interaction diagram (default: NuMuMu)\n"
                   "        :param theta: angle [deg] between the concrete compression strut and the beam axis "
                   "perpendicular to the\n"
                   "                      shear force (default: set by IDEA)\n"
                   "        :param theta_min: minimum angle [deg] between the concrete compression strut and the "
                   "beam axis perpendicular\n"
                   "                          to the shear force (default: set by IDEA)\n"
                   "        :param theta_max: maximum angle [deg] between the concrete compression strut and the "
                   "beam axis perpendicular\n"
                   "                          to the shear force (default: set by IDEA)\n"
                   "        :param n_cycles_fatigue: number of fatigue cycles (* 10⁶) (default: set by IDEA)\n"
                   "        :param no_resistance_concrete_tension_1d: no resistance of concrete in tension - "
                   "members 1D (default: Extreme)\n"
                   "        :param type_sls_calculation: type of SLS calculation (default: Both)\n"
                   "        ",
            .stores = public_stores({"evaluation_interaction_diagram", "theta", "theta_min", "theta_max",
                                     "n_cycles_fatigue", "no_resistance_concrete_tension_1d",
                                     "type_sls_calculation"}),
        },
    .serialize =
        Serialize{.keys = {{"evaluation_interaction_diagram", "evaluation_interaction_diagram", Rule::IfNotNone},
                           {"theta", "theta", Rule::IfNotNone, Convert::Radians},
                           {"theta_min", "theta_min", Rule::IfNotNone, Convert::Radians},
                           {"theta_max", "theta_max", Rule::IfNotNone, Convert::Radians},
                           {"n_cycles_fatigue", "n_cycles_fatigue", Rule::IfNotNone},
                           {"no_resistance_concrete_tension_1d", "no_resistance_concrete_tension_1d",
                            Rule::IfNotNone},
                           {"type_sls_calculation", "type_sls_calculation", Rule::IfNotNone}}},
};

}  // namespace objects
