// udp_flood -port <p> [-count <n>] [-size <bytes>] [-rate <per second>] [-burst <n>]
//           [-seconds <limit>] [-soak <seed> -sender <id>] [-family <4|6>] [-probe 1]
//
// Sends a bounded, paced stream of datagrams to 127.0.0.1 (with -family 6,
// ::1) and nowhere else,
// then prints one line: "sender <id> port <source port> sent <n> failed <n>
// seconds <s> cpu <s>", the last its own CPU time. It stops after <n> datagrams or <limit> seconds, whichever
// comes first; a rate of 0 sends as fast as it can. Datagrams that are due
// together leave in one sendmmsg, so that the sender keeps the pace of
// rates that one sendto per datagram cannot. With -burst <n> the same rate
// comes as <n> datagrams back to back every <n>/<rate> seconds.
//
// Without -soak every datagram holds "flood <number>" padded with dots and a
// closing zero byte; with -probe 1 it begins with a probe header (24 bytes,
// big-endian: "SEQ1", a run, the sequence number from 1, the send time in
// microseconds since 1970) when the size leaves room. With -soak the sizes and bytes come from soak_payload(),
// so that soak_check can tell what each datagram held.
#include <netinet/in.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "soak_payload.h"

namespace {

constexpr std::int64_t ns_per_s = 1000000000;
constexpr unsigned batch_limit = 32;  // datagrams per sendmmsg
constexpr std::int64_t spin_below_ns = 50000;

struct flood_settings {
    std::uint16_t port = 0;
    std::uint64_t count = 200000;
    std::uint32_t size = 64;
    std::uint64_t rate = 100000;
    std::uint64_t burst = 1;
    double seconds = 60;
    bool soak = false;
    std::uint64_t seed = 0;
    std::uint32_t sender = 0;
    int family = AF_INET;
    bool probe = false;
};

std::int64_t now_ns() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * ns_per_s + t.tv_nsec;
}

double cpu_seconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

void sleep_until(std::int64_t when_ns) {
    timespec t{static_cast<time_t>(when_ns / ns_per_s), static_cast<long>(when_ns % ns_per_s)};
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &t, nullptr) == EINTR) {
    }
}

int usage() {
    std::fputs("Usage: udp_flood -port <p> [-count <n>] [-size <bytes>] [-rate <per second>] [-burst <n>]\n"
               "                 [-seconds <limit>] [-soak <seed> -sender <id>] [-family <4|6>] [-probe 1]\n",
               stderr);
    return 2;
}

bool read_settings(int argc, char** argv, flood_settings* s) {
    for (int i = 1; i + 1 < argc; i += 2) {
        const char* name = argv[i];
        const char* value = argv[i + 1];
        std::uint64_t number = std::strtoull(value, nullptr, 10);
        if (std::strcmp(name, "-port") == 0 && number > 0 && number < 65536) {
            s->port = static_cast<std::uint16_t>(number);
        } else if (std::strcmp(name, "-count") == 0) {
            s->count = number;
        } else if (std::strcmp(name, "-size") == 0 && number <= soak_largest) {
            s->size = static_cast<std::uint32_t>(number);
        } else if (std::strcmp(name, "-rate") == 0) {
            s->rate = number;
        } else if (std::strcmp(name, "-burst") == 0 && number > 0) {
            s->burst = number;
        } else if (std::strcmp(name, "-seconds") == 0) {
            s->seconds = std::strtod(value, nullptr);
        } else if (std::strcmp(name, "-soak") == 0) {
            s->soak = true;
            s->seed = number;
        } else if (std::strcmp(name, "-family") == 0 && (number == 4 || number == 6)) {
            s->family = number == 6 ? AF_INET6 : AF_INET;
        } else if (std::strcmp(name, "-probe") == 0) {
            s->probe = number != 0;
        } else if (std::strcmp(name, "-sender") == 0) {
            s->sender = static_cast<std::uint32_t>(number);
        } else {
            return false;
        }
    }
    return argc % 2 == 1 && s->port != 0 && s->seconds > 0;
}

// The loopback address of a family, port 0.
struct loopback {
    union {
        sockaddr any;
        sockaddr_in v4;
        sockaddr_in6 v6;
    };
    socklen_t len;
};

loopback loopback_of(int family) {
    loopback address{};
    if (family == AF_INET6) {
        address.v6.sin6_family = AF_INET6;
        address.v6.sin6_addr = in6addr_loopback;
        address.len = sizeof address.v6;
    } else {
        address.v4.sin_family = AF_INET;
        address.v4.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.len = sizeof address.v4;
    }
    return address;
}

