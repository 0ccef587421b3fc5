// Paradox engine benchmark.
//
//   paradox_bench [--rows N] [--repeat R] [--data DIR]       speed
//   paradox_bench --memory [--data DIR] [N ...]               peak memory
//
// Speed: writes (once, then reuses) a table of N rows (default 10^6) with
// Long, Alpha, Number, Currency, Date, Short, Logical and Timestamp fields,
// then reads every row and every field R times (default 3) with the engine
// and with pxlib reading the same file record by record (no .MB), in this one
// run, and prints the best time of each and their ratio.
//
// Memory: for each N (default 10^5, 10^6, 10^7) writes a table of two Long
// fields (the shape of the full-text word index) and reads it completely in a
// child process; prints the child's peak resident set (ru_maxrss), which must
// not grow with N.
//
// Tables are kept in DIR (default $TMPDIR/dk-paradox-bench) for later runs;
// writing 10^7 rows through pxlib takes minutes.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

extern "C" {
#include <paradox.h>  // pxlib's header declares C functions without extern "C"
}

#include "paradox/query.h"
#include "px_writer.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point a, Clock::time_point b) {
  return std::chrono::duration<double>(b - a).count();
}

// Reuses a table written before when it has the expected row count.
bool HasRows(const std::string& dir, const std::string& table, int64_t rows) {
  if (!fs::exists(dir + "/" + table + ".DB")) return false;
  try {
    dk::TParadoxQuery q;
    q.SetDatabaseName(dir);
    q.SetSQL("SELECT COUNT(*) AS FRECORDCOUNT FROM " + table);
    q.Open();
    return q.Fields(0).AsLargeInt() == rows;
  } catch (const std::exception&) {
    return false;
  }
}

void WriteSpeedTable(const std::string& dir, const std::string& table, int64_t rows) {
  if (HasRows(dir, table, rows)) return;
  std::cerr << "writing " << rows << " rows to " << dir << "/" << table << ".DB ...\n";
  const auto t0 = Clock::now();
  dk::TPxTableWriter w(dir + "/" + table + ".DB", {{"ID", 'I', 0},
                                                   {"NAME", 'A', 24},
                                                   {"VALUE", 'N', 0},
                                                   {"PRICE", '$', 0},
                                                   {"DAY", 'D', 0},
                                                   {"KIND", 'S', 0},
                                                   {"DONE", 'L', 0},
                                                   {"STAMP", '@', 0}});
  for (int64_t i = 0; i < rows; ++i) {
    w.SetInteger(0, i + 1);
    if (i % 7 != 0) w.SetText(1, "Dokument Nr. " + std::to_string(i));
    w.SetFloat(2, static_cast<double>(i) * 0.25);
    w.SetFloat(3, static_cast<double>(i % 1000) + 0.99);
    w.SetDate(4, 1990 + static_cast<int>(i % 30), 1 + static_cast<int>(i % 12),
              1 + static_cast<int>(i % 28));
    w.SetInteger(5, i % 100);
    w.SetBool(6, i % 2 == 0);
    w.SetTimestamp(7, 2001, 2, 3, (i * 1000) % 86400000);
    w.Post();
  }
  w.Close();
  std::cerr << "  written in " << Seconds(t0, Clock::now()) << " s\n";
}

void WriteWordIdTable(const std::string& dir, const std::string& table, int64_t rows) {
  if (HasRows(dir, table, rows)) return;
  std::cerr << "writing " << rows << " rows to " << dir << "/" << table << ".DB ...\n";
  const auto t0 = Clock::now();
  dk::TPxTableWriter w(dir + "/" + table + ".DB", {{"WORDID", 'I', 0}, {"DOCID", 'I', 0}});
  for (int64_t i = 0; i < rows; ++i) {
    w.SetInteger(0, i % 50000 + 1);
    w.SetInteger(1, i / 50 + 1);
    w.Post();
  }
  w.Close();
  std::cerr << "  written in " << Seconds(t0, Clock::now()) << " s\n";
}

// Every row, every field, through the dataset the table copies use.
uint64_t ReadWithEngine(const std::string& dir, const std::string& table, int64_t& rows) {
  dk::TParadoxQuery q;
  q.SetDatabaseName(dir);
  q.SetSQL("SELECT * FROM " + table);
  q.Open();
  uint64_t sum = 0;
  rows = 0;
  const int n = q.FieldCount();
  std::vector<dk::TParadoxField*> fields;
  for (int i = 0; i < n; ++i) fields.push_back(&q.Fields(i));
  for (; !q.Eof(); q.Next()) {
    ++rows;
    for (dk::TParadoxField* f : fields) {
      if (f->IsNull()) continue;
      switch (f->DataType()) {
        case dk::ftString:
          sum += f->AsString().size();
          break;
        case dk::ftSmallint:
        case dk::ftInteger:
        case dk::ftAutoInc:
          sum += static_cast<uint64_t>(f->AsInteger());
          break;
        case dk::ftBoolean:
          sum += f->AsBoolean();
          break;
        case dk::ftDate:  // as day number and milliseconds, which pxlib returns
          sum += static_cast<uint64_t>(std::llround(f->AsDateTime()) + 693594);
          break;
        case dk::ftDateTime:
          sum += static_cast<uint64_t>(std::llround((f->AsDateTime() + 693594) * 86400000.0));
          break;
        default:
          sum += static_cast<uint64_t>(f->AsFloat());
          break;
      }
    }
  }
  return sum;
}

void PxError(pxdoc_t*, int, const char*, void*) {}

