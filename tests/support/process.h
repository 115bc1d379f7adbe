// Runs the programs under test as child processes, their standard output
// and standard error captured apart.
#pragma once

#include <string>
#include <vector>

struct process_output {
    int status;  // as exit_status() gives it; -1000 when the child could not be reaped
    std::string out;
    std::string err;
};

// Runs `path` with `args` to its end; a child still running after
// `timeout_ms` is killed.
process_output run_program(const std::string& path, const std::vector<std::string>& args,
                           int timeout_ms = 20000);

struct running_program;

running_program* start_program(const std::string& path, const std::vector<std::string>& args);
// Reads output until standard output contains `text` or `timeout_ms` pass.
bool wait_for_output(running_program* child, const std::string& text, int timeout_ms);
// Reads whatever output comes during `ms`.
void read_output_for(running_program* child, int ms);
const std::string& output_so_far(const running_program* child);
// Kills the child, collects the rest of its output and frees it.
process_output stop_program(running_program* child);
#ifndef _WIN32
// Ends the child as a user's `kill` does (SIGTERM) and collects it as wait_program does.
process_output terminate_program(running_program* child, int timeout_ms = 20000);
#endif
// Lets the child run to its end, killed if still running after `timeout_ms`;
// collects the rest of its output and frees it.
process_output wait_program(running_program* child, int timeout_ms = 20000);

// How the system reports a main() that returned `code`: POSIX keeps the low
// eight bits, Windows the whole value.
int exit_status(int code);

// `text` as a program's standard output carries it: in text mode Windows
// writes each "\n" as "\r\n".
inline std::string text_output(const std::string& text) {
#ifdef _WIN32
    std::string lines;
    for (char c : text) {
        if (c == '\n') lines += '\r';
        lines += c;
    }
    return lines;
#else
    return text;
#endif
}
