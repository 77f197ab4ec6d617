// The cell vocabulary: named and direct input and output cells, rectangular input ranges, and the
// two module functions that turn values into text and check that a block of rows is rectangular.
#include "external/spreadsheet/cells.hpp"
#include "external/spreadsheet/jobs.hpp"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <string>

namespace spreadsheet {
namespace {

using native::FunctionDecl;

// ---- module functions ---------------------------------------------------------------------------

Ref stringify_value_impl(Call& call) { return stringify(call.state<State>(), call[0]); }

Ref list_of_lists_is_rectangular_impl(Call& call) { return native::boolean(is_rectangular(call[0])); }

// ---- named cells --------------------------------------------------------------------------------

Ref named_base_init(Call& call) {
  call.state<State>().named_attrs.of(call[0]).set(named_attr::name, call[1]);
  return native::none();
}

// The body of an abstract method: never meant to run, returns None when called through super().
Ref abstract_serialize(Call&) { return native::none(); }

Ref named_input_init(Call& call) {
  State& state = call.state<State>();
  Handle self = call[0];
  PyObject* base_args[] = {call[1].ptr()};
  call_super(self, as_type(state.named_input_cell), state.s___init__, base_args, 1);
  const native::SlotTable::Object attrs = state.named_attrs.of(self);
  attrs.set(named_attr::value, call[2]);
  attrs.set(named_attr::stringified_value, call_stringify_value(state, call[2]));
  return native::none();
}

Ref named_input_repr(Call& call) {
  const native::SlotTable::Object attrs = call.state<State>().named_attrs.of(call[0]);
  Ref name = attrs.get(named_attr::name);
  Ref value = attrs.get(named_attr::value);
  return native::own(PyUnicode_FromFormat("NamedInputCell(name=%R, value=%R)", name.ptr(), value.ptr()));
}

Ref named_input_serialize(Call& call) {
  State& state = call.state<State>();
  Handle self = call[0];
  const bool as_text = native::truthy(call[1]);
  const native::SlotTable::Object attrs = state.named_attrs.of(self);
  Ref name = attrs.get(named_attr::name);
  Ref value = attrs.get(as_text ? named_attr::stringified_value : named_attr::value);
  return dict_of({state.s_name.ptr(), state.s_value.ptr()}, {name.ptr(), value.ptr()});
}

Ref named_input_serialize_for_fill(Call& call) {
  State& state = call.state<State>();
  Ref name, inner;
  named_input_fill_entry(state, call[0], name, inner);
  Ref dict = native::own(PyDict_New());
  native::setitem(dict, name, inner);
  return dict;
}

// ---- output cells (named and direct share the one-time result) ----------------------------------

// The attribute table of a family of output cells and the position of _result_value in it.
template <native::SlotTable State::*Attrs, size_t Result>
struct ResultOf {
  static Ref get(Call& call) {
    Ref value = (call.state<State>().*Attrs).of(call[0]).get(Result);
    if (value.is_none())
      native::raise(PyExc_RuntimeError, "Result for direct output cell is not yet available, execute first.");
    return value;
  }

