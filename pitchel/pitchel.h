#pragma once

#include <cstdio>

// Sends the datagrams the command line asks for, and prints the replies when
// it asks for them, writing to `out`. Returns the process exit status.
int pitchel_run(int argc, char** argv, std::FILE* out);
