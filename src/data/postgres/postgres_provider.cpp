#include "data/postgres/postgres_provider.h"

#include <libpq-fe.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <utility>

#include "data/errors.h"
#include "data/parameters.h"
#include "sys/text.h"

namespace dk {

namespace {

constexpr const char* kProviderName = "PostgreSQL";
// The schema holding the archive's generic column types the server lacks,
// searched before the server's own types.
constexpr const char* kTypeSchema = "dk_types";
constexpr const char* kSearchPath = "public, dk_types, pg_catalog";
// A unique or primary-key violation.
constexpr const char* kUniqueViolation = "23505";
// Prepared statements of closed datasets are dropped on the server in groups.
constexpr size_t kDeallocateBatch = 32;
// Deferred rows of a bulk load are sent once this many have gathered.
constexpr size_t kDeferredRows = 8192;
constexpr size_t kDeferredBytes = size_t{4} << 20;
// Deferred writes other than rows for COPY go to the server in groups of
// this many, each answered at once: the answers of a group must fit the
// sockets' buffers while the group is still being sent.
constexpr size_t kPipelineRows = 256;

// Type numbers of the server's built-in types.
enum : Oid {
  kBoolOid = 16,
  kByteaOid = 17,
  kCharOid = 18,
  kNameOid = 19,
  kInt8Oid = 20,
  kInt2Oid = 21,
  kInt4Oid = 23,
  kTextOid = 25,
  kOidOid = 26,
  kFloat4Oid = 700,
  kFloat8Oid = 701,
  kBpcharOid = 1042,
  kVarcharOid = 1043,
  kDateOid = 1082,
  kTimeOid = 1083,
  kTimestampOid = 1114,
  kTimestamptzOid = 1184,
  kNumericOid = 1700,
  kUuidOid = 2950,
};

bool IsIntegerOid(Oid type) {
  return type == kInt2Oid || type == kInt4Oid || type == kInt8Oid || type == kOidOid;
}

// The field type of a column of the server's type `type` with the type
// modifier `typmod` (a domain's base type is given).
void FieldTypeOfOid(Oid type, int typmod, TFieldType& ft, int& size) {
  size = 0;
  switch (type) {
    case kBoolOid:
      ft = ftBoolean;
      break;
    case kByteaOid:
      ft = ftBlob;
      break;
    case kCharOid:
      ft = ftFixedChar;
      size = 1;
      break;
    case kNameOid:
      ft = ftString;
      size = 63;
      break;
    case kInt2Oid:
      ft = ftSmallint;
      break;
    case kInt4Oid:
    case kOidOid:
      ft = ftInteger;
      break;
    case kInt8Oid:
      ft = ftLargeint;
      break;
    case kTextOid:
      ft = ftMemo;
      break;
    case kFloat4Oid:
    case kFloat8Oid:
      ft = ftFloat;
      break;
    case kBpcharOid:
    case kVarcharOid:
      ft = ftString;
      size = typmod > 4 ? typmod - 4 : 255;
      break;
    case kDateOid:
    case kTimestampOid:
    case kTimestamptzOid:
      ft = ftDateTime;
      break;
    case kTimeOid:
      ft = ftTime;
      break;
    case kNumericOid: {
      const int scale = typmod >= 4 ? (typmod - 4) & 0xffff : -1;
      ft = scale == 2 ? ftCurrency : ftBCD;
      size = scale > 0 ? scale : 0;
      break;
    }
    case kUuidOid:
      ft = ftGuid;
      size = 38;
      break;
    default:
      ft = ftUnknown;
  }
}

// A name as the system writes it: a name the server folded to lower case
// (it was written without quotes) in upper case.
bool IsAscii(std::string_view name) {
  for (char c : name)
    if (c & 0x80) return false;
  return true;
}

std::string ReportedName(std::string_view catalogue) {
  if (IsAscii(catalogue)) {
    for (char c : catalogue)
      if (c >= 'A' && c <= 'Z') return std::string(catalogue);
    return AsciiUpper(catalogue);
  }
  // A legacy column "Größe", written quoted as "größe": per character.
  return AnsiLowerCase(catalogue) == catalogue ? AnsiUpperCase(catalogue) : std::string(catalogue);
}

std::string Quoted(std::string_view text) {
  return "\"" + std::string(text) + "\"";
}

std::string QuotedName(std::string_view name) {
  return "\"" + ReplaceAll(name, "\"", "\"\"") + "\"";
}

std::string TrimmedMessage(const char* message) {
  return Trim(message ? message : "");
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The bytes of a binary value in the server's hex output ("\x0a1b...").
std::string DecodeBytea(const char* text, int length) {
  std::string out;
  if (length >= 2 && text[0] == '\\' && text[1] == 'x') {
    out.reserve(static_cast<size_t>(length - 2) / 2);
    for (int i = 2; i + 1 < length; i += 2) {
      const int hi = HexDigit(text[i]), lo = HexDigit(text[i + 1]);
      if (hi < 0 || lo < 0) break;
      out.push_back(static_cast<char>(hi * 16 + lo));
    }
    return out;
  }
  size_t len = 0;
  unsigned char* raw = PQunescapeBytea(
      reinterpret_cast<const unsigned char*>(std::string(text, length).c_str()), &len);
  if (raw) {
    out.assign(reinterpret_cast<const char*>(raw), len);
    PQfreemem(raw);
  }
  return out;
}

struct TResultDeleter {
  void operator()(PGresult* r) const { PQclear(r); }
};
using TResult = std::unique_ptr<PGresult, TResultDeleter>;

// Where the connection string points to.
struct TServerAddress {
  std::string Host;  // empty: the library's default
  std::string Port;
  std::string Database;
  std::string User;
  std::string Password;
  // The server as the user named it, for messages.
  std::string Label() const {
    std::string host = Host.empty() ? "localhost" : Host;
    if (host.find(':') != std::string::npos) host = "[" + host + "]";
    return Port.empty() ? host : host + ":" + Port;
  }
};

TServerAddress ServerAddress(const TConnectionString& params) {
  TServerAddress a;
  std::string source = Trim(params.Value("Data Source"));
  if (!source.empty() && source.front() == '[') {
    // An IPv6 address in brackets, maybe followed by ":port".
    const size_t close = source.find(']');
    if (close == std::string::npos)
      throw EDatabaseError("Ungültige Serveradresse in \"Data Source\": " + source);
    a.Host = source.substr(1, close - 1);
    std::string rest = source.substr(close + 1);
    if (!rest.empty() && rest.front() == ':') a.Port = rest.substr(1);
  } else if (!source.empty() && source.front() != '/') {
    const size_t colon = source.rfind(':');
    a.Host = source.substr(0, colon);
    if (colon != std::string::npos) a.Port = source.substr(colon + 1);
  } else {
    a.Host = source;  // the directory of the server's socket, or nothing
  }
  if (!a.Port.empty() && a.Port.find_first_not_of("0123456789") != std::string::npos)
    throw EDatabaseError("Ungültiger Port in \"Data Source\": " + source);
  a.Database = Trim(params.Value("Initial Catalog"));
  if (a.Database.empty())
    throw EDatabaseError(
        "Die Verbindungszeichenfolge nennt keine Datenbank auf dem Server (\"Initial Catalog\").");
  a.User = Trim(params.Value("User ID"));
  a.Password = params.Value("Password");
  return a;
}

// One connection to the server, shared by the provider and its statements:
// a statement may outlive the provider's connection; it then finds the
// session closed.
struct TSession {
  PGconn* Conn = nullptr;
  std::string Label;
  int NextStatement = 0;
  // Prepared statements no longer used, to be dropped on the server.
  std::vector<std::string> Stale;
  // Base tables of result columns: the table's reported name and, per
  // column number, the column's reported name and whether the server
  // numbers it.
  struct TBaseTable {
    std::string Name;
    std::map<int, std::pair<std::string, bool>> Columns;
  };
  std::map<Oid, TBaseTable> Tables;
  // The built-in type each user-defined type (a domain) stands on.
  std::map<Oid, Oid> BaseTypes;

  // Rows of a bulk load kept to be sent together (see DeferWrite): all for
  // one prepared INSERT, whose rows COPY takes in its text form.
  struct TDeferredRow {
    std::string Tag;
    std::vector<TVariant> Params;
    size_t End = 0;  // where its line ends in DeferredData
  };
  TDeferredFailureHandler OnDeferredFailure;
  std::string DeferredStatement;  // the INSERT's name on the server
  std::string DeferredCopy;       // the COPY command that takes its rows
  std::vector<Oid> DeferredTypes;
  std::vector<TDeferredRow> DeferredRows;
  std::string DeferredData;
  size_t DeferredBytes = 0;  // of the kept values, to bound the memory they take
  bool Sending = false;

  // Sends the deferred rows before any other command, so that everything
  // the server answers takes them into account.
  void Sync() {
    if (!Sending && !DeferredRows.empty()) SendDeferred();
  }
  void SendDeferred();
  void DiscardDeferred() {
    DeferredRows.clear();
    DeferredData.clear();
    DeferredBytes = 0;
  }
  // Copies deferred rows [first, last) as one COPY; a COPY that fails is
  // taken back and halved until the failing rows stand alone.
  void CopyRows(size_t first, size_t last);
  bool TryCopy(size_t first, size_t last);
  // Runs the deferred writes [first, last) that COPY cannot take, a group
  // at a time without waiting for each answer; a group in which a write
  // fails is taken back, the writes before the failing one are sent again,
  // and the failing one runs alone.
  void PipelineRows(size_t first, size_t last);
  // Sends [first, last) as one group; returns the index of the write that
  // failed (the group then taken back) or `last`.
  size_t TryPipeline(size_t first, size_t last);
  // Runs deferred write `index` with its own statement, so that a failing
  // row fails as it would have alone, and reports the failure.
  void WriteAlone(size_t index);
  // The parameter values of deferred write `index`, as the server takes them.
  struct TSendForm {
    std::vector<std::string> Texts;
    std::vector<const char*> Values;
    std::vector<int> Lengths, Formats;
  };
  TSendForm SendForm(size_t index) const;

  bool Broken() const { return !Conn || PQstatus(Conn) == CONNECTION_BAD; }

  [[noreturn]] void ThrowLost(const std::string& detail) const {
    throw EProviderError(
        "Die Verbindung zum Datenbankserver " + Quoted(Label) + " ist abgebrochen: " + detail, 0,
        "08006");
  }

  // Whether the failure of `result` is the end of the connection rather
  // than of the statement.
  bool LostBy(const PGresult* result) const {
    const char* state = result ? PQresultErrorField(result, PG_DIAG_SQLSTATE) : nullptr;
    return Broken() || !result || (state && std::strncmp(state, "08", 2) == 0) ||
           (state && std::strcmp(state, "57P01") == 0);
  }

  // The failure of the statement whose result is `result`.
  EProviderError ErrorOf(const PGresult* result) const {
    const char* state = result ? PQresultErrorField(result, PG_DIAG_SQLSTATE) : nullptr;
    std::string message =
        TrimmedMessage(result ? PQresultErrorField(result, PG_DIAG_MESSAGE_PRIMARY) : nullptr);
    if (message.empty()) message = TrimmedMessage(Conn ? PQerrorMessage(Conn) : nullptr);
    const std::string detail =
        TrimmedMessage(result ? PQresultErrorField(result, PG_DIAG_MESSAGE_DETAIL) : nullptr);
    if (!detail.empty()) message += ": " + detail;
    const std::string sqlState = state ? state : "HY000";
    return EProviderError(message, sqlState == kUniqueViolation ? kDuplicateKeyError : 0, sqlState);
  }

  // Raises the failure of `result` (or of the connection).
  [[noreturn]] void ThrowFailure(const PGresult* result) const {
    if (LostBy(result)) {
      std::string message =
          TrimmedMessage(result ? PQresultErrorField(result, PG_DIAG_MESSAGE_PRIMARY) : nullptr);
      if (message.empty()) message = TrimmedMessage(Conn ? PQerrorMessage(Conn) : nullptr);
      ThrowLost(message.empty() ? "keine Antwort" : message);
    }
    throw ErrorOf(result);
  }

  // Checks that `result` succeeded and returns it.
  TResult Checked(PGresult* raw) const {
    TResult result(raw);
    if (!result) ThrowFailure(nullptr);
    const ExecStatusType status = PQresultStatus(result.get());
    if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) ThrowFailure(result.get());
    return result;
  }

  void CheckOpen() const {
    if (!Conn) throw EDatabaseError("Die Verbindung ist nicht geöffnet.");
  }

  // Runs `sql` with text parameters `params` ($1, $2, ...).
  TResult Query(const std::string& sql, const std::vector<std::string>& params = {}) {
    CheckOpen();
    Sync();
    std::vector<const char*> values;
    for (const auto& p : params) values.push_back(p.c_str());
    return Checked(PQexecParams(Conn, sql.c_str(), static_cast<int>(values.size()), nullptr,
                                values.data(), nullptr, nullptr, 0));
  }

  void Exec(const std::string& sql) {
    CheckOpen();
    Sync();
    Checked(PQexec(Conn, sql.c_str()));
  }

  PGTransactionStatusType TransactionStatus() const {
    return Conn ? PQtransactionStatus(Conn) : PQTRANS_UNKNOWN;
  }

  // Drops the statements no longer used, once enough have gathered and a
  // command may run now.
  void DropStale() {
    if (!Conn || Stale.size() < kDeallocateBatch) return;
    const PGTransactionStatusType status = TransactionStatus();
    if (status != PQTRANS_IDLE && status != PQTRANS_INTRANS) return;
    std::string sql;
    for (const auto& name : Stale) sql += "DEALLOCATE " + name + ";";
    Stale.clear();
    TResult ignored(PQexec(Conn, sql.c_str()));
  }

  // The built-in type of `type`, a domain's base type.
  Oid BaseType(Oid type) const {
    auto it = BaseTypes.find(type);
    return it == BaseTypes.end() ? type : it->second;
  }

  // Learns the base types of the user-defined types among `types`.
  void LearnTypes(const std::vector<Oid>& types) {
    // Types below this number are the server's own.
    constexpr Oid kFirstUserOid = 16384;
    std::string list;
    for (Oid oid : types)
      if (oid >= kFirstUserOid && !BaseTypes.count(oid))
        list += (list.empty() ? "{" : ",") + std::to_string(oid);
    if (list.empty()) return;
    list += "}";
    // A domain over a domain: follow the chain to the built-in type.
    TResult r = Query(
        "WITH RECURSIVE chain(start, type, base) AS ("
        "SELECT t.oid, t.oid, t.typbasetype FROM pg_type t WHERE t.oid = ANY($1::oid[]) "
        "UNION ALL SELECT c.start, t.oid, t.typbasetype FROM chain c "
        "JOIN pg_type t ON t.oid = c.base) "
        "SELECT start::int8, type::int8 FROM chain WHERE base = 0",
        {list});
    for (int row = 0; row < PQntuples(r.get()); ++row)
      BaseTypes[static_cast<Oid>(std::strtoull(PQgetvalue(r.get(), row, 0), nullptr, 10))] =
          static_cast<Oid>(std::strtoull(PQgetvalue(r.get(), row, 1), nullptr, 10));
  }

  // Learns the names of the tables `oids` and of their columns.
  void LearnTables(const std::vector<Oid>& oids) {
    std::string list;
    for (Oid oid : oids) {
      if (Tables.count(oid)) continue;
      list += (list.empty() ? "{" : ",") + std::to_string(oid);
    }
    if (list.empty()) return;
    list += "}";
    TResult r = Query(
        "SELECT c.oid::int8, c.relname, a.attnum, a.attname, "
        "(a.attidentity <> '' OR coalesce(pg_get_expr(d.adbin, d.adrelid) LIKE 'nextval(%', "
        "false)) "
        "FROM pg_class c JOIN pg_attribute a ON a.attrelid = c.oid AND a.attnum > 0 "
        "AND NOT a.attisdropped "
        "LEFT JOIN pg_attrdef d ON d.adrelid = c.oid AND d.adnum = a.attnum "
        "WHERE c.oid = ANY($1::oid[])",
        {list});
    for (int row = 0; row < PQntuples(r.get()); ++row) {
      const Oid oid = static_cast<Oid>(std::strtoull(PQgetvalue(r.get(), row, 0), nullptr, 10));
      TBaseTable& table = Tables[oid];
      table.Name = ReportedName(PQgetvalue(r.get(), row, 1));
      table.Columns[std::atoi(PQgetvalue(r.get(), row, 2))] = {
          ReportedName(PQgetvalue(r.get(), row, 3)), PQgetvalue(r.get(), row, 4)[0] == 't'};
    }
  }
};

// The text form of `value` for a parameter of type `type`; false for null.
// `binary` is set for a value sent as raw bytes.
bool ParameterText(const TVariant& value, Oid type, std::string& text, bool& binary) {
  binary = false;
  switch (value.Type()) {
    case TVarType::Null:
      return false;
    case TVarType::Integer:
      text = std::to_string(value.Integer());
      break;
    case TVarType::Float: {
      const double v = value.Float();
      if (std::isnan(v)) {
        text = "NaN";
      } else if (std::isinf(v)) {
        text = v > 0 ? "Infinity" : "-Infinity";
      } else if (IsIntegerOid(type) && v == std::trunc(v) && std::fabs(v) < 9.2e18) {
        text = std::to_string(static_cast<long long>(v));
      } else {
        char buf[32];
        std::snprintf(buf, sizeof buf, "%.17g", v);
        text = buf;
      }
      break;
    }
    case TVarType::Boolean:
      text = value.Boolean() ? "1" : "0";
      break;
    case TVarType::Text:
      text = value.Text();
      binary = type == kByteaOid;
      break;
    case TVarType::Bytes:
      text = value.BytesData();
      binary = type == kByteaOid;
      break;
    case TVarType::DateTime:
      text = value.DateTime().IsoTextDateOnlyAtMidnight();
      break;
  }
  if (!binary && text.find('\0') != std::string::npos)
    throw EProviderError("Der Wert enthält ein NUL-Zeichen, das ein Text nicht aufnehmen kann.", 0,
                         "22021");
  return true;
}

// INSERT, UPDATE or DELETE: a write whose deferral changes nothing but when
// it runs.
bool IsPlainWrite(std::string_view sql) {
  size_t i = 0;
  while (i < sql.size() && static_cast<unsigned char>(sql[i]) <= ' ') ++i;
  const std::string word = AsciiUpper(sql.substr(i, 6));
  return word == "INSERT" || word == "UPDATE" || word == "DELETE";
}

// Ends the sending of deferred rows at a failed one, by the handler's wish.
struct TStopSending {};

// Appends `value` to a row of COPY's text form, for a column of type `type`.
void AppendCopyValue(std::string& line, const TVariant& value, Oid type) {
  std::string text;
  bool binary = false;
  if (!ParameterText(value, type, text, binary)) {
    line += "\\N";
    return;
  }
  if (binary) {
    // The input form of binary data, "\x" and hex digits, its backslash
    // doubled for COPY.
    static const char kHex[] = "0123456789abcdef";
    line += "\\\\x";
    for (unsigned char c : text) {
      line += kHex[c >> 4];
      line += kHex[c & 15];
    }
    return;
  }
  for (char c : text) {
    switch (c) {
      case '\\':
        line += "\\\\";
        break;
      case '\n':
        line += "\\n";
        break;
      case '\r':
        line += "\\r";
        break;
      case '\t':
        line += "\\t";
        break;
      default:
        line += c;
    }
  }
}

// For "INSERT INTO t (a, b) VALUES ($1, $2)" exactly, the COPY command that
// takes the same rows ("COPY t (a, b) FROM STDIN"); empty for anything else.
std::string CopyCommandOf(std::string_view numbered, int params) {
  constexpr std::string_view kInsert = "INSERT INTO ";
  if (params < 1 || numbered.substr(0, kInsert.size()) != kInsert) return {};
  std::string_view rest = numbered.substr(kInsert.size());
  const size_t open = rest.find(" (");
  const size_t values = rest.find(") VALUES (");
  if (open == std::string_view::npos || values == std::string_view::npos || values < open)
    return {};
  std::string expected;
  for (int i = 1; i <= params; ++i)
    expected += (i > 1 ? "," : "") + std::string("$") + std::to_string(i);
  if (rest.substr(values + 10) != expected + ")") return {};
  return "COPY " + std::string(rest.substr(0, values + 1)) + " FROM STDIN";
}

void TSession::SendDeferred() {
  Sending = true;
  try {
    if (DeferredCopy.empty())
      PipelineRows(0, DeferredRows.size());
    else
      CopyRows(0, DeferredRows.size());
  } catch (const TStopSending&) {
    // The rows after the failed one are dropped.
  } catch (...) {
    Sending = false;
    DiscardDeferred();
    throw;
  }
  Sending = false;
  DiscardDeferred();
}

void TSession::CopyRows(size_t first, size_t last) {
  if (first >= last) return;
  Exec("SAVEPOINT dk_copy");
  if (TryCopy(first, last)) {
    Exec("RELEASE SAVEPOINT dk_copy");
    return;
  }
  Exec("ROLLBACK TO SAVEPOINT dk_copy");
  Exec("RELEASE SAVEPOINT dk_copy");
  if (last - first == 1) {
    WriteAlone(first);
    return;
  }
  const size_t middle = first + (last - first) / 2;
  CopyRows(first, middle);
  CopyRows(middle, last);
}

bool TSession::TryCopy(size_t first, size_t last) {
  TResult start(PQexec(Conn, DeferredCopy.c_str()));
  if (PQresultStatus(start.get()) != PGRES_COPY_IN) {
    if (LostBy(start.get())) ThrowFailure(start.get());
    return false;
  }
  const size_t from = first == 0 ? 0 : DeferredRows[first - 1].End;
  const size_t to = DeferredRows[last - 1].End;
  if (PQputCopyData(Conn, DeferredData.data() + from, static_cast<int>(to - from)) != 1 ||
      PQputCopyEnd(Conn, nullptr) != 1)
    ThrowFailure(nullptr);
  bool ok = true;
  while (PGresult* raw = PQgetResult(Conn)) {
    TResult result(raw);
    if (PQresultStatus(raw) == PGRES_COMMAND_OK) continue;
    if (LostBy(raw)) ThrowFailure(raw);
    ok = false;
  }
  return ok;
}

TSession::TSendForm TSession::SendForm(size_t index) const {
  const TDeferredRow& row = DeferredRows[index];
  const size_t n = row.Params.size();
  TSendForm form;
  form.Texts.resize(n);
  form.Values.assign(n, nullptr);
  form.Lengths.assign(n, 0);
  form.Formats.assign(n, 0);
  for (size_t i = 0; i < n; ++i) {
    bool binary = false;
    if (!ParameterText(row.Params[i], DeferredTypes[i], form.Texts[i], binary)) continue;
    form.Values[i] = form.Texts[i].data();
    form.Lengths[i] = static_cast<int>(form.Texts[i].size());
    form.Formats[i] = binary ? 1 : 0;
  }
  return form;
}

void TSession::PipelineRows(size_t first, size_t last) {
  while (first < last) {
    const size_t end = std::min(last, first + kPipelineRows);
    const size_t failed = TryPipeline(first, end);
    if (failed < end) {
      PipelineRows(first, failed);
      WriteAlone(failed);
      first = failed + 1;
    } else {
      first = end;
    }
  }
}

size_t TSession::TryPipeline(size_t first, size_t last) {
  if (first >= last) return last;
  if (PQenterPipelineMode(Conn) != 1) ThrowFailure(nullptr);
  const auto command = [this](const char* sql) {
    if (PQsendQueryParams(Conn, sql, 0, nullptr, nullptr, nullptr, nullptr, 0) != 1)
      ThrowFailure(nullptr);
  };
  command("SAVEPOINT dk_copy");
  for (size_t i = first; i < last; ++i) {
    const TSendForm form = SendForm(i);
    if (PQsendQueryPrepared(Conn, DeferredStatement.c_str(), static_cast<int>(form.Values.size()),
                            form.Values.data(), form.Lengths.data(), form.Formats.data(), 0) != 1)
      ThrowFailure(nullptr);
  }
  command("RELEASE SAVEPOINT dk_copy");
  if (PQpipelineSync(Conn) != 1) ThrowFailure(nullptr);
  // One result per command, each followed by a null; then the sync.
  size_t failed = last;
  bool broken = false;
  for (size_t c = 0; c < last - first + 2; ++c) {
    TResult result(PQgetResult(Conn));
    if (!result) {
      broken = true;
      break;
    }
    const ExecStatusType status = PQresultStatus(result.get());
    if (status == PGRES_FATAL_ERROR) {
      if (LostBy(result.get())) ThrowFailure(result.get());
      if (c == 0 || c == last - first + 1) ThrowFailure(result.get());
      if (failed == last) failed = first + c - 1;
    }
    TResult end(PQgetResult(Conn));
  }
  TResult sync(broken ? nullptr : PQgetResult(Conn));
  if (broken || !sync || PQresultStatus(sync.get()) != PGRES_PIPELINE_SYNC ||
      PQexitPipelineMode(Conn) != 1)
    ThrowFailure(nullptr);
  if (failed < last) {
    Exec("ROLLBACK TO SAVEPOINT dk_copy");
    Exec("RELEASE SAVEPOINT dk_copy");
  }
  return failed;
}

void TSession::WriteAlone(size_t index) {
  const TDeferredRow& row = DeferredRows[index];
  const TSendForm form = SendForm(index);
  const size_t n = form.Values.size();
  const auto& values = form.Values;
  const auto& lengths = form.Lengths;
  const auto& formats = form.Formats;
  Exec("SAVEPOINT dk_copy");
  TResult result(PQexecPrepared(Conn, DeferredStatement.c_str(), static_cast<int>(n), values.data(),
                                lengths.data(), formats.data(), 0));
  if (PQresultStatus(result.get()) == PGRES_COMMAND_OK) {
    Exec("RELEASE SAVEPOINT dk_copy");
    return;
  }
  if (LostBy(result.get())) ThrowFailure(result.get());
  const EProviderError error = ErrorOf(result.get());
  Exec("ROLLBACK TO SAVEPOINT dk_copy");
  Exec("RELEASE SAVEPOINT dk_copy");
  if (OnDeferredFailure && !OnDeferredFailure(row.Tag, error)) throw TStopSending();
}

class TPgStatement : public TProviderStatement {
 public:
  TPgStatement(std::shared_ptr<TSession> session, std::string sql, std::string_view numbered,
               std::string name, std::vector<std::string> paramNames, const PGresult* description)
      : FSession(std::move(session)),
        FSql(std::move(sql)),
        FName(std::move(name)),
        FParamNames(std::move(paramNames)) {
    const int params = PQnparams(description);
    const int fields = PQnfields(description);
    std::vector<Oid> types;
    for (int i = 0; i < params; ++i) types.push_back(PQparamtype(description, i));
    for (int i = 0; i < fields; ++i) types.push_back(PQftype(description, i));
    FSession->LearnTypes(types);
    FParamTypes.resize(static_cast<size_t>(params));
    for (int i = 0; i < params; ++i)
      FParamTypes[static_cast<size_t>(i)] = FSession->BaseType(PQparamtype(description, i));
    FParams.resize(static_cast<size_t>(params));
    // A name used twice is one parameter; NumberParameters made it one number.
    FParamNames.resize(static_cast<size_t>(params));
    FCopy = CopyCommandOf(numbered, params);

    std::vector<Oid> tables;
    for (int i = 0; i < fields; ++i)
      if (PQftable(description, i) != InvalidOid) tables.push_back(PQftable(description, i));
    FSession->LearnTables(tables);
    FColumns.resize(static_cast<size_t>(fields));
    FTypes.resize(static_cast<size_t>(fields));
    for (int i = 0; i < fields; ++i) {
      TColumnInfo& col = FColumns[static_cast<size_t>(i)];
      col.Name = ReportedName(PQfname(description, i));
      FTypes[static_cast<size_t>(i)] = FSession->BaseType(PQftype(description, i));
      FieldTypeOfOid(FTypes[static_cast<size_t>(i)], PQfmod(description, i), col.DataType,
                     col.Size);
      auto table = FSession->Tables.find(PQftable(description, i));
      if (table == FSession->Tables.end()) continue;
      auto column = table->second.Columns.find(PQftablecol(description, i));
      if (column == table->second.Columns.end()) continue;
      col.BaseTable = table->second.Name;
      col.BaseColumn = column->second.first;
      if (column->second.second) col.DataType = ftAutoInc;
    }
  }
  ~TPgStatement() override { FSession->Stale.push_back(FName); }

