// What each platform's process runner gives the part written once, process.cpp.
#pragma once

#include "process.h"

long long process_now_ms();
// One round of reading both pipes, waiting up to `wait_ms`; false once both are closed.
bool process_pump(running_program* child, int wait_ms);
