// First: through the layer it brings winsock2.h, which must come before windows.h.
#include "cmdline/cmdline.h"

#include <windows.h>
#include <fcntl.h>
#include <io.h>

#include <initializer_list>


void cli_guard_standard_streams() {
    struct standard {
        DWORD id;
        std::FILE* stream;
        const char* mode;
    };
    for (standard s : {standard{STD_INPUT_HANDLE, stdin, "r"}, {STD_OUTPUT_HANDLE, stdout, "w"},
                       {STD_ERROR_HANDLE, stderr, "w"}}) {
        HANDLE h = GetStdHandle(s.id);
        if (h == nullptr || h == INVALID_HANDLE_VALUE) std::freopen("NUL", s.mode, s.stream);
    }
}

// _isatty() is true for the NUL device too; only a console has a console mode.
bool cli_is_terminal(std::FILE* out) {
    int fd = _fileno(out);
    if (fd < 0) return false;
    DWORD mode = 0;
    return GetConsoleMode(reinterpret_cast<HANDLE>(_get_osfhandle(fd)), &mode) != 0;
}

void cli_binary_input(std::FILE* in) { _setmode(_fileno(in), _O_BINARY); }

void cli_binary_output(std::FILE* out) {
    std::fflush(out);
    _setmode(_fileno(out), _O_BINARY);
}
