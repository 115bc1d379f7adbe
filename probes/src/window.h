// The window of sequence numbers that both the stream counter and the
// responders tell duplicates by.
#pragma once

#include "probes/probes.h"

// Marks `sequence` seen and says what its arrival was; never PROBE_NOT_SENT.
probe_verdict window_mark(probe_window* window, std::uint64_t sequence);

// How many sequence numbers above `through` are marked seen: those still in
// the window, the PROBE_WINDOW below the highest.
std::uint64_t window_seen_above(const probe_window* window, std::uint64_t through);
