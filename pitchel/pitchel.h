#pragma once

#include <atomic>
#include <cstdio>

// Sends the datagrams the command line asks for, and prints the replies when
// it asks for them, writing to `out`. Returns the process exit status. Once
// the sends are done and replies are awaited, or from the start with probes
// or a capture, `watch_interrupts` (null: none) is called, and an interrupt
// it notes ends the run with every reply read written out, and the summary
// or the counts after them.
int pitchel_run(int argc, char** argv, std::FILE* out, const std::atomic<int>* (*watch_interrupts)());
