// Command-line pieces that pitchel and catchel read the same way, and what
// both need of the console they run in.
#pragma once

#include <cstdint>
#include <cstdio>

// The leading decimal number of `text` as "%d" reads it, clamped to the range
// of int; 0 when the text does not start with a number.
int cli_scan_int(const char* text);

// Reads a port argument. False when its value lies outside 1..65535; the
// value read is left in `*value` for the message either way.
bool cli_read_port(const char* text, std::uint16_t* port, int* value);

// Index of the first argument after an optional leading "-bind <ip>", with
// the address text in `*bind_text` (null without "-bind"). 0 when "-bind" is
// the last argument.
int cli_skip_bind(int argc, char** argv, const char** bind_text);

// Opens the null device on every standard descriptor that is closed, so
// that no socket made later takes its number and has messages written into
// it. Call before anything opens a descriptor.
void cli_guard_standard_streams();

// Whether `out` goes to a terminal (a console on Windows), where bytes from
// the network must not arrive as control sequences.
bool cli_is_terminal(std::FILE* out);
