// mmsg_receiver <port>
//
// What "catchel -q -stats" does, written by hand for comparison: bind
// 127.0.0.1:<port> with catchel's receive buffer and kernel arrival times,
// then for ever a poll() of up to 1 s and recvmmsg() of up to 32 queued
// datagrams at a time until none is left. Each datagram is counted, and one
// that begins with a probe header ("SEQ1", run, sequence number, send time,
// big-endian) counts in its stream: a window of the sequence numbers seen,
// loss, duplicates, reorder, RFC 3550 jitter, one-way delay. On SIGINT or
// SIGTERM it prints "total datagrams <n> bytes <n> dropped <n>" and a line
// per stream, and exits.
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

constexpr int batch = 32;
constexpr int slot = 65536;
constexpr int receive_buffer = 4 << 20;
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
    if (argc != 2) {
        std::fputs("Usage: mmsg_receiver <port>\n", stderr);
        return 2;
    }
    int s = socket(AF_INET, SOCK_DGRAM, 0);
    int on = 1;
    setsockopt(s, SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof receive_buffer);
    setsockopt(s, SOL_SOCKET, SO_TIMESTAMP, &on, sizeof on);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(static_cast<std::uint16_t>(std::atoi(argv[1])));
    local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(s, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) return 1;
    struct sigaction action{};
    action.sa_handler = stop;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);

    auto* data = static_cast<unsigned char*>(std::malloc(std::size_t{batch} * slot));
    iovec parts[batch];
    sockaddr_in from[batch];
    alignas(cmsghdr) unsigned char control[batch][CMSG_SPACE(sizeof(timeval))];
    mmsghdr messages[batch];
    std::vector<stream> streams;
    std::uint64_t datagrams = 0, bytes = 0;
    while (!stopping) {
        pollfd entry{s, POLLIN, 0};
        if (poll(&entry, 1, 1000) != 1) continue;
        for (;;) {
            for (int i = 0; i < batch; ++i) {
                parts[i] = iovec{data + static_cast<std::size_t>(i) * slot, slot};
                messages[i].msg_hdr = msghdr{&from[i], sizeof from[i], &parts[i], 1, control[i], sizeof control[i], 0};
            }
            int n = recvmmsg(s, messages, batch, MSG_DONTWAIT, nullptr);
            if (n <= 0) break;
            for (int i = 0; i < n; ++i) {
                ++datagrams;
                bytes += messages[i].msg_len;
                std::uint64_t arrival_us = 0;
                for (cmsghdr* c = CMSG_FIRSTHDR(&messages[i].msg_hdr); c; c = CMSG_NXTHDR(&messages[i].msg_hdr, c)) {
                    if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_TIMESTAMP) continue;
                    timeval t;
                    std::memcpy(&t, CMSG_DATA(c), sizeof t);
                    arrival_us = static_cast<std::uint64_t>(t.tv_sec) * 1000000 + static_cast<std::uint64_t>(t.tv_usec);
                }
                const unsigned char* d = static_cast<unsigned char*>(parts[i].iov_base);
                if (messages[i].msg_len < 24 || std::memcmp(d, "SEQ1", 4) != 0) continue;
                auto run = static_cast<std::uint32_t>(big_endian(d + 4, 4));
                stream* found = nullptr;
                for (stream& candidate : streams) {
                    if (candidate.address == from[i].sin_addr.s_addr && candidate.port == from[i].sin_port &&
                        candidate.run == run) {
                        found = &candidate;
                    }
                }
                if (found == nullptr) {
                    streams.push_back(stream{from[i].sin_addr.s_addr, from[i].sin_port, run});
                    found = &streams.back();
                }
                count(found, big_endian(d + 8, 8), big_endian(d + 16, 8), arrival_us);
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
