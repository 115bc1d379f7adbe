// Reception allocates nothing: wait sets are local copies and data goes
// straight into the caller's buffer, or a batch's, made once.
#include <algorithm>
#include <cstddef>

#include "internal.h"
#include "platform.h"

// What each read of a batch told beside its bytes.
struct dgram_batch_reads {
    int lengths[DGRAM_RECEIVE_BATCH_MAX];
    plat_details got[DGRAM_RECEIVE_BATCH_MAX];
    dgram_details details[DGRAM_RECEIVE_BATCH_MAX];
};

namespace {

constexpr std::size_t batch_room = std::size_t{DGRAM_RECEIVE_BATCH_MAX} * DGRAM_BATCH_READ_ROOM;

// Where a read puts the datagram, and what it is to tell of it: the source
// where `from` is given (`from_length` its room), the details where
// `details` is; why it failed where `reason` is.
struct read_target {
    void* buf;
    int size;
    sockaddr* from;
    int* from_length;
    plat_details* details;
    net_reason* reason;
};

bool another_datagram_waiting(const net_endpoint* ep) {
    return net_wait_single(ep, net_readiness::readable, 0) == NET_OK;
}

int read_datagram(net_endpoint* ep, const read_target& to) {
    if (to.details != nullptr) return plat_recv_details(ep->sock, to.buf, to.size, to.details, false);
    return to.from != nullptr ? plat_recvfrom(ep->sock, to.buf, to.size, to.from, to.from_length)
                              : plat_recv(ep->sock, to.buf, to.size);
}

int read_queued(net_endpoint* ep, const read_target& to) {
    if (to.details != nullptr) return plat_recv_details(ep->sock, to.buf, to.size, to.details, true);
    return plat_recv_queued(ep->sock, to.buf, to.size, to.from, to.from_length);
}

// The rest of a read once its first read gave `n`.
int finish_read(net_endpoint* ep, int n, const read_target& to, std::uint16_t flags) {
    if (n < 0) return net_fail(to.reason);
    while ((flags & RECV_LATEST) && another_datagram_waiting(ep)) {
        n = read_datagram(ep, to);
        if (n < 0) return net_fail(to.reason);
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
    int rc = net_wait_single(ep, net_readiness::readable, timeout_us, to.reason);
    return rc < 0 ? rc : finish_read(ep, read_datagram(ep, to), to, flags);
}

// The room a source address of the endpoint's family takes.
int source_room(const net_endpoint* ep) {
    return (ep->state & DGRAM_STATE_IPV6) != 0 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
}

// Whether the endpoint was opened to keep anything of its datagrams beside
// their source: a read that asks for more costs more, on Windows above all.
bool keeps_details(const net_endpoint* ep) {
    constexpr std::uint16_t kept = DGRAM_DETAILS | DGRAM_ARRIVAL_TIMES | DGRAM_DESTINATIONS | DGRAM_DROP_COUNTS |
                                   DGRAM_MARKS | DGRAM_STEADY_TIME;
    return (ep->flags & kept) != 0;
}

int socket_family(const net_endpoint* ep) { return (ep->state & DGRAM_STATE_IPV6) != 0 ? AF_INET6 : AF_INET; }

// The details as the layer tells them; false for a source of no family it knows.
bool give_details(const net_endpoint* ep, plat_details* got, dgram_details* details) {
    net_address from{};
    std::uint16_t from_port = 0;
    if (!net_address_of(&got->remote, &from, &from_port)) return false;
    // A dual-stack endpoint is told an IPv4 destination as mapped.
    std::uint32_t to_ip = 0;
    if (got->has_to && got->to.family == net_family::ipv6 && net_address_to_ipv4(&got->to, &to_ip)) {
        got->to = net_address_from_ipv4(to_ip);
    }
    // Without the switch the system counts no drops, and a count of 0 would be made up.
    bool counted = (ep->flags & (DGRAM_DETAILS | DGRAM_DROP_COUNTS)) != 0 && got->has_dropped;
    *details = dgram_details{from,          from_port,    got->has_to, got->to, got->has_time,
                             got->time_us, counted, counted ? got->dropped : 0,
                             got->has_hop_limit, got->hop_limit, got->has_traffic_class, got->traffic_class};
    return true;
}

// One reading of the steady clock for all that one read brought, where the endpoint asks for it.
void give_steady_time(const net_endpoint* ep, dgram_details* details, int count) {
    if ((ep->flags & DGRAM_STEADY_TIME) == 0) return;
    std::uint64_t now = plat_steady_us();
    for (int i = 0; i < count; ++i) {
        details[i].has_steady_time = true;
        details[i].steady_us = now;
    }
}

// Where the system reads one datagram a call: that one, as a batch of one.
int read_one_queued(net_endpoint* ep, void* buf, int size, int* lengths, plat_details* got) {
    int n = plat_recv_details(ep->sock, buf, size, got, true);
    if (n < 0) return n;
    lengths[0] = n;
    return 1;
}

// Where the next datagram of the batch's current read lies.
char* next_bytes(const dgram_batch* batch) {
    return batch->bytes + static_cast<std::ptrdiff_t>(batch->next_read) * DGRAM_BATCH_READ_ROOM + batch->next_offset;
}

// Past `taken` bytes of the current read, `length` long (negative: a failed
// read, passed whole), and on to the next read once it is used up.
void move_on(dgram_batch* batch, int length, int taken) {
    batch->next_offset += taken;
    if (length < 0 || batch->next_offset == length) {
        ++batch->next_read;
        batch->next_offset = 0;
    }
}

}  // namespace

int dgram_wait(net_endpoint* const* eps, int n, int* index, std::uint32_t timeout_us) {
    return dgram_wait(eps, n, index, timeout_us, nullptr);
}

int dgram_wait(net_endpoint* const* eps, int n, int* index, std::uint32_t timeout_us, net_reason* reason) {
    net_select_set several;
    several.count = 0;
    for (int i = 0; n > 1 && i < n; ++i) set_add(&several, eps[i]->sock);
    net_select_set ready;
    int rc = net_wait_ready(n == 1 ? &eps[0]->ready_set : &several, net_readiness::readable, timeout_us, &ready,
                            reason);
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
    return net_fail_without_call(reason);
}

int dgram_read(net_endpoint* ep, void* buf, int size, sockaddr_in* from, std::uint16_t flags) {
    int room = sizeof *from;
    read_target to{buf, size, reinterpret_cast<sockaddr*>(from), &room, nullptr, nullptr};
    return finish_read(ep, read_datagram(ep, to), to, flags);
}

int dgram_receive(net_endpoint* ep, void* buf, int size, std::uint32_t timeout_us, std::uint16_t flags) {
    return wait_and_read(ep, read_target{buf, size, nullptr, nullptr, nullptr, nullptr}, timeout_us, flags);
}

int net_receive_from(net_endpoint* ep, void* buf, int size, net_address* from, std::uint16_t* port,
                     std::uint32_t timeout_us, std::uint16_t flags, net_reason* reason) {
    sockaddr_storage source{};
    int room = source_room(ep);
    int n = wait_and_read(ep, read_target{buf, size, reinterpret_cast<sockaddr*>(&source), &room, nullptr, reason},
                          timeout_us, flags);
    if (n < 0) return n;
    return net_address_of(&source, from, port) ? n : net_fail_without_call(reason);
}

int dgram_receive_detailed(net_endpoint* ep, void* buf, int size, dgram_details* details, std::uint32_t timeout_us,
                           std::uint16_t flags, net_reason* reason) {
    if (!keeps_details(ep)) {
        dgram_details source{};
        int n = net_receive_from(ep, buf, size, &source.from, &source.from_port, timeout_us, flags, reason);
        if (n >= 0) *details = source;
        return n;
    }
    plat_details got{};
    got.family = socket_family(ep);
    int n = wait_and_read(ep, read_target{buf, size, nullptr, nullptr, &got, reason}, timeout_us, flags);
    if (n < 0) return n;
    if (!give_details(ep, &got, details)) return net_fail_without_call(reason);
    give_steady_time(ep, details, 1);
    return n;
}

int dgram_batch_open(dgram_batch* batch) {
    *batch = dgram_batch{};
    // One block: the reads' room, then what they told, which the room's size keeps aligned.
    auto* block = static_cast<char*>(plat_alloc(batch_room + sizeof(dgram_batch_reads)));
    if (block == nullptr) return NET_ERROR;
    batch->bytes = block;
    batch->reads = reinterpret_cast<dgram_batch_reads*>(block + batch_room);
    return NET_OK;
}

void dgram_batch_close(dgram_batch* batch) {
    plat_free(batch->bytes);
    *batch = dgram_batch{};
}

int dgram_receive_batch(net_endpoint* ep, dgram_batch* batch, int count, net_reason* reason) {
    batch->count = batch->next_read = batch->next_offset = 0;
    if (count < 1) return net_fail_without_call(reason);
    if (count > DGRAM_RECEIVE_BATCH_MAX) count = DGRAM_RECEIVE_BATCH_MAX;
    dgram_batch_reads* reads = batch->reads;
    for (int i = 0; i < count; ++i) reads->got[i].family = socket_family(ep);
    int n = plat_recv_details_batch(ep->sock, batch->bytes, DGRAM_BATCH_READ_ROOM, count, reads->lengths, reads->got);
    if (n == PLAT_NO_BATCH) n = read_one_queued(ep, batch->bytes, DGRAM_BATCH_READ_ROOM, reads->lengths, reads->got);
    if (n == PLAT_NOTHING_QUEUED) return NET_TIMEOUT;
    if (n < 0) return net_fail(reason);
    for (int i = 0; i < n; ++i) {
        if (reads->lengths[i] < 0 || !give_details(ep, &reads->got[i], &reads->details[i])) {
            reads->lengths[i] = NET_ERROR;
        }
    }
    give_steady_time(ep, reads->details, n);
    batch->count = n;
    return n;
}

int dgram_batch_next(dgram_batch* batch, char** data, const dgram_details** details) {
    if (batch->next_read >= batch->count) return NET_TIMEOUT;
    int i = batch->next_read;
    const dgram_batch_reads* reads = batch->reads;
    *data = next_bytes(batch);
    *details = &reads->details[i];
    int length = reads->lengths[i];
    int left = length - batch->next_offset;
    int segment = reads->got[i].segment_size;
    int size = length < 0 ? length : segment > 0 && segment < left ? segment : left;
    move_on(batch, length, size);
    return size;
}

int dgram_batch_next_run(dgram_batch* batch, int most, char** data, int* size) {
    if (batch->next_offset == 0 || batch->next_read >= batch->count) return 0;
    int length = batch->reads->lengths[batch->next_read];
    int segment = batch->reads->got[batch->next_read].segment_size;
    int taken = segment > 0 ? std::min((length - batch->next_offset) / segment, most) : 0;
    if (taken <= 0) return 0;
    *data = next_bytes(batch);
    *size = segment;
    move_on(batch, length, taken * segment);
    return taken;
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
