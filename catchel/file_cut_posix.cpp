#include <sys/types.h>
#include <unistd.h>

#include "file_cut.h"

bool file_cut(std::FILE* file, std::uint64_t length) {
    return ftruncate(fileno(file), static_cast<off_t>(length)) == 0;
}
