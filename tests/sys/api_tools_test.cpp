#include "sys/api_tools.h"

#include <gtest/gtest.h>
#include <sys/vfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <optional>
#include <regex>
#include <set>

#include "support/scoped_env.h"
#include "support/temp_dir.h"

namespace dk {
namespace {

namespace fs = std::filesystem;

// Records what the functions ask of the user interface.
class TRecordingUi {
 public:
  TRecordingUi() {
    SetSystemUi({[this] { return FCursor; }, [this](int c) { FCursor = c, FCursors.push_back(c); },
                 [this](const std::string& t) { FErrors.push_back(t); },
                 [this](const std::string& t) {
                   FQuestions.push_back(t);
                   return FAnswer;
                 }});
  }
  ~TRecordingUi() { SetSystemUi({}); }
  int FCursor = 0;
  std::vector<int> FCursors;
  std::vector<std::string> FErrors;
  std::vector<std::string> FQuestions;
  bool FAnswer = false;
};

TEST(ApiTools, FileCopyRefusesAnExistingTargetWithTheSystemText) {
  test::TTempDir dir;
  TRecordingUi ui;
  ui.FCursor = 7;
  test::WriteFile(dir / "a.lay", "neu");
  test::WriteFile(dir / "b.lay", "alt");
  EXPECT_FALSE(FileCopy(dir / "a.lay", dir / "b.lay", false, true));
  EXPECT_EQ(test::ReadFile(dir / "b.lay"), "alt");
  ASSERT_EQ(ui.FErrors.size(), 1u);
  EXPECT_EQ(ui.FErrors[0], GetSystemErrorText(EEXIST));
  EXPECT_EQ(ui.FCursors, (std::vector<int>{crHourGlassCursor, 7}));

  EXPECT_FALSE(FileCopy(dir / "missing", dir / "c.lay", true, false));
  EXPECT_EQ(ui.FErrors.size(), 1u);  // no box asked for
  EXPECT_TRUE(FileCopy(dir / "a.lay", dir / "b.lay", true, true));
  EXPECT_EQ(test::ReadFile(dir / "b.lay"), "neu");
}

TEST(ApiTools, SystemErrorTexts) {
  EXPECT_FALSE(GetSystemErrorText(ENOENT).empty());
  EXPECT_EQ(GetSystemErrorText(987654), "");
}

TEST(ApiTools, ShellMoveFileRenamesOrMoves) {
  struct TCase {
    const char* Source;
    const char* Target;
  };
  const TCase cases[] = {
      {"A/x.doc", "A/y.doc"},      // rename in place
      {"A/x.doc", "B/x.doc"},      // move into another folder, created on the way
      {"A/x.doc", "B/C/D/y.doc"},  // move with a new name, parents created
      {"A/x.doc", "B/X.DOC"},      // same name ignoring case: the target name counts
  };
  for (const auto& c : cases) {
    test::TTempDir dir;
    fs::create_directories(dir / "A");
    test::WriteFile(dir / c.Source, "inhalt");
    EXPECT_TRUE(ShellMoveFile(dir / c.Source, dir / c.Target, false)) << c.Target;
    EXPECT_EQ(test::ReadFile(dir / c.Target), "inhalt") << c.Target;
    EXPECT_FALSE(fs::exists(dir / c.Source)) << c.Target;
  }
}

// The move of a document file never replaces a file at the target, on one
// file system or across two (/dev/shm is a tmpfs where there is one).
TEST(ApiTools, MoveFileKeepingTargetRefusesAnExistingTarget) {
  test::TTempDir dir;
  std::optional<test::TScopedEnv> shm;
  if (fs::is_directory("/dev/shm")) shm.emplace("TMPDIR", "/dev/shm");
  const test::TTempDir otherDir;
  shm.reset();
  const fs::path other = otherDir.Path();
  struct TCase {
    fs::path Source;
    fs::path Target;
    const char* Present;  // what the target holds before, if anything
    bool Moved;
  };
  const fs::path root = dir.Path();
  const TCase cases[] = {
      {root / "A/x.doc", root / "A/y.doc", nullptr, true},
      {root / "A/x.doc", root / "B/C/y.doc", nullptr, true},
      {root / "A/x.doc", root / "A/X.DOC", nullptr, true},
      {root / "A/x.doc", root / "A/x.doc", nullptr, true},
      {root / "A/x.doc", other / "D/x.doc", nullptr, true},
      {root / "A/x.doc", root / "A/y.doc", "fremd", false},
      {root / "A/x.doc", root / "B/y.doc", "fremd", false},
      {root / "A/x.doc", other / "D/y.doc", "fremd", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Target.string() + (c.Present ? " vorhanden" : ""));
    fs::remove_all(root / "A"), fs::remove_all(root / "B"), fs::remove_all(other / "D");
    fs::create_directories(root / "A");
    test::WriteFile(c.Source, "inhalt");
    if (c.Present) {
      fs::create_directories(c.Target.parent_path());
      test::WriteFile(c.Target, c.Present);
    }
    EXPECT_EQ(MoveFileKeepingTarget(c.Source, c.Target), c.Moved);
    EXPECT_EQ(test::ReadFile(c.Target), c.Moved ? "inhalt" : c.Present);
    EXPECT_EQ(fs::exists(c.Source), !c.Moved || c.Source == c.Target);
  }
  EXPECT_FALSE(MoveFileKeepingTarget(dir / "missing.doc", root / "E/missing.doc"));
  EXPECT_FALSE(fs::exists(dir / "E"));
}

TEST(ApiTools, ShellMoveFileAsksBeforeReplacingAndFailsWithoutASource) {
  test::TTempDir dir;
  TRecordingUi ui;
  test::WriteFile(dir / "x.doc", "neu");
  test::WriteFile(dir / "y.doc", "alt");
  EXPECT_FALSE(ShellMoveFile(dir / "x.doc", dir / "y.doc", true));  // answered no
  EXPECT_EQ(ui.FQuestions.size(), 1u);
  EXPECT_EQ(test::ReadFile(dir / "y.doc"), "alt");
  EXPECT_EQ(test::ReadFile(dir / "x.doc"), "neu");
  ui.FAnswer = true;
  EXPECT_TRUE(ShellMoveFile(dir / "x.doc", dir / "y.doc", true));
  EXPECT_EQ(test::ReadFile(dir / "y.doc"), "neu");

  test::WriteFile(dir / "z.doc", "ohne Frage");
  EXPECT_TRUE(ShellMoveFile(dir / "z.doc", dir / "y.doc", false));
  EXPECT_EQ(ui.FQuestions.size(), 2u);
  EXPECT_EQ(test::ReadFile(dir / "y.doc"), "ohne Frage");

  EXPECT_FALSE(ShellMoveFile(dir / "missing.doc", dir / "B/missing.doc", false));
  EXPECT_FALSE(fs::exists(dir / "B"));
}

TEST(ApiTools, DriveKindOfRamDiskAndOfMissingPaths) {
  struct statfs sfs {};
  if (statfs("/dev/shm", &sfs) != 0 || sfs.f_type != 0x01021994)
    GTEST_SKIP() << "/dev/shm is no tmpfs here";
  EXPECT_EQ(GetDriveKind("/dev/shm"), dkRamDisk);
  // A path that does not exist yet is judged by its nearest existing parent.
  EXPECT_EQ(GetDriveKind("/dev/shm/no/such/file.doc"), dkRamDisk);
  EXPECT_EQ(GetDriveKind("/proc/self/nonexistent"), dkFixed);
}

TEST(ApiTools, ComputerNameGuidAndPlatformTests) {
  const std::string name = GetComputerNameText();
  EXPECT_LE(name.size(), 15u);
  EXPECT_EQ(name.find('.'), std::string::npos);
  // Random GUIDs (version 4, the standard variant), none twice, also across
  // the refills of the random buffer.
  std::set<std::string> guids;
  const std::regex form(
      R"(\{[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}\})");
  for (int i = 0; i < 1000; ++i) {
    const std::string g = NewGuidText();
    EXPECT_TRUE(std::regex_match(g, form)) << g;
    guids.insert(g);
  }
  EXPECT_EQ(guids.size(), 1000u);
  EXPECT_TRUE(IsWinNTPlatform());
  EXPECT_FALSE(HasComCtl6());
}

TEST(ApiTools, AForkedChildMakesGuidsOfItsOwn) {
  NewGuidText();  // the parent holds random bytes now
  int pipeFds[2];
  ASSERT_EQ(pipe(pipeFds), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    const std::string g = NewGuidText();
    const ssize_t written = write(pipeFds[1], g.data(), g.size());
    _exit(written == static_cast<ssize_t>(g.size()) ? 0 : 1);
  }
  close(pipeFds[1]);
  std::string fromChild(38, '\0');
  EXPECT_EQ(read(pipeFds[0], fromChild.data(), fromChild.size()), 38);
  close(pipeFds[0]);
  int status = 0;
  waitpid(child, &status, 0);
  EXPECT_EQ(status, 0);
  EXPECT_NE(fromChild, NewGuidText());
}

TEST(ApiTools, TempDirAndTempFile) {
  test::TTempDir dir;
  test::TScopedEnv env("TMPDIR", dir.Path());
  EXPECT_EQ(GetTempDir(), dir.Path() + "/");
  const std::string file = GetTempFile();
  EXPECT_EQ(ExtractFilePath(file), dir.Path() + "/");
  EXPECT_EQ(ExtractFileName(file)[0], '~');
  EXPECT_EQ(fs::file_size(file), 0u);
  EXPECT_NE(GetTempFile(), file);
}

TEST(ApiTools, SpecialFolders) {
  test::TTempDir home;
  test::TScopedEnv h("HOME", home.Path());
  test::TScopedEnv c("XDG_CONFIG_HOME", home / ".config");
  std::string path = "unchanged";
  GetSpecialFolder(12345, path);
  EXPECT_EQ(path, "unchanged");
  GetSpecialFolder(CSIDL_PERSONAL, path);
  EXPECT_EQ(path, home.Path() + "/");  // no documents folder at all: home
  fs::create_directories(home / "Documents");
  GetSpecialFolder(CSIDL_PERSONAL, path);
  EXPECT_EQ(path, home / "Documents/");
  fs::create_directories(home / ".config");
  fs::create_directories(home / "Dokumente");
  test::WriteFile(home / ".config/user-dirs.dirs", "XDG_DOCUMENTS_DIR=\"$HOME/Dokumente\"\n");
  GetSpecialFolder(CSIDL_PERSONAL, path);
  EXPECT_EQ(path, home / "Dokumente/");
  GetSpecialFolder(CSIDL_COMMON_APPDATA, path);
  EXPECT_EQ(path, "/var/lib/");
  EXPECT_EQ(GetCommonDataFolder(), "/var/lib/");
}

TEST(ApiTools, ListFilesByMasks) {
  test::TTempDir dir;
  for (const char* name : {"b.itm", "A.ITM", "document.lay", "notes.txt"})
    test::WriteFile(dir / name, "");
  fs::create_directories(dir / "sub.itm");
  TStringList list{"vorher"};
  ListFiles(dir.Path(), "*.itm;*.lay;", false, list, true, false);
  EXPECT_EQ(list, (TStringList{"vorher", "A", "b", "sub", "document"}));
  list.Clear();
  ListFiles(dir.Path() + "/", "*.lay; *.txt", true, list, false, true);
  EXPECT_EQ(list, (TStringList{dir / "document.lay"}));  // " *.txt" keeps its blank
  list.Clear();
  ListFiles(dir / "missing", "*.*", true, list, false, true);
  EXPECT_TRUE(list.Empty());
}

TEST(ApiTools, DirectoryFunctions) {
  test::TTempDir dir;
  EXPECT_TRUE(ForceDirectories(dir / "a/b/c/"));
  EXPECT_TRUE(DirectoryExists(dir / "a/b/c"));
  EXPECT_THROW(ForceDirectories(""), std::runtime_error);
  test::WriteFile(dir / "file", "");
  EXPECT_FALSE(ForceDirectories(dir / "file/sub"));
  EXPECT_FALSE(DirectoryExists(dir / "file"));
  EXPECT_TRUE(FileExists(dir / "file"));
  EXPECT_FALSE(FileExists(dir / "a"));
}

TEST(FilePaths, NamePartsAndMasks) {
  EXPECT_EQ(ExtractFilePath("/a/b.c/d.txt"), "/a/b.c/");
  EXPECT_EQ(ExtractFileDir("/d.txt"), "/");
  EXPECT_EQ(ExtractFileExt("/a/b.c/d"), "");
  EXPECT_EQ(ExtractFileExt("Brief.neu.doc"), ".doc");
  EXPECT_EQ(ChangeFileExt("/a/Brief.doc", ".~doc"), "/a/Brief.~doc");
  struct TCase {
    const char* Name;
    const char* Mask;
    bool Match;
  };
  const TCase cases[] = {{"Brief.DOC", "*.doc", true},
                         {"Brief.docx", "*.doc", false},
                         {"ÄRGER.txt", "ärger.*", true},
                         {"README", "*.*", true},
                         {"README", "read?e", true},
                         {"READ", "read?", false},
                         {"a.b.c", "*.c", true},
                         {"abc", "a*b*c*", true},
                         {"", "*", true},
                         {"x", "", false}};
  for (const auto& c : cases)
    EXPECT_EQ(MatchesMask(c.Name, c.Mask), c.Match) << c.Name << " " << c.Mask;
}

}  // namespace
}  // namespace dk
