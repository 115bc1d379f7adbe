// paced_sender <port> <count> <rate>
//
// A paced sender by hand: "hello" with its zero byte to 127.0.0.1, the i-th
// datagram due i/<rate> seconds after the first; poll() sleeps until the
// last millisecond before each, the rest is spun, then one sendto. Stops at
// the first failure, with status 1.
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

std::uint64_t now_us() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return std::uint64_t(now.tv_sec) * 1000000 + std::uint64_t(now.tv_nsec) / 1000;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: paced_sender <port> <count> <rate>\n");
        return 2;
    }
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<std::uint16_t>(std::atoi(argv[1])));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    long long count = std::atoll(argv[2]);
    long long rate = std::atoll(argv[3]);
    if (count < 1 || rate < 1) return 2;
    int s = socket(AF_INET, SOCK_DGRAM, 0);
    static const char message[] = "hello";
    std::uint64_t start = now_us();
    for (long long i = 0; i < count; ++i) {
        std::uint64_t due = start + std::uint64_t(i / rate) * 1000000 + std::uint64_t(i % rate) * 1000000 / rate;
        std::uint64_t now = now_us();
        if (due > now + 1000) poll(nullptr, 0, static_cast<int>((due - now) / 1000) - 1);
        while (now_us() < due) {
        }
        if (sendto(s, message, sizeof message, 0, reinterpret_cast<sockaddr*>(&to), sizeof to) != sizeof message) {
            std::fprintf(stderr, "send %lld failed\n", i);
            return 1;
        }
    }
    close(s);
    return 0;
}
