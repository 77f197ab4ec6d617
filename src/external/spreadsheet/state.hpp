// The module state of ondrel.external.spreadsheet: the runtime, the classes it built, interned
// names, and the helpers that every area shares.
#pragma once

#include <initializer_list>
#include <string_view>
#include <vector>

#include "native/boundary.hpp"
#include "native/classes.hpp"
#include "native/dicts.hpp"
#include "native/function.hpp"
#include "native/lookup.hpp"
#include "native/slots.hpp"

namespace spreadsheet {

using native::Call;
using native::Handle;
using native::Kind;
using native::ParamDecl;
using native::Ref;

// Names used by the implementations, interned once per module.
#define SPREADSHEET_NAMES(X) \
  X(__init__)                \
  X(__enter__)               \
  X(__exit__)                \
  X(name)                    \
  X(value)                   \
  X(_stringified_value)      \
  X(_result_value)           \
  X(sheet_name)              \
  X(column)                  \
  X(row)                     \
  X(_sheet_name)             \
  X(_left_column)            \
  X(_top_row)                \
  X(_data)                   \
  X(top_left_cell)           \
  X(data)                    \
  X(serialize)               \
  X(serialize_for_fill_spreadsheet) \
  X(logger)                  \
  X(warning)                 \
  X(API)                     \
  X(File)                    \
  X(BytesIO)                 \
  X(SpreadsheetError)        \
  X(_post_on_addon_endpoint) \
  X(SourceType)              \
  X(URL)                     \
  X(source_type)             \
  X(copy)                    \
  X(open_binary)             \
  X(from_path)               \
  X(from_data)               \
  X(from_url)                \
  X(getvalue)                \
  X(getvalue_binary)         \
  X(read)                    \
  X(write)                   \
  X(open)                    \
  X(_upload_temporary_file)  \
  X(_generate_temporary_file_urls) \
  X(download_url)            \
  X(result_upload_url)       \
  X(result_upload_fields)    \
  X(result_download_url)     \
  X(input)                   \
  X(include_filled_file)     \
  X(output)                  \
  X(timeout)                 \
  X(error_mapping)           \
  X(_values)                 \
  X(_file)                   \
  X(_inputs)                 \
  X(_input_cells)            \
  X(_result)                 \
  X(_create_request_body)    \
  X(inputs)                  \
  X(input_cells)             \
  X(values)                  \
  X(file)                    \
  X(named_cells)             \
  X(direct_cells)            \
  X(cell_ranges)             \
  X(SpreadsheetResult)       \
  X(DirectInputCell)         \
  X(NamedInputCell)          \
  X(InputCellRange)          \
  X(render_spreadsheet)      \
  X(_create_fill_spreadsheet_request_body) \
  X(_call_fill_spreadsheet_addon) \
  X(True)                    \
  X(False)                   \
  X(keys)                    \
  X(stringify_value)         \
  X(_list_of_lists_is_rectangular)

// Positions of the instance attributes in the attribute tables of the state (native/slots.hpp), one
// table per family of classes.
namespace named_attr {  // the named cells
enum : size_t { name, value, stringified_value, result_value };
}
namespace direct_attr {  // the direct cells
enum : size_t { sheet_name, column, row, value, stringified_value, result_value };
}
namespace range_attr {  // InputCellRange
enum : size_t { sheet_name, left_column, top_row, data };
}
namespace job_attr {  // SpreadsheetResult, SpreadsheetCalculation and SpreadsheetTemplate
enum : size_t { values, file, inputs, input_cells, result };
}

struct State {
  native::Runtime rt;
  Ref module_dict;
  Ref timeout_seconds;  // the fixed job time-out, 60
  Ref zero;             // the index of the first row
  Ref kwnames_values;               // ("values",)
  Ref kwnames_values_file;          // ("values", "file")
  Ref kwnames_file;                 // ("file",)
  Ref kwnames_file_inputs;          // ("file", "inputs")
  Ref kwnames_file_input_cells;     // ("file", "input_cells")
  Ref kwnames_timeout_mapping;      // ("timeout", "error_mapping")
  // The module's own cell classes, held here whatever happens to the module's names: the defining
  // classes of super() calls, and the classes the fill body recognises at once.
  Ref named_input_cell, calculation_input, input_cell_range, named_output_cell, direct_input_cell,
      direct_output_cell;
  static constexpr Ref State::*cell_classes[] = {&State::named_input_cell,  &State::calculation_input,
                                                  &State::input_cell_range,  &State::named_output_cell,
                                                  &State::direct_input_cell, &State::direct_output_cell};
#define SPREADSHEET_DECLARE_NAME(name) Ref s_##name;
  SPREADSHEET_NAMES(SPREADSHEET_DECLARE_NAME)
#undef SPREADSHEET_DECLARE_NAME
  // Where the instances keep the attributes above; the names are interned strings, which take no
  // part in reference cycles, so traverse and clear leave the tables alone.
  native::SlotTable named_attrs{attribute_names({"name", "value", "_stringified_value", "_result_value"})};
  native::SlotTable direct_attrs{
      attribute_names({"sheet_name", "column", "row", "value", "_stringified_value", "_result_value"})};
  native::SlotTable range_attrs{attribute_names({"_sheet_name", "_left_column", "_top_row", "_data"})};
  native::SlotTable job_attrs{attribute_names({"_values", "_file", "_inputs", "_input_cells", "_result"})};
  // The dicts of direct input cells, made by copying a prepared one (its keys are interned strings).
  native::DictShapes direct_input_dicts;
  // The {'value': value} dicts of named input cells, made the same way.
  native::DictShapes named_entry_dicts;
  // Where the fill body finds serialize and serialize_for_fill_spreadsheet for the last few classes.
  native::MethodCache serialize_methods, fill_entry_methods;
  // Where the module's dict keeps stringify_value and _list_of_lists_is_rectangular, read at each call.
  native::EntryCache stringify_entry, rectangular_entry;

