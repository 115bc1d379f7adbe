// Command-line pieces that pitchel and catchel read the same way, and what
// both need of the console they run in.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>

#include "netlayer/address.h"

// The leading decimal number of `text` as "%d" reads it, clamped to the range
// of int; 0 when the text does not start with a number.
int cli_scan_int(const char* text);

// Reads a port argument. False when its value lies outside 1..65535; the
// value read is left in `*value` for the message either way.
bool cli_read_port(const char* text, std::uint16_t* port, int* value);

// Opens the null device on every standard descriptor that is closed, so
// that no socket made later takes its number and has messages written into
// it. Call before anything opens a descriptor.
void cli_guard_standard_streams();

// Reads `in` byte for byte: Windows would otherwise turn "\r\n" into "\n"
// and stop at a Ctrl-Z.
void cli_binary_input(std::FILE* in);
// Writes `out` byte for byte: Windows would otherwise turn "\n" into "\r\n".
void cli_binary_output(std::FILE* out);

// Whether `out` goes to a terminal (a console on Windows), where bytes from
// the network must not arrive as control sequences.
bool cli_is_terminal(std::FILE* out);

// Interrupts (SIGINT, SIGTERM and SIGHUP; on Windows Ctrl-C, Ctrl-Break and
// the closing of the console) do not end a watching program at once: they
// are noted, so that it can write out all it has read, and then it ends as
// the interrupt would have ended it. Should that writing be stuck (a reader
// that stopped reading), a second interrupt ends it at once, and so does the
// first once a second passes without a write finished.

// Installs the handlers and returns the note: 0 until an interrupt comes.
const std::atomic<int>* cli_watch_interrupts();
// The interrupt noted, 0 for none (as when the handlers were never installed).
int cli_interrupt_noted();
// Tells the watch that a write of the output finished.
void cli_output_moved();
// Writes `length` bytes to `out` and tells the watch; false when the write failed.
bool cli_write(std::FILE* out, const char* bytes, std::size_t length);
// Ends the process as the interrupt noted as `which` would have.
[[noreturn]] void cli_finish_interrupted(int which);

// Options stand before the positional arguments, in any order; reading
// stops at the first argument that is not one of them.
enum class cli_value { none, text, number };

struct cli_option {
    const char* name;        // as typed: "-bind"
    cli_value value;         // what follows it
    const char* value_name;  // how help shows the value ("<ip>"); null without one
    long long min;           // the range of a number
    long long max;
    const char* help;        // one line
    // Its absence after the option is answered with the usage lines alone,
    // as the original command lines have it, not with a line of its own.
    bool bare_usage_when_missing;
};

// What was found of each option, at the option's index in the table.
struct cli_found {
    bool given;
    const char* text;   // the value as typed
    long long number;   // the value of a number option
};

// An option whose value is missing (null `value`) or out of its range; or,
// with `needs`, a valid option given without what it needs.
struct cli_problem {
    const cli_option* option;
    const char* value;
    const char* needs = nullptr;  // "a multicast group": "-if needs a multicast group"
};

constexpr int CLI_HELP = -1;      // -h, -help, --help
constexpr int CLI_VERSION = -2;   // --version
constexpr int CLI_PROBLEM = -3;   // see the problem

// Reads the options at the front of argv[1..] as `table` (`count` entries)
// describes them into `found` (as many entries). Returns the index of the
// first positional argument, or CLI_HELP, CLI_VERSION or CLI_PROBLEM.
int cli_read_options(int argc, char** argv, const cli_option* table, int count, cli_found* found,
                     cli_problem* problem);

// The line that names the option and its value, or what it needs; nothing
// for an option whose missing value calls for the usage lines alone.
void cli_print_problem(std::FILE* out, const cli_problem* problem);

// One line per option of the table, then the help and version options.
void cli_print_options(std::FILE* out, const cli_option* table, int count);

