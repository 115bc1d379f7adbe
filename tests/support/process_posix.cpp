#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "process_platform.h"

extern char** environ;

struct running_program {
    pid_t pid;
    int out_fd;
    int err_fd;
    std::string out;
    std::string err;
};

namespace {

long long now_ms() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1000LL + t.tv_nsec / 1000000;
}

// One round of reading from both pipes, waiting up to `wait_ms`; false once both are closed.
bool pump(running_program* child, int wait_ms) {
    pollfd fds[2] = {{child->out_fd, POLLIN, 0}, {child->err_fd, POLLIN, 0}};
    if (child->out_fd < 0 && child->err_fd < 0) return false;
    if (poll(fds, 2, wait_ms) <= 0) return true;
    int* ends[2] = {&child->out_fd, &child->err_fd};
    std::string* texts[2] = {&child->out, &child->err};
    for (int i = 0; i < 2; ++i) {
        if (fds[i].fd < 0 || fds[i].revents == 0) continue;
        char buffer[4096];
        ssize_t got = read(fds[i].fd, buffer, sizeof buffer);
        if (got > 0) {
            texts[i]->append(buffer, static_cast<std::size_t>(got));
        } else if (got == 0 || errno != EINTR) {
            close(fds[i].fd);
            *ends[i] = -1;
        }
    }
    return true;
}

int reap(pid_t pid) {
    int status = 0;
    if (waitpid(pid, &status, 0) != pid) return -1000;
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    return -1000 - (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
}

process_output finish(running_program* child) {
    while (pump(child, 1000)) {
    }
    process_output result{reap(child->pid), std::move(child->out), std::move(child->err)};
    delete child;
    return result;
}

}  // namespace

long long process_now_ms() { return now_ms(); }

bool process_pump(running_program* child, int wait_ms) { return pump(child, wait_ms); }

running_program* start_program(const std::string& path, const std::vector<std::string>& args) {
    int out_pipe[2];
    int err_pipe[2];
    if (pipe2(out_pipe, O_CLOEXEC) != 0 || pipe2(err_pipe, O_CLOEXEC) != 0) std::abort();
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out_pipe[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err_pipe[1], 2);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(path.c_str()));
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    pid_t pid = 0;
    int rc = posix_spawn(&pid, path.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out_pipe[1]);
    close(err_pipe[1]);
    if (rc != 0) {
        std::fprintf(stderr, "cannot start %s\n", path.c_str());
        std::abort();
    }
    return new running_program{pid, out_pipe[0], err_pipe[0], {}, {}};
}

const std::string& output_so_far(const running_program* child) { return child->out; }

process_output terminate_program(running_program* child, int timeout_ms) {
    kill(child->pid, SIGTERM);
    return wait_program(child, timeout_ms);
}

process_output stop_program(running_program* child) {
    kill(child->pid, SIGKILL);
    return finish(child);
}

process_output wait_program(running_program* child, int timeout_ms) {
    long long end = now_ms() + timeout_ms;
    while (pump(child, 100)) {
        if (now_ms() > end) kill(child->pid, SIGKILL);
    }
    return finish(child);
}

int exit_status(int code) { return code & 0xff; }
