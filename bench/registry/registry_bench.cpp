// Registry hive loading benchmark.
//
//   registry_bench [--repeat R] [--dir DIR]
//
// Writes hive files as the registry editor exports them (UTF-16LE with a BOM,
// CR LF) into DIR (default $TMPDIR/dk-registry-bench) and loads each one R
// times (default 3) through TRegistry, the way the settings readers do: open
// the deepest key for reading and read a value. Two shapes, each at three
// sizes so that the growth shows:
//   keys:   25,000, 50,000 and 100,000 keys below one product key, each with a
//           string and a DWORD value (the 100,000-key hive is about 17 MB);
//   values: 20,000, 40,000 and 80,000 string values in one key.
// Prints the best time of each load, the time per key or value, and the file
// size. A load that grows with the square of the keys shows as a time per key
// that doubles with each size.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "sys/registry.h"

namespace {

namespace fs = std::filesystem;

std::string Utf16Export(const std::string& text) {
  std::string bytes = "\xFF\xFE";
  bytes.reserve(2 * text.size() + 2);
  for (char c : text) {
    bytes += c;
    bytes += '\0';
  }
  return bytes;
}

void WriteHive(const std::string& fileName, const std::string& text) {
  std::ofstream out(fileName, std::ios::binary | std::ios::trunc);
  const std::string bytes = Utf16Export(text);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

const char* kHead =
    "Windows Registry Editor Version 5.00\r\n\r\n"
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tesmarin\\Dokalon\\Settings]\r\n"
    "\"CommonFilesPath\"=\"/srv/dokalon/\"\r\n";

std::string ManyKeys(int keys) {
  std::string s = kHead;
  char line[160];
  for (int i = 0; i < keys; ++i) {
    std::snprintf(
        line, sizeof line,
        "\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tesmarin\\Dokalon\\Component "
        "Settings\\Form%06d]\r\n\"Caption\"=\"Formular %d\"\r\n\"FormLeft\"=dword:%08x\r\n",
        i, i, i);
    s += line;
  }
  return s;
}

std::string ManyValues(int values) {
  std::string s = kHead;
  char line[96];
  for (int i = 0; i < values; ++i) {
    std::snprintf(line, sizeof line, "\"Value%06d\"=\"Eintrag %d\"\r\n", i, i);
    s += line;
  }
  return s;
}

// Best time in seconds of `repeat` loads: open `key`, read `value`.
double BestLoad(int repeat, const std::string& key, const std::string& value) {
  double best = 1e9;
  for (int r = 0; r < repeat; ++r) {
    const auto start = std::chrono::steady_clock::now();
    dk::TRegistry reg(dk::TRootKey::LocalMachine);
    if (!reg.OpenKeyReadOnly(key) || reg.ReadString(value).empty()) {
      std::fprintf(stderr, "registry_bench: %s\\%s not read\n", key.c_str(), value.c_str());
      std::exit(1);
    }
    const double s =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (s < best) best = s;
  }
  return best;
}

}  // namespace

int main(int argc, char** argv) {
  int repeat = 3;
  const char* tmp = std::getenv("TMPDIR");
  std::string dir = std::string(tmp && *tmp ? tmp : "/tmp") + "/dk-registry-bench";
  for (int i = 1; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--repeat") && i + 1 < argc) {
      repeat = std::atoi(argv[++i]);
    } else if (!std::strcmp(argv[i], "--dir") && i + 1 < argc) {
      dir = argv[++i];
    } else {
      std::fprintf(stderr, "usage: registry_bench [--repeat R] [--dir DIR]\n");
      return 2;
    }
  }
  fs::create_directories(dir);
  setenv("DOKALON_REGISTRY_DIR", dir.c_str(), 1);
  const std::string file = dir + "/HKEY_LOCAL_MACHINE.reg";

  std::printf("%-8s %9s %10s %12s %10s\n", "shape", "count", "best s", "us per item", "MB");
  for (int keys : {25000, 50000, 100000}) {
    WriteHive(file, ManyKeys(keys));
    char last[96];
    std::snprintf(last, sizeof last, "SOFTWARE\\Tesmarin\\Dokalon\\Component Settings\\Form%06d",
                  keys - 1);
    const double s = BestLoad(repeat, last, "Caption");
    std::printf("%-8s %9d %10.3f %12.2f %10.1f\n", "keys", keys, s, 1e6 * s / keys,
                static_cast<double>(fs::file_size(file)) / 1e6);
  }
  for (int values : {20000, 40000, 80000}) {
    WriteHive(file, ManyValues(values));
    char last[32];
    std::snprintf(last, sizeof last, "Value%06d", values - 1);
    const double s = BestLoad(repeat, "SOFTWARE\\Tesmarin\\Dokalon\\Settings", last);
    std::printf("%-8s %9d %10.3f %12.2f %10.1f\n", "values", values, s, 1e6 * s / values,
                static_cast<double>(fs::file_size(file)) / 1e6);
  }
  return 0;
}