// The same with pxlib: record by record, each field with its PX_get_data_*.
uint64_t ReadWithPxlib(const std::string& path, int64_t& rows) {
  pxdoc_t* px = PX_new3(&PxError, nullptr, nullptr, nullptr, nullptr);
  if (PX_open_file(px, path.c_str()) < 0) {
    std::cerr << "pxlib cannot open " << path << '\n';
    std::exit(1);
  }
  PX_set_parameter(px, "targetencoding", "UTF-8");
  const int n = PX_get_num_fields(px);
  pxfield_t* fields = PX_get_fields(px);
  std::vector<char> record(static_cast<size_t>(PX_get_recordsize(px)));
  const int count = PX_get_num_records(px);
  uint64_t sum = 0;
  rows = 0;
  for (int r = 0; r < count; ++r) {
    if (!PX_get_record(px, r, record.data())) break;
    ++rows;
    int offset = 0;
    for (int i = 0; i < n; ++i) {
      char* data = record.data() + offset;
      const int len = fields[i].px_flen;
      offset += len;
      switch (fields[i].px_ftype) {
        case pxfAlpha: {
          char* s = nullptr;
          if (PX_get_data_alpha(px, data, len, &s) > 0 && s) {
            sum += std::strlen(s);
            px->free(px, s);
          }
          break;
        }
        case pxfShort: {
          short v;
          if (PX_get_data_short(px, data, len, &v) > 0) sum += static_cast<uint64_t>(v);
          break;
        }
        case pxfLong:
        case pxfAutoInc:
        case pxfDate:
        case pxfTime: {
          long v;
          if (PX_get_data_long(px, data, len, &v) > 0) sum += static_cast<uint64_t>(v);
          break;
        }
        case pxfLogical: {
          char v;
          if (PX_get_data_byte(px, data, len, &v) > 0) sum += static_cast<uint64_t>(v);
          break;
        }
        default: {
          double v;
          if (PX_get_data_double(px, data, len, &v) > 0) sum += static_cast<uint64_t>(v);
          break;
        }
      }
    }
  }
  PX_close(px);
  PX_delete(px);
  return sum;
}

int Speed(const std::string& dir, int64_t rows, int repeat) {
  const std::string table = "SPEED" + std::to_string(rows);
  WriteSpeedTable(dir, table, rows);
  const std::string path = dir + "/" + table + ".DB";
  std::cout << "table: " << path << " (" << fs::file_size(path) / (1024 * 1024) << " MiB, " << rows
            << " rows, 8 fields)\n";
  double bestOurs = 1e30, bestPx = 1e30;
  for (int i = 0; i < repeat; ++i) {
    int64_t n1, n2;
    auto t0 = Clock::now();
    const uint64_t s1 = ReadWithEngine(dir, table, n1);
    auto t1 = Clock::now();
    const uint64_t s2 = ReadWithPxlib(path, n2);
    auto t2 = Clock::now();
    if (n1 != rows || n2 != rows) {
      std::cerr << "row counts differ: engine " << n1 << ", pxlib " << n2 << '\n';
      return 1;
    }
    bestOurs = std::min(bestOurs, Seconds(t0, t1));
    bestPx = std::min(bestPx, Seconds(t1, t2));
    std::cout << "run " << i + 1 << ": engine " << Seconds(t0, t1) << " s, pxlib "
              << Seconds(t1, t2) << " s" << (s1 == s2 ? "" : " -- THE VALUES DIFFER") << '\n';
  }
  std::cout << "best: engine " << bestOurs << " s (" << static_cast<int64_t>(rows / bestOurs)
            << " rows/s), pxlib " << bestPx << " s (" << static_cast<int64_t>(rows / bestPx)
            << " rows/s)\n";
  std::cout << "ratio pxlib/engine: " << bestPx / bestOurs << " (above 1: the engine is faster)\n";
  return 0;
}

int Memory(const std::string& dir, std::vector<int64_t> sizes) {
  if (sizes.empty()) sizes = {100000, 1000000, 10000000};
  for (int64_t rows : sizes) {
    const std::string table = "FTIWID" + std::to_string(rows);
    WriteWordIdTable(dir, table, rows);
    std::cout.flush();
    const pid_t pid = fork();
    if (pid == 0) {
      int64_t n = 0;
      ReadWithEngine(dir, table, n);
      _exit(n == rows ? 0 : 1);
    }
    int status = 0;
    struct rusage usage {};
    const auto t0 = Clock::now();
    wait4(pid, &status, 0, &usage);
    const double secs = Seconds(t0, Clock::now());
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      std::cerr << "reading " << table << " failed\n";
      return 1;
    }
    std::cout << rows << " rows: peak RSS " << usage.ru_maxrss << " KiB, read in " << secs
              << " s\n";
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const char* tmp = std::getenv("TMPDIR");
  std::string dir = std::string(tmp && *tmp ? tmp : "/tmp") + "/dk-paradox-bench";
  int64_t rows = 1000000;
  int repeat = 3;
  bool memory = false;
  std::vector<int64_t> sizes;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--rows" && i + 1 < argc) {
      rows = std::stoll(argv[++i]);
    } else if (a == "--repeat" && i + 1 < argc) {
      repeat = std::stoi(argv[++i]);
    } else if (a == "--data" && i + 1 < argc) {
      dir = argv[++i];
    } else if (a == "--memory") {
      memory = true;
    } else if (memory && !a.empty() && a[0] != '-') {
      sizes.push_back(std::stoll(a));
    } else {
      std::cerr << "usage: paradox_bench [--rows N] [--repeat R] [--data DIR]\n"
                   "       paradox_bench --memory [--data DIR] [N ...]\n";
      return 2;
    }
  }
  fs::create_directories(dir);
  try {
    return memory ? Memory(dir, sizes) : Speed(dir, rows, repeat);
  } catch (const std::exception& e) {
    std::cerr << "paradox_bench: " << e.what() << '\n';
    return 1;
  }
}
