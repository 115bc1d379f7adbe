// mmsg_receiver <port> [<batch> [gro]]
//
// What "catchel -q -stats" does, written by hand for comparison: bind
// 127.0.0.1:<port> with catchel's receive buffer and kernel arrival times,
// then for ever a poll() of up to 1 s and recvmmsg() of up to <batch>
// (default 64) queued reads at a time until none is left. With "gro" the
// socket asks for UDP_GRO, and each read that holds a coalesced run is split
// by the run's datagram size. Each datagram is counted, and one
// that begins with a probe header ("SEQ1", run, sequence number, send time,
// big-endian) counts in its stream: a window of the sequence numbers seen,
// loss, duplicates, reorder, RFC 3550 jitter, one-way delay. On SIGINT or
// SIGTERM it prints "total datagrams <n> bytes <n> dropped <n>" and a line
// per stream, and exits.
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <netinet/udp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

constexpr int batch_max = 64;
constexpr int slot = 65536;
constexpr int receive_buffer = 2147483647;  // capped at net.core.rmem_max, as catchel -q asks
constexpr std::uint64_t window = 65536;

volatile sig_atomic_t stopping = 0;

void stop(int) { stopping = 1; }

struct stream {
    std::uint32_t address;
    std::uint16_t port;
    std::uint32_t run;
    std::vector<std::uint64_t> seen = std::vector<std::uint64_t>(window / 64);
    std::uint64_t highest = 0, received = 0, distinct = 0, duplicates = 0, reordered = 0;
    double jitter = 0;
    std::int64_t last_transit = 0, delay_min = 0, delay_max = 0;
    double delay_sum = 0;
};

std::uint64_t big_endian(const unsigned char* at, int bytes) {
    std::uint64_t value = 0;
    for (int i = 0; i < bytes; ++i) value = value << 8 | at[i];
    return value;
}

void count(stream* s, std::uint64_t sequence, std::uint64_t send_us, std::uint64_t arrival_us) {
    auto transit = static_cast<std::int64_t>(arrival_us - send_us);
    if (s->received > 0) {
        s->jitter += (std::fabs(static_cast<double>(transit - s->last_transit)) - s->jitter) / 16;
        if (transit < s->delay_min) s->delay_min = transit;
        if (transit > s->delay_max) s->delay_max = transit;
    } else {
        s->delay_min = s->delay_max = transit;
    }
    s->last_transit = transit;
    s->delay_sum += static_cast<double>(transit);
    ++s->received;
    if (sequence == 0 || sequence + window <= s->highest) return;
    for (; s->highest < sequence; ++s->highest) s->seen[(s->highest + 1) % window / 64] &= ~(1ull << ((s->highest + 1) % 64));
    std::uint64_t& word = s->seen[sequence % window / 64];
    std::uint64_t bit = 1ull << (sequence % 64);
    if (word & bit) {
        ++s->duplicates;
        return;
    }
    word |= bit;
    ++s->distinct;
    if (sequence < s->highest) ++s->reordered;
}

}  // namespace

