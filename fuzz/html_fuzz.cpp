// The HTML-to-text function of the indexer on any bytes.
#include <cstdint>
#include <string>

#include "fuzz_files.h"
#include "sys/text_extraction.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  (void)dk::HtmlToText(std::string(dk::fuzz::AsView(data, size)));
  return 0;
}
