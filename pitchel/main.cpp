#include <cstdio>

#include "cmdline/cmdline.h"
#include "pitchel.h"

int main(int argc, char** argv) {
    cli_guard_standard_streams();
    // Each reply leaves whole as it is read, one write each, and a write that fails is known at once.
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    int status = pitchel_run(argc, argv, stdout, cli_watch_interrupts);
    if (int which = cli_interrupt_noted(); which != 0) cli_finish_interrupted(which);
    return status;
}
