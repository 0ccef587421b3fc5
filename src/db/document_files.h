// Document files for the full-text index: which files of the full mode take
// part, the prepared word files (".dkfti"), the conversion of office, mail,
// PDF, drawing and groupware documents to text, and the reading of a file's
// content in chunks with the progress window. Main thread only.
//
// Settings (the configuration's): FtiFileTypes, the dotted list of file types
// whose content is read; FtiMaxFileSize, the megabytes read at most (0 or
// less: all); OleToTxt, convert office, mail, drawing and groupware documents
// first; DeleteDkftiFile, delete a prepared word file once read.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

namespace dk {

class TFullTextRetrieval;

// FILENAME of a document whose content is its stored rich text.
inline constexpr const char* kInternalDocument = "(internes Dokument)";
// Content is read in chunks of this size, so the word splitter never holds
// more than one chunk and the rest of a word.
inline constexpr size_t kFtiChunkSize = 1048576;
// Files above this size show the progress window while they are read.
inline constexpr long long kFtiProgressFileSize = 300000;

// True when the file's content takes no part in the index: a missing file, or
// a type not in FtiFileTypes (compared ignoring case). A file without
// extension is tested as ".", which every list holds; a "{COM:kind,..."
// reference is tested by its kind ("COM:kind"); the internal document always
// takes part.
bool IsExcludedFile(const std::string& fileName);
// The prepared word file of a document: the file name + ".dkfti"; for the
// internal document, "{" references and web addresses a flat name in the
// temporary directory (so all internal documents share one).
std::string GetIndexFileName(const std::string& fileName);
// A free "~name.tmp" in the temporary directory for a converted document.
std::string GetConversionTempName(const std::string& fileName);

// Takes the words of the prepared word file of `fileName` as they stand (no
// word rules) into the dotted list `list`, then deletes the word file when
// DeleteDkftiFile is set.
void ReadIndexFile(TFullTextRetrieval& fti, const std::string& fileName, std::string& list);
// Converts the document when its type needs it, reads at most FtiMaxFileSize
// megabytes of it and adds their words to `list`. A conversion that fails
// is logged and the file read unconverted; a temporary converted file is
// deleted whatever happens. A file that cannot be read raises.
void ReadDocumentFile(TFullTextRetrieval& fti, const std::string& fileName, std::string& list);

// Adds the words of `content` chunk by chunk, extending each chunk to the end
// of a word and of a UTF-8 sequence; `html` drops markup chunk by chunk.
// `progress` (may be empty) receives the bytes done after each chunk.
void AddContentWords(const TFullTextRetrieval& fti, std::string_view content, bool html,
                     std::string& list, size_t chunkSize = kFtiChunkSize,
                     const std::function<void(size_t)>& progress = {});

}  // namespace dk
