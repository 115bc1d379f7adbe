#include <cstdio>

#include "catchel.h"
#include "cmdline/cmdline.h"

int main(int argc, char** argv) {
    cli_guard_standard_streams();
    // Records and messages are put together by catchel and leave whole, one write each.
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    int status = catchel_run(argc, argv, stdout, cli_watch_interrupts());
    if (int which = cli_interrupt_noted(); which != 0) cli_finish_interrupted(which);
    return status;
}
