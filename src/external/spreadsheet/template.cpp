// Filling a spreadsheet template with direct cells, named cells and ranges through the fill add-on.
#include <iterator>
#include <utility>
#include <vector>

#include "external/spreadsheet/addresses.hpp"
#include "external/spreadsheet/cells.hpp"
#include "external/spreadsheet/jobs.hpp"

namespace spreadsheet {
namespace {

using native::FunctionDecl;

constexpr std::string_view cells_annotation = "List[Union[DirectInputCell, NamedInputCell, InputCellRange]]";

enum class CellKind { Undecided, Direct, Named, Range, Other };

// The kind of a cell by the isinstance tests of the body, in their order. When the names are bound to
// classes, the answer for an instance of one of the module's own cell classes depends on its class
// only: it is kept from the first such cell for the others of its class in the body.
class CellKinds {
 public:
  CellKinds(State& state)
      : direct_(state.global(state.s_DirectInputCell)),
        named_(state.global(state.s_NamedInputCell)),
        range_(state.global(state.s_InputCellRange)),
        classes_(PyType_Check(direct_.ptr()) && PyType_Check(named_.ptr()) && PyType_Check(range_.ptr())) {
    for (size_t i = 0; i < std::size(State::cell_classes); ++i)
      known_[i] = {as_type(state.*State::cell_classes[i]), CellKind::Undecided};
  }

  CellKind operator()(Handle cell) {
    if (!classes_) return classify(cell);
    for (Known& k : known_) {
      if (Py_TYPE(cell.ptr()) != k.type) continue;
      if (k.kind == CellKind::Undecided) k.kind = classify(cell);
      return k.kind;
    }
    return classify(cell);
  }

 private:
  CellKind classify(Handle cell) const {
    if (native::ok(PyObject_IsInstance(cell.ptr(), direct_.ptr()))) return CellKind::Direct;
    if (native::ok(PyObject_IsInstance(cell.ptr(), named_.ptr()))) return CellKind::Named;
    if (native::ok(PyObject_IsInstance(cell.ptr(), range_.ptr()))) return CellKind::Range;
    return CellKind::Other;
  }