  const std::string& Sql() const override { return FSql; }
  int ParamCount() const override { return static_cast<int>(FParams.size()); }
  std::string ParamName(int index) const override {
    return FParamNames.at(static_cast<size_t>(index));
  }
  void Bind(int index, const TVariant& value) override {
    FParams.at(static_cast<size_t>(index)) = value;
  }

  bool ReturnsRows() const override { return !FColumns.empty(); }
  int ColumnCount() const override { return static_cast<int>(FColumns.size()); }
  const TColumnInfo& Column(int index) const override {
    return FColumns.at(static_cast<size_t>(index));
  }

  bool Step() override {
    if (FDone) return false;
    if (!FResult) {
      Run();
      if (PQresultStatus(FResult.get()) != PGRES_TUPLES_OK) {
        const char* tuples = PQcmdTuples(FResult.get());
        FChanges = tuples && *tuples ? std::atoll(tuples) : 0;
        FResult.reset();
        FDone = true;
        return false;
      }
      FChanges = 0;
      FRow = -1;
    }
    if (++FRow < PQntuples(FResult.get())) return true;
    FDone = true;
    return false;
  }

  void ReadValue(int index, TVariant& out) const override {
    if (!FResult || FRow < 0 || FRow >= PQntuples(FResult.get()) || index < 0 ||
        index >= PQnfields(FResult.get()) || PQgetisnull(FResult.get(), FRow, index)) {
      out.SetNull();
      return;
    }
    const char* text = PQgetvalue(FResult.get(), FRow, index);
    const int length = PQgetlength(FResult.get(), FRow, index);
    switch (FTypes[static_cast<size_t>(index)]) {
      case kInt2Oid:
      case kInt4Oid:
      case kInt8Oid:
      case kOidOid:
        out.SetInteger(std::strtoll(text, nullptr, 10));
        break;
      case kFloat4Oid:
      case kFloat8Oid:
      case kNumericOid:
        out.SetFloat(std::strtod(text, nullptr));
        break;
      case kBoolOid:
        out = TVariant(text[0] == 't');
        break;
      case kByteaOid:
        out.SetBytes(DecodeBytea(text, length));
        break;
      case kBpcharOid: {
        // A fixed-length column pads with blanks that are not part of the value.
        std::string_view value(text, static_cast<size_t>(length));
        while (!value.empty() && value.back() == ' ') value.remove_suffix(1);
        out.SetText(value);
        break;
      }
      case kDateOid:
      case kTimestampOid:
        if (auto dt = TDateTime::Parse(std::string_view(text, static_cast<size_t>(length)))) {
          out = TVariant(*dt);
          break;
        }
        out.SetText(std::string_view(text, static_cast<size_t>(length)));
        break;
      default:
        out.SetText(std::string_view(text, static_cast<size_t>(length)));
    }
  }

