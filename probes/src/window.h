// The window of sequence numbers that both the stream counter and the
// responders tell duplicates by.
#pragma once

#include "probes/probes.h"

// Marks `sequence` seen and says what its arrival was; never PROBE_NOT_SENT.
probe_verdict window_mark(probe_window* window, std::uint64_t sequence);
