// File name functions for the archive's file handling, the field definitions,
// the document types and the conversion: read-only attribute, unique, cleaned
// and numbered names, backup copies, web-address and HTML-name tests, file
// lists and sizes. Stateless; main thread.
//
// The read-only attribute of this platform is the owner's write permission: a
// file is read-only when its owner may not write it.
#pragma once

#include <cstdint>
#include <string>

#include "sys/string_list.h"

namespace dk {

// True when the file is read-only, and also when it cannot be examined (a
// missing file).
bool IsFileReadOnly(const std::string& fileName);
// Mode 1 makes an existing writable file read-only (all write permissions
// off), mode 0 makes a read-only file writable for its owner; other
// combinations do nothing. A failure shows an error box.
void SetFileReadOnly(const std::string& fileName, int mode);

// Names (without folders) that are equal, or that differ only in trailing
// digits before the same extension, ignoring case: "Report3.doc" and
// "report.DOC" are variants.
bool IsNumberedVariant(const std::string& a, const std::string& b);
// The same file by name or expanded path, or a numbered variant in the same
// folder.
bool IsSameOrVariantFile(const std::string& a, const std::string& b);

// When a file or directory named `fileName` exists, appends the first number
// 1, 2, 3, ... before the extension that gives a free name.
void MakeUniqueFileName(std::string& fileName);
// Copies an existing file to the same name with the extension ".~ext" (".~"
// without extension), overwriting; a failure shows the system's error box.
void MakeBackupCopy(const std::string& fileName);

// Removes the characters a file name cannot hold. Strict mode gives one flat
// name (no "/", "\", "." or ":", at most 255 characters); otherwise the text
// stays a path, keeps "/" and has doubled "/" reduced to one, except the two
// that may open it.
std::string CleanFileName(const std::string& text, bool strict);

bool IsHtmlFile(const std::string& fileName);
// Begins with "http://", "https://" or "ftp://", ignoring case.
bool IsUrl(const std::string& text);

// The size of the first entry matching `fileName` (which may hold wildcards
// in its name part), as a 32-bit signed number; -1 when none matches.
int32_t FileSizeByName(const std::string& fileName);

// Attribute bits of the file search.
constexpr int faReadOnly = 0x01;
constexpr int faHidden = 0x02;
constexpr int faSysFile = 0x04;
constexpr int faDirectory = 0x10;
constexpr int faArchive = 0x20;
constexpr int faAnyFile = 0x3F;
// Appends the names (without folder) of the entries matching `mask` (a path
// whose name part may hold wildcards), sorted ignoring case. Plain files are
// always found; directories only with faDirectory and hidden entries (a name
// beginning with ".") only with faHidden in `attributes`.
void AddFileNames(const std::string& mask, int attributes, TStringList& list);

}  // namespace dk
