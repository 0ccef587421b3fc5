// The registry hive reader on any bytes. Beyond not failing, a hive written
// back (form positions are saved that way) must read back as the same hive:
// whatever the reader took from damaged input, it can write and read again.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "fuzz_files.h"
#include "sys/registry.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<std::string> problems;
  std::string unusable;
  const dk::THive hive =
      dk::THive::Parse(dk::fuzz::AsView(data, size), "HKEY_CURRENT_USER", &problems, &unusable);
  const std::string text = hive.Format("HKEY_CURRENT_USER");
  std::vector<std::string> again;
  std::string againUnusable;
  const dk::THive reread = dk::THive::Parse(text, "HKEY_CURRENT_USER", &again, &againUnusable);
  if (!again.empty() || !againUnusable.empty() || reread.Format("HKEY_CURRENT_USER") != text)
    std::abort();
  return 0;
}
