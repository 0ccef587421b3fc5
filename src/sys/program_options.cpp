#include "sys/program_options.h"

#include <getopt.h>

#include <algorithm>
#include <iostream>
#include <sstream>

#ifndef DK_PROJECT_VERSION
#error "DK_PROJECT_VERSION comes from the project() call of the top CMakeLists.txt"
#endif

namespace dk {

const char* ProjectVersion() {
  return DK_PROJECT_VERSION;
}

bool TParsedOptions::Has(std::string_view longName) const {
  return std::any_of(FGiven.begin(), FGiven.end(),
                     [&](const auto& g) { return g.first == longName; });
}

std::string TParsedOptions::Value(std::string_view longName) const {
  for (auto it = FGiven.rbegin(); it != FGiven.rend(); ++it)
    if (it->first == longName) return it->second;
  return {};
}

std::vector<std::string> TParsedOptions::Values(std::string_view longName) const {
  std::vector<std::string> values;
  for (const auto& g : FGiven)
    if (g.first == longName) values.push_back(g.second);
  return values;
}

TProgramOptions::TProgramOptions(std::string program, std::string synopsis, std::string description)
    : FProgram(std::move(program)), FDescription(std::move(description)) {
  FSynopses.push_back(std::move(synopsis));
  AddFlag("help", 'h', "zeigt diese Hilfe und endet");
  AddFlag("version", 0, "zeigt Programmname und Version und endet");
}

TProgramOptions& TProgramOptions::AddFlag(std::string longName, char shortName, std::string help) {
  FOptions.push_back({std::move(longName), shortName, {}, std::move(help)});
  return *this;
}

TProgramOptions& TProgramOptions::AddValue(std::string longName, char shortName,
                                           std::string valueName, std::string help) {
  if (valueName.empty()) valueName = "WERT";
  FOptions.push_back({std::move(longName), shortName, std::move(valueName), std::move(help)});
  return *this;
}

TProgramOptions& TProgramOptions::AddSynopsis(std::string synopsis) {
  FSynopses.push_back(std::move(synopsis));
  return *this;
}

TProgramOptions& TProgramOptions::SetEpilog(std::string epilog) {
  FEpilog = std::move(epilog);
  return *this;
}

TProgramOptions& TProgramOptions::StopAtFirstArgument(bool stop) {
  FStopAtFirstArgument = stop;
  return *this;
}

std::string TProgramOptions::UsageText() const {
  std::ostringstream s;
  for (size_t i = 0; i < FSynopses.size(); ++i)
    s << (i == 0 ? "Aufruf: " : "        ") << FProgram << ' ' << FSynopses[i] << '\n';
  if (!FDescription.empty()) s << FDescription << (FDescription.back() == '\n' ? "" : "\n");
  // Own options first, --help and --version (added first) last, as GNU tools do.
  std::vector<std::pair<std::string, const TOption*>> rows;
  for (size_t i = 2; i < FOptions.size(); ++i) rows.push_back({{}, &FOptions[i]});
  rows.push_back({{}, &FOptions[0]});
  rows.push_back({{}, &FOptions[1]});
  size_t width = 0;
  for (auto& [left, o] : rows) {
    left = o->ShortName ? std::string("-") + o->ShortName + ", " : "    ";
    left += "--" + o->LongName;
    if (!o->ValueName.empty()) left += "=" + o->ValueName;
    width = std::max(width, left.size());
  }
  s << "\nOptionen:\n";
  // A help text of several lines continues under its first line.
  const std::string indent = "\n" + std::string(width + 4, ' ');
  for (const auto& [left, o] : rows) {
    std::string help = o->Help;
    for (size_t at = help.find('\n'); at != std::string::npos; at = help.find('\n', at + 1)) {
      help.replace(at, 1, indent);
      at += indent.size() - 1;
    }
    s << "  " << left << std::string(width - left.size() + 2, ' ') << help << '\n';
  }
  if (!FEpilog.empty()) s << '\n' << FEpilog << (FEpilog.back() == '\n' ? "" : "\n");
  return s.str();
}

int TProgramOptions::UsageError(std::string_view message) const {
  return UsageError(message, std::cerr);
}

int TProgramOptions::UsageError(std::string_view message, std::ostream& err) const {
  err << FProgram << ": " << message << '\n' << "Aufruf und Optionen: " << FProgram << " --help\n";
  err.flush();
  return 2;
}

std::optional<int> TProgramOptions::Parse(int argc, char** argv, TParsedOptions& parsed) const {
  return Parse(argc, argv, parsed, std::cout, std::cerr);
}

std::optional<int> TProgramOptions::Parse(int argc, char** argv, TParsedOptions& parsed,
                                          std::ostream& out, std::ostream& err) const {
  parsed = TParsedOptions{};
  // getopt_long reorders the array it is given; the caller's argv stays as it was.
  std::vector<char*> args(argv, argv + argc);
  args.push_back(nullptr);

  // A leading ':' makes getopt report a missing value as ':' and print nothing
  // itself: every message comes from here, in the programs' language.
  std::string shortOptions = FStopAtFirstArgument ? "+:" : ":";
  std::vector<option> longOptions;
  constexpr int kLongOnly = 256;  // values above any char for options without a letter
  for (size_t i = 0; i < FOptions.size(); ++i) {
    const auto& o = FOptions[i];
    const int val =
        o.ShortName ? static_cast<unsigned char>(o.ShortName) : kLongOnly + static_cast<int>(i);
    longOptions.push_back(
        {o.LongName.c_str(), o.ValueName.empty() ? no_argument : required_argument, nullptr, val});
    if (o.ShortName) {
      shortOptions += o.ShortName;
      if (!o.ValueName.empty()) shortOptions += ':';
    }
  }
  longOptions.push_back({nullptr, 0, nullptr, 0});
  auto byVal = [&](int val) -> const TOption* {
    for (size_t i = 0; i < FOptions.size(); ++i) {
      const auto& o = FOptions[i];
      if ((o.ShortName && static_cast<unsigned char>(o.ShortName) == val) ||
          (!o.ShortName && val == kLongOnly + static_cast<int>(i)))
        return &o;
    }
    return nullptr;
  };

  opterr = 0;
  optind = 0;  // 0, not 1: makes the C library start afresh on every call
  for (;;) {
    const int c = getopt_long(argc, args.data(), shortOptions.c_str(), longOptions.data(), nullptr);
    if (c == -1) break;
    if (c == '?') {
      const TOption* known = optopt ? byVal(optopt) : nullptr;
      if (known) {
        // Only a long form can carry a value the option does not take.
        return UsageError("die Option \"--" + known->LongName + "\" erlaubt keinen Wert", err);
      }
      if (optopt)
        return UsageError(std::string("unbekannte Option \"-") + static_cast<char>(optopt) + "\"",
                          err);
      std::string given = optind > 0 && optind <= argc ? args[optind - 1] : "";
      given = given.substr(0, given.find('='));
      const std::string name = given.rfind("--", 0) == 0 ? given.substr(2) : given;
      const auto matches = std::count_if(FOptions.begin(), FOptions.end(), [&](const TOption& o) {
        return !name.empty() && o.LongName.rfind(name, 0) == 0;
      });
      if (matches > 1) return UsageError("die Option \"" + given + "\" ist mehrdeutig", err);
      return UsageError("unbekannte Option \"" + given + "\"", err);
    }
    if (c == ':') {
      const TOption* o = byVal(optopt);
      return UsageError(
          "die Option \"--" + (o ? o->LongName : std::string("?")) + "\" verlangt einen Wert", err);
    }
    const TOption* o = byVal(c);
    if (!o) continue;
    if (o->LongName == "help") {
      out << UsageText();
      out.flush();
      return 0;
    }
    if (o->LongName == "version") {
      out << FProgram << ' ' << ProjectVersion() << '\n';
      out.flush();
      return 0;
    }
    parsed.FGiven.push_back({o->LongName, o->ValueName.empty() ? std::string() : optarg});
  }
  for (int i = optind; i < argc; ++i) parsed.FPositional.push_back(args[i]);
  return std::nullopt;
}

}  // namespace dk
