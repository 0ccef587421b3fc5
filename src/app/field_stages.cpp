// The stages of the conversion that carry the field definitions: the legacy
// description file, the definitions stored in the target, the required
// fields and the pick lists.
#include <array>
#include <string>
#include <string_view>

#include "app/main_window.h"
#include "data/bulk_scope.h"
#include "db/archive.h"
#include "db/db_fields.h"
#include "sys/file_paths.h"
#include "sys/string_list.h"
#include "sys/text.h"

namespace dk {

namespace {

// The legacy document columns that change their names on the way, in the
// order the field definitions are renamed.
struct TRenamedColumn {
  const char* Legacy;
  const char* Target;
};
constexpr std::array<TRenamedColumn, 3> kRenamedColumns{{
    {"NUMBER", "DOCNO"},
    {"NOTE", "NOTES"},
    {"NAMES", "MYNAMES"},
}};

// The legacy name of a renamed target column, or "".
std::string LegacyNameOf(std::string_view target) {
  for (const auto& r : kRenamedColumns)
    if (SameText(target, r.Target)) return r.Legacy;
  return std::string();
}

// The target name of a legacy column name, or "".
std::string TargetNameOf(std::string_view legacy) {
  for (const auto& r : kRenamedColumns)
    if (SameText(legacy, r.Legacy)) return r.Target;
  return std::string();
}

}  // namespace

// The field descriptions of the legacy archive, then the renames.
void TFormArcport5Main::ImportFieldDescriptions() {
  TDkDBFields& fields = *DkArchiveDst->DBFields();
  const std::string fldPath = FindFileIgnoringCase(FSourceDir, "document.fld");
  AddLog("Feldbeschreibungen importieren..." + fldPath);
  fields.ImportFromFile(fldPath);
  for (const auto& r : kRenamedColumns) {
    if (TDkDBField* def = fields.Find(r.Legacy)) {
      fields.AddCopy(*def, r.Target);
      fields.Delete(r.Legacy, false);
    }
  }
  ProgressBar->StepBy(5);
}

// Definitions of columns the description file does not cover.
void TFormArcport5Main::AddStoredFieldDefinitions() {
  TDkArchive& archive = *DkArchiveDst;
  TDkDBFields& fields = *archive.DBFields();
  {
    TDkDBFields stored(archive);
    stored.LoadFromDb();
    TQuery& doc = *archive.DocQuery();
    for (int i = 0; i < doc.FieldCount(); ++i) {
      const std::string name = AsciiUpper(doc.Fields(i).FieldName());
      if (fields.Find(name)) continue;
      if (const TDkDBField* def = stored.Find(name)) fields.AddCopy(*def);
    }
  }
  ProgressBar->StepBy(1);
}

// Required fields. A line naming a legacy column marks its successor.
void TFormArcport5Main::MarkRequiredFields() {
  TDkDBFields& fields = *DkArchiveDst->DBFields();
  const std::string reqPath = FindSupportFile("reqfield.itm", FSourceDir);
  if (FileExists(reqPath)) {
    TStringList lines;
    lines.LoadFromFile(reqPath);
    for (const std::string& line : lines.Items()) {
      TDkDBField* def = fields.Find(line);
      if (!def) {
        const std::string successor = TargetNameOf(line);
        if (!successor.empty()) def = fields.Find(successor);
      }
      if (def) def->AllowEmpty = false;
    }
  } else {
    AddLog("*** Pflichtfeld-Definitionen konnten nicht übernommen werden ***");
  }
  ProgressBar->StepBy(5);
}

// Pick lists. A renamed field finds its local list under the legacy name
// first (NAMES.itm for MYNAMES), then under the new one.
void TFormArcport5Main::LoadPickLists() {
  TDkDBFields& fields = *DkArchiveDst->DBFields();
  // The lists are committed together (every commit waits for the disk); a
  // list that cannot be stored still fails alone and ends the run, the lists
  // before it stay.
  TBulkScope statements(DkArchiveDst->Connection(), kBulkCommitAtEnd);
  for (int i = 0; i < fields.Count(); ++i) {
    TDkDBField& def = fields.Items(i);
    if (!def.HasItemList()) continue;
    std::string local;
    const std::string legacy = LegacyNameOf(def.FieldName);
    if (!legacy.empty()) local = FindFileIgnoringCase(FSourceDir, legacy + ".itm");
    if (local.empty() || !FileExists(local))
      local = FindFileIgnoringCase(FSourceDir, def.FieldName + ".itm");
    if (FileExists(local)) {
      def.GlobalList = false;
      def.Items.LoadFromFile(local);
    } else {
      def.GlobalList = true;
      def.LoadPickItems();
      // With --atomic a list saved earlier in this run is not on disk yet.
      if (FAtomic)
        if (const std::string* kept = FPendingFiles.Find(def.GlobalListFileName()))
          def.Items.SetText(*kept);
      const std::string supportList = FindSupportFile(def.FieldName + ".itm", FSourceDir);
      if (FileExists(supportList)) {
        const bool updateList = def.UpdateList;
        def.UpdateList = true;
        try {
          TStringList lines;
          lines.LoadFromFile(supportList);
          for (const std::string& line : lines.Items()) def.AddItemToPickList(line, false);
        } catch (...) {
          def.UpdateList = updateList;
          throw;
        }
        def.UpdateList = updateList;
      }
    }
    // With --atomic a global list is put in place after the commit.
    if (FAtomic && def.GlobalList)
      FPendingFiles.Add(def.GlobalListFileName(), def.Items.Text(), true);
    else
      def.SavePickItems();
  }
  fields.SaveAll(DkArchiveDst->Connection());
  statements.Finish();
  ProgressBar->StepBy(5);
}

}  // namespace dk
