// Interrupts (SIGINT, SIGTERM and SIGHUP; on Windows Ctrl-C, Ctrl-Break and
// the closing of the console) do not end catchel at once: they are noted,
// so that it can write out the record of every datagram it has read, and
// then it ends as the interrupt would have ended it.
#pragma once

#include <atomic>

// Installs the handlers and returns the note: 0 until an interrupt comes.
const std::atomic<int>* interrupt_watch();

// Ends the process as the interrupt noted as `which` would have.
[[noreturn]] void interrupt_finish(int which);
