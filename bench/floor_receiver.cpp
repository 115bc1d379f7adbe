// floor_receiver <port>
//
// The least a receiver following catchel's loop can do, written by hand
// for comparison: bind 0.0.0.0:<port> with catchel's receive buffer, then
// for ever a poll() of up to 1 s, recvfrom() of every queued datagram
// without waiting, each one's record in catchel's text put together in one
// buffer, and one write() of that buffer per run. No time-out lines.
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr int capacity = 100000;
constexpr std::size_t batch = 16384;
constexpr int receive_buffer = 4 << 20;

char output[batch + 128 + capacity + 1];
char data[capacity + 1];

char* put(char* at, const char* text) { return std::copy(text, text + std::strlen(text), at); }

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fputs("Usage: floor_receiver <port>\n", stderr);
        return 2;
    }
    int s = socket(AF_INET, SOCK_DGRAM, 0);
    setsockopt(s, SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof receive_buffer);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(static_cast<std::uint16_t>(std::atoi(argv[1])));
    if (bind(s, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) return 1;
    std::uint64_t number = 0;
    for (;;) {
        pollfd entry{s, POLLIN, 0};
        if (poll(&entry, 1, 1000) != 1) continue;
        std::size_t used = 0;
        for (;;) {
            sockaddr_in from{};
            socklen_t len = sizeof from;
            ssize_t n = recvfrom(s, data, capacity, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&from), &len);
            if (n < 0) break;
            char* at = output + used;
            char* end = at + 128;
            at = std::to_chars(put(at, "udp "), end, ++number).ptr;
            std::uint32_t ip = ntohl(from.sin_addr.s_addr);
            at = put(at, " from ");
            for (int shift = 24; shift >= 0; shift -= 8) {
                at = std::to_chars(at, end, ip >> shift & 0xff).ptr;
                *at++ = shift > 0 ? '.' : ':';
            }
            at = std::to_chars(at, end, ntohs(from.sin_port)).ptr;
            at = std::to_chars(put(at, " sz "), end, n).ptr;
            at = put(at, " :\n\n");
            data[n] = '\0';
            std::size_t text = std::strlen(data);
            at = std::copy(data, data + text, at);
            *at++ = '\n';
            used = static_cast<std::size_t>(at - output);
            if (used >= batch) break;
        }
        if (used > 0 && write(1, output, used) != static_cast<ssize_t>(used)) return 3;
    }
}
