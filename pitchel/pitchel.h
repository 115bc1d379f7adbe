#pragma once

#include <cstdio>

// Sends one datagram as the command line asks, writing messages to `out`.
// Returns the process exit status.
int pitchel_run(int argc, char** argv, std::FILE* out);
