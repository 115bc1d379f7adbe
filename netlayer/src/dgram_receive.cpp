// Reception allocates nothing: wait sets are local copies and data goes
// straight into the caller's buffer.
#include "internal.h"
#include "platform.h"

namespace {

// Where a read puts the datagram, and what it is to tell of it: the source
// where `from` is given, the details where `details` is.
struct read_target {
    void* buf;
    int size;
    sockaddr_in* from;
    plat_details* details;
};

bool another_datagram_waiting(const net_endpoint* ep) {
    return net_wait_single(ep, net_readiness::readable, 0) == NET_OK;
}

int read_datagram(net_endpoint* ep, const read_target& to) {
    if (to.details != nullptr) return plat_recv_details(ep->sock, to.buf, to.size, to.details, false);
    return to.from != nullptr ? plat_recvfrom(ep->sock, to.buf, to.size, to.from)
                              : plat_recv(ep->sock, to.buf, to.size);
}

int read_queued(net_endpoint* ep, const read_target& to) {
    if (to.details != nullptr) return plat_recv_details(ep->sock, to.buf, to.size, to.details, true);
    return plat_recv_queued(ep->sock, to.buf, to.size, to.from);
}

// The rest of a read once its first read gave `n`.
int finish_read(net_endpoint* ep, int n, const read_target& to, std::uint16_t flags) {
    if (n < 0) return NET_ERROR;
    while ((flags & RECV_LATEST) && another_datagram_waiting(ep)) {
        n = read_datagram(ep, to);
        if (n < 0) return NET_ERROR;
    }
    if ((flags & RECV_ALLOW_FULL) || n < to.size) return n;
    return NET_BUFFER_FULL;
}

// With no time to wait, a wait and a read come to the same as reading what
// is queued already, which takes one system call instead of two: a receiver
// that keeps up under a flood polls this way before it waits.
int wait_and_read(net_endpoint* ep, const read_target& to, std::uint32_t timeout_us, std::uint16_t flags) {
    if (timeout_us == 0) {
        int n = read_queued(ep, to);
        return n == PLAT_NOTHING_QUEUED ? NET_TIMEOUT : finish_read(ep, n, to, flags);
    }
    int rc = dgram_wait(&ep, 1, nullptr, timeout_us);
    return rc < 0 ? rc : finish_read(ep, read_datagram(ep, to), to, flags);
}

bool is_ipv4(const sockaddr_in& from) { return from.sin_family == AF_INET; }

}  // namespace

int dgram_wait(net_endpoint* const* eps, int n, int* index, std::uint32_t timeout_us) {
    net_select_set several;
    several.count = 0;
    for (int i = 0; n > 1 && i < n; ++i) set_add(&several, eps[i]->sock);
    net_select_set ready;
    int rc = net_wait_ready(n == 1 ? &eps[0]->ready_set : &several, net_readiness::readable, timeout_us, &ready);
    if (rc < 0) return rc;
    if (n == 1) {
        if (index != nullptr) *index = 0;
        return NET_OK;
    }
    for (int i = 0; i < n; ++i) {
        if (set_contains(&ready, eps[i]->sock)) {
            *index = i;
            return NET_OK;
        }
    }
    return NET_ERROR;
}

int dgram_read(net_endpoint* ep, void* buf, int size, sockaddr_in* from, std::uint16_t flags) {
    read_target to{buf, size, from, nullptr};
    return finish_read(ep, read_datagram(ep, to), to, flags);
}

int dgram_receive(net_endpoint* ep, void* buf, int size, std::uint32_t timeout_us, std::uint16_t flags) {
    return wait_and_read(ep, read_target{buf, size, nullptr, nullptr}, timeout_us, flags);
}

int dgram_receive_from(net_endpoint* ep, void* buf, int size, std::uint32_t* ip, std::uint16_t* port,
                       std::uint32_t timeout_us, std::uint16_t flags) {
    sockaddr_in from{};
    int n = wait_and_read(ep, read_target{buf, size, &from, nullptr}, timeout_us, flags);
    if (n < 0) return n;
    if (!is_ipv4(from)) return NET_ERROR;
    if (ip != nullptr) *ip = ntohl(from.sin_addr.s_addr);
    if (port != nullptr) *port = ntohs(from.sin_port);
    return n;
}

int dgram_receive_details(net_endpoint* ep, void* buf, int size, dgram_details* details, std::uint32_t timeout_us,
                          std::uint16_t flags) {
    plat_details got{};
    int n = wait_and_read(ep, read_target{buf, size, nullptr, &got}, timeout_us, flags);
    if (n < 0) return n;
    if (!is_ipv4(got.remote)) return NET_ERROR;
    // Without the switch the system counts no drops, and a count of 0 would be made up.
    bool counted = (ep->flags & DGRAM_DETAILS) != 0 && got.has_dropped;
    *details = dgram_details{ntohl(got.remote.sin_addr.s_addr), ntohs(got.remote.sin_port), got.has_to,
                             ntohl(got.to), got.has_time, got.time_us, counted, counted ? got.dropped : 0};
    return n;
}

int dgram_drop_count(net_endpoint* ep, std::uint32_t* dropped) {
    return plat_drop_count(ep->sock, dropped) == 0 ? NET_OK : NET_ERROR;
}

int dgram_receive_any(net_endpoint* const* eps, int n, int* index, void* buf, int size, std::uint32_t timeout_us,
                      std::uint16_t flags) {
    int ready = 0;
    int rc = dgram_wait(eps, n, &ready, timeout_us);
    if (rc < 0) return rc;
    if (index != nullptr) *index = ready;
    return dgram_read(eps[ready], buf, size, nullptr, flags);
}
