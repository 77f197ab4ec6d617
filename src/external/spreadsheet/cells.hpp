// What the other areas use of the cell vocabulary.
#pragma once

#include "external/spreadsheet/state.hpp"

namespace spreadsheet {

// stringify_value: str(value), with a logged warning for a value of an unexpected exact type.
Ref stringify(State& state, Handle value);

// _list_of_lists_is_rectangular: every row as long as the first one.
bool is_rectangular(Handle rows);

// What the module's names stringify_value and _list_of_lists_is_rectangular give now, looked up at the
// call as Python code looks up a global (the module's own functions run in place).
Ref call_stringify_value(State& state, Handle value);
bool call_list_of_lists_is_rectangular(State& state, Handle rows);

// What DirectInputCell.serialize(convert_value_to_str) returns for the cell whose attributes are given.
Ref direct_input_dict(State& state, const native::SlotTable::Object& attrs, bool as_text);
// The same dict of the four values (sheet_name, row, column, value) already read, which the caller holds.
Ref direct_input_dict(State& state, PyObject* const (&values)[4]);

// The one entry of NamedInputCell.serialize_for_fill_spreadsheet(): the name and {'value': value}.
void named_input_fill_entry(State& state, Handle cell, Ref& name, Ref& inner);

// Whether a function found as a method is the module's own serialize of direct input cells, or its
// own serialize_for_fill_spreadsheet of named input cells (callers may then run them in place).
bool is_direct_input_serialize(const State& state, Handle function);
bool is_named_input_serialize_for_fill(const State& state, Handle function);

}  // namespace spreadsheet
