// What comes back to pitchel's socket once it has sent.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>

#include "netlayer/netlayer.h"

constexpr int REPLIES_SOME = 0;
constexpr int REPLIES_NONE = 2;
constexpr int REPLIES_OUTPUT_FAILED = 3;

// Waits up to `seconds` in all for datagrams that reach `ep` from any
// source and writes each to `out` as catchel prints its records, numbered
// from 1, or as one JSON line each with `json` (the endpoint then opened
// with DGRAM_DETAILS). A failed wait or read is printed as catchel prints
// it, once per run of the same code; the silence at the end is not. Once
// `*stop` is non-zero it ends, every reply read written. Returns one of the
// REPLIES_ statuses.
int replies_print(net_endpoint* ep, std::uint32_t seconds, bool json, std::FILE* out, const std::atomic<int>* stop);
