#include <windows.h>

#include "interrupt.h"

namespace {

// The console calls the handler on a thread of its own; a global is all it can reach.
std::atomic<int> noted{0};

BOOL WINAPI note(DWORD event) {
    noted.store(static_cast<int>(event) + 1);  // CTRL_C_EVENT is 0, and 0 means none
    if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT) return TRUE;
    // For the closing of the console the process ends as soon as this
    // returns: wait here until catchel has written out and ended it.
    Sleep(INFINITE);
    return TRUE;
}

}  // namespace

const std::atomic<int>* interrupt_watch() {
    SetConsoleCtrlHandler(note, TRUE);
    return &noted;
}

// The status the console's own handler ends a process with.
void interrupt_finish(int) { ExitProcess(STATUS_CONTROL_C_EXIT); }
