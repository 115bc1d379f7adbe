#include <cstdio>

#include "catchel.h"
#include "interrupt.h"
#include "cmdline/cmdline.h"

int main(int argc, char** argv) {
    cli_guard_standard_streams();
    // Records and messages are put together by catchel and leave whole, one write each.
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    const std::atomic<int>* interrupt = interrupt_watch();
    int status = catchel_run(argc, argv, stdout, interrupt);
    if (int which = interrupt->load(); which != 0) interrupt_finish(which);
    return status;
}
