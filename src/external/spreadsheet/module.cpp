// The module ondrel.external.spreadsheet: its imports, its logger, its export list and the order in
// which it builds its contents (cells before the jobs that use them).
#include <string_view>

#include "external/spreadsheet/jobs.hpp"
#include "native/module.hpp"

namespace spreadsheet {

void bind_public(PyObject* module, std::string_view name, Handle value) {
  Ref key = native::interned(name);
  native::ok(PyObject_SetAttr(module, key.ptr(), value.ptr()));
  if (name.starts_with('_')) return;
  Ref all = native::own(PyObject_GetAttrString(module, "__all__"));
  native::ok(PyList_Append(all.ptr(), key.ptr()));
}

namespace {

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

  // Filled as the public classes and functions are bound, and sorted once all are.
  Ref all = native::own(PyList_New(0));
  bind(module, "__all__", all);

  build_cells(module, state);        // cells.cpp
  build_calculation(module, state);  // calculation.cpp
  build_template(module, state);     // template.cpp

  // The export list: an alphabetical sort that ignores case.
  Ref lower = native::getattr(reinterpret_cast<PyObject*>(&PyUnicode_Type), native::interned("lower"));
  Ref key = native::own(PyTuple_Pack(1, native::interned("key").ptr()));
  PyObject* argv[] = {all.ptr(), lower.ptr()};
  native::own(PyObject_VectorcallMethod(native::interned("sort").ptr(), argv, 1, key.ptr()));
}

using Def = native::ModuleDef<State, exec>;
PyModuleDef module_def =
    Def::make("ondrel.external.spreadsheet",
              "Spreadsheet cells, the evaluation of spreadsheets and the filling of spreadsheet templates through the\n"
              "platform's spreadsheet add-ons.");

}  // namespace
}  // namespace spreadsheet

PyMODINIT_FUNC PyInit_spreadsheet() { return PyModuleDef_Init(&spreadsheet::module_def); }