// A program's command line as --help and the option problems show it.
struct cli_program {
    const char* name;
    const char* usage;  // its two usage lines
    int usage_status;   // the exit status that goes with them
    const cli_option* options;
    int option_count;
    // The usage lines --help shows, where they name forms the usage lines
    // leave out; null: the usage lines.
    const char* help_usage = nullptr;
};

// Prints the usage lines; returns the usage status.
int cli_usage(std::FILE* out, const cli_program* program);
// The same with the usage lines --help shows.
int cli_help_usage(std::FILE* out, const cli_program* program);

// Prints the problem's line, then the usage lines; returns the usage
// status. For problems the program finds itself, such as an option that
// needs another.
int cli_answer_problem(std::FILE* out, const cli_program* program, const cli_problem* problem);

// Reads the program's options into `found` (one entry per option). Returns
// the index of the first positional argument; or 0 once it has answered
// --help, --version or an option problem on `out`, with the exit status in
// `*status`.
int cli_read_command_line(int argc, char** argv, const cli_program* program, cli_found* found, std::FILE* out,
                          int* status);

// Where failures are told: `out`, and with `verbose` the system's reason
// after each line for a failed system call.
struct cli_teller {
    std::FILE* out;
    bool verbose;
};

// "reason: <the system's text> (<its number>)", with `verbose`, where a
// system call or a name lookup failed; nothing else.
void cli_tell_reason(const cli_teller* teller, const net_reason* reason);

// "<what> <path>" for a file that could not be opened or written, then
// with `verbose` "reason: <the C library's text> (<errno>)" where
// `error_number` is not 0.
void cli_tell_file_failure(const cli_teller* teller, const char* what, const char* path, int error_number);

// A file to send: "file '<path>' not found", or "cannot read file
// '<path>'" once `opened`; the reason as cli_tell_file_failure tells it.
void cli_tell_unreadable_file(const cli_teller* teller, const char* path, bool opened, int error_number);

// "<path>: <what is wrong with it>", for a file that is not what it should be.
void cli_tell_broken_file(const cli_teller* teller, const char* path, const char* wrong);

// "invalid hex message <text>".
void cli_tell_invalid_hex(const cli_teller* teller, const char* text);

// "<what> err <rc>" and the reason; returns `status`.
int cli_tell_failure(const cli_teller* teller, const char* what, int rc, const net_reason* reason, int status);

// "cannot serve metrics on <where>" for a listen that failed (a port
// taken), then the reason with `verbose`; returns `status`.
int cli_tell_metrics_failure(const cli_teller* teller, const char* where, const net_reason* reason, int status);

// "out of memory", after `what` ("cannot keep the replies: ") where it is
// not empty; returns `status`.
int cli_tell_no_memory(std::FILE* out, const char* what, int status);

// "<option> <its text> and <other> are of different address families", as
// "-bind 127.0.0.1 and ff15::1 ..."; returns -2.
int cli_tell_mixed_families(std::FILE* out, const char* option, const char* option_text, const char* other_text);

// Reads a port argument; false, with "impossible port <value>", when it
// lies outside 1..65535.
bool cli_take_port(std::FILE* out, const char* text, std::uint16_t* port);

// What an address that names nothing is called in its failure line.
enum class cli_address_role { host, group };

// An address argument or option value: dotted IPv4 text as the first
// command lines read it, 0.0.0.0 refused as they refused it, an IPv6
// literal (bare, in brackets, with a zone) as net_address_parse reads it, or
// a name looked up once (net_address_resolve): its IPv4 address, or with
// `prefer_ipv6` its IPv6 one, where it has one; `prefer_ipv6` takes 0.0.0.0
// too. False once "invalid host/ip <text>" ("invalid ip address <text>" for
// a group) and the reason are told.
bool cli_take_address(const cli_teller* teller, const char* text, bool prefer_ipv6, cli_address_role role,
                      net_address* address);

// An -if value: an index, an address as cli_take_address reads it, or an
// interface name. False once its failure line and the reason are told.
bool cli_take_interface(const cli_teller* teller, const char* text, net_interface* found);
