#include "legacy_archive.h"

#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string_view>
#include <vector>

#include "px_writer.h"
#include "sys/text.h"

namespace dk {

namespace {

namespace fs = std::filesystem;

// splitmix64: a tiny generator whose sequence is the same on every platform
// and library (std::uniform_int_distribution is not).
class TRandom {
 public:
  explicit TRandom(uint64_t seed) : FState(seed) {}
  uint64_t Next() {
    uint64_t z = (FState += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  // 0 .. n-1
  int64_t Below(int64_t n) { return n <= 0 ? 0 : static_cast<int64_t>(Next() % uint64_t(n)); }
  bool Chance(int percent) { return Below(100) < percent; }
  template <class T, size_t N>
  const T& Pick(const T (&items)[N]) {
    return items[Below(N)];
  }

 private:
  uint64_t FState;
};

// A generator of its own for each table and row, so that a row's content does
// not depend on how many rows were written before it.
TRandom RowRandom(uint64_t seed, uint64_t table, int64_t row) {
  TRandom mix(seed * 0x100000001B3ull + table * 0x9E3779B1ull + static_cast<uint64_t>(row));
  mix.Next();
  return TRandom(mix.Next());
}

enum : uint64_t {
  kDocTable = 1,
  kRtfTable,
  kVersTable,
  kTodoTable,
  kPrtclTable,
  kWordTable,
};

constexpr const char* kLastNames[] = {
    "Müller",   "Schäfer",  "Weiß",    "Jäger",   "Böhm",   "Köhler", "Groß",  "Krüger",
    "Hoffmann", "Schröder", "O'Brien", "Günther", "Wagner", "Becker", "Fuchs", "Lößl"};
constexpr const char* kFirstNames[] = {"Jürgen", "Björn", "Sören",       "Anna", "Hans-Jörg",
                                       "Käthe",  "Zoë",   "Renée",       "Uwe",  "Gisela",
                                       "Seán",   "Ömer",  "Maria-Luise", "Frank"};
constexpr const char* kCustomers[] = {
    "Bäckerei Röhrl",           "Café Größenwahn", "O'Neil GmbH",           "Müller & Söhne KG",
    "\"Zur Linde\" Gaststätte", "Autohaus Kühn",   "Stadtwerke Überlingen", "Schreinerei Weiß",
    "Dr. Jäger's Praxis",       "Grünflächenamt"};
constexpr const char* kProjects[] = {
    "Neubau Grünstraße",  "Sanierung Schloß Öd", "Büroumzug 2001", "Wartung Kühlanlage",
    "Messe \"Bau 2002\"", "Angebotsrunde Süd",   "Jahresabschluß", "Personal"};
constexpr const char* kCategories[] = {"Rechnung",  "Angebot",      "Brief", "Vertrag",
                                       "Protokoll", "Lieferschein", "Notiz", "Gutachten"};
constexpr const char* kStates[] = {"offen", "in Bearbeitung", "erledigt", "geprüft", "abgelegt"};
constexpr const char* kUsers[] = {"MEIER", "SCHÄFER", "admin", "k.böhm", "JÜRGEN", "sekretariat"};
constexpr const char* kDepartments[] = {"Einkauf",          "Verkauf",     "Buchhaltung",
                                        "Geschäftsführung", "Außendienst", "Technik"};
constexpr const char* kAppls[] = {"Word-Dokument", "Excel-Tabelle", "PDF-Datei", "Interner Text",
                                  "E-Mail"};
constexpr const char* kDocTypes[] = {"W", "O", "D", "M"};
constexpr const char* kFolders[] = {"Angebote", "Rechnungen", "Briefe", "Verträge", "Sonstiges"};
constexpr const char* kSentences[] = {
    "Rückfrage beim Kunden wegen der Größe der Lieferung.",
    "Hr. O'Neil bittet um Rückruf bis Donnerstag.",
    "Die Maße stimmen nicht mit dem Angebot überein.",
    "Laut Fr. Schäfer ist der \"Sonderpreis\" nur bis Monatsende gültig.",
    "Unterlagen liegen im Büro, Schrank 3, Fach \"Altakten\".",
    "Zahlung erfolgt über die Bürgschaft der Müller & Söhne KG.",
    "Termin verschoben; neue Frist: vierzehn Tage nach Eingang.",
    "Änderungen gemäß Besprechung vom Montag eingearbeitet.",
    "Kopie an Außendienst und Geschäftsführung.",
    "It's the customer's copy; Original bleibt bei uns.",
    "Bitte Preis in € und DM ausweisen.",
    "Prüfung durch Gutachter Dr. Weiß steht noch aus.",
};
constexpr const char* kRemarks[] = {"Überarbeitung nach Rücksprache",
                                    "Korrektur der Anschrift",
                                    "Version für den Kunden",
                                    "Entwurf",
                                    "Endfassung, geprüft",
                                    "Preise angepaßt"};
constexpr const char* kTodoTypes[] = {"Wiedervorlage", "Rückruf", "Termin", "Prüfung"};
constexpr const char* kTodoNames[] = {"Rückruf bei Kunde", "Angebot nachfassen",
                                      "Unterlagen prüfen", "Zahlungseingang überwachen",
                                      "Vertrag verlängern"};
constexpr const char* kPriorities[] = {"hoch", "normal", "niedrig"};
constexpr const char* kProtocols[] = {"Dokument angelegt",
                                      "Dokument geändert",
                                      "Dokument geöffnet",
                                      "Datei ausgetauscht",
                                      "Felder geändert: Status, Projekt",
                                      "Dokument gedruckt"};
constexpr const char* kRealWords[] = {
    "angebot",   "rechnung", "mueller",   "strasse",     "gruen",     "schloss",   "kuehlanlage",
    "lieferung", "groesse",  "buero",     "vertrag",     "zahlung",   "aenderung", "kunde",
    "termin",    "preis",    "gutachten", "ueberlingen", "baeckerei", "weiss"};
constexpr const char* kSyllables[] = {"ber", "kon", "sta", "mue", "gel", "dor", "fen", "lin",
                                      "ras", "tor", "hau", "sch", "wal", "ner", "pol", "ker",
                                      "ung", "ent", "aus", "bil", "dam", "ort", "vie", "zei"};

// A text cut to `n` characters (the tables are written in a single-byte code
// page, so characters are bytes there).
std::string Fit(std::string_view text, size_t n) {
  return Utf8Left(text, n);
}

std::string Pad(int64_t v, int width) {
  std::string s = std::to_string(v);
  return s.size() < static_cast<size_t>(width) ? std::string(width - s.size(), '0') + s : s;
}

struct TYmd {
  int Year, Month, Day;
};

// Days since 1970-01-01 to a calendar date.
TYmd CivilFromDays(int64_t z) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  const int d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  const int m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  return {static_cast<int>(yoe + era * 400 + (m <= 2)), m, d};
}

// A day between 1998-01-01 and 2004-12-31.
int64_t RandomDay(TRandom& r) {
  constexpr int64_t first = 10227;  // 1998-01-01
  return first + r.Below(2557);
}

void SetTimestamp(TPxTableWriter& w, int field, int64_t day, int64_t msOfDay) {
  const TYmd d = CivilFromDays(day);
  w.SetTimestamp(field, d.Year, d.Month, d.Day, msOfDay);
}

void SetDate(TPxTableWriter& w, int field, int64_t day) {
  const TYmd d = CivilFromDays(day);
  w.SetDate(field, d.Year, d.Month, d.Day);
}

// Office hours, to the second.
int64_t RandomTime(TRandom& r) {
  return (7 * 3600 + r.Below(11 * 3600)) * 1000;
}

std::string PersonName(TRandom& r) {
  return std::string(r.Pick(kLastNames)) + ", " + r.Pick(kFirstNames);
}

// A memo text: empty, short enough for the record's leader, or several
// sentences that go to the .MB.
std::string NoteText(TRandom& r) {
  const int64_t kind = r.Below(10);
  if (kind == 0) return {};
  if (kind == 1) return "Rückruf";
  std::string text;
  const int64_t sentences = 2 + r.Below(kind >= 8 ? 40 : 6);
  for (int64_t i = 0; i < sentences; ++i) {
    if (i) text += (i % 4 == 0) ? "\r\n" : " ";
    text += r.Pick(kSentences);
  }
  return text;
}

// RTF of the text as the legacy editor wrote it: umlauts mostly as \'xx
// escapes, some as plain characters; apostrophes and double quotes of the
// text as they are.
std::string RtfEscape(std::string_view utf8, bool plainUmlauts) {
  std::string out;
  const std::string cp = Utf8ToCp1252(utf8);
  static const char* hex = "0123456789abcdef";
  for (unsigned char c : cp) {
    if (c == '\\' || c == '{' || c == '}') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c == '\r') {
      continue;
    } else if (c == '\n') {
      out += "\\par\r\n";
    } else if (c >= 0x80) {
      if (plainUmlauts) {
        out += Cp1252ToUtf8(std::string(1, static_cast<char>(c)));
      } else {
        out += "\\'";
        out += hex[c >> 4];
        out += hex[c & 15];
      }
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

std::string WordText(int64_t index) {
  constexpr int64_t real = sizeof(kRealWords) / sizeof(kRealWords[0]);
  if (index < real) return kRealWords[index];
  // Bijective base-24 numbering of fixed-length syllables: distinct numbers
  // give distinct words; at least two syllables.
  constexpr int64_t base = sizeof(kSyllables) / sizeof(kSyllables[0]);
  int64_t n = index - real + base + 1;
  std::string word;
  while (n > 0) {
    --n;
    word.insert(0, kSyllables[n % base]);
    n /= base;
  }
  return word;
}

std::vector<TPxWriteField> DocumentFields(bool rtfInDocument) {
  std::vector<TPxWriteField> f = ParsePxFieldList(
      "DOCID:I,APPLNAME:A100,NUMBER:A20,NAME:A50,PROJECT:A80,CATEGORY:A30,STATE:A30,"
      "USERNAME:A30,MAILFROM:A30,TEMPLATE:A254,FILENAME:A254,FAVORITE:L,DOCTYPE:A2,"
      "ACCESSRIGHTS:A40,CREATEDATE:@,EDITDATE:@,FTIUPDATE:@,LASTREMARK:A150,NOTE:M10,"
      "NAMES:A80,KUNDE:A40,ABTEILUNG:A30,BETRAG:$,SEITEN:S,FAELLIG:D,ERLEDIGT:L,VORGANGNR:I,"
      "GEWICHT:N");
  if (rtfInDocument) f.push_back({"RTFTEXT", 'F', 10});
  return f;
}

void WriteDocuments(const std::string& dir, const TLegacyArchiveOptions& o,
                    TLegacyArchiveCounts& counts) {
  const auto fields = DocumentFields(o.RtfInDocument);
  TPxTableWriter w(dir + "/DOCUMENT.DB", fields);
  for (int64_t id = 1; id <= o.Documents; ++id) {
    TRandom r = RowRandom(o.Seed, kDocTable, id);
    const std::string category = r.Pick(kCategories);
    const std::string customer = r.Pick(kCustomers);
    const int64_t created = RandomDay(r);
    const int year = CivilFromDays(created).Year;
    const std::string number =
        std::string(1, category[0]) + "-" + std::to_string(year) + "-" + Pad(id, 5);
    const bool internal = r.Chance(15);
    int c = 0;
    w.SetInteger(c++, id);
    w.SetText(c++, internal ? "Interner Text" : r.Pick(kAppls));
    w.SetText(c++, number);
    w.SetText(c++, Fit(category + " " + customer, 50));
    w.SetText(c++, r.Pick(kProjects));
    w.SetText(c++, category);
    w.SetText(c++, r.Pick(kStates));
    w.SetText(c++, r.Pick(kUsers));
    if (r.Chance(30)) w.SetText(c, "info@" + std::string(r.Pick(kLastNames)) + ".de");
    ++c;
    if (r.Chance(40)) w.SetText(c, "Brief mit Anschrift.dot");
    ++c;
    w.SetText(c++, internal ? std::string("(internes Dokument)")
                            : "C:\\Dokumente\\" + std::string(r.Pick(kFolders)) + "\\" + number +
                                  (r.Chance(50) ? ".doc" : ".xls"));
    w.SetBool(c++, r.Chance(10));
    w.SetText(c++, r.Pick(kDocTypes));
    if (r.Chance(10)) w.SetText(c, "GF;Buchhaltung");
    ++c;
    SetTimestamp(w, c++, created, RandomTime(r));
    SetTimestamp(w, c++, created + r.Below(200), RandomTime(r));
    if (r.Chance(70)) SetTimestamp(w, c, created + r.Below(300), RandomTime(r));
    ++c;
    if (r.Chance(60)) w.SetText(c, Fit(r.Pick(kRemarks), 150));
    ++c;
    const std::string note = NoteText(r);
    if (!note.empty()) w.SetText(c, note);
    ++c;
    if (r.Chance(80)) w.SetText(c, Fit(PersonName(r) + "; " + PersonName(r), 80));
    ++c;
    w.SetText(c++, Fit(customer, 40));
    w.SetText(c++, r.Pick(kDepartments));
    w.SetFloat(c++, static_cast<double>(r.Below(10000000)) / 100.0);
    if (r.Chance(90)) w.SetInteger(c, 1 + r.Below(400));
    ++c;
    if (r.Chance(50)) SetDate(w, c, created + 14 + r.Below(60));
    ++c;
    w.SetBool(c++, r.Chance(40));
    w.SetInteger(c++, 100000 + id * 7);
    if (r.Chance(85)) w.SetFloat(c, static_cast<double>(r.Below(100000)) / 8.0);
    ++c;
    if (o.RtfInDocument) {
      const std::string rtf = LegacyRtfText(o.Seed, id);
      if (rtf.empty())
        ++counts.EmptyRtf;
      else
        w.SetText(c, rtf);
      ++c;
    }
    w.Post();
    ++counts.Document;
  }
  w.Close();
}

// Documents whose DOCBLOBS row is missing, and those whose row has no text.
bool HasBlobRow(int64_t docId) {
  return docId % 11 != 5;
}
bool HasRtf(int64_t docId) {
  return HasBlobRow(docId) && docId % 7 != 3;
}

void WriteDocBlobs(const std::string& dir, const TLegacyArchiveOptions& o,
                   TLegacyArchiveCounts& counts) {
  TPxTableWriter w(dir + "/DOCBLOBS.DB", ParsePxFieldList("DOCID:I,RTFTEXT:F10"));
  if (!o.RtfInDocument) {
    for (int64_t id = 1; id <= o.Documents; ++id) {
      if (!HasBlobRow(id)) continue;
      w.SetInteger(0, id);
      const std::string rtf = LegacyRtfText(o.Seed, id);
      if (rtf.empty())
        ++counts.EmptyRtf;
      else
        w.SetText(1, rtf);
      w.Post();
      ++counts.DocBlobs;
    }
  }
  w.Close();
}

void WriteIdentNo(const std::string& dir, const TLegacyArchiveOptions& o,
                  TLegacyArchiveCounts& counts, int64_t todos) {
  TPxTableWriter w(dir + "/IDENTNO.DB", ParsePxFieldList("IDNAME:A30,NEXTID:I"));
  const std::pair<const char*, int64_t> rows[] = {
      {"DOCID", o.Documents + 1}, {"TODOID", todos + 1}, {"FTIWORDID", o.FtiWordRows + 1}};
  for (const auto& [name, next] : rows) {
    w.SetText(0, name);
    w.SetInteger(1, next);
    w.Post();
    ++counts.IdentNo;
  }
  w.Close();
}

void WriteDocVers(const std::string& dir, const TLegacyArchiveOptions& o, int64_t rows,
                  TLegacyArchiveCounts& counts) {
  TPxTableWriter w(dir + "/DOCVERS.DB",
                   ParsePxFieldList("DOCID:I,VERSION:I,FILENAME:A254,CREATEDATE:@,USERNAME:A30,"
                                    "REMARK:A254"));
  for (int64_t k = 0; k < rows; ++k) {
    TRandom r = RowRandom(o.Seed, kVersTable, k);
    const int64_t doc = 1 + r.Below(o.Documents);
    w.SetInteger(0, doc);
    w.SetInteger(1, 1 + r.Below(5));
    w.SetText(2, "C:\\Dokumente\\Versionen\\" + Pad(doc, 6) + "_v" + std::to_string(k) + ".doc");
    SetTimestamp(w, 3, RandomDay(r), RandomTime(r));
    w.SetText(4, r.Pick(kUsers));
    if (r.Chance(80)) w.SetText(5, r.Pick(kRemarks));
    w.Post();
    ++counts.DocVers;
  }
  w.Close();
}

void WriteTodo(const std::string& dir, const TLegacyArchiveOptions& o, int64_t rows,
               TLegacyArchiveCounts& counts) {
  TPxTableWriter w(dir + "/TODO.DB",
                   ParsePxFieldList("TODOID:I,DOCID:I,USERNAME:A30,TODOTYPE:A50,TODONAME:A80,"
                                    "TODOPRT:A30,CREATEDATE:@,HINTPOPUP:L,HINTDATE:@,DONE:L,"
                                    "NOTES:M10"));
  for (int64_t k = 0; k < rows; ++k) {
    TRandom r = RowRandom(o.Seed, kTodoTable, k);
    const int64_t day = RandomDay(r);
    w.SetInteger(0, k + 1);
    w.SetInteger(1, 1 + r.Below(o.Documents));
    w.SetText(2, r.Pick(kUsers));
    w.SetText(3, r.Pick(kTodoTypes));
    w.SetText(4, r.Pick(kTodoNames));
    w.SetText(5, r.Pick(kPriorities));
    SetTimestamp(w, 6, day, RandomTime(r));
    const bool popup = r.Chance(60);
    w.SetBool(7, popup);
    if (popup) SetTimestamp(w, 8, day + 1 + r.Below(30), RandomTime(r));
    w.SetBool(9, r.Chance(30));
    const std::string note = NoteText(r);
    if (!note.empty()) w.SetText(10, note);
    w.Post();
    ++counts.Todo;
  }
  w.Close();
}

void WriteDocPrtcl(const std::string& dir, const TLegacyArchiveOptions& o, int64_t rows,
                   TLegacyArchiveCounts& counts) {
  TPxTableWriter w(dir + "/DOCPRTCL.DB",
                   ParsePxFieldList("DOCID:I,CREATEDATE:@,USERNAME:A30,PROTOCOL:A254"));
  for (int64_t k = 0; k < rows; ++k) {
    TRandom r = RowRandom(o.Seed, kPrtclTable, k);
    w.SetInteger(0, 1 + r.Below(o.Documents));
    SetTimestamp(w, 1, RandomDay(r), RandomTime(r));
    w.SetText(2, r.Pick(kUsers));
    w.SetText(3, r.Pick(kProtocols));
    w.Post();
    ++counts.DocPrtcl;
  }
  w.Close();
}

void WriteFtiWord(const std::string& dir, const TLegacyArchiveOptions& o,
                  TLegacyArchiveCounts& counts) {
  TPxTableWriter w(dir + "/FTIWORD.DB", ParsePxFieldList("WORDID:I,WORD:A30"));
  for (int64_t k = 0; k < o.FtiWordRows; ++k) {
    w.SetInteger(0, k + 1);
    w.SetText(1, WordText(k));
    w.Post();
    ++counts.FtiWord;
  }
  w.Close();
}

int64_t Gcd(int64_t a, int64_t b) {
  while (b) {
    const int64_t t = a % b;
    a = b;
    b = t;
  }
  return a;
}

// Word by word, as the index keeps them: each word in a few documents, no
// pair twice.
void WriteFtiWid(const std::string& dir, const TLegacyArchiveOptions& o,
                 TLegacyArchiveCounts& counts) {
  TPxTableWriter w(dir + "/FTIWID.DB", ParsePxFieldList("WORDID:I,DOCID:I"));
  const int64_t words = o.FtiWordRows, docs = o.Documents;
  if (o.FtiWidRows > 0) {
    const int64_t perWord = o.FtiWidRows / words, extra = o.FtiWidRows % words;
    // A step through the documents that visits each once per round.
    int64_t stride = 7919 % docs;
    if (stride == 0) stride = 1;
    while (Gcd(stride, docs) != 1) ++stride;
    for (int64_t word = 1; word <= words; ++word) {
      const int64_t n = perWord + (word <= extra ? 1 : 0);
      TRandom r = RowRandom(o.Seed, kWordTable, word);
      const int64_t start = r.Below(docs);
      for (int64_t j = 0; j < n; ++j) {
        w.SetInteger(0, word);
        w.SetInteger(1, 1 + (start + j * stride) % docs);
        w.Post();
        ++counts.FtiWid;
      }
    }
  }
  w.Close();
}

void WriteDbOption(const std::string& dir, TLegacyArchiveCounts& counts) {
  TPxTableWriter w(dir + "/DBOPTION.DB", ParsePxFieldList("OPTNAME:A50,OPTVALUE:A254"));
  const std::pair<const char*, const char*> rows[] = {
      {"ArchiveName", "Altarchiv Müller & Söhne"},
      {"Version", "5.0"},
      {"LayoutFile", "C:\\Programme\\Dokalon\\Layouts\\Büro.lay"}};
  for (const auto& [name, value] : rows) {
    w.SetText(0, name);
    w.SetText(1, value);
    w.Post();
    ++counts.DbOption;
  }
  w.Close();
}

// Writes the lines in Windows-1252 with CR LF, as the legacy programs did.
void WriteLegacyTextFile(const std::string& path, const std::vector<std::string>& lines) {
  std::string bytes;
  for (const std::string& line : lines) bytes += Utf8ToCp1252(line) + "\r\n";
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
  if (!out) throw std::runtime_error("mklegacy: cannot write " + path);
}

void WriteSideFiles(const std::string& dir) {
  struct TFld {
    const char* Name;
    const char* Caption;
    const char* Extra;
  };
  const TFld fld[] = {
      {"DOCID", "Dok.-Nr.", "ShowInSearchMenu=1\nDBEditTabSh=0"},
      {"NUMBER", "Nummer", "ShowInSearchMenu=1\nDBEditTabSh=0"},
      {"NAME", "Bezeichnung", "ShowInSearchMenu=1\nDBEditTabSh=0"},
      {"NAMES", "Beteiligte Personen", "EditStyle=1\nUpdateList=1\nDBEditTabSh=1"},
      {"PROJECT", "Projekt", "EditStyle=1\nUpdateList=1\nShowInSearchMenu=1"},
      {"KUNDE", "Kunde", "EditStyle=2\nUpdateList=1\nShowInSearchMenu=1\nDBEditTabSh=1"},
      {"ABTEILUNG", "Abteilung", "Visible=1\nDBEditTabSh=1"},
      {"BETRAG", "Betrag in €", "DBEditTabSh=2"},
      {"SEITEN", "Seitenzahl", "Visible=0"},
      {"FAELLIG", "Fällig am", "DBEditTabSh=2\nShowInSearchMenu=1"},
      {"ERLEDIGT", "Erledigt", "DBEditTabSh=2"},
      {"VORGANGNR", "Vorgangs-Nr.", "DBEditTabSh=2"},
      {"GEWICHT", "Gewicht (kg)", "DBEditTabSh=2\nAllowEmpty=0"},
      {"NOTE", "Bemerkung", "DBEditTabSh=3"},
  };
  std::vector<std::string> lines;
  for (const TFld& f : fld) {
    lines.push_back(std::string("[") + f.Name + "]");
    lines.push_back(std::string("Caption=") + f.Caption);
    std::string extra = f.Extra;
    size_t start = 0;
    while (start < extra.size()) {
      size_t end = extra.find('\n', start);
      if (end == std::string::npos) end = extra.size();
      lines.push_back(extra.substr(start, end - start));
      start = end + 1;
    }
    lines.push_back("");
  }
  WriteLegacyTextFile(dir + "/document.fld", lines);

  WriteLegacyTextFile(dir + "/document.lay",
                      {"[Layout]", "Name=Standardmaske Büro", "Version=5.0", "[Controls]",
                       "Label1,Doc,NUMBER,Caption=Nummer,Left=8,Top=8",
                       "Edit1,Doc,NUMBER,Left=96,Top=8,Width=120,Height=21",
                       "Label2,Doc,NAME,Caption=Bezeichnung,Left=8,Top=36",
                       "Edit2,Doc,NAME,Left=96,Top=36,Width=300,Height=21",
                       "Label3,Doc,NOTE,Caption=Bemerkung,Left=8,Top=64",
                       "Memo1,Doc,NOTE,Left=96,Top=64,Width=400,Height=120",
                       "Combo1,Doc,NAMES,Caption=Beteiligte,Left=96,Top=190,Width=300,Height=21",
                       "Edit3,doc,number,Left=300,Top=8,Width=80,Hint=Nummer (Kopie)",
                       "Memo2,Doc,NOTE,Left=8,Top=300,Mirror=,Doc,NOTE,Caption=Notiz (Größe)",
                       "Combo2,Doc,KUNDE,Caption=Kunde,Left=96,Top=220,Width=200,Height=21",
                       "Edit4,Doc,BETRAG,Caption=Betrag in €,Left=96,Top=250,Width=100,Height=21",
                       "Check1,Doc,ERLEDIGT,Caption=Erledigt,Left=220,Top=250"});

  WriteLegacyTextFile(dir + "/reqfield.itm", {"NUMBER", "NAME", "KUNDE"});

  std::vector<std::string> names;
  for (const char* last : kLastNames)
    for (const char* first : {"Jürgen", "Käthe"}) names.push_back(std::string(last) + ", " + first);
  WriteLegacyTextFile(dir + "/NAMES.itm", names);
  WriteLegacyTextFile(dir + "/KUNDE.itm",
                      std::vector<std::string>(std::begin(kCustomers), std::end(kCustomers)));
  // Found by a conversion only through its search for support files in the
  // parent directories: a global list.
  const fs::path parent = fs::absolute(fs::path(dir)).lexically_normal().parent_path();
  std::vector<std::string> projects(std::begin(kProjects), std::end(kProjects));
  projects.push_back("Übergabe Altbestand");
  WriteLegacyTextFile((parent / "PROJECT.itm").string(), projects);
}

}  // namespace

std::string LegacyRtfText(uint64_t seed, int64_t docId) {
  if (!HasRtf(docId)) return {};
  TRandom r = RowRandom(seed, kRtfTable, docId);
  const bool plain = r.Chance(25);
  std::string rtf =
      "{\\rtf1\\ansi\\ansicpg1252\\deff0{\\fonttbl{\\f0\\fswiss\\fcharset0 Arial;}"
      "{\\f1\\froman\\fcharset0 Times New Roman;}}\r\n"
      "{\\colortbl ;\\red0\\green0\\blue128;}\r\n"
      "\\viewkind4\\uc1\\pard\\lang1031\\f0\\fs20 ";
  rtf += "{\\b " +
         RtfEscape(std::string(r.Pick(kCategories)) + " für " + r.Pick(kCustomers), plain) +
         "}\\par\r\n";
  const int64_t paragraphs = 1 + r.Below(docId % 5 == 0 ? 40 : 8);
  for (int64_t p = 0; p < paragraphs; ++p) {
    std::string text;
    const int64_t sentences = 1 + r.Below(4);
    for (int64_t s = 0; s < sentences; ++s) text += std::string(s ? " " : "") + r.Pick(kSentences);
    if (p % 3 == 1) rtf += "\\cf1 ";
    rtf += RtfEscape(text, plain) + (p % 3 == 1 ? "\\cf0" : "") + "\\par\r\n";
  }
  rtf += "}\r\n";
  return rtf;
}

TLegacyArchiveCounts WriteLegacyArchive(const std::string& dir,
                                        const TLegacyArchiveOptions& options) {
  TLegacyArchiveOptions o = options;
  if (o.Documents < 1) throw std::runtime_error("mklegacy: at least one document is needed");
  if (o.FtiWordRows < 1 && o.FtiWidRows > 0)
    throw std::runtime_error("mklegacy: FTIWID rows need FTIWORD rows");
  if (o.FtiWidRows < 0 || o.FtiWordRows < 0)
    throw std::runtime_error("mklegacy: row counts cannot be negative");
  if (o.FtiWordRows > 0 && (o.FtiWidRows + o.FtiWordRows - 1) / o.FtiWordRows > o.Documents)
    throw std::runtime_error("mklegacy: more FTIWID rows than pairs of words and documents");
  const int64_t versions = o.VersionRows >= 0 ? o.VersionRows : o.Documents / 2;
  const int64_t todos = o.TodoRows >= 0 ? o.TodoRows : o.Documents / 4;
  const int64_t protocol = o.ProtocolRows >= 0 ? o.ProtocolRows : o.Documents * 2;

  fs::create_directories(dir);
  TLegacyArchiveCounts counts;
  WriteDocuments(dir, o, counts);
  WriteDocBlobs(dir, o, counts);
  WriteIdentNo(dir, o, counts, todos);
  WriteDocVers(dir, o, versions, counts);
  WriteTodo(dir, o, todos, counts);
  WriteDocPrtcl(dir, o, protocol, counts);
  WriteFtiWord(dir, o, counts);
  WriteFtiWid(dir, o, counts);
  WriteDbOption(dir, counts);
  if (o.SideFiles) WriteSideFiles(dir);
  return counts;
}

}  // namespace dk