void set_port(loopback* address, std::uint16_t port) {
    if (address->any.sa_family == AF_INET6) {
        address->v6.sin6_port = htons(port);
    } else {
        address->v4.sin_port = htons(port);
    }
}

void fill_flood_payload(std::vector<unsigned char>* out, std::uint32_t size, std::uint64_t seq) {
    out->assign(size, '.');
    if (size == 0) return;
    char label[32];
    int len = std::snprintf(label, sizeof label, "flood %llu", static_cast<unsigned long long>(seq + 1));
    std::memcpy(out->data(), label, std::min<std::size_t>(static_cast<std::size_t>(len), size - 1));
    out->back() = 0;
}

void put_big_endian(unsigned char* at, std::uint64_t value, int bytes) {
    for (int i = bytes - 1; i >= 0; --i, value >>= 8) at[i] = static_cast<unsigned char>(value & 0xff);
}

// The probe header over the payload's start: run, sequence number from 1, send time.
void put_probe_header(std::vector<unsigned char>* out, std::uint32_t run, std::uint64_t seq) {
    if (out->size() < 24) return;
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    std::memcpy(out->data(), "SEQ1", 4);
    put_big_endian(out->data() + 4, run, 4);
    put_big_endian(out->data() + 8, seq + 1, 8);
    put_big_endian(out->data() + 16, static_cast<std::uint64_t>(now.tv_sec) * 1000000 + static_cast<std::uint64_t>(now.tv_nsec) / 1000, 8);
}

}  // namespace

int main(int argc, char** argv) {
    flood_settings s;
    if (!read_settings(argc, argv, &s)) return usage();
    // Wake-ups as close to the deadline as the kernel can make them.
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);

    int sock = socket(s.family, SOCK_DGRAM, 0);
    loopback local = loopback_of(s.family);
    socklen_t local_len = local.len;
    if (sock < 0 || bind(sock, &local.any, local.len) != 0 || getsockname(sock, &local.any, &local_len) != 0) {
        std::perror("udp_flood: socket");
        return 1;
    }
    loopback to = local;
    set_port(&to, s.port);

    std::vector<std::vector<unsigned char>> payloads(batch_limit);
    iovec parts[batch_limit];
    mmsghdr messages[batch_limit];
    const std::int64_t start = now_ns();
    const auto limit = start + static_cast<std::int64_t>(s.seconds * ns_per_s);
    std::uint64_t sent = 0;
    std::uint64_t failed = 0;
    std::int64_t now = start;
    while (sent + failed < s.count && now < limit) {
        // What is due goes now, in batches; a datagram that fails is
        // counted and the rest of its batch goes again.
        std::uint64_t bursts_due = s.rate == 0 ? s.count : static_cast<std::uint64_t>((now - start) * s.rate / ns_per_s / s.burst) + 1;
        std::uint64_t due = bursts_due * s.burst;
        unsigned batch = 0;
        for (std::uint64_t seq = sent + failed; seq < due && seq < s.count && batch < batch_limit; ++seq, ++batch) {
            std::vector<unsigned char>& payload = payloads[batch];
            if (s.soak) {
                soak_payload(s.seed, s.sender, seq, &payload);
            } else {
                fill_flood_payload(&payload, s.size, seq);
                if (s.probe) put_probe_header(&payload, static_cast<std::uint32_t>(getpid()), seq);
            }
            parts[batch] = iovec{payload.data(), payload.size()};
            messages[batch] = mmsghdr{};
            messages[batch].msg_hdr.msg_name = &to.any;
            messages[batch].msg_hdr.msg_namelen = to.len;
            messages[batch].msg_hdr.msg_iov = &parts[batch];
            messages[batch].msg_hdr.msg_iovlen = 1;
        }
        if (batch > 0) {
            int n = sendmmsg(sock, messages, batch, 0);
            sent += n > 0 ? static_cast<unsigned>(n) : 0;
            if (n < static_cast<int>(batch)) ++failed;
        }
        now = now_ns();
        if (s.rate == 0 || sent + failed >= s.count) continue;
        // A sleep overshoots a near deadline by more than the gap itself: spin for those.
        auto next = start + static_cast<std::int64_t>((sent + failed) / s.burst * s.burst * ns_per_s / s.rate);
        if (next - now > spin_below_ns) {
            sleep_until(next);
            now = now_ns();
        }
    }
    std::printf("sender %u port %u sent %llu failed %llu seconds %.3f cpu %.3f\n", s.sender,
                unsigned{ntohs(s.family == AF_INET6 ? local.v6.sin6_port : local.v4.sin_port)}, static_cast<unsigned long long>(sent),
                static_cast<unsigned long long>(failed), static_cast<double>(now - start) / ns_per_s, cpu_seconds());
    close(sock);
    return 0;
}
