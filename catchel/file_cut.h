// Cutting an open file back, in the system's own call: the C library has none.
#pragma once

#include <cstdint>
#include <cstdio>

// Cuts `file` back to its first `length` bytes; false, errno set, when the
// system refuses.
bool file_cut(std::FILE* file, std::uint64_t length);
