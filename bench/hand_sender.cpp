// hand_sender <port> <count> [4|6]
//
// pitchel -n <count> 127.0.0.1 <port> hello written by hand (with 6, to ::1):
// one socket, and for each datagram the same two calls the layer makes, a
// wait of up to 0.1 s for writability and a sendto of "hello" with its zero
// byte. Sends to the loopback address only; stops at the first failure,
// with status 1.
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

int main(int argc, char** argv) {
    if (argc < 3 || argc > 4) {
        std::fprintf(stderr, "usage: hand_sender <port> <count> [4|6]\n");
        return 2;
    }
    auto port = htons(static_cast<std::uint16_t>(std::atoi(argv[1])));
    sockaddr_storage to{};
    socklen_t to_len;
    if (argc == 4 && std::strcmp(argv[3], "6") == 0) {
        auto* v6 = reinterpret_cast<sockaddr_in6*>(&to);
        v6->sin6_family = AF_INET6;
        v6->sin6_port = port;
        v6->sin6_addr = in6addr_loopback;
        to_len = sizeof *v6;
    } else {
        auto* v4 = reinterpret_cast<sockaddr_in*>(&to);
        v4->sin_family = AF_INET;
        v4->sin_port = port;
        v4->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        to_len = sizeof *v4;
    }
    long long count = std::atoll(argv[2]);
    int s = socket(to.ss_family, SOCK_DGRAM, 0);
    static const char message[] = "hello";
    for (long long i = 0; i < count; ++i) {
        pollfd writable{s, POLLOUT, 0};
        if (poll(&writable, 1, 100) != 1 ||
            sendto(s, message, sizeof message, 0, reinterpret_cast<sockaddr*>(&to), to_len) != sizeof message) {
            std::fprintf(stderr, "send %lld failed\n", i);
            return 1;
        }
    }
    close(s);
    return 0;
}
