#include "probes/histogram.h"

#include <algorithm>
#include <cstddef>

namespace {

// Keeps the first note, then every other one, and the last: the span stays
// whole at half the grain.
void thin_out(probe_sends* sends) {
    std::size_t kept = 0;
    for (std::size_t i = 0; i < sends->count; i += 2) sends->notes[kept++] = sends->notes[sends->first + i];
    if (sends->count % 2 == 0) sends->notes[kept++] = sends->notes[sends->first + sends->count - 1];
    sends->first = 0;
    sends->count = kept;
}

void move_to_front(probe_sends* sends) {
    for (std::size_t i = 0; i < sends->count; ++i) sends->notes[i] = sends->notes[sends->first + i];
    sends->first = 0;
}

// How many of the oldest notes were sent by `now_us - wait_us`.
std::size_t notes_passed(const probe_sends* sends, std::uint64_t now_us, std::uint64_t wait_us) {
    std::size_t passed = 0;
    if (now_us < wait_us) return passed;
    while (passed < sends->count && sends->notes[sends->first + passed].send_us <= now_us - wait_us) ++passed;
    return passed;
}

// The settled sequence with the `passed` oldest notes taken in.
std::uint64_t settled_through(const probe_sends* sends, std::size_t passed) {
    std::uint64_t settled = sends->settled;
    for (std::size_t i = 0; i < passed; ++i) settled = std::max(settled, sends->notes[sends->first + i].highest_sent);
    return settled;
}

}  // namespace

void probe_sends_note(probe_sends* sends, std::uint64_t highest_sent, std::uint64_t send_us) {
    if (sends->first + sends->count == PROBE_SEND_NOTES) {
        if (sends->first > 0) {
            move_to_front(sends);
        } else {
            thin_out(sends);
        }
    }
    sends->notes[sends->first + sends->count++] = probe_send_note{highest_sent, send_us};
}

std::uint64_t probe_sends_settled(probe_sends* sends, std::uint64_t now_us, std::uint64_t wait_us) {
    std::size_t passed = notes_passed(sends, now_us, wait_us);
    sends->settled = settled_through(sends, passed);
    sends->first += passed;
    sends->count -= passed;
    if (sends->count == 0) sends->first = 0;
    return sends->settled;
}

std::uint64_t probe_sends_settled_by(const probe_sends* sends, std::uint64_t now_us, std::uint64_t wait_us) {
    return settled_through(sends, notes_passed(sends, now_us, wait_us));
}
