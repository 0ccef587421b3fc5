// Scratch files for the fuzz targets: the readers under test take file
// names, so each input is written to a folder of the process's own below
// /dev/shm (or TMPDIR when there is no /dev/shm), removed when it ends.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace dk::fuzz {

// The scratch folder, created on first use, with a trailing "/".
const std::string& ScratchDir();
// Writes `bytes` to ScratchDir() + name and returns the path.
std::string WriteScratch(const std::string& name, std::string_view bytes);
// Removes ScratchDir() + name when it exists.
void RemoveScratch(const std::string& name);

inline std::string_view AsView(const uint8_t* data, size_t size) {
  return {reinterpret_cast<const char*>(data), size};
}

}  // namespace dk::fuzz
