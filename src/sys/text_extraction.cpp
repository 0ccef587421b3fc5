#include "sys/text_extraction.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

#include "sys/api_tools.h"
#include "sys/app_exec.h"
#include "sys/rtf_reader.h"
#include "sys/text.h"

namespace dk {

namespace fs = std::filesystem;

namespace {

bool StartsWithNoCase(std::string_view text, size_t pos, std::string_view word) {
  if (text.size() - pos < word.size()) return false;
  for (size_t i = 0; i < word.size(); ++i) {
    char c = text[pos + i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != word[i]) return false;
  }
  return true;
}

// One word of a command line for the launcher: in double quotes, inner quotes
// doubled.
std::string Quoted(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    out += c;
    if (c == '"') out += '"';
  }
  return out + "\"";
}

std::string FileUrl(const std::string& path) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string url = "file://";
  for (unsigned char c : path) {
    if (std::isalnum(c) || c == '/' || c == '-' || c == '_' || c == '.' || c == '~') {
      url += static_cast<char>(c);
    } else {
      url += '%';
      url += kHex[c >> 4];
      url += kHex[c & 15];
    }
  }
  return url;
}

std::string ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

bool WriteWholeFile(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  out.close();
  return static_cast<bool>(out);
}

// A fresh directory for one conversion, removed with everything in it.
class TWorkDir {
 public:
  TWorkDir() {
    std::string tmpl = GetTempDir() + "dkl-convert-XXXXXX";
    if (!mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp");
    FPath = tmpl;
  }
  ~TWorkDir() {
    std::error_code ec;
    fs::remove_all(FPath, ec);
  }
  TWorkDir(const TWorkDir&) = delete;
  TWorkDir& operator=(const TWorkDir&) = delete;
  const std::string& Path() const { return FPath; }

 private:
  std::string FPath;
};

// Runs a converter and waits for it within the office time limit. False when
// it could not start or ran out of time.
bool RunConverter(const std::string& program, const std::vector<std::string>& params) {
  TAppExec exec;
  exec.ExeName = Quoted(program);
  for (const auto& p : params) exec.ExeParams().Add(p);
  exec.ChangeDir = false;
  exec.DiscardOutput = true;
  exec.Wait = true;
  exec.SetWindowState(TWindowState::wsMinimized);
  exec.TimeLimitMs = ConverterSettings().OfficeTimeLimitMs;
  exec.Execute();
  return !exec.TimedOut();
}

// The one file a converter left in `dir`, or empty.
std::string SingleResult(const std::string& dir) {
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(dir, ec))
    if (entry.is_regular_file()) return entry.path().string();
  return {};
}

bool OfficeToText(const std::string& source, const std::string& target, const char* filter) {
  try {
    const std::string program = FindProgram(ConverterSettings().OfficeProgram);
    if (program.empty() || !fs::is_regular_file(source)) return false;
    TWorkDir work;
    const std::string out = work.Path() + "/out";
    fs::create_directory(out);
    if (!RunConverter(
            program,
            {"--headless", "--invisible", "--norestore", "--nolockcheck",
             Quoted("-env:UserInstallation=" + FileUrl(work.Path() + "/profile")), "--convert-to",
             Quoted(filter), "--outdir", Quoted(out), Quoted(fs::absolute(source).string())}))
      return false;
    const std::string result = SingleResult(out);
    if (result.empty()) return false;
    // The export starts with a byte-order mark that is no part of the text.
    std::string text = ReadWholeFile(result);
    if (text.starts_with("\xEF\xBB\xBF")) text.erase(0, 3);
    return WriteWholeFile(target, text);
  } catch (...) {
    return false;
  }
}

// --- a small MIME reader for the converted mail ---

struct TMimePart {
  std::string Type;  // lower case, "text/plain" when not given
  std::string Charset;
  std::string Boundary;
  std::string Encoding;  // lower case
  bool Attachment = false;
  std::string_view Body;
};

std::string Lower(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return s;
}

std::string Trimmed(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r'))
    s.remove_suffix(1);
  return std::string(s);
}

// The value of parameter `name` of a header value (name=value or name="value").
std::string HeaderParam(const std::string& value, const std::string& name) {
  const std::string lower = Lower(value);
  size_t pos = 0;
  while ((pos = lower.find(name + "=", pos)) != std::string::npos) {
    if (pos == 0 || lower[pos - 1] == ';' || lower[pos - 1] == ' ' || lower[pos - 1] == '\t') {
      pos += name.size() + 1;
      if (pos < value.size() && value[pos] == '"') {
        const size_t end = value.find('"', pos + 1);
        return value.substr(pos + 1, end == std::string::npos ? std::string::npos : end - pos - 1);
      }
      const size_t end = value.find_first_of("; \t", pos);
      return value.substr(pos, end == std::string::npos ? std::string::npos : end - pos);
    }
    ++pos;
  }
  return {};
}

