// What the conversion benchmarks share: the legacy archive they convert, the
// sandbox of a run and the timed conversion itself.
#pragma once

#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "app/main_window.h"
#include "ui/message_box.h"
#include "ui/terminal_view.h"

namespace dk::bench {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

inline double Seconds(Clock::duration d) {
  return std::chrono::duration<double>(d).count();
}

// The syncs the preload library has seen so far; -1 without it.
inline long SyncCount() {
  using TCount = long (*)();
  static const auto count = reinterpret_cast<TCount>(dlsym(RTLD_DEFAULT, "dk_sync_count"));
  return count ? count() : -1;
}

struct TRun {
  double Total = 0;
  struct TStage {
    std::string Name;
    double Seconds = 0;
    long Syncs = 0;
  };
  std::vector<TStage> Stages;
};

// Converts `source` into the existing empty archive `target` in this
// process, timing every stage by the run log's lines as they come; with
// `atomic` in one transaction (arcport5 --atomic).
inline TRun Convert(const std::string& source, const std::string& target, bool drawing,
                    bool atomic = false) {
  TRun run;
  dk::TApplication app;
  int devNull = -1;
  std::unique_ptr<dk::TTerminalView> view;
  if (drawing) {
    devNull = open("/dev/null", O_WRONLY);
    view = std::make_unique<dk::TTerminalView>(devNull, true);
    app.SetTerminalView(view.get());
  }
  dk::TFormArcport5Main form(nullptr, {source, target});
  form.SetAtomic(atomic);
  auto stageStart = Clock::now();
  long stageSyncs = SyncCount();
  const auto start = stageStart;
  std::string stage = "Start";
  form.OnAddLog = [&](const std::string& line) {
    // A stage begins with its first log line; the counts close a copy.
    static const char* const starts[] = {
        "Ermittle",         "öffne ",          "nicht-Standard",
        "Feldbeschreib",    "kopiere Layout",  "Daten kopieren",
        "Daten übernehmen", "kopiere RTFTEXT", "Import/Konvertierung"};
    for (const char* s : starts) {
      if (line.rfind(s, 0) == 0) {
        const auto now = Clock::now();
        run.Stages.push_back({stage, Seconds(now - stageStart), SyncCount() - stageSyncs});
        stage = line.substr(0, 48);
        stageStart = now;
        stageSyncs = SyncCount();
        break;
      }
    }
  };
  form.Show();
  app.Run();
  const auto end = Clock::now();
  run.Stages.push_back({stage, Seconds(end - stageStart), SyncCount() - stageSyncs});
  run.Total = Seconds(end - start);
  app.SetTerminalView(nullptr);
  if (devNull >= 0) close(devNull);
  return run;
}

// The size of the generated legacy archive; the large archive by default.
struct TArchiveSize {
  long long Documents = 20000, FtiWid = 2000000, FtiWord = 100000;
  // Takes "--documents", "--ftiwid" or "--ftiword" with its value; false
  // for another option.
  bool Take(const std::string& option, long long value) {
    if (option == "--documents")
      Documents = value;
    else if (option == "--ftiwid")
      FtiWid = value;
    else if (option == "--ftiword")
      FtiWord = value;
    else
      return false;
    return true;
  }
};

// The legacy archive of the given size below `base`, generated once (with
// pxlib, which takes a while) and reused; returns its folder.
inline std::string LegacyArchive(const std::string& base, const TArchiveSize& size) {
  const long long documents = size.Documents, ftiwid = size.FtiWid, ftiword = size.FtiWord;
  const std::string tag =
      std::to_string(documents) + "-" + std::to_string(ftiwid) + "-" + std::to_string(ftiword);
  const std::string source = base + "/v5-" + tag + "/archiv";
  if (!fs::exists(source + "/.complete")) {
    std::fprintf(stderr, "generating the legacy archive (%s) ...\n", tag.c_str());
    const auto t = Clock::now();
    const std::string cmd = std::string(DKL_MKLEGACY_EXE) + " " + source + " --documents " +
                            std::to_string(documents) + " --ftiwid " + std::to_string(ftiwid) +
                            " --ftiword " + std::to_string(ftiword) + " >/dev/null";
    if (std::system(cmd.c_str()) != 0) std::exit(1);
    // The marker file is not a table; the conversion ignores it.
    std::FILE* f = std::fopen((source + "/.complete").c_str(), "w");
    if (f) std::fclose(f);
    std::fprintf(stderr, "generated in %.1f s\n", Seconds(Clock::now() - t));
  }
  return source;
}

// A fresh folder `work` with the machine hive that puts the shared data
// directory into it, named by DOKALON_REGISTRY_DIR; no question is asked.
inline void PrepareRunFolder(const std::string& work) {
  fs::remove_all(work);
  fs::create_directories(work + "/reg");
  fs::create_directories(work + "/common");
  std::FILE* f = std::fopen((work + "/reg/HKEY_LOCAL_MACHINE.reg").c_str(), "w");
  std::fprintf(f,
               "Windows Registry Editor Version 5.00\n\n"
               "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tesmarin\\Dokalon\\Settings]\n"
               "\"CommonFilesPath\"=\"%s/common/\"\n",
               work.c_str());
  std::fclose(f);
  setenv("DOKALON_REGISTRY_DIR", (work + "/reg").c_str(), 1);
  dk::SetBoxAnswerer(std::make_unique<dk::TNonInteractiveAnswerer>(false));
}

}  // namespace dk::bench
