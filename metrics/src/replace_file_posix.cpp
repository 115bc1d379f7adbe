#include <cerrno>
#include <cstdio>

#include "replace_file.h"

int replace_file(const char* from, const char* to) { return std::rename(from, to) == 0 ? 0 : errno; }
