#include "probe_run.h"

#include <cinttypes>

#include "clock/clock.h"
#include "netlayer/netlayer.h"

namespace {

// Responders told apart; the replies of any beyond are left uncounted.
constexpr std::size_t responders_max = 4096;

// Milliseconds with three decimals, from microseconds rounded to the nearest.
void put_ms(char* text, std::size_t room, double us) {
    auto rounded = static_cast<std::uint64_t>(us + 0.5);
    std::snprintf(text, room, "%" PRIu64 ".%03u", rounded / 1000, static_cast<unsigned>(rounded % 1000));
}

bool write_responder(const probe_responder* responder, const probe_rtt_stats* s, bool json, std::FILE* out) {
    char from[NET_ADDRESS_TEXT_ROOM];
    net_address address = probe_key_address(&responder->key);
    const double figures_us[7] = {static_cast<double>(s->min_us), s->avg_us, static_cast<double>(s->max_us),
                                  s->mdev_us, static_cast<double>(s->p50_us), static_cast<double>(s->p90_us),
                                  static_cast<double>(s->p99_us)};
    char ms[7][32];
    for (int i = 0; i < 7; ++i) put_ms(ms[i], sizeof ms[i], figures_us[i]);
    if (json) {
        char escaped[RECORD_JSON_ADDRESS_ROOM];
        if (net_address_format(&address, from, sizeof from) < 0) from[0] = '\0';
        *record_put_json_text(escaped, from) = '\0';
        return std::fprintf(out,
                            "{\"responder\":{\"from\":\"%s\",\"port\":%u,\"replies\":%" PRIu64 ",\"lost\":%" PRIu64
                            ",\"duplicates\":%" PRIu64 ",\"rtt_ms\":{\"min\":%s,\"avg\":%s,\"max\":%s,\"mdev\":%s,"
                            "\"p50\":%s,\"p90\":%s,\"p99\":%s}}}\n",
                            escaped, unsigned{responder->key.port}, s->replies, s->lost, s->duplicates, ms[0], ms[1],
                            ms[2], ms[3], ms[4], ms[5], ms[6]) > 0;
    }
    net_address_port source{address, responder->key.port};
    net_address_format_port(&source, from, sizeof from);
    return std::fprintf(out,
                        "%s replies %" PRIu64 " lost %" PRIu64 " duplicates %" PRIu64
                        " rtt min/avg/max/mdev %s/%s/%s/%s ms p50/p90/p99 %s/%s/%s ms\n",
                        from, s->replies, s->lost, s->duplicates, ms[0], ms[1], ms[2], ms[3], ms[4], ms[5],
                        ms[6]) > 0;
}

}  // namespace

int probe_run_start(probe_run* probes, const cli_teller* say) {
    *probes = probe_run{};
    net_reason reason{};
    int rc = net_random(&probes->run, sizeof probes->run, &reason);
    if (rc != NET_OK) return cli_tell_failure(say, "cannot choose a run identifier", rc, &reason, -1);
    if (!probe_responders_init(&probes->responders, responders_max)) {
        return cli_tell_no_memory(say->out, no_room_for_replies, -1);
    }
    probes->utc_at_start_us = clock_utc_us();
    probes->monotonic_at_start_us = clock_now_us();
    return 0;
}

void probe_run_end(probe_run* probes) { probe_responders_free(&probes->responders); }

std::uint64_t probe_run_now_us(const probe_run* probes) {
    return probes->utc_at_start_us + (clock_now_us() - probes->monotonic_at_start_us);
}

void probe_run_stamp(const probe_run* probes, unsigned char* at, std::size_t stride, int count) {
    probe_header header{probes->run, probes->sent + 1, probe_run_now_us(probes), false};
    for (int i = 0; i < count; ++i, ++header.sequence) probe_encode(&header, at + std::size_t(i) * stride);
}

void probe_run_note_sent(probe_run* probes, int count) {
    probes->sent += static_cast<std::uint64_t>(count);
    probe_sends_note(&probes->sends, probes->sent, net_steady_us());
}

std::uint64_t probe_run_settled(probe_run* probes, std::uint64_t wait_us) {
    return probe_sends_settled(&probes->sends, net_steady_us(), wait_us);
}

std::uint64_t probe_run_settled_by(const probe_run* probes, std::uint64_t wait_us) {
    return probe_sends_settled_by(&probes->sends, net_steady_us(), wait_us);
}

const probe_responder* probe_run_match(probe_run* probes, record_datagram* datagram, const char* data, int size) {
    probe_header header{};
    if (!probe_decode(data, static_cast<std::size_t>(size), &header) || header.run != probes->run) return nullptr;
    if (header.sequence == 0 || header.sequence > probes->sent) return nullptr;
    std::uint64_t now_us = probe_run_now_us(probes);
    // A header whose time lies ahead was not written by this run's clock: no round trip to tell.
    if (header.send_us > now_us) return nullptr;
    datagram->is_echo = true;
    datagram->sequence = header.sequence;
    datagram->rtt_us = now_us - header.send_us;
    probe_key key = probe_key_of(&datagram->details.from, datagram->details.from_port, 0);
    probe_responder* responder = probe_responders_find(&probes->responders, &key);
    if (responder == nullptr) return nullptr;
    probe_verdict verdict = probe_responder_add(responder, probes->sent, header.sequence, datagram->rtt_us);
    return verdict == PROBE_NEXT || verdict == PROBE_REORDERED ? responder : nullptr;
}

bool probe_run_summary(probe_run* probes, std::uint64_t datagrams_sent, std::uint64_t through, bool json,
                       std::FILE* out) {
    bool written = json ? std::fprintf(out, "{\"sent\":%" PRIu64 "}\n", datagrams_sent) > 0
                        : std::fprintf(out, "sent %" PRIu64 " datagrams\n", datagrams_sent) > 0;
    for (std::size_t i = 0; i < probes->responders.index.count && written; ++i) {
        probe_responder* responder = &probes->responders.responders[i];
        probe_rtt_stats stats{};
        probe_responder_summary(responder, probes->sent, &stats);
        stats.lost = probe_responder_lost_through(responder, through);
        written = write_responder(responder, &stats, json, out);
    }
    // A reader of a pipe acts on the summary as soon as it is written, whatever buffer the stream has.
    return std::fflush(out) == 0 && written;
}
