// hand_sender <port> <count> [4|6 [<size>]]
//
// pitchel -n <count> 127.0.0.1 <port> hello written by hand (with 6, to ::1):
// one socket, and for each datagram the same two calls the layer makes, a
// wait of up to 0.1 s for writability and a sendto of "hello" with its zero
// byte, or with <size> of that many bytes: a sender of one datagram a call
// at its full speed. Sends to the loopback address only; stops at the first
// failure, with status 1.
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

int main(int argc, char** argv) {
    if (argc < 3 || argc > 5) {
        std::fprintf(stderr, "usage: hand_sender <port> <count> [4|6 [<size>]]\n");
        return 2;
    }
    auto port = htons(static_cast<std::uint16_t>(std::atoi(argv[1])));
    sockaddr_storage to{};
    socklen_t to_len;
    if (argc >= 4 && std::strcmp(argv[3], "6") == 0) {
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
    static const char hello[] = "hello";
    std::vector<char> message(hello, hello + sizeof hello);
    if (argc == 5) message.assign(static_cast<std::size_t>(std::atoi(argv[4])), 'x');
    for (long long i = 0; i < count; ++i) {
        pollfd writable{s, POLLOUT, 0};
        if (poll(&writable, 1, 100) != 1 ||
            sendto(s, message.data(), message.size(), 0, reinterpret_cast<sockaddr*>(&to), to_len) !=
                static_cast<ssize_t>(message.size())) {
            std::fprintf(stderr, "send %lld failed\n", i);
            return 1;
        }
    }
    close(s);
    return 0;
}
