// What the other areas use of the cell vocabulary.
#pragma once

#include "external/spreadsheet/state.hpp"

namespace spreadsheet {

// stringify_value: str(value), with a logged warning for a value of an unexpected exact type.
Ref stringify(State& state, Handle value);

// _list_of_lists_is_rectangular: every row as long as the first one.
bool is_rectangular(Handle rows);

}  // namespace spreadsheet
