// batch_sender <port> <count> <size>
//
// The fastest sender by hand: <count> datagrams of <size> bytes to
// 127.0.0.1, handed to the kernel 1024 at a time, in sendmmsg calls of 16
// messages of 64 segments each that the kernel cuts apart (UDP_SEGMENT). A
// blocking socket: the kernel waits when it is full. Stops at the first
// failure, with status 1.
#include <netinet/in.h>
#include <netinet/udp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

constexpr int messages_per_call = 16;
constexpr int segments_per_message = 64;

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: batch_sender <port> <count> <size>\n");
        return 2;
    }
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<std::uint16_t>(std::atoi(argv[1])));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    long long count = std::atoll(argv[2]);
    int size = std::atoi(argv[3]);
    if (size < 1 || size * segments_per_message > 65507) {
        std::fprintf(stderr, "size 1 to %d\n", 65507 / segments_per_message);
        return 2;
    }
    int s = socket(AF_INET, SOCK_DGRAM, 0);
    std::vector<char> bytes(std::size_t(size) * segments_per_message, 'x');
    mmsghdr messages[messages_per_call]{};
    iovec parts[messages_per_call];
    alignas(cmsghdr) unsigned char controls[messages_per_call][CMSG_SPACE(sizeof(std::uint16_t))]{};
    for (long long left = count; left > 0;) {
        int used = 0;
        for (; used < messages_per_call && left > 0; ++used) {
            long long here = std::min<long long>(left, segments_per_message);
            parts[used] = iovec{bytes.data(), std::size_t(here) * std::size_t(size)};
            msghdr& header = messages[used].msg_hdr;
            header.msg_name = &to;
            header.msg_namelen = sizeof to;
            header.msg_iov = &parts[used];
            header.msg_iovlen = 1;
            header.msg_control = controls[used];
            header.msg_controllen = sizeof controls[used];
            cmsghdr* control = CMSG_FIRSTHDR(&header);
            control->cmsg_level = SOL_UDP;
            control->cmsg_type = UDP_SEGMENT;
            control->cmsg_len = CMSG_LEN(sizeof(std::uint16_t));
            auto segment = static_cast<std::uint16_t>(size);
            std::memcpy(CMSG_DATA(control), &segment, sizeof segment);
            left -= here;
        }
        for (int done = 0; done < used;) {
            int sent = sendmmsg(s, messages + done, static_cast<unsigned>(used - done), 0);
            if (sent <= 0) {
                std::perror("sendmmsg");
                return 1;
            }
            done += sent;
        }
    }
    close(s);
    return 0;
}
