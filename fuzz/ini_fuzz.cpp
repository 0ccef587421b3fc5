// The INI reader (settings files, admin.ini, the legacy field descriptions
// document.fld) on any bytes: decoded as legacy text files are (in memory, the
// file read around it is trivial), then every section and key read in each of
// the reader's types.
#include <cstdint>

#include "fuzz_files.h"
#include "sys/ini_file.h"
#include "sys/string_list.h"
#include "sys/text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const dk::TIniFile ini = dk::TIniFile::FromText(
      dk::DecodeLegacyTextFile(dk::fuzz::AsView(data, size), "document.fld"));
  dk::TStringList sections;
  ini.ReadSections(sections);
  for (int i = 0; i < sections.Count(); ++i) {
    const std::string section = sections[i];
    dk::TStringList keys;
    ini.ReadSection(section, keys);
    for (int k = 0; k < keys.Count(); ++k) {
      (void)ini.ReadString(section, keys[k], "");
      (void)ini.ReadInteger(section, keys[k], 6);
      (void)ini.ReadBool(section, keys[k], true);
      (void)ini.ReadFloat(section, keys[k], 0.5);
    }
    dk::TStringList lines;
    ini.ReadSectionValues(section, lines);
    (void)ini.SectionExists(section);
  }
  (void)ini.ReadString("Options", "RegistryPath", "");
  return 0;
}
