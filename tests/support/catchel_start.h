// Starts catchel on a port no one holds, as the tests that talk to it need.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "process.h"

// catchel with `args` followed by a free port, which goes to `port`, once
// it holds that port on `ip`. Under wine a port freed a moment ago can
// still be held for a while, so a start that finds its port taken is tried
// again on another one. Null, with a test failure added, if no try took.
running_program* start_catchel(const std::vector<std::string>& args, std::uint16_t* port, std::uint32_t ip = 0);
