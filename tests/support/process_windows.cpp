#include <windows.h>

#include <cstdio>
#include <cstdlib>

#include "process_platform.h"

struct running_program {
    HANDLE process;
    HANDLE out_pipe;  // read ends; null once their writer has gone and they are drained
    HANDLE err_pipe;
    std::string out;
    std::string err;
};

namespace {

// The exit code TerminateProcess gives, chosen to read as a POSIX child
// killed by SIGKILL reads, so that a killed program looks alike on both.
constexpr int killed_status = -1009;

long long now_ms() { return static_cast<long long>(GetTickCount64()); }

// One argument quoted as the C runtime's argument parser splits it back.
void append_quoted(std::string* line, const std::string& arg) {
    if (!arg.empty() && arg.find_first_of(" \t\n\v\"") == std::string::npos) {
        *line += arg;
        return;
    }
    *line += '"';
    std::size_t backslashes = 0;
    for (char c : arg) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        // Backslashes count double only before a quote.
        line->append(c == '"' ? 2 * backslashes + 1 : backslashes, '\\');
        backslashes = 0;
        *line += c;
    }
    line->append(2 * backslashes, '\\');
    *line += '"';
}

// Takes what is waiting in one pipe; false when nothing was.
bool drain(HANDLE* pipe, std::string* text) {
    if (*pipe == nullptr) return false;
    DWORD waiting = 0;
    if (!PeekNamedPipe(*pipe, nullptr, 0, nullptr, &waiting, nullptr)) {
        // The child's end is closed and everything it wrote has been read.
        CloseHandle(*pipe);
        *pipe = nullptr;
        return true;
    }
    if (waiting == 0) return false;
    char buffer[4096];
    DWORD got = 0;
    DWORD wanted = waiting < sizeof buffer ? waiting : static_cast<DWORD>(sizeof buffer);
    if (ReadFile(*pipe, buffer, wanted, &got, nullptr) && got > 0) text->append(buffer, got);
    return true;
}

// Reads from both pipes until something comes or `wait_ms` pass; false once
// both are closed. Anonymous pipes cannot be waited on, so they are polled.
bool pump(running_program* child, int wait_ms) {
    long long end = now_ms() + wait_ms;
    for (;;) {
        if (child->out_pipe == nullptr && child->err_pipe == nullptr) return false;
        bool moved = drain(&child->out_pipe, &child->out);
        moved = drain(&child->err_pipe, &child->err) || moved;
        if (moved || now_ms() >= end) return true;
        Sleep(2);
    }
}

int reap(HANDLE process) {
    DWORD code = 0;
    if (WaitForSingleObject(process, INFINITE) != WAIT_OBJECT_0 || !GetExitCodeProcess(process, &code)) {
        code = static_cast<DWORD>(-1000);
    }
    CloseHandle(process);
    return static_cast<int>(code);
}

process_output finish(running_program* child) {
    while (pump(child, 1000)) {
    }
    process_output result{reap(child->process), std::move(child->out), std::move(child->err)};
    delete child;
    return result;
}

void kill(HANDLE process) {
    if (WaitForSingleObject(process, 0) == WAIT_TIMEOUT) TerminateProcess(process, static_cast<UINT>(killed_status));
}

// A pipe whose write end the child inherits and whose read end stays here.
void make_pipe(HANDLE* read_end, HANDLE* write_end) {
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    if (!CreatePipe(read_end, write_end, &inherit, 0) || !SetHandleInformation(*read_end, HANDLE_FLAG_INHERIT, 0)) {
        std::abort();
    }
}

}  // namespace

long long process_now_ms() { return now_ms(); }

bool process_pump(running_program* child, int wait_ms) { return pump(child, wait_ms); }

running_program* start_program(const std::string& path, const std::vector<std::string>& args) {
    HANDLE out_read = nullptr;
    HANDLE out_write = nullptr;
    HANDLE err_read = nullptr;
    HANDLE err_write = nullptr;
    make_pipe(&out_read, &out_write);
    make_pipe(&err_read, &err_write);
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE nothing = CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0,
                                 nullptr);
    if (nothing == INVALID_HANDLE_VALUE) std::abort();

    std::string line;
    append_quoted(&line, path);
    for (const std::string& arg : args) {
        line += ' ';
        append_quoted(&line, arg);
    }
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = nothing;
    startup.hStdOutput = out_write;
    startup.hStdError = err_write;
    PROCESS_INFORMATION started{};
    BOOL ok = CreateProcessA(path.c_str(), line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                             &started);
    // Only the child may hold the write ends, or the pipes never report their end.
    CloseHandle(out_write);
    CloseHandle(err_write);
    CloseHandle(nothing);
    if (!ok) {
        std::fprintf(stderr, "cannot start %s (error %lu)\n", path.c_str(), GetLastError());
        std::abort();
    }
    CloseHandle(started.hThread);
    return new running_program{started.hProcess, out_read, err_read, {}, {}};
}

const std::string& output_so_far(const running_program* child) { return child->out; }

process_output stop_program(running_program* child) {
    kill(child->process);
    return finish(child);
}

process_output wait_program(running_program* child, int timeout_ms) {
    long long end = now_ms() + timeout_ms;
    while (pump(child, 100)) {
        if (now_ms() > end) kill(child->process);
    }
    return finish(child);
}

// GetExitCodeProcess gives main()'s value whole: -1 reads back as -1.
int exit_status(int code) { return code; }
