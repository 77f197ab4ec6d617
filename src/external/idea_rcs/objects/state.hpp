// The module state: the runtime, the compiled class records, interned names and the objects the
// particular behaviour needs.
#pragma once

#include <memory>
#include <vector>

#include "external/idea_rcs/objects/model.hpp"
#include "native/function.hpp"

namespace objects {

// Names used by hand-written code, interned once per module.
#define OBJECTS_NAMES(X)          \
  X(__init__)                     \
  X(_serialize)                   \
  X(id)                           \
  X(strftime)                     \
  X(description)                  \
  X(_description)                 \
  X(_extremes)                    \
  X(_components)                  \
  X(_bars)                        \
  X(_stirrups)                    \
  X(extremes)                     \
  X(MatConcrete)                  \
  X(MatReinforcement)             \
  X(StandardCheckSectionExtreme)  \
  X(_ReferenceElement)            \
  X(_CssComponent)                \
  X(ReinforcedBar)                \
  X(Stirrup)                      \
  X(append)                       \
  X(math)                         \
  X(radians)                      \
  X(__class__)                    \
  X(__name__)

struct State {
  native::Runtime rt;
  std::vector<std::unique_ptr<CompiledClass>> classes;
  Ref module_dict;
  Ref exported;  // the module's __all__, filled as the classes are built
  Ref date_format;  // "%Y-%m-%d"
  // Where the module's dict keeps `math`, and that module's dict `radians`, read at each conversion.
  native::EntryCache math_entry, radians_entry;
  // What create_extreme passes to the extreme's constructor: its parameters by keyword, in their
  // declaration order, and for each the position of create_extreme's argument of that name.
  Ref extreme_keywords;
  std::vector<size_t> extreme_arguments;
  size_t extreme_description = 0;  // the position of create_extreme's description
  DirectConstructorCache make_extreme;  // for the class create_extreme calls
#define OBJECTS_DECLARE_NAME(name) Ref s_##name;
  OBJECTS_NAMES(OBJECTS_DECLARE_NAME)
#undef OBJECTS_DECLARE_NAME

  State();
  int traverse(visitproc visit, void* arg) const;
  void clear();

  // A class or other object bound in the module by now.
  Ref attr(std::string_view name) const;
};

}  // namespace objects
