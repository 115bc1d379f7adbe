#include <signal.h>

#include <cstdlib>
#include <initializer_list>

#include "interrupt.h"

namespace {

// A signal handler can reach nothing but a global.
std::atomic<int> noted{0};
static_assert(std::atomic<int>::is_always_lock_free, "set from a signal handler");

void note(int signal) { noted.store(signal); }

}  // namespace

const std::atomic<int>* interrupt_watch() {
    struct sigaction action {};
    action.sa_handler = note;
    sigemptyset(&action.sa_mask);
    // A write blocked on a slow reader goes on after the handler; the wait
    // for data is cut short all the same, as poll() is never restarted.
    action.sa_flags = SA_RESTART;
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
        struct sigaction before {};
        sigaction(signal, nullptr, &before);
        // A signal ignored at start (nohup, a background job) stays ignored.
        if (before.sa_handler != SIG_IGN) sigaction(signal, &action, nullptr);
    }
    return &noted;
}

void interrupt_finish(int which) {
    signal(which, SIG_DFL);
    raise(which);
    std::_Exit(128 + which);  // only if the default action let the process live
}
