// The standard concrete and reinforcement grades, and the two tables that map each grade to its
// display name and its characteristic properties, for whoever creates a material from a grade.
#include <string>
#include <string_view>
#include <vector>

#include "external/idea_rcs/objects/classes.hpp"
#include "external/idea_rcs/objects/state.hpp"

namespace objects {
namespace {

// One row per grade, in declaration order, which is also the order of both tables.
struct ConcreteGrade {
  std::string_view member;
  long value;
  std::string_view name;
  double fck;  // [MPa], written as a float
};
struct ReinforcementGrade {
  std::string_view member;
  long value;
  std::string_view name;
  long fyk;  // [MPa], written as an integer
  double ftk_by_fyk;
  long epsuk;  // written as an integer
};

constexpr ConcreteGrade concrete_grades[] = {
    {"C12_15", 1, "C12/15", 12.0},     {"C16_20", 2, "C16/20", 16.0},     {"C20_25", 3, "C20/25", 20.0},
    {"C25_30", 4, "C25/30", 25.0},     {"C30_37", 5, "C30/37", 30.0},     {"C35_45", 6, "C35/45", 35.0},
    {"C40_50", 7, "C40/50", 40.0},     {"C45_55", 8, "C45/55", 45.0},     {"C50_60", 9, "C50/60", 50.0},
    {"C55_67", 10, "C55/67", 55.0},    {"C60_75", 11, "C60/75", 60.0},    {"C70_85", 12, "C70/85", 70.0},
    {"C80_95", 13, "C80/95", 80.0},    {"C90_105", 14, "C90/105", 90.0},  {"C100_115", 15, "C100/115", 100.0},
};

// The ductility class sets k and the strain: A 1.05 and 250, B 1.08 and 500, C 1.15 and 750. The two
// 550 grades come last, and there is no C grade at 550.
constexpr ReinforcementGrade reinforcement_grades[] = {
    {"B_400A", 1, "B 400A", 400, 1.05, 250}, {"B_500A", 2, "B 500A", 500, 1.05, 250},
    {"B_600A", 3, "B 600A", 600, 1.05, 250}, {"B_400B", 4, "B 400B", 400, 1.08, 500},
    {"B_500B", 5, "B 500B", 500, 1.08, 500}, {"B_600B", 6, "B 600B", 600, 1.08, 500},
    {"B_400C", 7, "B 400C", 400, 1.15, 750}, {"B_500C", 8, "B 500C", 500, 1.15, 750},
    {"B_600C", 9, "B 600C", 600, 1.15, 750}, {"B_550A", 10, "B 550A", 550, 1.05, 250},
    {"B_550B", 11, "B 550B", 550, 1.08, 500},
};

template <class Grade, size_t N>
std::vector<std::pair<std::string_view, long>> members_of(const Grade (&grades)[N]) {
  std::vector<std::pair<std::string_view, long>> members;
  for (const Grade& g : grades) members.emplace_back(g.member, g.value);
  return members;
}

// A new dictionary from (key, value) pairs, in order.
Ref dict_of(std::initializer_list<std::pair<std::string_view, Ref>> items) {
  Ref dict = native::own(PyDict_New());
  for (const auto& [key, value] : items) native::setitem(dict, native::interned(key), value);
  return dict;
}

Ref member(Handle enumeration, std::string_view name) { return native::getattr(enumeration, native::interned(name)); }

}  // namespace

const EnumClass concrete_material{"ConcreteMaterial", members_of(concrete_grades)};
const EnumClass reinforcement_material{"ReinforcementMaterial", members_of(reinforcement_grades)};

// Keyed by the enumeration members themselves; every row is a dictionary of its own.
void build_grade_tables(PyObject* module, State& state) {
  Ref names = native::own(PyDict_New());
  Ref properties = native::own(PyDict_New());
  Ref concrete = state.attr(concrete_material.name);
  for (const ConcreteGrade& g : concrete_grades) {
    Ref key = member(concrete, g.member);
    native::setitem(names, key, dict_of({{"name", native::str(g.name)}}));
    native::setitem(properties, key, dict_of({{"fck", native::own(PyFloat_FromDouble(g.fck))}}));
  }
  Ref reinforcement = state.attr(reinforcement_material.name);
  for (const ReinforcementGrade& g : reinforcement_grades) {
    Ref key = member(reinforcement, g.member);
    native::setitem(names, key, dict_of({{"name", native::str(g.name)}}));
    native::setitem(properties, key,
                    dict_of({{"fyk", native::own(PyLong_FromLong(g.fyk))},
                             {"ftk_by_fyk", native::own(PyFloat_FromDouble(g.ftk_by_fyk))},
                             {"epsuk", native::own(PyLong_FromLong(g.epsuk))}}));
  }
  native::ok(PyModule_AddObjectRef(module, "_MATERIAL_NAMES", names.ptr()));
  native::ok(PyModule_AddObjectRef(module, "_MATERIAL_PROPERTIES", properties.ptr()));
}

}  // namespace objects