  void Reset() override {
    FResult.reset();
    FDone = false;
    FRow = -1;
  }

  int64_t RowsAffected() const override { return FChanges; }

  // The COPY command that takes this INSERT's rows; empty for a statement
  // that is not such an INSERT.
  const std::string& CopyCommand() const { return FCopy; }
  const std::string& Name() const { return FName; }
  const std::vector<Oid>& ParamTypes() const { return FParamTypes; }
  const std::vector<TVariant>& Params() const { return FParams; }

 private:
  void Run() {
    FSession->CheckOpen();
    FSession->Sync();
    const size_t n = FParams.size();
    std::vector<std::string> texts(n);
    std::vector<const char*> values(n, nullptr);
    std::vector<int> lengths(n, 0), formats(n, 0);
    for (size_t i = 0; i < n; ++i) {
      bool binary = false;
      if (!ParameterText(FParams[i], FParamTypes[i], texts[i], binary)) continue;
      values[i] = texts[i].data();
      lengths[i] = static_cast<int>(texts[i].size());
      formats[i] = binary ? 1 : 0;
    }
    FResult = FSession->Checked(PQexecPrepared(FSession->Conn, FName.c_str(), static_cast<int>(n),
                                               values.data(), lengths.data(), formats.data(), 0));
  }

  std::shared_ptr<TSession> FSession;
  std::string FSql;
  std::string FName;
  std::vector<std::string> FParamNames;
  std::vector<Oid> FParamTypes;
  std::vector<TVariant> FParams;
  std::vector<TColumnInfo> FColumns;
  std::vector<Oid> FTypes;
  std::string FCopy;
  TResult FResult;
  int FRow = -1;
  bool FDone = false;
  int64_t FChanges = 0;
};

class TPostgresProvider : public TProvider {
 public:
  TPostgresProvider() : FSession(std::make_shared<TSession>()) {}
  ~TPostgresProvider() override { Close(); }

