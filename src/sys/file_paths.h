// Path helpers in the manner of the platform library the system was written
// against, for "/" as the separator: a directory text ends with "/", the
// extension of a name starts at its last "." after the last "/". File names
// compare ignoring case, as the rules speak of names, not of the file system.
#pragma once

#include <string>
#include <string_view>

namespace dk {

// "/a/b/c.txt" -> "/a/b/"; no "/" -> "".
std::string ExtractFilePath(std::string_view fileName);
// "/a/b/c.txt" -> "/a/b"; "/c.txt" -> "/".
std::string ExtractFileDir(std::string_view fileName);
// "/a/b/c.txt" -> "c.txt".
std::string ExtractFileName(std::string_view fileName);
// "c.tar.gz" -> ".gz"; "c" -> ""; "/a.b/c" -> "".
std::string ExtractFileExt(std::string_view fileName);
// Replaces (or removes, with an empty `ext`) the extension.
std::string ChangeFileExt(std::string_view fileName, std::string_view ext);
std::string IncludeTrailingPathDelimiter(std::string_view path);
std::string ExcludeTrailingPathDelimiter(std::string_view path);
// Absolute and normalised ("." and ".." resolved textually).
std::string ExpandFileName(std::string_view fileName);

// A file that exists and is not a directory.
bool FileExists(const std::string& fileName);
bool DirectoryExists(const std::string& path);
// Creates the directory with all missing parents; true when the whole path
// exists afterwards. Throws std::runtime_error for an empty path.
bool ForceDirectories(const std::string& path);

// The path of the file `name` in directory `dir`, the name matched ignoring
// case as on the system the legacy archives come from ("DOCUMENT.FLD" finds
// "document.fld"). An exact match wins; without any match the path is
// `dir` + `name`, which then does not exist.
std::string FindFileIgnoringCase(std::string_view dir, std::string_view name);

// Wildcard match of one file name: "*" any run of characters, "?" one
// character, ignoring case; a mask ending in ".*" also matches a name without
// extension ("*.*" matches every name).
bool MatchesMask(std::string_view name, std::string_view mask);
// True when the text holds "*" or "?".
bool HasWildcards(std::string_view text);

}  // namespace dk
