// The rich-text reader (stored internal documents and .rtf files) on any
// bytes, directly and through the buffer conversion the indexer calls.
#include <cstdint>
#include <string>

#include "fuzz_files.h"
#include "sys/rtf_reader.h"
#include "sys/text_extraction.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes = dk::fuzz::AsView(data, size);
  (void)dk::RtfToText(bytes);
  std::string buffer(bytes);
  dk::RtfStreamToText(buffer);
  return 0;
}
