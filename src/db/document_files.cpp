#include "db/document_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <memory>
#include <stdexcept>

#include "db/archive.h"
#include "db/full_text_retrieval.h"
#include "settings/configuration.h"
#include "settings/error_log.h"
#include "settings/locations.h"
#include "settings/progress_bar.h"
#include "sys/api_tools.h"
#include "sys/file_names.h"
#include "sys/file_paths.h"
#include "sys/text.h"
#include "sys/text_extraction.h"
#include "ui/application.h"

namespace dk {

namespace fs = std::filesystem;

namespace {

const char* const kDefaultFileTypes = ".doc.eml.htm.html.msg.pdf.rtf.txt.xls.";

std::string FileTypes() {
  if (!Configuration) return kDefaultFileTypes;
  return Configuration->FtiFileTypes;
}

bool ListHasType(const std::string& type) {
  return AnsiLowerCase(FileTypes()).find(AnsiLowerCase(type + ".")) != std::string::npos;
}

std::string ConversionFailed(const std::string& what) {
  return what + " konnte zur Indexierung nicht in Textdatei konvertiert werden";
}

// Length of the UTF-8 sequence a lead byte opens (1 for anything else).
size_t SequenceLength(unsigned char lead) {
  if (lead >= 0xF0 && lead <= 0xF4) return 4;
  if (lead >= 0xE0) return 3;
  if (lead >= 0xC2 && lead < 0xE0) return 2;
  return 1;
}

// The start of the last character of `text` (a partial sequence included).
size_t LastCharStart(std::string_view text) {
  size_t i = text.size() - 1;
  for (int back = 0; back < 3 && i > 0 && (static_cast<unsigned char>(text[i]) & 0xC0) == 0x80;
       ++back)
    --i;
  return i;
}

// Whether the complete character that starts at `pos` is a word character:
// one of WordChars below 256, as the word splitter counts them.
bool IsWordCharAt(const TCharSet& wordChars, std::string_view text, size_t pos) {
  const auto lead = static_cast<unsigned char>(text[pos]);
  const size_t len = SequenceLength(lead);
  if (len == 1) return lead < 0x80 && wordChars.test(lead);
  char32_t cp = lead & (0xFF >> (len + 1));
  for (size_t k = 1; k < len && pos + k < text.size(); ++k)
    cp = (cp << 6) | (static_cast<unsigned char>(text[pos + k]) & 0x3F);
  return cp < 256 && wordChars.test(cp);
}

// Why a document file cannot be read, naming it.
std::string ReadFailure(const std::string& fileName, int error) {
  if (error == ENOENT || error == ENOTDIR)
    return "Die Datei \"" + fileName +
           "\" ist nicht mehr vorhanden; ihr Inhalt kann nicht indexiert werden.";
  if (error == EISDIR)
    return "\"" + fileName + "\" ist ein Ordner und keine Datei; er kann nicht indexiert werden.";
  return "Die Datei \"" + fileName +
         "\" kann zur Indexierung nicht gelesen werden: " + GetSystemErrorText(error);
}

// The first `limit` bytes of a file (all of it when `limit` is negative);
// `cut` tells whether the file goes on after them. A file that cannot be
// opened or read raises with its name and the reason.
std::string ReadFileStart(const std::string& fileName, long long limit, bool& cut) {
  const int fd = ::open(fileName.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) throw std::runtime_error(ReadFailure(fileName, errno));
  struct TCloser {
    int Fd;
    ~TCloser() { ::close(Fd); }
  } closer{fd};
  struct stat st {};
  if (::fstat(fd, &st) != 0) throw std::runtime_error(ReadFailure(fileName, errno));
  if (S_ISDIR(st.st_mode)) throw std::runtime_error(ReadFailure(fileName, EISDIR));
  std::string bytes;
  const long long size = S_ISREG(st.st_mode) ? st.st_size : 0;
  bytes.resize(static_cast<size_t>(limit >= 0 ? std::min(size, limit) : size));
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::read(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw std::runtime_error(ReadFailure(fileName, errno));
    if (n == 0) break;  // the file shrank meanwhile
    done += static_cast<size_t>(n);
  }
  bytes.resize(done);
  cut = static_cast<long long>(done) < size;
  return bytes;
}

// Deletes a converted temporary file on every way out.
struct TTempFileGuard {
  std::string Name;
  bool Active = false;
  ~TTempFileGuard() {
    if (Active && SameText(ExtractFileExt(Name), ".tmp")) {
      std::error_code ec;
      fs::remove(Name, ec);
    }
  }
};

void ProcessMessages() {
  if (Application) Application->ProcessMessages();
}

}  // namespace

bool IsExcludedFile(const std::string& fileName) {
  if (fileName == kInternalDocument) return false;
  if (AnsiUpperCase(fileName).starts_with("{COM:")) {
    const size_t comma = fileName.find(',');
    const std::string kind =
        comma == std::string::npos ? std::string() : fileName.substr(1, comma - 1);
    return !ListHasType("." + kind);
  }
  if (FileExists(fileName)) return !ListHasType(ExtractFileExt(fileName));
  return true;
}

std::string GetIndexFileName(const std::string& fileName) {
  if (fileName == kInternalDocument || fileName.starts_with("{") || IsUrl(fileName))
    return TempDir + CleanFileName(fileName, true) + ".dkfti";
  return fileName + ".dkfti";
}

std::string GetConversionTempName(const std::string& fileName) {
  std::string name = TempDir + "~" + ChangeFileExt(ExtractFileName(fileName), ".tmp");
  MakeUniqueFileName(name);
  return name;
}

void ReadIndexFile(TFullTextRetrieval& fti, const std::string& fileName, std::string& list) {
  (void)fti;
  const std::string indexFile = GetIndexFileName(fileName);
  std::string content;
  {
    std::ifstream in(indexFile, std::ios::binary);
    content.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  // Prepared on Windows as often as here: decoded like any document text,
  // and its words in the form the index keeps and a search asks for
  // (lower case, umlauts folded), so that "Müller" is found as "mueller".
  content = FoldUmlauts(AnsiLowerCase(DecodeDocumentText(content, false)));
  if (!Configuration || Configuration->DeleteDkftiFile) {
    std::error_code ec;
    fs::remove(indexFile, ec);
    if (ec && ec != std::errc::no_such_file_or_directory)
      WriteErrorLog(indexFile + " konnte nicht gelöscht werden");
  }
  while (!content.empty() && std::isspace(static_cast<unsigned char>(content.back())))
    content.pop_back();
  if (content.empty()) return;
  // The prepared list comes first; the row's words follow where new.
  if (content.front() != '.') content.insert(content.begin(), '.');
  if (content.back() != '.') content += '.';
  for (const std::string& word : WordListItems(list))
    if (!InWordList(content, word)) content += word + ".";
  list = std::move(content);
}

void AddContentWords(const TFullTextRetrieval& fti, std::string_view content, bool html,
                     std::string& list, size_t chunkSize,
                     const std::function<void(size_t)>& progress) {
  if (content.empty()) return;
  const TCharSet wordChars = fti.Rules().WordChars;
  const size_t chunk = std::min(content.size(), std::max<size_t>(chunkSize, 1));
  size_t pos = 0;
  while (pos < content.size()) {
    size_t end = pos + std::min(chunk, content.size() - pos);
    // Never cut a word or a character at the chunk border.
    while (end < content.size()) {
      const size_t last = LastCharStart(content.substr(pos, end - pos)) + pos;
      const bool partial = last + SequenceLength(static_cast<unsigned char>(content[last])) > end &&
                           static_cast<unsigned char>(content[last]) >= 0xC0;
      if (!partial && !IsWordCharAt(wordChars, content, last)) break;
      ++end;
    }
    std::string_view text = content.substr(pos, end - pos);
    pos = end;
    if (html)
      fti.AddWords(HtmlToText(std::string(text)), list);
    else
      fti.AddWords(text, list);
    if (progress) progress(pos);
  }
}

void ReadDocumentFile(TFullTextRetrieval& fti, const std::string& fileName, std::string& list) {
  TTempFileGuard target{fileName, false};
  std::error_code sizeError;
  const auto size = static_cast<long long>(fs::file_size(fileName, sizeError));
  std::unique_ptr<TFormProgressBar> progress;
  if (!sizeError && size > kFtiProgressFileSize) {
    progress = std::make_unique<TFormProgressBar>(nullptr);
    progress->ProgressBar->SetMax(static_cast<int>(std::min<long long>(size, INT32_MAX)));
    progress->SetFileName(fileName);
    progress->LabelTop->Show();
    progress->LabelBottom->Show();
    progress->Show();
    progress->Top += progress->Height + 10;
    progress->Left += 10;
    ProcessMessages();
  }
  const auto status = [&](const std::string& text) {
    if (progress) progress->SetStatusText(text);
  };
  const std::string converting = "Volltextindex: Erstelle temporäre Textdatei...";

  auto* archive = dynamic_cast<TDkArchive*>(&fti.Database());
  const std::string ext = AnsiLowerCase(ExtractFileExt(fileName));
  const bool convert = !Configuration || Configuration->OleToTxt;
  const auto officeConversion = [&](bool (*converter)(const std::string&, const std::string&)) {
    target.Name = GetConversionTempName(fileName);
    status(converting);
    if (converter(fileName, target.Name)) {
      target.Active = true;
    } else {
      target.Name = fileName;
      WriteErrorLog(ConversionFailed(fileName));
    }
  };

  if (ext == ".pdf") {
    const std::string program = ProgramDir + "pdftotext";
    if (!FileExists(program)) {
      WriteErrorLog("Die Datei \"" + program + "\" wurde nicht gefunden.. " +
                    ConversionFailed("PDF"));
      return;
    }
    target.Name = GetTempFile();
    if (target.Name.empty()) {
      WriteErrorLog(ConversionFailed(fileName));
      return;
    }
    target.Active = true;
    status(converting);
    RunPdfToText(program, fileName, target.Name);
  } else if (convert && (ext == ".doc" || ext == ".rtf")) {
    officeConversion(&WordDocToText);
  } else if (convert && ext == ".xls") {
    officeConversion(&ExcelBookToText);
  } else if (convert && ext == ".msg") {
    officeConversion(&OutlookMsgToText);
  } else if (convert && archive && ext == ".dwg") {
    status(converting);
    std::string converted;
    try {
      if (archive->OnConvertFileForFTI) archive->OnConvertFileForFTI(*archive, fileName, converted);
      if (!SameText(converted, fileName) && FileExists(converted)) {
        target.Name = converted;
        target.Active = true;
      }
    } catch (const std::exception&) {
      WriteErrorLog(ConversionFailed(fileName));
    }
  } else if (convert && archive && fileName.starts_with("{COM:LotusNotes,")) {
    status(converting);
    std::string converted;
    try {
      if (archive->OnConvertFileForFTI) archive->OnConvertFileForFTI(*archive, fileName, converted);
    } catch (const std::exception&) {
      WriteErrorLog(ConversionFailed(fileName));
      return;
    }
    if (SameText(converted, fileName) || !FileExists(converted)) return;
    target.Name = converted;
    target.Active = true;
  }

  std::string buffer;
  if (fileName == kInternalDocument) {
    TField* rtf = fti.Database().GetRtfTextField(fti.Database().GetDocID());
    if (!rtf || rtf->IsNull()) return;
    buffer = rtf->AsString();
    if (buffer.empty()) return;
    RtfStreamToText(buffer);
  } else {
    status("Volltextindex: Einlesen der Dokumentdatei");
    if (progress) progress->SetFileName(target.Name);
    ProcessMessages();
    const int maxMb = Configuration ? Configuration->FtiMaxFileSize : 2;
    const long long limit = maxMb > 0 ? static_cast<long long>(maxMb) * 1048576 : -1;
    bool cut = false;
    buffer = DecodeDocumentText(ReadFileStart(target.Name, limit, cut), cut);
  }
  AddContentWords(fti, buffer, IsHtmlFile(target.Name), list, kFtiChunkSize, [&](size_t done) {
    if (progress)
      progress->ProgressBar->SetPosition(static_cast<int>(std::min<size_t>(done, INT32_MAX)));
  });
}

}  // namespace dk
