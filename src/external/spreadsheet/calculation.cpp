// Evaluation of a spreadsheet with named inputs through the evaluate add-on, and the result wrapper
// that both spreadsheet jobs return.
#include <string>

#include "external/spreadsheet/jobs.hpp"

namespace spreadsheet {
namespace {

using native::FunctionDecl;

constexpr const char* run_evaluate_first = "Run evaluate spreadsheet first before trying to get results.";

// `file.source_type == File.SourceType.URL`, with File as the module binds it now.
bool is_url_backed(State& state, Handle file, Handle file_class = {}) {
  Ref source_type = native::getattr(file, state.s_source_type);
  Ref cls = file_class ? native::borrow(file_class) : state.global(state.s_File);
  Ref url = native::getattr(native::getattr(cls, state.s_SourceType), state.s_URL);
  return native::equal(source_type, url);
}

// What Python reports when a context manager that suppressed an error skipped the assignment.
[[noreturn]] void raise_unfinished_upload() {
  native::raise(PyExc_UnboundLocalError,
                "cannot access local variable 'download_url' where it is not associated with a value");
}

// ---- SpreadsheetResult --------------------------------------------------------------------------

Ref result_init(Call& call) {
  State& state = call.state<State>();
  const native::SlotTable::Object attrs = state.job_attrs.of(call[0]);
  attrs.set(job_attr::values, call[1]);
  Ref file = native::borrow(call[2]);
  // A URL-backed file is replaced by its copy, so the result no longer depends on the URL.
  if (native::truthy(file) && is_url_backed(state, file))
    file = call_method(file, state.s_copy);
  attrs.set(job_attr::file, file);
  return native::none();
}

Ref result_values(Call& call) {
  Ref values = call.state<State>().job_attrs.of(call[0]).get(job_attr::values);
  if (values.is_none()) native::raise(PyExc_ValueError, "This result does not contain values");
  return values;
}

Ref result_file(Call& call) {
  Ref file = call.state<State>().job_attrs.of(call[0]).get(job_attr::file);
  if (file.is_none()) native::raise(PyExc_ValueError, "This result does not have a file");
  return file;
}

Ref result_file_content(Call& call) {
  State& state = call.state<State>();
  return call_method(native::getattr(call[0], state.s_file), state.s_getvalue_binary);
}

Ref result_get_value(Call& call) {
  State& state = call.state<State>();
  Handle name = call[1];
  Ref values = state.job_attrs.of(call[0]).get(job_attr::values);
  if (values.is_none()) raise_with(state.global(state.s_SpreadsheetError), native::str(run_evaluate_first));
  if (PyObject* found = PyObject_GetItem(values.ptr(), name.ptr())) return native::steal(found);
  if (!PyErr_ExceptionMatches(PyExc_KeyError)) throw native::PythonError{};
  // raise SpreadsheetError(...) from the KeyError, in its except block: the KeyError is cause and context.
  Ref key_error = native::steal(PyErr_GetRaisedException());
  Handling handling(key_error);
  Ref message = native::own(PyUnicode_FromFormat("Unknown cell: %S", name.ptr()));
  native::raise_object(native::call(state.global(state.s_SpreadsheetError), {message}), key_error);
}

// ---- SpreadsheetCalculation ---------------------------------------------------------------------

Ref calculation_init(Call& call) {
  State& state = call.state<State>();
  Ref file = native::borrow(call[1]);
  Ref file_class = state.global(state.s_File);
  if (native::ok(PyObject_IsInstance(file.ptr(), file_class.ptr())) && is_url_backed(state, file, file_class))
    file = call_method(file, state.s_copy);
  const native::SlotTable::Object attrs = state.job_attrs.of(call[0]);
  attrs.set(job_attr::file, file);
  attrs.set(job_attr::inputs, call[2]);
  attrs.set(job_attr::result, native::none());
  return native::none();
}

Ref calculation_from_path(Call& call) {
  State& state = call.state<State>();
  Ref file = call_method(state.global(state.s_File), state.s_from_path, {call[1]});
  PyObject* argv[] = {file.ptr(), call[2].ptr()};
  return native::own(PyObject_Vectorcall(call[0].ptr(), argv, 0, state.kwnames_file_inputs.ptr()));
}

Ref calculation_file(Call& call) {
  State& state = call.state<State>();
  Ref file = state.job_attrs.of(call[0]).get(job_attr::file);
  Ref file_class = state.global(state.s_File);
  if (native::ok(PyObject_IsInstance(file.ptr(), file_class.ptr()))) return file;
  if (native::ok(PyObject_IsInstance(file.ptr(), state.global(state.s_BytesIO).ptr()))) {
    // The whole buffer, whatever its position; a new File at each read.
    return call_method(file_class, state.s_from_data, {call_method(file, state.s_getvalue)});
  }
  PyErr_SetNone(PyExc_NotImplementedError);
  throw native::PythonError{};
}

Ref calculation_create_request_body(Call& call) {
  State& state = call.state<State>();
  Handle self = call[0];
  // Names are checked before anything is uploaded.
  Ref inputs = native::own(PyList_CheckExact(call[1].ptr()) ? _PyDict_NewPresized(PyList_GET_SIZE(call[1].ptr()))
                                                              : PyDict_New());
  auto raise_duplicate = [&](Handle name) {
    raise_with(state.global(state.s_SpreadsheetError),
               native::own(PyUnicode_FromFormat("There are two equal named cell input names for name: %S", name.ptr())));
  };
  bool str_keys = true;  // every name so far an exact str: comparing names runs no code
  for_each(call[1], [&](Handle input) {
    const native::SlotTable::Object attrs = state.named_attrs.of(input);
    Ref name = attrs.get(named_attr::name);
    // The value is read after the check for a duplicate name. When reading it runs no code, and the
    // check none either (exact str names only), both come in one step: insert unless present.
    if (str_keys && PyUnicode_CheckExact(name.ptr())) {
      if (PyObject* value = attrs.peek(named_attr::value)) {
        if (native::ok(PyDict_SetDefaultRef(inputs.ptr(), name.ptr(), value, nullptr)) == 0) return;
        raise_duplicate(name);
      }
    }
    if (native::ok(PyDict_Contains(inputs.ptr(), name.ptr()))) raise_duplicate(name);
    native::setitem(inputs, name, attrs.get(named_attr::value));
    str_keys = str_keys && PyUnicode_CheckExact(name.ptr());
  });

  Ref api = native::own(PyObject_CallNoArgs(state.global(state.s_API).ptr()));
  Ref file = state.job_attrs.of(self).get(job_attr::file);
  Ref download_url;
  if (native::ok(PyObject_IsInstance(file.ptr(), state.global(state.s_File).ptr()))) {
    // The stream is closed again on every path, by the file's own context manager.
    Ref manager = call_method(file, state.s_open_binary);
    const bool finished = with_block(state, manager, [&](Handle stream) {
      download_url = call_method(api, state.s__upload_temporary_file, {stream});
    });
    if (!finished) raise_unfinished_upload();
  } else if (native::ok(PyObject_IsInstance(file.ptr(), state.global(state.s_BytesIO).ptr()))) {
    download_url = call_method(api, state.s__upload_temporary_file, {file});
  } else {
    PyErr_SetNone(PyExc_NotImplementedError);
    throw native::PythonError{};
  }
  Ref slot[3];
  unpack3(call_method(api, state.s__generate_temporary_file_urls), slot);

  Ref body = request_body_start(state, download_url, slot);
  native::setitem(body, state.s_input, inputs);
  native::setitem(body, state.s_include_filled_file, call[2]);
  return body;
}

Ref calculation_evaluate(Call& call) {
  State& state = call.state<State>();
  Handle self = call[0];
  Handle include_filled_file = call[1];
  Ref body = call_method(self, state.s__create_request_body,
                         {state.job_attrs.of(self).get(job_attr::inputs), include_filled_file});
  Ref error_mapping = native::own(PyDict_New());
  native::setitem(error_mapping, native::str("SpreadsheetEvaluatorError"), state.global(state.s_SpreadsheetError));
  Ref answer = post_job(state, "evaluatespreadsheet/v3/jobs/", body, error_mapping);
  Ref values = native::own(PyObject_GetItem(answer.ptr(), state.s_output.ptr()));

  Ref result_class = state.global(state.s_SpreadsheetResult);
  Ref result;
  if (native::truthy(include_filled_file)) {
    Ref from_url = native::getattr(state.global(state.s_File), state.s_from_url);
    Ref url = native::own(PyObject_GetItem(body.ptr(), state.s_result_download_url.ptr()));
    Ref file = native::call(from_url, {url});
    PyObject* argv[] = {values.ptr(), file.ptr()};
    result = native::own(PyObject_Vectorcall(result_class.ptr(), argv, 0, state.kwnames_values_file.ptr()));
  } else {
    PyObject* argv[] = {values.ptr()};
    result = native::own(PyObject_Vectorcall(result_class.ptr(), argv, 0, state.kwnames_values.ptr()));
  }
  // Only a finished job replaces the previous result.
  state.job_attrs.of(self).set(job_attr::result, result);
  return result;
}

Ref calculation_result(Call& call) {
  State& state = call.state<State>();
  Ref result = state.job_attrs.of(call[0]).get(job_attr::result);
  if (result.is_none()) raise_with(state.global(state.s_SpreadsheetError), native::str(run_evaluate_first));
  return result;
}

}  // namespace

// ---- shared with the template area -------------------------------------------------------------

Ref request_body_start(State& state, Handle download_url, const Ref slot[3]) {
  Ref body = native::own(PyDict_New());
  native::setitem(body, state.s_download_url, download_url);
  native::setitem(body, state.s_result_upload_url, slot[0]);
  native::setitem(body, state.s_result_upload_fields, slot[1]);
  native::setitem(body, state.s_result_download_url, slot[2]);
  return body;
}

Ref post_job(State& state, const char* endpoint, Handle body, Handle error_mapping) {
  Ref post = state.global(state.s__post_on_addon_endpoint);
  Ref path = native::str(endpoint);
  PyObject* argv[] = {path.ptr(), body.ptr(), state.timeout_seconds.ptr(), error_mapping.ptr()};
  return native::own(PyObject_Vectorcall(post.ptr(), argv, 2, state.kwnames_timeout_mapping.ptr()));
}

void build_calculation(PyObject* module, State& state) {
  const native::Runtime& rt = state.rt;
  {
    native::ClassBuilder b(rt, module, "SpreadsheetResult");
    b.doc("\n"
          "    Result of a spreadsheet job: the result values by name and, when asked for, the filled-in spreadsheet.\n"
          "\n"
          "    Do not instantiate this class directly, it is created by the spreadsheet service.\n"
          "    ");
    b.method({.name = "__init__",
              .params = {param("self"), kwonly("values", "dict", native::none()),
                         kwonly("file", "File", native::none())},
              .doc = "\n"
                     "        :param values: result values by name\n"
                     "        :param file: the filled-in spreadsheet\n"
                     "        ",
              .impl = result_init});
    b.property({.name = "values",
                .params = {param("self")},
                .returns = "dict",
                .doc = "\n        Returns the result values by name.\n        ",
                .impl = result_values});
    b.property({.name = "file_content",
                .params = {param("self")},
                .returns = "bytes",
                .doc = "\n        Returns the content of the resulting filled-in spreadsheet.\n        ",
                .impl = result_file_content});
    b.property({.name = "file",
                .params = {param("self")},
                .returns = "File",
                .doc = "\n"
                       "        Returns a File object of the resulting filled-in spreadsheet.\n"
                       "\n"
                       "        ::version(v14.14.0)\n"
                       "        ",
                .impl = result_file});
    b.method({.name = "get_value",
              .params = {param("self"), param("name", "str")},
              .returns = "Any",
              .doc = "\n"
                     "        Returns the result value of the output with the given name.\n"
                     "\n"
                     "        :param name: name of the output\n"
                     "        ",
              .impl = result_get_value});
    bind_class(module, b);
  }
  {
    native::ClassBuilder b(rt, module, "SpreadsheetCalculation");
    b.doc("\n"
          "    Evaluates a spreadsheet with named inputs on the platform's spreadsheet service.\n"
          "\n"
          "    The spreadsheet must not contain macros; for a spreadsheet with macros use the Excel module of the\n"
          "    SDK instead.\n"
          "\n"
          "    Example::\n"
          "\n"
          "        inputs = [\n"
          "            SpreadsheetCalculationInput('width', 0.3),\n"
          "            SpreadsheetCalculationInput('height', 0.5),\n"
          "        ]\n"
          "        calculation = SpreadsheetCalculation.from_path('beam.xlsx', inputs)\n"
          "        result = calculation.evaluate()\n"
          "        area = result.get_value('area')\n"
          "    ");
    b.method({.name = "__init__",
              .params = {param("self"), param("file", "Union[BytesIO, File]"),
                         param("inputs", "List[SpreadsheetCalculationInput]")},
              .doc = "\n"
                     "        :param file: the spreadsheet to evaluate\n"
                     "        :param inputs: the named inputs; their values are entered into the input tab of the\n"
                     "            sheet\n"
                     "        ",
              .impl = calculation_init});
    b.class_method({.name = "from_path",
                    .params = {param("cls"), param("file_path", "Union[str, bytes, os.PathLike]"),
                               param("inputs", "List[SpreadsheetCalculationInput]")},
                    .returns = "SpreadsheetCalculation",
                    .doc = "\n"
                           "        Makes a calculation of the spreadsheet at the given path.\n"
                           "\n"
                           "        :param file_path: path of the spreadsheet\n"
                           "        :param inputs: the named inputs\n"
                           "        ",
                    .impl = calculation_from_path});
    b.property({.name = "file",
                .params = {param("self")},
                .returns = "File",
                .doc = "\n"
                       "        Returns a File object of the to-be-calculated spreadsheet.\n"
                       "\n"
                       "        ::version(v14.14.0)\n"
                       "        ",
                .impl = calculation_file});
    b.method({.name = "evaluate",
              .params = {param("self"), param("include_filled_file", "bool", native::boolean(false))},
              .returns = "SpreadsheetResult",
              .doc = "\n"
                     "        Evaluates the spreadsheet: the values of the inputs are entered into the input tab of the\n"
                     "        sheet, the sheet evaluates them and a dictionary of the result parameters comes back.\n"
                     "\n"
                     "        :param include_filled_file: when True, the result also holds the filled-in spreadsheet\n"
                     "            (default: False)\n"
                     "        :return: SpreadsheetResult object\n"
                     "        ",
              .impl = calculation_evaluate});
    b.property({.name = "result",
                .params = {param("self")},
                .returns = "SpreadsheetResult",
                .doc = "\n        Returns the result of the last evaluation.\n        ",
                .impl = calculation_result});
    b.method({.name = "_create_request_body",
              .params = {param("self"), param("inputs", "List[SpreadsheetCalculationInput]"),
                         param("include_filled_file", "bool")},
              .returns = "dict",
              .impl = calculation_create_request_body});
    bind_class(module, b);
  }
}

}  // namespace spreadsheet
