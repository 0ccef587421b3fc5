// arcport5 with the fault-injecting provider registered, for the tests that
// fail, stop or kill a run at an exact call: a settings file names
// "Provider=Fault;Inner Provider=SQLite" (or PostgreSQL) and DK_FAULTS the
// faults, separated by ";", each "point|kind|skip|times|statement part"
// (points open, begin, step, commit, aftercommit; kinds busy, full, ioerror,
// lost, constraint, kill, term; the statement part may be empty).
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "app/main_window.h"
#include "support/fault_provider.h"

namespace {

std::vector<std::string> Split(const std::string& text, char sep) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (size_t end; (end = text.find(sep, start)) != std::string::npos; start = end + 1)
    parts.push_back(text.substr(start, end - start));
  parts.push_back(text.substr(start));
  return parts;
}

bool AddFaults(const std::string& spec) {
  using dk::test::TFaultKind;
  using dk::test::TFaultPoint;
  static const std::map<std::string, TFaultPoint> points{{"open", TFaultPoint::Open},
                                                         {"begin", TFaultPoint::Begin},
                                                         {"step", TFaultPoint::Step},
                                                         {"commit", TFaultPoint::Commit},
                                                         {"aftercommit", TFaultPoint::AfterCommit}};
  static const std::map<std::string, TFaultKind> kinds{{"busy", TFaultKind::Busy},
                                                       {"full", TFaultKind::Full},
                                                       {"ioerror", TFaultKind::IoError},
                                                       {"lost", TFaultKind::LostConnection},
                                                       {"constraint", TFaultKind::Constraint},
                                                       {"kill", TFaultKind::Kill},
                                                       {"term", TFaultKind::Terminate}};
  for (const std::string& one : Split(spec, ';')) {
    if (one.empty()) continue;
    const std::vector<std::string> f = Split(one, '|');
    if (f.size() != 5 || !points.count(f[0]) || !kinds.count(f[1])) return false;
    dk::test::TFault fault;
    fault.Point = points.at(f[0]);
    fault.Kind = kinds.at(f[1]);
    fault.Skip = std::atoi(f[2].c_str());
    fault.Times = std::atoi(f[3].c_str());
    fault.SqlContains = f[4];
    dk::test::FaultPlan().Add(fault);
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  dk::test::RegisterFaultProvider();
  const char* spec = std::getenv("DK_FAULTS");
  if (spec && !AddFaults(spec)) {
    std::fprintf(stderr, "DK_FAULTS nicht lesbar: %s\n", spec);
    return 125;
  }
  return dk::RunArcport5(argc, argv);
}