  std::string Name() const override { return kProviderName; }

  void Open(const TConnectionString& params, const TProviderOptions& options) override {
    const TServerAddress address = ServerAddress(params);
    Connect(address, address.Database, options);
  }

  void Create(const TConnectionString& params, const TProviderOptions& options) override {
    const TServerAddress address = ServerAddress(params);
    const std::string database = QuotedName(address.Database);
    // A new database is made from the server's maintenance database.
    Connect(address, "postgres", options);
    try {
      FSession->Exec("CREATE DATABASE " + database +
                     " TEMPLATE template0 ENCODING 'UTF8' LC_COLLATE 'C' LC_CTYPE 'C'");
    } catch (const EProviderError& e) {
      Close();
      if (e.SqlState() == "42P04")
        throw EDatabaseError("Die Datenbank " + Quoted(address.Database) +
                             " gibt es auf dem Datenbankserver " + Quoted(address.Label()) +
                             " bereits; eine neue Datenbank wird nur unter neuem Namen angelegt.");
      throw EDatabaseError("Die Datenbank " + Quoted(address.Database) +
                           " kann auf dem Datenbankserver " + Quoted(address.Label()) +
                           " nicht angelegt werden: " + e.what());
    }
    Close();
    try {
      Connect(address, address.Database, options);
      for (const std::string& sql : PostgresSetupStatements(database)) FSession->Exec(sql);
    } catch (...) {
      Close();
      // What could not be finished is not left behind.
      try {
        Drop(params, options);
      } catch (const EDatabaseError&) {
      }
      throw;
    }
  }

