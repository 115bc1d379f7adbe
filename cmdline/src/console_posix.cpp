#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "cmdline/cmdline.h"

void cli_guard_standard_streams() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        // The lowest free number is taken, and every lower one is open by now:
        // the null device lands on `fd` itself.
        open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
    }
}

bool cli_is_terminal(std::FILE* out) { return isatty(fileno(out)) == 1; }

void cli_binary_input(std::FILE*) {}

void cli_binary_output(std::FILE*) {}
