#include <signal.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <initializer_list>

#include "cmdline/cmdline.h"

namespace {

// A signal handler can reach nothing but globals.
std::atomic<int> noted{0};
std::atomic<std::uint32_t> writes_done{0};
std::atomic<std::uint32_t> writes_seen{0};
static_assert(std::atomic<int>::is_always_lock_free, "set from a signal handler");
static_assert(std::atomic<std::uint32_t>::is_always_lock_free, "read from a signal handler");

// The signal is blocked while its own handler runs: it takes effect, at its
// default action, as soon as the handler returns.
void end_at_once(int signal) {
    ::signal(signal, SIG_DFL);
    raise(signal);
}

// A second interrupt ends the process at once; the first leaves it a second
// to finish its writing, then as long as each second finishes a write.
void note(int signal) {
    if (noted.load() != 0) {
        end_at_once(signal);
        return;
    }
    writes_seen.store(writes_done.load());
    noted.store(signal);
    alarm(1);
}

void check_progress(int) {
    std::uint32_t done = writes_done.load();
    if (writes_seen.exchange(done) == done) end_at_once(noted.load());
    alarm(1);
}

void handle(int signal, void (*handler)(int)) {
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    // A write blocked on a slow reader goes on after the handler; the wait
    // for data is cut short all the same, as poll() is never restarted.
    action.sa_flags = SA_RESTART;
    sigaction(signal, &action, nullptr);
}

}  // namespace

const std::atomic<int>* cli_watch_interrupts() {
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
        struct sigaction before {};
        sigaction(signal, nullptr, &before);
        // A signal ignored at start (nohup, a background job) stays ignored.
        if (before.sa_handler != SIG_IGN) handle(signal, note);
    }
    handle(SIGALRM, check_progress);
    return &noted;
}

int cli_interrupt_noted() { return noted.load(); }

void cli_output_moved() { writes_done.fetch_add(1); }

void cli_finish_interrupted(int which) {
    signal(which, SIG_DFL);
    raise(which);
    std::_Exit(128 + which);  // only if the default action let the process live
}
