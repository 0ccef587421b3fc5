// The legacy side files on any bytes: required-field and pick lists (.itm)
// are read as text lists; a layout file is rewritten in place, and the
// rewrite keeps every line end as it was.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

#include "app/main_window.h"
#include "fuzz_files.h"
#include "sys/string_list.h"

namespace {

std::string ReadBack(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes = dk::fuzz::AsView(data, size);
  dk::TStringList list;
  list.LoadFromFile(dk::fuzz::WriteScratch("reqfield.itm", bytes));
  for (const std::string& line : list.Items()) (void)list.IndexOf(line);

  const std::string layout = dk::fuzz::WriteScratch("document.lay", bytes);
  dk::RewriteLayoutFile(layout);
  // Line ends are never touched, whatever the line holds.
  const std::string rewritten = ReadBack(layout);
  if (std::count(rewritten.begin(), rewritten.end(), '\n') !=
          std::count(bytes.begin(), bytes.end(), '\n') ||
      std::count(rewritten.begin(), rewritten.end(), '\r') !=
          std::count(bytes.begin(), bytes.end(), '\r'))
    std::abort();
  return 0;
}
