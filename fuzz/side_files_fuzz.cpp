// The legacy side files on any bytes: required-field and pick lists (.itm)
// are decoded and read as text lists; a layout file's bytes are rewritten, and
// the rewrite keeps every line end as it was. In memory: the file reads and
// writes around both are trivial.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "app/main_window.h"
#include "fuzz_files.h"
#include "sys/string_list.h"
#include "sys/text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes = dk::fuzz::AsView(data, size);
  dk::TStringList list;
  list.SetText(dk::DecodeLegacyTextFile(bytes, "reqfield.itm"));
  if (list.Count() > 0) {
    // Lookups as the field checks make them: every entry is found.
    if (list.IndexOf(list[0]) < 0 || list.IndexOf(list[list.Count() - 1]) < 0) std::abort();
    (void)list.IndexOf("DOCNO");
  }

  // Line ends are never touched, whatever the line holds.
  const std::string rewritten = dk::RewriteLayoutText(bytes);
  if (std::count(rewritten.begin(), rewritten.end(), '\n') !=
          std::count(bytes.begin(), bytes.end(), '\n') ||
      std::count(rewritten.begin(), rewritten.end(), '\r') !=
          std::count(bytes.begin(), bytes.end(), '\r'))
    std::abort();
  return 0;
}