TMimePart ParsePart(std::string_view text) {
  TMimePart part;
  part.Type = "text/plain";
  std::vector<std::string> headers;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(pos, end - pos);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    pos = end + 1;
    if (line.empty()) break;
    if ((line[0] == ' ' || line[0] == '\t') && !headers.empty())
      headers.back() += " " + Trimmed(line);
    else
      headers.emplace_back(line);
  }
  part.Body = pos < text.size() ? text.substr(pos) : std::string_view();
  for (const auto& h : headers) {
    const size_t colon = h.find(':');
    if (colon == std::string::npos) continue;
    const std::string name = Lower(Trimmed(std::string_view(h).substr(0, colon)));
    const std::string value = Trimmed(std::string_view(h).substr(colon + 1));
    if (name == "content-type") {
      part.Type = Lower(Trimmed(value.substr(0, value.find(';'))));
      part.Charset = Lower(HeaderParam(value, "charset"));
      part.Boundary = HeaderParam(value, "boundary");
    } else if (name == "content-transfer-encoding") {
      part.Encoding = Lower(value);
    } else if (name == "content-disposition") {
      part.Attachment = Lower(value).starts_with("attachment");
    }
  }
  return part;
}

std::string DecodeBase64(std::string_view in) {
  std::string out;
  unsigned buffer = 0;
  int bits = 0;
  for (char c : in) {
    int v;
    if (c >= 'A' && c <= 'Z')
      v = c - 'A';
    else if (c >= 'a' && c <= 'z')
      v = c - 'a' + 26;
    else if (c >= '0' && c <= '9')
      v = c - '0' + 52;
    else if (c == '+')
      v = 62;
    else if (c == '/')
      v = 63;
    else
      continue;
    buffer = (buffer << 6) | static_cast<unsigned>(v);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out += static_cast<char>((buffer >> bits) & 0xFF);
    }
  }
  return out;
}

std::string DecodeQuotedPrintable(std::string_view in) {
  const auto hex = [](char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
  };
  std::string out;
  for (size_t i = 0; i < in.size(); ++i) {
    if (in[i] != '=') {
      out += in[i];
    } else if (i + 1 < in.size() && (in[i + 1] == '\r' || in[i + 1] == '\n')) {
      i += (in[i + 1] == '\r' && i + 2 < in.size() && in[i + 2] == '\n') ? 2 : 1;
    } else if (i + 2 < in.size() && hex(in[i + 1]) >= 0 && hex(in[i + 2]) >= 0) {
      out += static_cast<char>(hex(in[i + 1]) * 16 + hex(in[i + 2]));
      i += 2;
    } else {
      out += '=';
    }
  }
  return out;
}

std::string BodyText(const TMimePart& part) {
  std::string bytes;
  if (part.Encoding == "base64")
    bytes = DecodeBase64(part.Body);
  else if (part.Encoding == "quoted-printable")
    bytes = DecodeQuotedPrintable(part.Body);
  else
    bytes = std::string(part.Body);
  const std::string& cs = part.Charset;
  if (cs.empty() || cs == "utf-8" || cs == "utf8" || cs == "us-ascii")
    return DecodeLegacyText(bytes);
  int number = 0;
  if (cs.starts_with("windows-"))
    number = std::atoi(cs.c_str() + 8);
  else if (cs.starts_with("cp"))
    number = std::atoi(cs.c_str() + 2);
  else if (cs == "iso-8859-1" || cs == "latin1")
    number = 1252;
  else if (cs.starts_with("iso-8859-"))
    number = 28590 + std::atoi(cs.c_str() + 9);
  if (number > 0 && TCodePage::IsKnown(number)) return TCodePage(number).Decode(bytes);
  return DecodeLegacyText(bytes);
}

// The first plain-text and the first HTML body of a message, searched through
// nested multipart parts; attachments do not count.
void FindBodies(std::string_view text, std::string& plain, std::string& html, int depth = 0) {
  const TMimePart part = ParsePart(text);
  if (part.Type.starts_with("multipart/") && !part.Boundary.empty() && depth < 20) {
    const std::string delimiter = "--" + part.Boundary;
    size_t pos = part.Body.find(delimiter);
    while (pos != std::string_view::npos) {
      pos += delimiter.size();
      if (part.Body.substr(pos, 2) == "--") break;
      const size_t start = part.Body.find('\n', pos);
      if (start == std::string_view::npos) break;
      size_t next = part.Body.find("\n" + delimiter, start);
      const std::string_view inner = part.Body.substr(
          start + 1, next == std::string_view::npos ? std::string_view::npos : next - start - 1);
      FindBodies(inner, plain, html, depth + 1);
      pos = next == std::string_view::npos ? next : next + 1;
    }
    return;
  }
  if (part.Attachment) return;
  if (part.Type == "text/plain" && plain.empty()) plain = BodyText(part);
  if (part.Type == "text/html" && html.empty()) html = BodyText(part);
}

}  // namespace

