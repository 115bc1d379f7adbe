// pace_receiver <port> <count>
//
// Binds [::]:<port>, taking IPv4 too, and takes up to <count> datagrams, stopping once
// none has come for 2 s (10 s before the first), with the kernel's arrival
// time of each (SO_TIMESTAMPNS). Prints one line: how many came, the span
// from the first arrival to the last, the rate over it, and the spread of
// the gaps between arrivals in microseconds (mean, standard deviation,
// minimum, percentiles 1, 50 and 99, maximum).
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

constexpr int receive_buffer = 32 << 20;

// On [::]:port with IPv4 taken too, so that one receiver times both families.
int open_receiver(std::uint16_t port) {
    int s = socket(AF_INET6, SOCK_DGRAM, 0);
    int off = 0;
    setsockopt(s, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
    int size = receive_buffer;
    // Forced past rmem_max where root may; the plain request otherwise.
    if (setsockopt(s, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size) != 0) {
        setsockopt(s, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    }
    int on = 1;
    setsockopt(s, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
    sockaddr_in6 local{};
    local.sin6_family = AF_INET6;
    local.sin6_port = htons(port);
    if (bind(s, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
        std::perror("bind");
        std::exit(1);
    }
    return s;
}

// The arrival time of one datagram in nanoseconds; -1 when none came in `wait_ms`.
std::int64_t receive_one(int s, int wait_ms) {
    pollfd readable{s, POLLIN, 0};
    if (poll(&readable, 1, wait_ms) != 1) return -1;
    char data[65536];
    iovec part{data, sizeof data};
    alignas(cmsghdr) char control[64];
    msghdr message{.msg_name = nullptr, .msg_namelen = 0, .msg_iov = &part, .msg_iovlen = 1,
                   .msg_control = control, .msg_controllen = sizeof control, .msg_flags = 0};
    if (recvmsg(s, &message, 0) < 0) return -1;
    for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
        if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_TIMESTAMPNS) continue;
        timespec at{};
        std::memcpy(&at, CMSG_DATA(c), sizeof at);
        return at.tv_sec * 1000000000LL + at.tv_nsec;
    }
    return -1;
}

double percentile(const std::vector<double>& sorted, double p) {
    return sorted[static_cast<std::size_t>(p / 100 * static_cast<double>(sorted.size() - 1))];
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: pace_receiver <port> <count>\n");
        return 2;
    }
    int s = open_receiver(static_cast<std::uint16_t>(std::atoi(argv[1])));
    auto count = static_cast<std::size_t>(std::atoll(argv[2]));
    std::vector<std::int64_t> arrivals;
    arrivals.reserve(count);
    while (arrivals.size() < count) {
        std::int64_t at = receive_one(s, arrivals.empty() ? 10000 : 2000);
        if (at < 0) break;
        arrivals.push_back(at);
    }
    close(s);
    if (arrivals.size() < 2) {
        std::printf("received %zu\n", arrivals.size());
        return 1;
    }
    std::vector<double> gaps;
    for (std::size_t i = 1; i < arrivals.size(); ++i) {
        gaps.push_back(static_cast<double>(arrivals[i] - arrivals[i - 1]) / 1000);
    }
    double mean = 0;
    for (double g : gaps) mean += g;
    mean /= static_cast<double>(gaps.size());
    double variance = 0;
    for (double g : gaps) variance += (g - mean) * (g - mean);
    double sd = std::sqrt(variance / static_cast<double>(gaps.size()));
    std::sort(gaps.begin(), gaps.end());
    double span = static_cast<double>(arrivals.back() - arrivals.front()) / 1e9;
    std::printf("received %zu span_s %.4f rate %.0f gap_us mean %.3f sd %.3f min %.3f p1 %.3f p50 %.3f p99 %.3f "
                "max %.3f\n",
                arrivals.size(), span, static_cast<double>(arrivals.size() - 1) / span, mean, sd, gaps.front(),
                percentile(gaps, 1), percentile(gaps, 50), percentile(gaps, 99), gaps.back());
    return 0;
}
