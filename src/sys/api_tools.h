// File and system functions: system error texts, file copy, moving and
// renaming document files, the computer name, special folders, temporary
// files, GUID texts, file lists by several masks, drive kinds.
//
// Every function may be called from any thread, except FileCopy and
// ShowLastError, which touch the screen cursor or show a box and belong to the
// user-interface thread. Directory results end with "/".
#pragma once

#include <functional>
#include <string>

#include "sys/file_paths.h"
#include "sys/string_list.h"

namespace dk {

// How these functions reach the user interface without depending on it: the
// user-interface layer installs the hooks at start-up. Without them the cursor
// is left alone, error boxes are written to stderr and every confirmation is
// answered "no" (the answer that changes nothing).
struct TSystemUi {
  std::function<int()> GetCursor;
  std::function<void(int)> SetCursor;
  // A modal error box (caption "Fehler") with the button OK.
  std::function<void(const std::string& text)> ShowErrorBox;
  // A modal confirmation box with Yes and No; true for Yes.
  std::function<bool(const std::string& text)> Confirm;
};
void SetSystemUi(TSystemUi ui);
const TSystemUi& SystemUi();
// Shows `text` in the error box of the installed hooks.
void ShowSystemErrorBox(const std::string& text);

// The hourglass cursor id of the system.
constexpr int crHourGlassCursor = -11;

// The system's text for an errno value, or empty when it has none.
std::string GetSystemErrorText(int code);
// Shows the text of the calling thread's errno in an error box (nothing when
// there is no text).
void ShowLastError();

// Copies a file (contents and permissions) under the hourglass cursor. With
// `overwrite` false an existing target is refused. On failure and with
// `showErrorBox` the system's text of the failure is shown.
bool FileCopy(const std::string& source, const std::string& target, bool overwrite,
              bool showErrorBox);

// Moves or renames a document file. Within one directory (compared ignoring
// case) it is a rename; otherwise a move that creates missing target
// directories and, across file systems, copies and removes the source. An
// existing target is replaced; with `allowConfirmations` the user is asked
// first and "no" leaves both files alone. True only when the operation worked
// and a file exists at `target` afterwards. There is no recycle bin.
bool ShellMoveFile(const std::string& source, const std::string& target, bool allowConfirmations);

// Moves or renames a file as ShellMoveFile does, but never replaces another
// file at `target`, also not one that another program creates while the
// file is moved: then it fails and both files stay as they are. True only
// when the file is at `target` afterwards.
bool MoveFileKeepingTarget(const std::string& source, const std::string& target);

// The host name up to its first ".", at most 15 characters; empty on failure.
std::string GetComputerNameText();
// True: this platform keeps file access rights.
bool IsWinNTPlatform();
// False: there is no theming component here.
bool HasComCtl6();

// Special folder numbers the system asks for.
constexpr int CSIDL_PERSONAL = 5;         // the user's documents folder
constexpr int CSIDL_APPDATA = 26;         // the user's settings folder
constexpr int CSIDL_COMMON_APPDATA = 35;  // the all-users application data folder
// Sets `path` to the folder with a trailing "/", or leaves it unchanged when
// the folder is unknown: 35 is /var/lib/; 5 the XDG documents directory, else
// $HOME/Documents, else $HOME; 26 $XDG_CONFIG_HOME, else $HOME/.config.
void GetSpecialFolder(int folder, std::string& path);
// The all-users application data folder, or the user's documents folder when
// the former does not exist; "/" when neither is known.
std::string GetCommonDataFolder();

// $TMPDIR, else /tmp, with a trailing "/".
std::string GetTempDir();
// A new empty file "~XXXXXX.tmp" in the temporary directory; the caller
// deletes it. Empty when it cannot be created.
std::string GetTempFile();

// A new GUID: "{" 8-4-4-4-12 upper-case hex digits "}", 38 characters.
std::string NewGuidText();

// Appends the entries of `directory` matching any of the ";"-separated masks
// (each used as it stands, blanks included; empty pieces skipped), in mask
// order, each mask's matches sorted by name ignoring case. Directories match
// too ("." and ".." never). With `withPath` the directory is put in front,
// without `keepExtension` the extension is dropped. There is no shell icon
// list on this platform: `withIcons` lists as without icons.
void ListFiles(const std::string& directory, const std::string& masks, bool withPath,
               TStringList& list, bool withIcons, bool keepExtension);

// Drive kinds of the system; callers test for dkRemote.
constexpr int dkUnknown = 0;
constexpr int dkNoRootDir = 1;
constexpr int dkRemovable = 2;
constexpr int dkFixed = 3;
constexpr int dkRemote = 4;
constexpr int dkCdRom = 5;
constexpr int dkRamDisk = 6;
// The kind of the file system that holds `path` (or its nearest existing
// parent): network file systems (NFS, SMB/CIFS, AFS, 9P, FUSE) 4, tmpfs and
// ramfs 6, ISO 9660 and UDF 5, others 3, failure 0.
int GetDriveKind(const std::string& path);

}  // namespace dk
