// Read-only file access of the Paradox engine: files are opened for reading
// only, without locks, and every read states its range, so that a read past
// the end is reported instead of returning short data.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace dk {

// Opens a regular file read-only and returns its descriptor and size. Raises
// EParadoxError naming `path` when it is missing, not a regular file or not
// readable.
int PxOpenReadOnly(const std::string& path, uint64_t& size);

// Reads exactly `size` bytes at `offset`. Raises EParadoxError naming `path`
// on an I/O error or when the file ends first.
void PxReadAt(int fd, const std::string& path, void* buffer, size_t size, uint64_t offset);

}  // namespace dk
