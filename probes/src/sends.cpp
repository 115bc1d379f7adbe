#include "probes/histogram.h"

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
    if (now_us < wait_us) return sends->settled;
    std::uint64_t cutoff = now_us - wait_us;
    while (sends->count > 0 && sends->notes[sends->first].send_us <= cutoff) {
        if (sends->notes[sends->first].highest_sent > sends->settled) sends->settled = sends->notes[sends->first].highest_sent;
        ++sends->first;
        --sends->count;
    }
    if (sends->count == 0) sends->first = 0;
    return sends->settled;
}
