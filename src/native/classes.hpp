// Builds ordinary Python classes and enumerations: the metaclass is called with a namespace, so ABC
// bases, abstract methods, isinstance, __module__, __qualname__ and instance __dict__ behave as in Python.
#pragma once

#include <string_view>
#include <utility>
#include <vector>

#include "native/function.hpp"

namespace native {

class ClassBuilder {
 public:
  ClassBuilder(const Runtime& rt, Handle module, std::string_view name);

  ClassBuilder& base(Handle cls);
  ClassBuilder& doc(std::string_view text);
  // A method; its qualified name becomes "Class.name".
  ClassBuilder& method(FunctionDecl decl, bool abstract = false);
  ClassBuilder& class_method(FunctionDecl decl);
  // A property made of native getter (and setter) functions, as `property(fget, fset)` does.
  ClassBuilder& property(FunctionDecl getter, std::optional<FunctionDecl> setter = std::nullopt);
  ClassBuilder& attr(std::string_view name, Handle value);

  // Calls the most derived metaclass of the bases with (name, bases, namespace).
  Ref build();

  std::string_view name() const { return name_; }
  const Runtime& runtime() const { return rt_; }
  Handle module() const { return module_; }

 private:
  Ref function(FunctionDecl& decl);

  const Runtime& rt_;
  Handle module_;
  std::string_view name_;
  std::vector<Ref> bases_;
  Ref namespace_;
};

// A real enum.Enum subclass, members in declaration order, each member annotated with the text
// "'<Name>'" in the class's __annotations__.
Ref make_enum(Handle module, Handle enum_base, std::string_view name,
              const std::vector<std::pair<std::string_view, Ref>>& members);

}  // namespace native