int main(int argc, char** argv) {
    int batch = argc > 2 ? std::atoi(argv[2]) : batch_max;
    bool gro = argc > 3 && std::strcmp(argv[3], "gro") == 0;
    if (argc < 2 || argc > 4 || batch < 1 || batch > batch_max) {
        std::fputs("Usage: mmsg_receiver <port> [<batch, 1 to 64> [gro]]\n", stderr);
        return 2;
    }
    int s = socket(AF_INET, SOCK_DGRAM, 0);
    int on = 1;
    setsockopt(s, SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof receive_buffer);
    setsockopt(s, SOL_SOCKET, SO_TIMESTAMP, &on, sizeof on);
    if (gro && setsockopt(s, SOL_UDP, UDP_GRO, &on, sizeof on) != 0) return 1;
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(static_cast<std::uint16_t>(std::atoi(argv[1])));
    local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(s, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) return 1;
    struct sigaction action{};
    action.sa_handler = stop;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);

    auto* data = static_cast<unsigned char*>(std::malloc(std::size_t{batch_max} * slot));
    iovec parts[batch_max];
    sockaddr_in from[batch_max];
    alignas(cmsghdr) unsigned char control[batch_max][CMSG_SPACE(sizeof(timeval)) + CMSG_SPACE(sizeof(int))];
    mmsghdr messages[batch_max];
    std::vector<stream> streams;
    std::uint64_t datagrams = 0, bytes = 0;
    auto take = [&](const unsigned char* d, int size, const sockaddr_in& source, std::uint64_t arrival_us) {
        ++datagrams;
        bytes += static_cast<std::uint64_t>(size);
        if (size < 24 || std::memcmp(d, "SEQ1", 4) != 0) return;
        auto run = static_cast<std::uint32_t>(big_endian(d + 4, 4));
        stream* found = nullptr;
        for (stream& candidate : streams) {
            if (candidate.address == source.sin_addr.s_addr && candidate.port == source.sin_port &&
                candidate.run == run) {
                found = &candidate;
            }
        }
        if (found == nullptr) {
            streams.push_back(stream{source.sin_addr.s_addr, source.sin_port, run});
            found = &streams.back();
        }
        count(found, big_endian(d + 8, 8), big_endian(d + 16, 8), arrival_us);
    };
    while (!stopping) {
        pollfd entry{s, POLLIN, 0};
        if (poll(&entry, 1, 1000) != 1) continue;
        for (;;) {
            for (int i = 0; i < batch; ++i) {
                parts[i] = iovec{data + static_cast<std::size_t>(i) * slot, slot};
                messages[i].msg_hdr = msghdr{&from[i], sizeof from[i], &parts[i], 1, control[i], sizeof control[i], 0};
            }
            int n = recvmmsg(s, messages, static_cast<unsigned>(batch), MSG_DONTWAIT, nullptr);
            if (n <= 0) break;
            for (int i = 0; i < n; ++i) {
                std::uint64_t arrival_us = 0;
                int length = static_cast<int>(messages[i].msg_len);
                int segment = length;
                for (cmsghdr* c = CMSG_FIRSTHDR(&messages[i].msg_hdr); c; c = CMSG_NXTHDR(&messages[i].msg_hdr, c)) {
                    if (c->cmsg_level == SOL_UDP && c->cmsg_type == UDP_GRO) std::memcpy(&segment, CMSG_DATA(c), sizeof segment);
                    if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_TIMESTAMP) continue;
                    timeval t;
                    std::memcpy(&t, CMSG_DATA(c), sizeof t);
                    arrival_us = static_cast<std::uint64_t>(t.tv_sec) * 1000000 + static_cast<std::uint64_t>(t.tv_usec);
                }
                // A coalesced read holds a run of datagrams of `segment` bytes, the last maybe shorter.
                const auto* read = static_cast<const unsigned char*>(parts[i].iov_base);
                int at = 0;
                do {
                    int size = std::min(segment, length - at);
                    take(read + at, size, from[i], arrival_us);
                    at += size;
                } while (at < length);
            }
        }
    }
    std::uint32_t memory[SK_MEMINFO_VARS] = {};
    socklen_t length = sizeof memory;
    getsockopt(s, SOL_SOCKET, SO_MEMINFO, memory, &length);
    std::printf("total datagrams %llu bytes %llu dropped %u\n", static_cast<unsigned long long>(datagrams),
                static_cast<unsigned long long>(bytes), memory[SK_MEMINFO_DROPS]);
    for (const stream& st : streams) {
        std::printf("stream run %u received %llu lost %llu duplicates %llu reordered %llu jitter_us %.3f\n", st.run,
                    static_cast<unsigned long long>(st.received),
                    static_cast<unsigned long long>(st.highest - st.distinct),
                    static_cast<unsigned long long>(st.duplicates), static_cast<unsigned long long>(st.reordered),
                    st.jitter);
    }
    std::free(data);
    return 0;
}
