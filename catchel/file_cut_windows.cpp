#include <io.h>
#include <windows.h>

#include <cerrno>

#include "file_cut.h"

// SetEndOfFile rather than _chsize_s, which the msvcrt.dll of Windows XP lacks.
bool file_cut(std::FILE* file, std::uint64_t length) {
    auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
    LARGE_INTEGER end;
    end.QuadPart = static_cast<LONGLONG>(length);
    if (handle != INVALID_HANDLE_VALUE && SetFilePointerEx(handle, end, nullptr, FILE_BEGIN) && SetEndOfFile(handle)) {
        return true;
    }
    errno = EIO;
    return false;
}
