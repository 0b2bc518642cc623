// Traceback entries: the frames "bathyra/metadata_parser", line N that a
// failure leaving module code carries, so that the caller can tell which
// step failed.
#pragma once

#include "host_compat.hpp"
#include "traceback_lines.hpp"

namespace bathyra {

// Who adds an entry: decides the function name that it shows.
enum class EntryOwner : int { import_step = 0, call = 1 };

constexpr int entry_owner_count = 2;
// One more than the highest line of the table.
constexpr int line_slots = 48;

// Appends one entry (file "bathyra/metadata_parser", the owner's function
// name, `line`) to the traceback of the pending exception and leaves the
// exception pending.  When the entry cannot be made it is skipped.
void add_traceback_entry(EntryOwner owner, Line line);

// The failure exit of a call: adds the call's entry for `line`, returns
// null.
inline PyObject *call_failed(Line line)
{
    add_traceback_entry(EntryOwner::call, line);
    return nullptr;
}

}  // namespace bathyra