  void Drop(const TConnectionString& params, const TProviderOptions& options) override {
    const TServerAddress address = ServerAddress(params);
    Connect(address, "postgres", options);
    try {
      FSession->Exec("DROP DATABASE IF EXISTS " + QuotedName(address.Database) + " WITH (FORCE)");
    } catch (...) {
      Close();
      throw;
    }
    Close();
  }

  void Close() override {
    if (!FSession->Conn) return;
    PQfinish(FSession->Conn);
    FSession->Conn = nullptr;
    FSession->Stale.clear();
    FSession->Tables.clear();
    FSession->BaseTypes.clear();
    FSession->DiscardDeferred();
  }

  std::unique_ptr<TProviderStatement> Prepare(std::string_view sql) override {
    FSession->CheckOpen();
    FSession->Sync();
    FSession->DropStale();
    std::vector<std::string> names;
    const std::string text = NumberParameters(sql, names);
    const std::string name = "dk_" + std::to_string(++FSession->NextStatement);
    FSession->Checked(PQprepare(FSession->Conn, name.c_str(), text.c_str(), 0, nullptr));
    TResult description;
    try {
      description = FSession->Checked(PQdescribePrepared(FSession->Conn, name.c_str()));
    } catch (...) {
      FSession->Stale.push_back(name);
      throw;
    }
    // A change of the tables' layout may change what is known of them.
    const std::string first = FirstWord(sql);
    if (first == "CREATE" || first == "ALTER" || first == "DROP") FSession->Tables.clear();
    return std::make_unique<TPgStatement>(FSession, std::string(sql), text, name, std::move(names),
                                          description.get());
  }

