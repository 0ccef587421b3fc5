// The catalogue of the version 6 archive database and the CREATE TABLE text
// of its document-shaped tables.
//
// DOCUMENT, DOCARCH and FLDTEMPL are created by the text of
// BuildCreateTableSQL; every other table is expected to exist with at least
// the columns listed here. CreateEmptyArchive builds a complete empty archive
// the way the product's set-up does (companion program dkl-mkarchive).
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "data/connection.h"
#include "sys/field_type.h"
#include "sys/string_list.h"

namespace dk {

struct TSchemaColumn {
  const char* Name;
  TFieldType Type;
  int Size;
  bool NotNull;
};

struct TSchemaTable {
  const char* Name;
  std::vector<TSchemaColumn> Columns;
  std::vector<const char*> PrimaryKey;
  // Columns that get an index of their own (lookups and deletions by them).
  std::vector<const char*> Indexed;
  // Created by BuildCreateTableSQL (DOCUMENT, DOCARCH, FLDTEMPL).
  bool DocumentShaped = false;
  // The system works without the table (DOCARCH, TODO for the counters).
  bool Optional = false;
};

// The columns of DOCUMENT in CREATE order, DOCID and APPLNAME NOT NULL.
const std::vector<TSchemaColumn>& DocumentColumns();
// The seven columns that count as standard for the field-definition and copy
// rules: DOCID, DOCTYPE, CREATEDATE, EDITDATE, FILENAME, RTFTEXT, USERNAME.
const std::vector<std::string>& StandardDocumentColumns();
// Every table of the archive, document-shaped ones included.
const std::vector<TSchemaTable>& ArchiveTables();
// The catalogue entry of a table (name without regard to case), or nullptr.
const TSchemaTable* FindArchiveTable(std::string_view name);

// Fills `lines` with the CREATE TABLE statement of a document-shaped table,
// line by line, column types for the connection's dialect: "CREATE TABLE " +
// table, "(", for FLDTEMPL (name without regard to case) TEMPLATENAME text 50
// NOT NULL, the document columns (DOCID and APPLNAME NOT NULL except in
// FLDTEMPL) each followed by ",", "PRIMARY KEY (DOCID)" or "PRIMARY KEY
// (TEMPLATENAME)", ")". The caller executes the lines as one statement.
// (A component with a method of the same name calls it as
// dk::BuildCreateTableSQL.)
void BuildCreateTableSQL(TStringList& lines, std::string_view table, const TConnection& connection);
void BuildCreateTableSQL(TStringList& lines, std::string_view table,
                         std::string_view connectionString);

// The statements that create every table of the archive (and the indexes of
// their reference columns) in the dialect of `connectionString`; the
// document-shaped tables exactly by BuildCreateTableSQL.
std::vector<std::string> ArchiveCreateStatements(std::string_view connectionString);

// Creates a new SQLite file holding an empty version 6 archive: every table,
// DOCFLD holding German definitions of the DOCUMENT columns. The file is
// made in the role of a Jet database file (dialect 1). Refuses an existing
// file; removes a file it could not finish.
void CreateEmptyArchive(const std::string& fileName);

// Creates the database that the connection settings file `settingsFile`
// (".dkcs": [AdoConnection] ConnectionString and time-outs) names, on its
// server, holding an empty version 6 archive in the generic dialect of that
// connection string; as CreateEmptyArchive otherwise. Refuses a database that
// exists; removes a database it could not finish.
void CreateEmptyServerArchive(const std::string& settingsFile);

}  // namespace dk
