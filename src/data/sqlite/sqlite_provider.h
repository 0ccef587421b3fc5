// The SQLite provider: an SQLite 3 database file named by "Data Source".
//
// It serves both the role of a Jet database file and the "SQLite" provider.
// An existing file is opened read-write and never created by Open; a missing
// file, a directory, a file that is not an SQLite database and a file that
// can only be read each fail with a message that names the file and the fault.
// Date-times are bound as ISO 8601 text ("YYYY-MM-DD HH:MM:SS", a fraction
// only when there is one, the date alone at exactly midnight: the form of the
// SQL date-time literals, so both compare equal and in time order); booleans
// as 1 and 0.
#pragma once

#include <memory>

#include "data/provider.h"

namespace dk {

std::unique_ptr<TProvider> NewSqliteProvider();

}  // namespace dk