  State();
  int traverse(visitproc visit, void* arg) const;
  void clear();

  // A name of the module looked up at call time, as Python code looks up a global: the module's
  // own dictionary, then the builtins; NameError when neither has it.
  Ref global(Handle name) const;

 private:
  static std::vector<Ref> attribute_names(std::initializer_list<std::string_view> names);
};

inline PyTypeObject* as_type(Handle cls) { return reinterpret_cast<PyTypeObject*>(cls.ptr()); }

// ---- helpers shared by the areas ------------------------------------------------------------

inline ParamDecl param(std::string_view name, std::string_view annotation = {}, Ref default_value = {}) {
  return {name, Kind::Positional, annotation, std::move(default_value)};
}
inline ParamDecl kwonly(std::string_view name, std::string_view annotation = {}, Ref default_value = {}) {
  return {name, Kind::KeywordOnly, annotation, std::move(default_value)};
}

using native::call_super;

// obj.<name>(args...), through the method lookup Python uses; the buffer is sized by the call.
template <size_t N>
Ref call_method(Handle obj, Handle name, const Handle (&args)[N]) {
  PyObject* argv[N + 1];
  argv[0] = obj.ptr();
  for (size_t i = 0; i < N; ++i) argv[i + 1] = args[i].ptr();
  return native::own(PyObject_VectorcallMethod(name.ptr(), argv, (N + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}
inline Ref call_method(Handle obj, Handle name) {
  return native::own(PyObject_CallMethodNoArgs(obj.ptr(), name.ptr()));
}

// A new dict of the given keys and values in this order, as a dict display builds it.
template <size_t N>
Ref dict_of(PyObject* const (&keys)[N], PyObject* const (&values)[N]) {
  Ref dict = native::own(PyDict_New());
  for (size_t i = 0; i < N; ++i) native::ok(PyDict_SetItem(dict.ptr(), keys[i], values[i]));
  return dict;
}

// `raise type(message)`: calls the class (host classes included), then raises what it made as the
// statement does, so that a stand-in that makes no exception gives the statement's TypeError.
[[noreturn]] void raise_with(Handle type, Handle message);

// `a, b, c = value` with the interpreter's messages.
void unpack3(Handle value, Ref out[3]);

// Iterates `items` as a for loop does; lists are walked by index (their size re-read each step).
template <class Body>
void for_each(Handle items, Body&& body) {
  if (PyList_CheckExact(items.ptr())) {
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.ptr()); ++i) {
      Ref item = native::borrow(PyList_GET_ITEM(items.ptr(), i));
      body(Handle(item));
    }
    return;
  }
  Ref iterator = native::own(PyObject_GetIter(items.ptr()));
  while (PyObject* next = PyIter_Next(iterator.ptr())) {
    Ref item = native::steal(next);
    body(Handle(item));
  }
  if (PyErr_Occurred()) throw native::PythonError{};
}

// While alive, `error` is the exception being handled (as inside an except block), so that an
// exception raised meanwhile is chained to it; the previous one is restored afterwards.
class Handling {
 public:
  explicit Handling(Handle error) : previous_(native::steal(PyErr_GetHandledException())) {
    PyErr_SetHandledException(error.ptr());
  }
  ~Handling() { PyErr_SetHandledException(previous_.ptr()); }
  Handling(const Handling&) = delete;
  Handling& operator=(const Handling&) = delete;

 private:
  Ref previous_;
};

// Bound special methods of a context manager, looked up on its type.
Ref lookup_special(Handle obj, Handle name);
bool exit_after_failure(Handle exit);  // calls exit with the raised exception; true: suppressed
void exit_normally(Handle exit);

// `with manager as value: body(value)`: __exit__ gets the exception details when the body fails,
// and the exception goes on unless __exit__ returns a true value. Returns false when an exception
// was suppressed, so the caller knows that the body did not finish.
template <class Body>
bool with_block(State& state, Handle manager, Body&& body) {
  // Looked up in this order, each missing one with the interpreter's own words.
  Ref enter = lookup_special(manager, state.s___enter__);
  if (!enter) {
    native::raise_format(PyExc_TypeError, "'%.200s' object does not support the context manager protocol",
                         Py_TYPE(manager.ptr())->tp_name);
  }
  Ref exit = lookup_special(manager, state.s___exit__);
  if (!exit) {
    native::raise_format(PyExc_TypeError,
                         "'%.200s' object does not support the context manager protocol (missed __exit__ method)",
                         Py_TYPE(manager.ptr())->tp_name);
  }
  Ref value = native::own(PyObject_CallNoArgs(enter.ptr()));
  try {
    body(Handle(value));
  } catch (...) {
    native::translate_exception();  // a C++ failure too becomes the Python exception __exit__ is given
    if (exit_after_failure(exit)) return false;
    throw native::PythonError{};
  }
  exit_normally(exit);
  return true;
}

// The areas of the module, built in this order.
void build_cells(PyObject* module, State& state);
void build_calculation(PyObject* module, State& state);
void build_template(PyObject* module, State& state);

}  // namespace spreadsheet
