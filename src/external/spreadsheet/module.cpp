// The module ondrel.external.spreadsheet: its imports, its logger, its export list and the order in
// which it builds its contents (cells before the jobs that use them).
#include <array>
#include <string_view>

#include "external/spreadsheet/state.hpp"
#include "native/module.hpp"

namespace spreadsheet {
namespace {

constexpr std::array<std::string_view, 10> exported = {
    "DirectInputCell", "DirectOutputCell",   "InputCellRange",        "NamedInputCell",
    "NamedOutputCell", "render_spreadsheet", "SpreadsheetCalculation", "SpreadsheetCalculationInput",
    "SpreadsheetResult", "SpreadsheetTemplate"};

void bind(PyObject* module, const char* name, Ref value) {
  native::ok(PyModule_AddObjectRef(module, name, value.ptr()));
}

void exec(PyObject* module, State& state) {
  state.rt.init();
  state.module_dict = native::borrow(PyModule_GetDict(module));

  // Imports, in the order a reader of the module would write them; the typing names and the host
  // classes also serve to evaluate the string annotations.
  Ref logging = native::own(PyImport_ImportModule("logging"));
  bind(module, "logging", logging);
  bind(module, "os", native::own(PyImport_ImportModule("os")));
  bind(module, "ABC", native::import("abc", "ABC"));
  bind(module, "abstractmethod", native::import("abc", "abstractmethod"));
  bind(module, "BytesIO", native::import("io", "BytesIO"));
  for (const char* name : {"Any", "BinaryIO", "List", "Union"}) bind(module, name, native::import("typing", name));
  // The host components; the jobs look them up here at each call, so replacing one takes effect.
  bind(module, "API", native::import("ondrel.api_v1", "API"));
  bind(module, "File", native::import("ondrel.core", "File"));
  bind(module, "_post_on_addon_endpoint", native::import("ondrel.core", "_post_on_addon_endpoint"));
  bind(module, "SpreadsheetError", native::import("ondrel.errors", "SpreadsheetError"));

  Ref get_logger = native::own(PyObject_GetAttrString(logging.ptr(), "getLogger"));
  bind(module, "logger", native::call(get_logger, {native::own(PyModule_GetNameObject(module))}));

  Ref all = native::own(PyList_New(0));
  for (std::string_view name : exported) native::ok(PyList_Append(all.ptr(), native::str(name).ptr()));
  bind(module, "__all__", all);

  build_cells(module, state);        // cells.cpp
  build_calculation(module, state);  // calculation.cpp
  build_template(module, state);     // template.cpp
}

using Def = native::ModuleDef<State, exec>;
PyModuleDef module_def =
    Def::make("ondrel.external.spreadsheet",
              "Spreadsheet cells, the evaluation of spreadsheets and the filling of spreadsheet templates through the\n"
              "platform's spreadsheet add-ons.");

}  // namespace
}  // namespace spreadsheet

PyMODINIT_FUNC PyInit_spreadsheet() { return PyModuleDef_Init(&spreadsheet::module_def); }
