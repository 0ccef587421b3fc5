// The PostgreSQL provider: an archive database on a PostgreSQL server,
// reached through libpq.
//
// Connection string: "Data Source" host[:port] (a host name, an address, an
// IPv6 address in brackets, or the directory of the server's socket),
// "Initial Catalog" the database, "User ID" and "Password". The connection
// time-out applies to the connect, the command time-out to the wait for a row
// or table lock another connection holds.
//
// Names: the system writes table and column names without quotes, which the
// server folds to lower case. The provider reports a name that the catalogue
// holds in lower case in upper case, as the system writes it, and quotes a
// name without lower-case letters in lower case, so that quoted and unquoted
// names mean the same table. (Names that were created quoted in upper or
// mixed case are not supported.)
//
// Values: statements are prepared on the server and the types of their
// parameters asked for; a value is sent in the text form of its parameter's
// type, and to a binary column as its raw bytes. Results arrive as text and
// are handed out as integer, float, boolean, text (a fixed-length CHAR
// column without its padding blanks), bytes or date-time.
//
// A failed statement spoils the open transaction on this engine; the layer
// keeps the other rows of a bulk load with a savepoint per write. A commit of
// a spoilt transaction rolls back and fails. A broken connection fails with
// a message naming the server, and the open transaction counts as gone.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "data/provider.h"

namespace dk {

std::unique_ptr<TProvider> NewPostgresProvider();

// The statements that prepare a new database on a server for the archive's
// generic column types: DATE and BLOB, which the server lacks or defines
// otherwise, as a date-time with its time of day and as binary data, in a
// schema ahead of the server's own types. `database` is the quoted name.
std::vector<std::string> PostgresSetupStatements(const std::string& database);

}  // namespace dk