  std::unique_ptr<TProviderStatement> PrepareWithRowId(std::string_view,
                                                       std::string_view) override {
    return nullptr;  // rows have no lasting identity of their own here
  }

  void SetDeferredFailureHandler(TDeferredFailureHandler handler) override {
    FSession->OnDeferredFailure = std::move(handler);
  }
  bool DefersWrites() const override { return FSession->OnDeferredFailure != nullptr; }
  bool CanDeferWrite(const TProviderStatement& statement) const override {
    const auto* st = dynamic_cast<const TPgStatement*>(&statement);
    return st && !st->ReturnsRows() && InTransaction() && IsPlainWrite(st->Sql());
  }
  void DeferWrite(TProviderStatement& statement, std::string tag) override {
    auto& st = static_cast<TPgStatement&>(statement);
    TSession& session = *FSession;
    if (session.DeferredStatement != st.Name()) session.Sync();
    // The row's values first: a value the server cannot take fails the row
    // now, as its own statement would.
    std::string line;
    size_t bytes = 0;
    if (!st.CopyCommand().empty()) {
      for (size_t i = 0; i < st.Params().size(); ++i) {
        if (i) line += '\t';
        AppendCopyValue(line, st.Params()[i], st.ParamTypes()[i]);
      }
      line += '\n';
      bytes = line.size();
    } else {
      std::string text;
      bool binary = false;
      for (size_t i = 0; i < st.Params().size(); ++i)
        if (ParameterText(st.Params()[i], st.ParamTypes()[i], text, binary)) bytes += text.size();
    }
    session.DeferredStatement = st.Name();
    session.DeferredCopy = st.CopyCommand();
    session.DeferredTypes = st.ParamTypes();
    session.DeferredData += line;
    session.DeferredBytes += bytes;
    session.DeferredRows.push_back({std::move(tag), st.Params(), session.DeferredData.size()});
    if (session.DeferredRows.size() >= kDeferredRows || session.DeferredBytes >= kDeferredBytes)
      session.Sync();
  }
  void FlushDeferred() override { FSession->Sync(); }