TConverterSettings& ConverterSettings() {
  static TConverterSettings settings;
  return settings;
}

std::string FindProgram(const std::string& program) {
  const auto runnable = [](const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(path.c_str(), X_OK) == 0;
  };
  if (program.empty()) return {};
  if (program.find('/') != std::string::npos) return runnable(program) ? program : std::string();
  const char* path = std::getenv("PATH");
  std::istringstream dirs(path ? path : "/usr/local/bin:/usr/bin:/bin");
  std::string dir;
  while (std::getline(dirs, dir, ':')) {
    if (dir.empty()) continue;
    const std::string candidate = dir + "/" + program;
    if (runnable(candidate)) return candidate;
  }
  return {};
}

std::string HtmlToText(const std::string& text) {
  std::string kept;
  kept.reserve(text.size());
  bool inTag = false;
  for (char c : text) {
    if (inTag) {
      if (c == '>') inTag = false;
    } else if (c == '<') {
      inTag = true;
    } else {
      kept += c;
    }
  }
  std::string joined;
  joined.reserve(kept.size());
  size_t pos = 0;
  while (pos < kept.size()) {
    size_t end = kept.find_first_of("\r\n", pos);
    if (end == std::string::npos) end = kept.size();
    const std::string_view line(kept.data() + pos, end - pos);
    if (line.find_first_not_of(' ') != std::string_view::npos) {
      joined.append(line);
      joined += "\r\n";
    }
    pos = end;
    if (pos < kept.size() && kept[pos] == '\r') ++pos;
    if (pos < kept.size() && kept[pos] == '\n') ++pos;
  }
  std::string out;
  out.reserve(joined.size());
  for (size_t i = 0; i < joined.size(); ++i) {
    if (joined[i] == '&') {
      if (StartsWithNoCase(joined, i, "&auml;")) {
        out += "ae";
        i += 5;
        continue;
      }
      if (StartsWithNoCase(joined, i, "&ouml;")) {
        out += "oe";
        i += 5;
        continue;
      }
      if (StartsWithNoCase(joined, i, "&uuml;")) {
        out += "ue";
        i += 5;
        continue;
      }
      if (joined.compare(i, 7, "&szlig;") == 0) {
        out += "ss";
        i += 6;
        continue;
      }
    }
    out += joined[i];
  }
  return out;
}

void RtfStreamToText(std::string& buffer) {
  buffer = RtfToText(buffer);
}

void RunPdfToText(const std::string& program, const std::string& source,
                  const std::string& target) {
  TAppExec exec;
  // The program directory may hold blanks; the name is one word of the line.
  exec.ExeName = program.find_first_of(" \t\"") == std::string::npos ? program : Quoted(program);
  exec.SetExePath(fs::path(program).parent_path().string());
  exec.Wait = true;
  exec.SetWindowState(TWindowState::wsMinimized);
  exec.TimeLimitMs = ConverterSettings().PdfTimeLimitMs;
  exec.ExeParams().Add("-eol dos " + Quoted(source) + " " + Quoted(target));
  exec.Execute();
}

bool WordDocToText(const std::string& source, const std::string& target) {
  return OfficeToText(source, target, "txt:Text (encoded):UTF8");
}

bool ExcelBookToText(const std::string& source, const std::string& target) {
  // Tab-separated, quotes as text delimiter, UTF-8: the first sheet.
  return OfficeToText(source, target, "csv:Text - txt - csv (StarCalc):9,34,76");
}

bool OutlookMsgToText(const std::string& source, const std::string& target) {
  try {
    const std::string program = FindProgram(ConverterSettings().MailProgram);
    if (program.empty() || !fs::is_regular_file(source)) return false;
    TWorkDir work;
    const std::string mail = work.Path() + "/mail.eml";
    if (!RunConverter(program, {"--outfile", Quoted(mail), Quoted(fs::absolute(source).string())}))
      return false;
    if (!fs::is_regular_file(mail)) return false;
    const std::string message = ReadWholeFile(mail);
    std::string plain, html;
    FindBodies(message, plain, html);
    if (plain.empty() && html.empty()) return false;
    return WriteWholeFile(target, !plain.empty() ? plain : HtmlToText(html));
  } catch (...) {
    return false;
  }
}

}  // namespace dk
