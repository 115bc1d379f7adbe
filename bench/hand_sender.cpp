// hand_sender <port> <count>
//
// pitchel -n <count> 127.0.0.1 <port> hello written by hand: one socket, and
// for each datagram the same two calls the layer makes, a wait of up to
// 0.1 s for writability and a sendto of "hello" with its zero byte. Sends
// to 127.0.0.1 only; stops at the first failure, with status 1.
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: hand_sender <port> <count>\n");
        return 2;
    }
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<std::uint16_t>(std::atoi(argv[1])));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    long long count = std::atoll(argv[2]);
    int s = socket(AF_INET, SOCK_DGRAM, 0);
    static const char message[] = "hello";
    for (long long i = 0; i < count; ++i) {
        pollfd writable{s, POLLOUT, 0};
        if (poll(&writable, 1, 100) != 1 ||
            sendto(s, message, sizeof message, 0, reinterpret_cast<sockaddr*>(&to), sizeof to) != sizeof message) {
            std::fprintf(stderr, "send %lld failed\n", i);
            return 1;
        }
    }
    close(s);
    return 0;
}