  void BeginTransaction() override { FSession->Exec("BEGIN"); }
  void Commit() override {
    FSession->Sync();
    if (FSession->TransactionStatus() == PQTRANS_INERROR) {
      FSession->Exec("ROLLBACK");
      throw EProviderError(
          "Die Transaktion ist nach einem Fehler verworfen worden; ihre Änderungen sind nicht "
          "gespeichert.",
          0, "25P02");
    }
    FSession->Exec("COMMIT");
  }
  void Rollback() override {
    FSession->DiscardDeferred();
    if (InTransaction()) FSession->Exec("ROLLBACK");
  }
  void Savepoint(std::string_view name) override {
    FSession->Exec("SAVEPOINT " + QuoteIdentifier(name));
  }
  void ReleaseSavepoint(std::string_view name) override {
    FSession->Exec("RELEASE SAVEPOINT " + QuoteIdentifier(name));
  }
  void RollbackToSavepoint(std::string_view name) override {
    FSession->Exec("ROLLBACK TO SAVEPOINT " + QuoteIdentifier(name));
  }
  bool InTransaction() const override {
    const PGTransactionStatusType status = FSession->TransactionStatus();
    return status == PQTRANS_INTRANS || status == PQTRANS_INERROR || status == PQTRANS_ACTIVE;
  }
  bool FailedStatementAbortsTransaction() const override { return true; }
  bool ReadsTablesInKeyOrder() const override { return false; }
  bool LocksRows() const override { return true; }
  bool EnforcesDeclaredSizes() const override { return true; }
  // NAMEDATALEN - 1: a longer name is cut without a word.
  size_t MaxNameBytes() const override { return 63; }

  int64_t LastInsertId() override {
    // lastval() fails before the session's first number, and a failure would
    // spoil an open transaction.
    const bool guard = InTransaction();
    if (guard) Savepoint("dk_lastval");
    int64_t id = 0;
    try {
      TResult r = FSession->Query("SELECT lastval()");
      id = std::strtoll(PQgetvalue(r.get(), 0, 0), nullptr, 10);
    } catch (const EProviderError&) {
      if (!guard) return 0;
      RollbackToSavepoint("dk_lastval");
    }
    if (guard) ReleaseSavepoint("dk_lastval");
    return id;
  }

  std::vector<std::string> TableNames(bool systemTables) override {
    TResult r = FSession->Query(
        "SELECT c.relname, n.nspname IN ('pg_catalog', 'information_schema') FROM pg_class c "
        "JOIN pg_namespace n ON n.oid = c.relnamespace "
        "WHERE c.relkind IN ('r', 'v', 'p', 'm', 'f') AND pg_table_is_visible(c.oid) "
        "ORDER BY 2, 1");
    std::vector<std::string> names;
    for (int row = 0; row < PQntuples(r.get()); ++row) {
      const bool system = PQgetvalue(r.get(), row, 1)[0] == 't';
      if (system && !systemTables) continue;
      names.push_back(system ? std::string(PQgetvalue(r.get(), row, 0))
                             : ReportedName(PQgetvalue(r.get(), row, 0)));
    }
    return names;
  }

