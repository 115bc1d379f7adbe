// First: through the layer it brings winsock2.h, which must come before windows.h.
#include "cmdline/cmdline.h"

#include <windows.h>

#include <cstdint>


namespace {

// The console calls the handler on a thread of its own; globals are all it can reach.
std::atomic<int> noted{0};
std::atomic<std::uint32_t> writes_done{0};

// No clean-up: the main thread may hold the output stream's lock in a write that never ends.
[[noreturn]] void end_at_once() {
    TerminateProcess(GetCurrentProcess(), STATUS_CONTROL_C_EXIT);
    ExitProcess(STATUS_CONTROL_C_EXIT);  // never reached
}

// A second event ends the process at once; the first leaves it a second to
// finish its writing, then as long as each second finishes a write. This
// thread waits meanwhile, which the closing of the console needs too: the
// process ends as soon as the handler returns.
BOOL WINAPI note(DWORD event) {
    if (noted.exchange(static_cast<int>(event) + 1) != 0) end_at_once();  // CTRL_C_EVENT is 0, and 0 means none
    for (std::uint32_t seen = writes_done.load();;) {
        Sleep(1000);
        std::uint32_t done = writes_done.load();
        if (done == seen) end_at_once();
        seen = done;
    }
}

}  // namespace

const std::atomic<int>* cli_watch_interrupts() {
    SetConsoleCtrlHandler(note, TRUE);
    return &noted;
}

int cli_interrupt_noted() { return noted.load(); }

void cli_output_moved() { writes_done.fetch_add(1); }

// The status the console's own handler ends a process with.
void cli_finish_interrupted(int) { ExitProcess(STATUS_CONTROL_C_EXIT); }