  static Ref set(Call& call) {
    const native::SlotTable::Object attrs = (call.state<State>().*Attrs).of(call[0]);
    // None marks the unset state, so setting None leaves the cell unset.
    if (!attrs.get(Result).is_none()) native::raise(PyExc_AttributeError, "Result value should only be set once");
    attrs.set(Result, call[1]);
    return native::none();
  }
};
using NamedResult = ResultOf<&State::named_attrs, named_attr::result_value>;
using DirectResult = ResultOf<&State::direct_attrs, direct_attr::result_value>;

Ref named_output_init(Call& call) {
  State& state = call.state<State>();
  Handle self = call[0];
  PyObject* base_args[] = {call[1].ptr()};
  call_super(self, as_type(state.named_output_cell), state.s___init__, base_args, 1);
  state.named_attrs.of(self).set(named_attr::result_value, native::none());
  return native::none();
}

Ref named_output_repr(Call& call) {
  Ref name = call.state<State>().named_attrs.of(call[0]).get(named_attr::name);
  return native::own(PyUnicode_FromFormat("NamedOutputCell(name=%R)", name.ptr()));
}

Ref named_output_equals(Call& call) {
  State& state = call.state<State>();
  Ref mine = state.named_attrs.of(call[0]).get(named_attr::name);
  Ref theirs = native::own(PyObject_GetItem(call[1].ptr(), state.s_name.ptr()));
  return native::boolean(native::equal(mine, theirs));
}

Ref named_output_serialize(Call& call) {
  State& state = call.state<State>();
  Ref dict = native::own(PyDict_New());
  native::setitem(dict, state.s_name, state.named_attrs.of(call[0]).get(named_attr::name));
  return dict;
}

// ---- direct cells -------------------------------------------------------------------------------

Ref direct_base_init(Call& call) {
  State& state = call.state<State>();
  const native::SlotTable::Object attrs = state.direct_attrs.of(call[0]);
  attrs.set(direct_attr::sheet_name, call[1]);
  attrs.set(direct_attr::column, call[2]);
  attrs.set(direct_attr::row, call[3]);
  return native::none();
}

// The dictionary of a direct output cell: sheet_name, row, column.
Ref direct_address_dict(State& state, const native::SlotTable::Object& attrs) {
  Ref sheet_name = attrs.get(direct_attr::sheet_name);
  Ref row = attrs.get(direct_attr::row);
  Ref column = attrs.get(direct_attr::column);
  return dict_of({state.s_sheet_name.ptr(), state.s_row.ptr(), state.s_column.ptr()},
                 {sheet_name.ptr(), row.ptr(), column.ptr()});
}

Ref direct_input_init(Call& call) {
  State& state = call.state<State>();
  Handle self = call[0];
  PyObject* base_args[] = {call[1].ptr(), call[2].ptr(), call[3].ptr()};
  call_super(self, as_type(state.direct_input_cell), state.s___init__, base_args, 3);
  const native::SlotTable::Object attrs = state.direct_attrs.of(self);
  attrs.set(direct_attr::value, call[4]);
  attrs.set(direct_attr::stringified_value, call_stringify_value(state, call[4]));
  return native::none();
}

Ref direct_input_repr(Call& call) {
  State& state = call.state<State>();
  const native::SlotTable::Object attrs = state.direct_attrs.of(call[0]);
  Ref sheet_name = attrs.get(direct_attr::sheet_name);
  Ref column = attrs.get(direct_attr::column);
  Ref row = attrs.get(direct_attr::row);
  Ref value = attrs.get(direct_attr::value);
  return native::own(PyUnicode_FromFormat("DirectInputCell(sheet_name=%R, column=%R, row=%R, value=%R)",
                                          sheet_name.ptr(), column.ptr(), row.ptr(), value.ptr()));
}

Ref direct_input_serialize(Call& call) {
  State& state = call.state<State>();
  const bool as_text = native::truthy(call[1]);
  return direct_input_dict(state, state.direct_attrs.of(call[0]), as_text);
}

Ref direct_output_init(Call& call) {
  State& state = call.state<State>();
  Handle self = call[0];
  PyObject* base_args[] = {call[1].ptr(), call[2].ptr(), call[3].ptr()};
  call_super(self, as_type(state.direct_output_cell), state.s___init__, base_args, 3);
  state.direct_attrs.of(self).set(direct_attr::result_value, native::none());
  return native::none();
}

Ref direct_output_repr(Call& call) {
  State& state = call.state<State>();
  const native::SlotTable::Object attrs = state.direct_attrs.of(call[0]);
  Ref sheet_name = attrs.get(direct_attr::sheet_name);
  Ref column = attrs.get(direct_attr::column);
  Ref row = attrs.get(direct_attr::row);
  return native::own(PyUnicode_FromFormat("DirectOutputCell(sheet_name=%R, column=%R, row=%R)", sheet_name.ptr(),
                                          column.ptr(), row.ptr()));
}

Ref direct_output_equals(Call& call) {
  State& state = call.state<State>();
  const native::SlotTable::Object attrs = state.direct_attrs.of(call[0]);
  const std::pair<Handle, size_t> keys[] = {
      {state.s_sheet_name, direct_attr::sheet_name}, {state.s_row, direct_attr::row}, {state.s_column, direct_attr::column}};
  // Stops at the first difference: a later key is then not looked up.
  for (const auto& [key, slot] : keys) {
    Ref mine = attrs.get(slot);
    Ref theirs = native::own(PyObject_GetItem(call[1].ptr(), key.ptr()));
    if (!native::equal(mine, theirs)) return native::boolean(false);
  }
  return native::boolean(true);
}

Ref direct_output_serialize(Call& call) {
  State& state = call.state<State>();
  return direct_address_dict(state, state.direct_attrs.of(call[0]));
}

// ---- input cell range ---------------------------------------------------------------------------

Ref range_init(Call& call) {
  State& state = call.state<State>();
  Handle self = call[0];
  Handle data = call[4];
  const Py_ssize_t rows = PyObject_Size(data.ptr());
  if (rows < 0) throw native::PythonError{};
  bool empty = rows == 0;
  if (!empty) {
    Ref first = native::own(PyObject_GetItem(data.ptr(), state.zero.ptr()));
    const Py_ssize_t width = PyObject_Size(first.ptr());
    if (width < 0) throw native::PythonError{};
    empty = width == 0;
  }
  if (empty) native::raise(PyExc_ValueError, "data should be non-empty");
  if (!call_list_of_lists_is_rectangular(state, data)) native::raise(PyExc_ValueError, "data should be rectangular");
  const native::SlotTable::Object attrs = state.range_attrs.of(self);
  attrs.set(range_attr::sheet_name, call[1]);
  attrs.set(range_attr::left_column, call[2]);
  attrs.set(range_attr::top_row, call[3]);
  attrs.set(range_attr::data, data);
  return native::none();
}

Ref range_repr(Call& call) {
  State& state = call.state<State>();
  const native::SlotTable::Object attrs = state.range_attrs.of(call[0]);
  Ref sheet_name = attrs.get(range_attr::sheet_name);
  Ref left_column = attrs.get(range_attr::left_column);
  Ref top_row = attrs.get(range_attr::top_row);
  return native::own(PyUnicode_FromFormat("InputCellRange(sheet_name=%R, left_column=%R, top_row=%R, data=...)",
                                          sheet_name.ptr(), left_column.ptr(), top_row.ptr()));
}

Ref range_serialize(Call& call) {
  State& state = call.state<State>();
  const native::SlotTable::Object attrs = state.range_attrs.of(call[0]);
  Ref top_left = native::own(PyDict_New());
  native::setitem(top_left, state.s_column, attrs.get(range_attr::left_column));
  native::setitem(top_left, state.s_row, attrs.get(range_attr::top_row));
  native::setitem(top_left, state.s_sheet_name, attrs.get(range_attr::sheet_name));
  Ref dict = native::own(PyDict_New());
  native::setitem(dict, state.s_top_left_cell, top_left);
  // The rows themselves, not a copy.
  native::setitem(dict, state.s_data, attrs.get(range_attr::data));
  return dict;
}

// ---- docstrings ---------------------------------------------------------------------------------

constexpr std::string_view convert_param_doc =
    "        :param convert_value_to_str: convert the value to text; needed when the cell is used in the coupled\n"
    "            Excel program, with old workers only (default: False)\n";

const std::string serialize_input_doc = std::string(
    "\n"
    "        Serialize the cell into the dictionary that the request bodies of the spreadsheet jobs are built from.\n"
    "\n") + std::string(convert_param_doc) + "        ";

constexpr std::string_view output_usage_named =
    "\n"
    "    Class for defining a named cell of which the result is read after execution.\n"
    "\n"
    "    Usage::\n"
    "\n"
    "        output_cell = NamedOutputCell('result_name')\n"
    "        excel = Excel(template, output_cells=[output_cell])\n"
    "        excel.execute()\n"
    "        result = output_cell.result\n"
    "    ";

constexpr std::string_view output_usage_direct =
    "\n"
    "    Class for defining a direct cell (sheet name, column, row) of which the result is read after execution.\n"
    "\n"
    "    Usage::\n"
    "\n"
    "        output_cell = DirectOutputCell('Sheet1', 'G', 3)\n"
    "        excel = Excel(template, direct_output_cells=[output_cell])\n"
    "        excel.execute()\n"
    "        result = output_cell.result\n"
    "    ";

FunctionDecl repr_decl(native::Impl impl) {
  return {.name = "__repr__", .params = {param("self")}, .returns = "str", .impl = impl};
}

template <class Result>
void add_result_property(native::ClassBuilder& builder) {
  builder.property(FunctionDecl{.name = "result",
                                .params = {param("self")},
                                .returns = "Any",
                                .doc = "\n        The result of the cell, available after execution.\n        ",
                                .impl = Result::get},
                   FunctionDecl{.name = "result",
                                .params = {param("self"), param("value", "Any")},
                                .returns = "None",
                                .doc = "\n        Set the result of the cell; only once.\n        ",
                                .impl = Result::set});
}

// ---- numbers as text, as str() writes them ------------------------------------------------------

// A new str of the ASCII characters in [begin, end).
Ref ascii_text(const char* begin, const char* end) {
  const auto length = static_cast<Py_ssize_t>(end - begin);
  Ref text = native::own(PyUnicode_New(length, 127));
  std::memcpy(PyUnicode_1BYTE_DATA(text.ptr()), begin, static_cast<size_t>(length));
  return text;
}

// The decimal digits of `magnitude` into `out`, which has room for 39; returns the end.
char* decimal_digits(char* out, unsigned __int128 magnitude) {
  constexpr uint64_t kTen19 = 10000000000000000000u;
  if (magnitude <= UINT64_MAX) return std::to_chars(out, out + 39, static_cast<uint64_t>(magnitude)).ptr;
  // At most 39 digits: the upper ones (below 2**64 after the division), then 19 with leading zeros.
  char* o = std::to_chars(out, out + 20, static_cast<uint64_t>(magnitude / kTen19)).ptr;
  char low[20];
  const char* low_end = std::to_chars(low, low + sizeof low, static_cast<uint64_t>(magnitude % kTen19)).ptr;
  const auto length = static_cast<size_t>(low_end - low);
  std::memset(o, '0', 19 - length);
  std::memcpy(o + 19 - length, low, length);
  return o + 19;
}

// str() of an exact int of up to 120 bits; null when it is longer (the interpreter formats it then).
// The digits are read as the interpreter keeps them (cpython/longintrepr.h).
Ref int_text(PyObject* value) {
  char buffer[40];
  char* o = buffer;
  const auto* number = reinterpret_cast<PyLongObject*>(value);
  if (PyUnstable_Long_IsCompact(number)) {
    o = std::to_chars(o, buffer + sizeof buffer, PyUnstable_Long_CompactValue(number)).ptr;
    return ascii_text(buffer, o);
  }
  const uintptr_t tag = number->long_value.lv_tag;
  const size_t count = tag >> _PyLong_NON_SIZE_BITS;
  if (count * PyLong_SHIFT > 120) return {};
  __extension__ unsigned __int128 magnitude = 0;
  for (size_t i = count; i-- > 0;) magnitude = (magnitude << PyLong_SHIFT) | number->long_value.ob_digit[i];
  if ((tag & _PyLong_SIGN_MASK) == 2) *o++ = '-';  // the sign bits of a negative number
  return ascii_text(buffer, decimal_digits(o, magnitude));
}

// The shortest digits of a finite, non-negative double, with the decimal exponent of the first one.
struct Digits {
  char text[20];
  int count = 0;
  int exponent = 0;
};

// The digits of a number that is a decimal of at most 15 significant digits and no more than 17
// places, the usual case, without the general shortest-digits search: when n / 10**k rounds to the
// number for an integer n below 10**15, then n without its trailing zeros is the shortest form,
// since two different decimals of at most 15 digits never round to the same double.
bool short_decimal_digits(double magnitude, Digits& digits) {
  constexpr double kPowers[] = {1e0, 1e1, 1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,
                                1e9, 1e10, 1e11, 1e12, 1e13, 1e14, 1e15, 1e16, 1e17};
  if (magnitude == 0) {
    digits.text[0] = '0';
    digits.count = 1;
    digits.exponent = 0;
    return true;
  }
  if (magnitude < 1e-17 || magnitude >= 1e15) return false;
  for (int k = 0; k < static_cast<int>(std::size(kPowers)); ++k) {
    const double scaled = magnitude * kPowers[k];
    if (scaled >= 1e15) return false;
    const auto whole = static_cast<int64_t>(scaled);
    if (static_cast<double>(whole) != scaled) continue;
    // Both operands are exact, so the quotient is the double nearest to the decimal whole / 10**k.
    if (static_cast<double>(whole) / kPowers[k] != magnitude) continue;
    char* end = std::to_chars(digits.text, digits.text + sizeof digits.text, whole).ptr;
    const int length = static_cast<int>(end - digits.text);
    int count = length;
    while (count > 1 && digits.text[count - 1] == '0') --count;
    digits.count = count;
    digits.exponent = length - 1 - k;
    return true;
  }
  return false;
}

// The shortest digits that read back as the same double, by the general search.
void shortest_digits(double magnitude, Digits& digits) {
  char shortest[32];
  const auto [shortest_end, error] = std::to_chars(shortest, shortest + sizeof shortest, magnitude,
                                                   std::chars_format::scientific);
  (void)error;
  // shortest is d[.ddd]e(+|-)xx: split it into its digits and its decimal exponent.
  const char* p = shortest;
  digits.count = 0;
  for (; *p != 'e'; ++p)
    if (*p != '.') digits.text[digits.count++] = *p;
  std::from_chars(p + (p[1] == '+' ? 2 : 1), shortest_end, digits.exponent);
}

// str() of an exact float, as the interpreter writes it: the shortest digits that read back as the
// same number, in positional notation for decimal exponents from -4 to 15 (with ".0" for a whole
// number) and in exponent notation ("1e+16", "1.5e-05") otherwise.
Ref float_text(double number) {
  if (!std::isfinite(number)) return {};  // inf, -inf and nan: left to the interpreter
  Digits d;
  const double magnitude = std::fabs(number);
  if (!short_decimal_digits(magnitude, d)) shortest_digits(magnitude, d);
  const char* digits = d.text;
  const int n_digits = d.count;
  const int exponent = d.exponent;
  const int point = exponent + 1;  // digits are 0.ddd times 10 to the power `point`

  char out[40];
  char* o = out;
  if (std::signbit(number)) *o++ = '-';
  if (point <= -4 || point > 16) {
    *o++ = digits[0];
    if (n_digits > 1) {
      *o++ = '.';
      for (int i = 1; i < n_digits; ++i) *o++ = digits[i];
    }
    *o++ = 'e';
    *o++ = exponent < 0 ? '-' : '+';
    const int magnitude_of_exponent = exponent < 0 ? -exponent : exponent;
    if (magnitude_of_exponent < 10) *o++ = '0';
    o = std::to_chars(o, out + sizeof out, magnitude_of_exponent).ptr;
  } else if (point <= 0) {
    *o++ = '0';
    *o++ = '.';
    for (int i = point; i < 0; ++i) *o++ = '0';
    for (int i = 0; i < n_digits; ++i) *o++ = digits[i];
  } else {
    for (int i = 0; i < point; ++i) *o++ = i < n_digits ? digits[i] : '0';
    *o++ = '.';
    if (point >= n_digits) *o++ = '0';
    for (int i = point; i < n_digits; ++i) *o++ = digits[i];
  }
  return ascii_text(out, o);
}

}  // namespace

// ---- shared with the other areas ---------------------------------------------------------------

void named_input_fill_entry(State& state, Handle cell, Ref& name, Ref& inner) {
  const native::SlotTable::Object attrs = state.named_attrs.of(cell);
  name = attrs.get(named_attr::name);
  Ref value = attrs.get(named_attr::value);
  PyObject* const keys[] = {state.s_value.ptr()};
  PyObject* const values[] = {value.ptr()};
  inner = state.named_entry_dicts.make(keys, values, 1);
}

Ref direct_input_dict(State& state, const native::SlotTable::Object& attrs, bool as_text) {
  if (!as_text) {
    // The usual case: the four values read where no code runs, held while the dict is made (making it
    // may collect garbage, and with it run code), then put into a copy of a prepared dict.
    PyObject* const values[] = {attrs.peek(direct_attr::sheet_name), attrs.peek(direct_attr::row),
                                attrs.peek(direct_attr::column), attrs.peek(direct_attr::value)};
    if (values[0] && values[1] && values[2] && values[3]) {
      const Ref held[] = {native::borrow(values[0]), native::borrow(values[1]), native::borrow(values[2]),
                          native::borrow(values[3])};
      return direct_input_dict(state, values);
    }
  }
  Ref sheet_name = attrs.get(direct_attr::sheet_name);
  Ref row = attrs.get(direct_attr::row);
  Ref column = attrs.get(direct_attr::column);
  Ref value = attrs.get(direct_attr::value);
  // Converted afresh at each call, so a re-assigned value is honoured.
  if (as_text) value = call_stringify_value(state, value);
  return dict_of({state.s_sheet_name.ptr(), state.s_row.ptr(), state.s_column.ptr(), state.s_value.ptr()},
                 {sheet_name.ptr(), row.ptr(), column.ptr(), value.ptr()});
}

Ref direct_input_dict(State& state, PyObject* const (&values)[4]) {
  PyObject* const keys[] = {state.s_sheet_name.ptr(), state.s_row.ptr(), state.s_column.ptr(), state.s_value.ptr()};
  return state.direct_input_dicts.make(keys, values, 4);
}

bool is_direct_input_serialize(const State& state, Handle function) {
  return native::is_native(state.rt, function, direct_input_serialize);
}

bool is_named_input_serialize_for_fill(const State& state, Handle function) {
  return native::is_native(state.rt, function, named_input_serialize_for_fill);
}

Ref stringify(State& state, Handle value) {
  PyTypeObject* type = Py_TYPE(value.ptr());
  if (type == &PyUnicode_Type) return native::borrow(value);  // str(s) is s itself
  if (type == &PyFloat_Type) {
    if (Ref text = float_text(PyFloat_AS_DOUBLE(value.ptr()))) return text;
  } else if (type == &PyLong_Type) {
    if (Ref text = int_text(value.ptr())) return text;
  } else if (type == &PyBool_Type) {
    return native::borrow(value.is(Py_True) ? state.s_True : state.s_False);  // the interpreter's own texts
  } else {
    // Exact types only: a subclass of int or float is warned about too.
    Ref message = native::own(PyUnicode_FromFormat(
        "[EXCEL] WARNING: Type %S probably not supported for excel insertion.", reinterpret_cast<PyObject*>(type)));
    Ref logger = state.global(state.s_logger);
    call_method(logger, state.s_warning, {message});
  }
  return native::own(PyObject_Str(value.ptr()));
}

Ref call_stringify_value(State& state, Handle value) {
  PyObject* found = state.stringify_entry.find(state.module_dict, state.s_stringify_value);
  Ref function = found != nullptr ? native::borrow(found) : state.global(state.s_stringify_value);
  if (native::is_native(state.rt, function, stringify_value_impl)) return stringify(state, value);
  return native::call(function, {value});
}

bool call_list_of_lists_is_rectangular(State& state, Handle rows) {
  PyObject* found = state.rectangular_entry.find(state.module_dict, state.s__list_of_lists_is_rectangular);
  Ref function = found != nullptr ? native::borrow(found) : state.global(state.s__list_of_lists_is_rectangular);
  if (native::is_native(state.rt, function, list_of_lists_is_rectangular_impl)) return is_rectangular(rows);
  return native::truthy(native::call(function, {rows}));
}

bool is_rectangular(Handle rows) {
  Py_ssize_t width = -1;  // unset until the first row
  bool rectangular = true;
  auto check = [&](Handle row) {
    if (!rectangular) return;
    const Py_ssize_t length = PyList_CheckExact(row.ptr()) ? PyList_GET_SIZE(row.ptr()) : PyObject_Size(row.ptr());
    if (length < 0) throw native::PythonError{};
    if (width < 0) width = length;
    else if (length != width) rectangular = false;
  };
  if (PyList_CheckExact(rows.ptr())) {
    for (Py_ssize_t i = 0; rectangular && i < PyList_GET_SIZE(rows.ptr()); ++i) {
      Ref row = native::borrow(PyList_GET_ITEM(rows.ptr(), i));
      check(row);
    }
    return rectangular;
  }
  Ref iterator = native::own(PyObject_GetIter(rows.ptr()));
  while (rectangular) {
    PyObject* next = PyIter_Next(iterator.ptr());
    if (next == nullptr) break;
    Ref row = native::steal(next);
    check(row);
  }
  if (PyErr_Occurred()) throw native::PythonError{};
  return rectangular;
}

void build_cells(PyObject* module, State& state) {
  const native::Runtime& rt = state.rt;

  Ref stringify_value = native::make_function(rt, module,
                            FunctionDecl{.name = "stringify_value",
                                         .params = {param("value", "Union[bool, int, str, float]")},
                                         .returns = "str",
                                         .doc = "\n"
                                                "    Turn a value into the text placed in a spreadsheet cell. A value "
                                                "of a type other than\n"
                                                "    str, int, bool or float is logged as probably not supported.\n"
                                                "\n"
                                                "    :param value: the value to convert\n"
                                                "    :return: str(value)\n"
                                                "    ",
                                         .impl = stringify_value_impl});
  native::ok(PyModule_AddObjectRef(module, "stringify_value", stringify_value.ptr()));
  native::ok(PyModule_AddObjectRef(
      module, "_list_of_lists_is_rectangular",
      native::make_function(rt, module,
                            FunctionDecl{.name = "_list_of_lists_is_rectangular",
                                         .params = {param("data", "List[list]")},
                                         .returns = "bool",
                                         .doc = "\n    True when every row has the length of the first row.\n    ",
                                         .impl = list_of_lists_is_rectangular_impl})
          .ptr()));

  // Named cells.
  {
    native::ClassBuilder b(rt, module, "_NamedCellBaseClass");
    b.base(state.global(native::interned("ABC")));
    b.doc("\n    Abstract base class of the cells addressed by a defined name of the workbook.\n    ");
    b.method({.name = "__init__",
              .params = {param("self"), param("name", "str")},
              .doc = "\n        :param name: defined name of the cell in the workbook\n        ",
              .impl = named_base_init});
    b.method({.name = "serialize", .params = {param("self")}, .returns = "dict", .impl = abstract_serialize}, true);
    bind_class(module, b);
  }
  {
    native::ClassBuilder b(rt, module, "NamedInputCell");
    b.base(state.global(native::interned("_NamedCellBaseClass")));
    b.doc("\n    Class for defining a named cell in which a value must be inserted.\n    ");
    b.method({.name = "__init__",
              .params = {param("self"), param("name", "str"), param("value", "Union[bool, int, str, float]")},
              .doc = "\n"
                     "        :param name: defined name of the cell in the workbook\n"
                     "        :param value: the value to place in the cell\n"
                     "        ",
              .impl = named_input_init});
    b.method(repr_decl(named_input_repr));
    b.method({.name = "serialize",
              .params = {param("self"), param("convert_value_to_str", "bool", native::boolean(false))},
              .returns = "dict",
              .doc = serialize_input_doc,
              .impl = named_input_serialize});
    b.method({.name = "serialize_for_fill_spreadsheet",
              .params = {param("self")},
              .returns = "dict",
              .doc = "\n        Serialize the cell for the request body of the fill job: {name: {'value': value}}.\n        ",
              .impl = named_input_serialize_for_fill});
    state.named_input_cell = bind_class(module, b);
  }
  {
    native::ClassBuilder b(rt, module, "SpreadsheetCalculationInput");
    b.base(state.global(state.s_NamedInputCell));
    b.doc("\n    This class is subclassed from NamedInputCell because the same functionality is needed.\n    ");
    state.calculation_input = bind_class(module, b);
  }
  {
    native::ClassBuilder b(rt, module, "NamedOutputCell");
    b.base(state.global(native::interned("_NamedCellBaseClass")));
    b.doc(output_usage_named);
    b.method({.name = "__init__",
              .params = {param("self"), param("name", "str")},
              .doc = "\n        :param name: defined name of the cell in the workbook\n        ",
              .impl = named_output_init});
    b.method(repr_decl(named_output_repr));
    add_result_property<NamedResult>(b);
    b.method({.name = "equals",
              .params = {param("self"), param("named_cell_result", "dict")},
              .returns = "bool",
              .doc = "\n        True when the result record has the name of this cell.\n        ",
              .impl = named_output_equals});
    b.method({.name = "serialize", .params = {param("self")}, .returns = "dict", .impl = named_output_serialize});
    state.named_output_cell = bind_class(module, b);
  }

  // Direct cells.
  {
    native::ClassBuilder b(rt, module, "_DirectCellBaseClass");
    b.base(state.global(native::interned("ABC")));
    b.doc("\n    Abstract base class of the cells addressed by sheet name, column and row.\n    ");
    b.method({.name = "__init__",
              .params = {param("self"), param("sheet_name", "str"), param("column", "str"), param("row", "int")},
              .doc = "\n"
                     "        :param sheet_name: name of the worksheet\n"
                     "        :param column: column letter(s), e.g. G\n"
                     "        :param row: row number, 1 for the first row\n"
                     "        ",
              .impl = direct_base_init});
    b.method({.name = "serialize", .params = {param("self")}, .returns = "dict", .impl = abstract_serialize}, true);
    bind_class(module, b);
  }
  {
    native::ClassBuilder b(rt, module, "DirectInputCell");
    b.base(state.global(native::interned("_DirectCellBaseClass")));
    b.doc("\n"
          "    Class for defining a direct cell (sheet name, column, row) in which a value must be inserted.\n"
          "    For a rectangular block of values, InputCellRange is recommended instead.\n"
          "    ");
    b.method({.name = "__init__",
              .params = {param("self"), param("sheet_name", "str"), param("column", "str"), param("row", "int"),
                         param("value", "Union[bool, int, str, float]")},
              .doc = "\n"
                     "        :param sheet_name: name of the worksheet\n"
                     "        :param column: column letter(s), e.g. G\n"
                     "        :param row: row number, 1 for the first row\n"
                     "        :param value: the value to place in the cell\n"
                     "        ",
              .impl = direct_input_init});
    b.method(repr_decl(direct_input_repr));
    b.method({.name = "serialize",
              .params = {param("self"), param("convert_value_to_str", "bool", native::boolean(false))},
              .returns = "dict",
              .doc = serialize_input_doc,
              .impl = direct_input_serialize});
    state.direct_input_cell = bind_class(module, b);
  }
  {
    native::ClassBuilder b(rt, module, "DirectOutputCell");
    b.base(state.global(native::interned("_DirectCellBaseClass")));
    b.doc(output_usage_direct);
    b.method({.name = "__init__",
              .params = {param("self"), param("sheet_name", "str"), param("column", "str"), param("row", "int")},
              .doc = "\n"
                     "        :param sheet_name: name of the worksheet\n"
                     "        :param column: column letter(s), e.g. G\n"
                     "        :param row: row number, 1 for the first row\n"
                     "        ",
              .impl = direct_output_init});
    b.method(repr_decl(direct_output_repr));
    add_result_property<DirectResult>(b);
    b.method({.name = "equals",
              .params = {param("self"), param("direct_cell_result", "dict")},
              .returns = "bool",
              .doc = "\n        True when the result record has the sheet name, row and column of this cell.\n        ",
              .impl = direct_output_equals});
    b.method({.name = "serialize", .params = {param("self")}, .returns = "dict", .impl = direct_output_serialize});
    state.direct_output_cell = bind_class(module, b);
  }

  // Rectangular input ranges.
  {
    native::ClassBuilder b(rt, module, "InputCellRange");
    b.doc("\n"
          "    Class for defining a rectangular block of input cells by its top-left cell and its data, a list of rows.\n"
          "\n"
          "    Example: the 3 by 3 block below is placed with its top-left value (1) at B3, so it fills B3:D5::\n"
          "\n"
          "        data = [\n"
          "            [1, 2, 3],\n"
          "            [4, 5, 6],\n"
          "            [7, 8, 9],\n"
          "        ]\n"
          "        cell_range = InputCellRange('Sheet1', 'B', 3, data)\n"
          "    ");
    b.method({.name = "__init__",
              .params = {param("self"), param("sheet_name", "str"), param("left_column", "str"),
                         param("top_row", "int"), param("data", "List[List[Union[float, str]]]")},
              .doc = "\n"
                     "        :param sheet_name: name of the worksheet\n"
                     "        :param left_column: column letter(s) of the top-left cell, e.g. B\n"
                     "        :param top_row: row number of the top-left cell, 1 for the first row\n"
                     "        :param data: the values as a list of rows, each row a list of values; non-empty and\n"
                     "            rectangular\n"
                     "        ",
              .impl = range_init});
    b.method(repr_decl(range_repr));
    b.method({.name = "serialize", .params = {param("self")}, .returns = "dict", .impl = range_serialize});
    state.input_cell_range = bind_class(module, b);
  }
}

}  // namespace spreadsheet