  TTableInfo TableInfo(std::string_view table) override {
    TResult r = FSession->Query(
        "SELECT c.relname, c.relkind, a.attname, "
        "(CASE WHEN t.typbasetype <> 0 THEN t.typbasetype ELSE a.atttypid END)::int8, "
        "CASE WHEN t.typbasetype <> 0 THEN t.typtypmod ELSE a.atttypmod END, "
        "a.attnotnull, a.atthasdef, "
        "(a.attidentity <> '' OR coalesce(pg_get_expr(d.adbin, d.adrelid) LIKE 'nextval(%', "
        "false)), a.attnum, "
        "(SELECT i.indkey::text FROM pg_index i WHERE i.indrelid = c.oid AND i.indisprimary) "
        "FROM pg_class c "
        "LEFT JOIN pg_attribute a ON a.attrelid = c.oid AND a.attnum > 0 AND NOT a.attisdropped "
        "LEFT JOIN pg_type t ON t.oid = a.atttypid "
        "LEFT JOIN pg_attrdef d ON d.adrelid = c.oid AND d.adnum = a.attnum "
        "WHERE c.oid = (SELECT c2.oid FROM pg_class c2 "
        "WHERE c2.relkind IN ('r', 'v', 'p', 'm', 'f') AND pg_table_is_visible(c2.oid) "
        "AND lower(c2.relname) = lower($1) "
        "ORDER BY c2.relname = $1 DESC, c2.relname = lower($1) DESC LIMIT 1) "
        "ORDER BY a.attnum",
        {std::string(table)});
    TTableInfo info;
    const int rows = PQntuples(r.get());
    if (rows == 0) return info;
    info.Exists = true;
    info.Name = ReportedName(PQgetvalue(r.get(), 0, 0));
    // The key's column numbers, in key order.
    std::vector<int> key;
    if (!PQgetisnull(r.get(), 0, 9)) {
      const char* p = PQgetvalue(r.get(), 0, 9);
      char* end = nullptr;
      for (long n = std::strtol(p, &end, 10); end != p; n = std::strtol(p, &end, 10)) {
        key.push_back(static_cast<int>(n));
        p = end;
      }
    }
    for (int row = 0; row < rows; ++row) {
      if (PQgetisnull(r.get(), row, 2)) continue;  // a table without columns
      TTableColumn c;
      c.Name = ReportedName(PQgetvalue(r.get(), row, 2));
      const Oid type = static_cast<Oid>(std::strtoull(PQgetvalue(r.get(), row, 3), nullptr, 10));
      FieldTypeOfOid(type, std::atoi(PQgetvalue(r.get(), row, 4)), c.DataType, c.Size);
      c.NotNull = PQgetvalue(r.get(), row, 5)[0] == 't';
      c.HasDefault = PQgetvalue(r.get(), row, 6)[0] == 't';
      c.EngineNumbered = PQgetvalue(r.get(), row, 7)[0] == 't';
      if (c.EngineNumbered) c.DataType = ftAutoInc;
      const int number = std::atoi(PQgetvalue(r.get(), row, 8));
      for (size_t k = 0; k < key.size(); ++k)
        if (key[k] == number) c.KeyPosition = static_cast<int>(k) + 1;
      info.Columns.push_back(std::move(c));
    }
    return info;
  }

  std::string QuoteIdentifier(std::string_view name) const override {
    if (!IsAscii(name))
      return QuotedName(AnsiUpperCase(name) == name ? AnsiLowerCase(name) : std::string(name));
    for (char c : name)
      if (c >= 'a' && c <= 'z') return QuotedName(name);
    return QuotedName(AsciiLower(name));
  }

 private:
  static std::string FirstWord(std::string_view sql) {
    size_t i = 0;
    while (i < sql.size() && static_cast<unsigned char>(sql[i]) <= ' ') ++i;
    size_t start = i;
    while (i < sql.size() && std::isalpha(static_cast<unsigned char>(sql[i]))) ++i;
    return AsciiUpper(sql.substr(start, i - start));
  }

  void Connect(const TServerAddress& address, const std::string& database,
               const TProviderOptions& options) {
    Close();
    const std::string timeout =
        std::to_string(options.ConnectionTimeout > 0 ? options.ConnectionTimeout : 0);
    // A lock another connection holds is waited for as long as a command may take.
    const std::string startup =
        "-c search_path=" + ReplaceAll(kSearchPath, " ", "") + " -c lock_timeout=" +
        std::to_string(options.CommandTimeout > 0 ? options.CommandTimeout * 1000 : 0);
    std::vector<const char*> keys, values;
    std::deque<std::string> texts;  // keeps the values alive while connecting
    auto add = [&](const char* key, std::string value) {
      if (value.empty()) return;
      keys.push_back(key);
      values.push_back(texts.emplace_back(std::move(value)).c_str());
    };
    add("host", address.Host);
    add("port", address.Port);
    add("dbname", database);
    add("user", address.User);
    add("password", address.Password);
    add("connect_timeout", timeout);
    add("client_encoding", "UTF8");
    add("application_name", "Dokalon");
    add("options", startup);
    keys.push_back(nullptr);
    values.push_back(nullptr);
    PGconn* conn = PQconnectdbParams(keys.data(), values.data(), 0);
    if (!conn || PQstatus(conn) != CONNECTION_OK) {
      std::string message = TrimmedMessage(conn ? PQerrorMessage(conn) : "kein Speicher");
      PQfinish(conn);
      throw EDatabaseError("Die Verbindung zum Datenbankserver " + Quoted(address.Label()) +
                           " (Datenbank " + Quoted(database) +
                           ") kann nicht hergestellt werden: " + message);
    }
    PQsetNoticeProcessor(
        conn, [](void*, const char*) {}, nullptr);
    FSession->Conn = conn;
    FSession->Label = address.Label();
  }

  std::shared_ptr<TSession> FSession;
};

}  // namespace

std::unique_ptr<TProvider> NewPostgresProvider() {
  return std::make_unique<TPostgresProvider>();
}

std::vector<std::string> PostgresSetupStatements(const std::string& database) {
  return {
      std::string("CREATE SCHEMA ") + kTypeSchema,
      // A date-time of the archive keeps its time of day.
      std::string("CREATE DOMAIN ") + kTypeSchema + ".date AS timestamp",
      std::string("CREATE DOMAIN ") + kTypeSchema + ".blob AS bytea",
      "ALTER DATABASE " + database + " SET search_path = " + kSearchPath,
  };
}

}  // namespace dk