  struct Known {
    PyTypeObject* type;
    CellKind kind;
  };
  Ref direct_, named_, range_;
  bool classes_;
  Known known_[std::size(State::cell_classes)];
};

// dict.update(other): a mapping (anything with keys()) by its keys, anything else as pairs.
void update(const State& state, Handle dict, Handle other) {
  if (PyDict_CheckExact(other.ptr())) {
    native::ok(PyDict_Merge(dict.ptr(), other.ptr(), 1));
    return;
  }
  PyObject* keys = nullptr;
  const bool mapping = native::ok(PyObject_GetOptionalAttr(other.ptr(), state.s_keys.ptr(), &keys));
  Ref held = native::steal(keys);
  if (mapping) {
    native::ok(PyDict_Merge(dict.ptr(), other.ptr(), 1));
  } else {
    native::ok(PyDict_MergeFromSeq2(dict.ptr(), other.ptr(), 1));
  }
}

Ref create_fill_request_body(Call& call) {
  State& state = call.state<State>();
  Handle template_stream = call[0];
  const Py_ssize_t expected = PyList_CheckExact(call[1].ptr()) ? PyList_GET_SIZE(call[1].ptr()) : 0;
  // The direct cells' dicts, put into their list once all are made: a list the collector follows
  // would be walked by every collection that the allocations of the dicts set off.
  std::vector<Ref> direct_cells;
  AddressSet direct_addresses(expected);
  Ref named_cells = native::own(PyDict_New());
  Ref cell_ranges = native::own(PyList_New(0));
  CellKinds kind_of(state);
  bool str_keys = true;  // every key of named_cells an exact str

  // Every cell is checked before anything is uploaded.
  for_each(call[1], [&](Handle cell) {
    switch (kind_of(cell)) {
      case CellKind::Direct: {
        const native::SlotTable::Object attrs = state.direct_attrs.of(cell);
        // The address, and the value too when reading all four runs no code: the module's own
        // serialize then reads the same four, as nothing runs in between.
        PyObject* const* stored = attrs.readable();
        PyObject* const read[] = {stored ? attrs.peek(stored, direct_attr::sheet_name) : nullptr,
                                  stored ? attrs.peek(stored, direct_attr::row) : nullptr,
                                  stored ? attrs.peek(stored, direct_attr::column) : nullptr,
                                  stored ? attrs.peek(stored, direct_attr::value) : nullptr};
        const bool all_read = read[0] && read[1] && read[2] && read[3];
        // Held: what runs later (a method found another way, the collector) may replace them.
        Ref sheet_name = all_read ? native::borrow(read[0]) : attrs.get(direct_attr::sheet_name);
        Ref row = all_read ? native::borrow(read[1]) : attrs.get(direct_attr::row);
        Ref column = all_read ? native::borrow(read[2]) : attrs.get(direct_attr::column);
        Ref value = all_read ? native::borrow(read[3]) : Ref();
        // cell.serialize(): the module's own method runs in place. Finding it as the method runs no code.
        const native::Method serialize = state.serialize_methods.find(cell, state.s_serialize);
        Ref serialized;
        if (!serialize.unbound || !is_direct_input_serialize(state, serialize.callable) || native::generic_paths())
          serialized = serialize.call(cell);
        else if (all_read)
          serialized = direct_input_dict(state, {sheet_name.ptr(), row.ptr(), column.ptr(), value.ptr()});
        else
          serialized = direct_input_dict(state, attrs, false);
        if (!direct_addresses.add(sheet_name, row, column)) {
          Ref address = native::own(PyTuple_Pack(3, sheet_name.ptr(), row.ptr(), column.ptr()));
          raise_with(state.global(state.s_SpreadsheetError),
                     native::own(PyUnicode_FromFormat("There are two equal direct cell addresses for address: %S",
                                                      address.ptr())));
        }
        if (direct_cells.empty()) direct_cells.reserve(static_cast<size_t>(expected));
        direct_cells.push_back(std::move(serialized));
        break;
      }
      case CellKind::Named: {
        // cell.serialize_for_fill_spreadsheet(): the module's own method gives its one entry, which then
        // goes into named_cells without the dictionary around it when the name is an exact str.
        const native::Method serialize =
            state.fill_entry_methods.find(cell, state.s_serialize_for_fill_spreadsheet);
        Ref serialized, entry_name, entry;
        if (serialize.unbound && is_named_input_serialize_for_fill(state, serialize.callable) &&
            !native::generic_paths()) {
          named_input_fill_entry(state, cell, entry_name, entry);
          // A name of another kind is hashed by the method's dictionary, which may run code or fail.
          if (!PyUnicode_CheckExact(entry_name.ptr())) serialized = dict_of({entry_name.ptr()}, {entry.ptr()});
        } else {
          serialized = serialize.call(cell);
        }
        Ref name = state.named_attrs.of(cell).get(named_attr::name);
        // The check and the insertion are one step when both are about the same exact str, and
        // comparing it with the names already there runs no code.
        const bool one_step = !serialized && str_keys && entry_name.is(name) && PyUnicode_CheckExact(name.ptr());
        int present;
        if (one_step)
          present = native::ok(PyDict_SetDefaultRef(named_cells.ptr(), name.ptr(), entry.ptr(), nullptr));
        else
          present = native::ok(PyDict_Contains(named_cells.ptr(), name.ptr()));
        if (present) {
          raise_with(state.global(state.s_SpreadsheetError),
                     native::own(PyUnicode_FromFormat("There are two equal named cells for name: %S", name.ptr())));
        }
        if (serialized) {
          update(state, named_cells, serialized);
          str_keys = false;  // whatever keys it had
        } else if (!one_step) {
          native::setitem(named_cells, entry_name, entry);
          str_keys = str_keys && PyUnicode_CheckExact(entry_name.ptr());
        }
        break;
      }
      case CellKind::Range:
        native::ok(PyList_Append(cell_ranges.ptr(), call_method(cell, state.s_serialize).ptr()));
        break;
      case CellKind::Undecided:
      case CellKind::Other:
        native::raise(PyExc_ValueError, "Undefined cell type");
    }
  });

  Ref direct_list = native::own(PyList_New(static_cast<Py_ssize_t>(direct_cells.size())));
  for (size_t i = 0; i < direct_cells.size(); ++i)
    PyList_SET_ITEM(direct_list.ptr(), static_cast<Py_ssize_t>(i), direct_cells[i].release());

  Ref api = native::own(PyObject_CallNoArgs(state.global(state.s_API).ptr()));
  // The stream as it is: the upload sends its whole content whatever its position.
  Ref download_url = call_method(api, state.s__upload_temporary_file, {template_stream});
  Ref slot[3];
  unpack3(call_method(api, state.s__generate_temporary_file_urls), slot);

  Ref body = request_body_start(state, download_url, slot);
  native::setitem(body, state.s_named_cells, named_cells);
  native::setitem(body, state.s_direct_cells, direct_list);
  native::setitem(body, state.s_cell_ranges, cell_ranges);
  return body;
}

Ref call_fill_addon(Call& call) {
  State& state = call.state<State>();
  Ref error = state.global(state.s_SpreadsheetError);
  Ref error_mapping = native::own(PyDict_New());
  for (const char* name : {"TypeError", "InvalidInputError", "SpreadsheetTemplaterError"})
    native::setitem(error_mapping, native::str(name), error);
  return post_job(state, "fillspreadsheet/v2/jobs/", call[0], error_mapping);
}

Ref render_spreadsheet_impl(Call& call) {
  State& state = call.state<State>();
  Ref create_body = state.global(state.s__create_fill_spreadsheet_request_body);
  Ref body = native::call(create_body, {call[0], call[1]});
  native::call(state.global(state.s__call_fill_spreadsheet_addon), {body});  // the answer is not used
  Ref from_url = native::getattr(state.global(state.s_File), state.s_from_url);
  return native::call(from_url, {native::own(PyObject_GetItem(body.ptr(), state.s_result_download_url.ptr()))});
}

// ---- SpreadsheetTemplate ------------------------------------------------------------------------

Ref template_init(Call& call) {
  State& state = call.state<State>();
  const native::SlotTable::Object attrs = state.job_attrs.of(call[0]);
  attrs.set(job_attr::file, call[1]);
  attrs.set(job_attr::input_cells, call[2]);
  attrs.set(job_attr::result, native::none());
  return native::none();
}

Ref template_from_path(Call& call) {
  State& state = call.state<State>();
  Ref file = native::own(PyObject_CallNoArgs(state.global(state.s_BytesIO).ptr()));
  Ref opened = native::call(state.global(state.s_open), {call[1], native::str("rb")});
  const bool finished = with_block(state, opened, [&](Handle stream) {
    call_method(file, state.s_write, {call_method(stream, state.s_read)});
  });
  (void)finished;  // a suppressed error leaves the buffer as far as it was written, as in Python
  // The buffer stays at its end; the upload sends the whole content anyway.
  PyObject* argv[] = {file.ptr(), call[2].ptr()};
  return native::own(PyObject_Vectorcall(call[0].ptr(), argv, 0, state.kwnames_file_input_cells.ptr()));
}

Ref template_render(Call& call) {
  State& state = call.state<State>();
  Handle self = call[0];
  Ref template_file = state.job_attrs.of(self).get(job_attr::file);
  Ref cells = state.job_attrs.of(self).get(job_attr::input_cells);
  Ref file = native::call(state.global(state.s_render_spreadsheet), {template_file, cells});
  PyObject* argv[] = {file.ptr()};
  Ref result = native::own(
      PyObject_Vectorcall(state.global(state.s_SpreadsheetResult).ptr(), argv, 0, state.kwnames_file.ptr()));
  // Only a finished rendering replaces the previous result.
  state.job_attrs.of(self).set(job_attr::result, result);
  return result;
}

Ref template_result(Call& call) {
  State& state = call.state<State>();
  Ref result = state.job_attrs.of(call[0]).get(job_attr::result);
  if (result.is_none())
    raise_with(state.global(state.s_SpreadsheetError), native::str("Render template first before trying to get results"));
  return result;
}

void add_function(PyObject* module, State& state, FunctionDecl decl) {
  const std::string_view name = decl.name;
  Ref function = native::make_function(state.rt, module, std::move(decl));
  bind_public(module, name, function);
}

}  // namespace

void build_template(PyObject* module, State& state) {
  add_function(module, state,
               {.name = "render_spreadsheet",
                .params = {param("template", "BinaryIO"), param("cells", cells_annotation)},
                .returns = "File",
                .doc = "\n"
                       "    Fills a spreadsheet template with values through the platform's spreadsheet service.\n"
                       "\n"
                       "    Example::\n"
                       "\n"
                       "        cells = [\n"
                       "            DirectInputCell('Sheet1', 'A', 2, 5.0),\n"
                       "            NamedInputCell('span', 6.5),\n"
                       "            InputCellRange('Sheet1', 'B', 4, [[1, 2], [3, 4]]),\n"
                       "        ]\n"
                       "        with open('template.xlsx', 'rb') as template:\n"
                       "            rendered = render_spreadsheet(template, cells)\n"
                       "\n"
                       "    :param template: the spreadsheet template, opened in binary mode\n"
                       "    :param cells: the cells to fill: direct cells (sheet name, column and row, e.g. A2), named\n"
                       "        cells and cell ranges\n"
                       "    :return: File object containing the rendered spreadsheet\n"
                       "    ",
                .impl = render_spreadsheet_impl});
  add_function(module, state,
               {.name = "_create_fill_spreadsheet_request_body",
                .params = {param("template", "BinaryIO"), param("cells", cells_annotation)},
                .returns = "dict",
                .impl = create_fill_request_body});
  add_function(module, state,
               {.name = "_call_fill_spreadsheet_addon",
                .params = {param("body", "dict")},
                .returns = "str",
                .impl = call_fill_addon});

  native::ClassBuilder b(state.rt, module, "SpreadsheetTemplate");
  b.doc("\n"
        "    Spreadsheet template that is filled with values: direct cells (sheet name, column and row, e.g. A2),\n"
        "    named cells and cell ranges.\n"
        "\n"
        "    Prefer to use the function :func:`~.render_spreadsheet` instead.\n"
        "    ");
  b.method({.name = "__init__",
            .params = {param("self"), param("file", "BytesIO"), param("input_cells", cells_annotation)},
            .doc = "\n"
                   "        :param file: the spreadsheet template\n"
                   "        :param input_cells: the cells to fill\n"
                   "        ",
            .impl = template_init});
  b.class_method({.name = "from_path",
                  .params = {param("cls"), param("file_path", "Union[str, bytes, os.PathLike]"),
                             param("input_cells", cells_annotation)},
                  .returns = "SpreadsheetTemplate",
                  .doc = "\n"
                         "        Makes a template of the spreadsheet at the given path.\n"
                         "\n"
                         "        :param file_path: path of the spreadsheet template\n"
                         "        :param input_cells: the cells to fill\n"
                         "        ",
                  .impl = template_from_path});
  b.method({.name = "render",
            .params = {param("self")},
            .returns = "SpreadsheetResult",
            .doc = "\n"
                   "        Renders the template.\n"
                   "\n"
                   "        :return: SpreadsheetResult object of the filled template\n"
                   "        ",
            .impl = template_render});
  b.property({.name = "result",
              .params = {param("self")},
              .returns = "SpreadsheetResult",
              .doc = "\n        Returns the result of the last rendering.\n        ",
              .impl = template_result});
  bind_class(module, b);
}

}  // namespace spreadsheet
