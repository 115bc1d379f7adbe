// POSIX sockets giving the effects the layer expects of Winsock.
#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#ifdef __linux__
#include <linux/sock_diag.h>
#endif
#include <netdb.h>
#include <netinet/udp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "arrival_marks.h"
#include "platform.h"

namespace {

// Winsock counts start-ups per process and refuses a cleanup without one.
// POSIX sockets need no start-up, so the count lives here to give the layer
// the same nesting on both platforms.
std::atomic<int> startups{0};

#ifdef SOCK_CLOEXEC
constexpr int socket_type_flags = SOCK_CLOEXEC;
#else
constexpr int socket_type_flags = 0;
#endif

// A peer that went away must come back as a failed send, not as SIGPIPE.
#ifdef MSG_NOSIGNAL
constexpr int send_flags = MSG_NOSIGNAL;
#else
constexpr int send_flags = 0;
#endif

constexpr short readable_events = POLLIN | POLLHUP | POLLERR;
constexpr short writable_events = POLLOUT | POLLHUP | POLLERR;

nfds_t add_poll_entries(pollfd* fds, nfds_t used, const net_select_set* set, short events) {
    if (set == nullptr) return used;
    for (std::uint32_t i = 0; i < set->count; ++i) fds[used++] = pollfd{set->sockets[i], events, 0};
    return used;
}

// Keeps the members whose entries report `events`; returns how many stayed.
int keep_ready_members(net_select_set* set, const pollfd* entries, short events) {
    if (set == nullptr) return 0;
    std::uint32_t kept = 0;
    for (std::uint32_t i = 0; i < set->count; ++i) {
        if (entries[i].revents & events) set->sockets[kept++] = set->sockets[i];
    }
    set->count = kept;
    return static_cast<int>(kept);
}

#ifdef SO_RXQ_OVFL
constexpr bool counts_drops = true;
#else
constexpr bool counts_drops = false;
#endif

// Room for every control message a detailed read may be given, by the
// socket's family; a hop limit, a traffic class and a coalesced read's
// datagram size take an int each at most.
constexpr std::size_t ipv4_control_room = CMSG_SPACE(sizeof(timeval)) + CMSG_SPACE(sizeof(in_pktinfo)) +
                                          CMSG_SPACE(sizeof(std::uint32_t)) + 3 * CMSG_SPACE(sizeof(int));
constexpr std::size_t ipv6_control_room = CMSG_SPACE(sizeof(timeval)) + CMSG_SPACE(sizeof(in6_pktinfo)) +
                                          CMSG_SPACE(sizeof(std::uint32_t)) + 3 * CMSG_SPACE(sizeof(int));

// A read's result as the layer takes it.
int read_result(ssize_t n, int flags, bool truncated) {
    if (n < 0 && (flags & MSG_DONTWAIT) && (errno == EAGAIN || errno == EWOULDBLOCK)) return PLAT_NOTHING_QUEUED;
    // Winsock fails a read whose datagram does not fit, with its own EMSGSIZE; so do we.
    if (truncated) errno = EMSGSIZE;
    if (n < 0 || truncated) return -1;
    return static_cast<int>(n);
}

socklen_t room_of(const int* length) { return length != nullptr ? static_cast<socklen_t>(*length) : 0; }

void set_length(int* length, socklen_t used) {
    if (length != nullptr) *length = static_cast<int>(used);
}

int receive_message(net_socket s, msghdr* message, int flags) {
    ssize_t n;
    do {
        n = recvmsg(s, message, flags);
    } while (n < 0 && errno == EINTR);
    return read_result(n, flags, (message->msg_flags & MSG_TRUNC) != 0);
}

// For streams and datagrams alike: recvmsg tells a datagram cut short.
int receive_bytes(net_socket s, void* buf, int size) {
    iovec part{buf, static_cast<std::size_t>(size)};
    msghdr message{};
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    return receive_message(s, &message, 0);
}

// Messages of one sendmmsg: up to 64 segments each, or one datagram each.
constexpr int batch_messages = 64;
constexpr int segments_per_message = 64;
// A message's segments together stay within the largest IPv4 datagram.
constexpr int segmented_bytes_max = 65507;

#ifdef UDP_SEGMENT
constexpr bool has_segments = true;
constexpr int segment_option = UDP_SEGMENT;
#else
constexpr bool has_segments = false;
constexpr int segment_option = 0;
#endif

// Each message's control block: the segment size, where segments are sent.
struct segment_control {
    alignas(cmsghdr) unsigned char bytes[CMSG_SPACE(sizeof(std::uint16_t))];
};

// Lays out the messages of a batch; returns how many datagrams they hold.
int prepare_batch(mmsghdr* messages, iovec* parts, segment_control* controls, int* message_count,
                  const unsigned char* data, int size, int count, const sockaddr* remote, int length,
                  bool segmented) {
    int per_message = segmented ? std::max(1, std::min(segments_per_message, segmented_bytes_max / size)) : 1;
    int queued = 0;
    int m = 0;
    for (; m < batch_messages && queued < count; ++m) {
        int here = std::min(per_message, count - queued);
        parts[m] = iovec{const_cast<unsigned char*>(data) + std::size_t(queued) * size, std::size_t(here) * size};
        msghdr& header = messages[m].msg_hdr;
        header = msghdr{};
        header.msg_name = const_cast<sockaddr*>(remote);
        header.msg_namelen = static_cast<socklen_t>(length);
        header.msg_iov = &parts[m];
        header.msg_iovlen = 1;
        if (here > 1) {
            header.msg_control = controls[m].bytes;
            header.msg_controllen = sizeof controls[m].bytes;
            cmsghdr* control = CMSG_FIRSTHDR(&header);
            control->cmsg_level = SOL_UDP;
            control->cmsg_type = segment_option;
            control->cmsg_len = CMSG_LEN(sizeof(std::uint16_t));
            auto segment = static_cast<std::uint16_t>(size);
            std::memcpy(CMSG_DATA(control), &segment, sizeof segment);
        }
        queued += here;
    }
    *message_count = m;
    return queued;
}

int batch_failure() {
    if (errno == EAGAIN || errno == EWOULDBLOCK) return PLAT_SOCKET_FULL;
    // No sendmmsg; or a kernel or device that does not cut segments.
    if (errno == ENOSYS || errno == EINVAL || errno == EIO || errno == ENOPROTOOPT) return PLAT_FORM_REFUSED;
    return -1;
}

// Datagrams only, as MSG_TRUNC would discard a stream's bytes. recvfrom, not
// recvmsg: the kernel takes one buffer as it is, with no message header and
// vector to copy in first; under MSG_TRUNC Linux gives a datagram's whole
// length, so one larger than the buffer still shows.
int receive_datagram(net_socket s, void* buf, int size, sockaddr* remote, int* length, int flags) {
    socklen_t room = room_of(length);
    ssize_t n;
    do {
        n = recvfrom(s, buf, static_cast<std::size_t>(size), flags | MSG_TRUNC, remote,
                     remote != nullptr ? &room : nullptr);
    } while (n < 0 && errno == EINTR);
    if (remote != nullptr) set_length(length, room);
    return read_result(n, flags, n > size);
}

int enable(net_socket s, int level, int name) {
    int on = 1;
    return setsockopt(s, level, name, &on, sizeof on);
}

template <typename Value>
Value control_value(cmsghdr* message) {
    Value value;
    std::memcpy(&value, CMSG_DATA(message), sizeof value);
    return value;
}

// An int, but for IPv4's type of service, which Linux gives as one byte.
std::uint8_t control_byte(cmsghdr* message) {
    if (message->cmsg_len < CMSG_LEN(sizeof(int))) return *CMSG_DATA(message);
    return static_cast<std::uint8_t>(control_value<int>(message));
}

void read_control_messages(msghdr* message, plat_details* details) {
    for (cmsghdr* c = CMSG_FIRSTHDR(message); c != nullptr; c = CMSG_NXTHDR(message, c)) {
        if (plat_read_arrival_mark(c, IP_TTL, control_byte(c), details)) continue;
        if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMP) {
            auto arrival = control_value<timeval>(c);
            details->has_time = true;
            details->time_us = static_cast<std::uint64_t>(arrival.tv_sec) * 1000000 +
                               static_cast<std::uint64_t>(arrival.tv_usec);
        } else if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
            details->has_to = true;
            in_addr to = control_value<in_pktinfo>(c).ipi_addr;
            details->to.family = net_family::ipv4;
            std::memcpy(details->to.bytes, &to, 4);
        } else if (c->cmsg_level == IPPROTO_IPV6 && c->cmsg_type == IPV6_PKTINFO) {
            auto info = control_value<in6_pktinfo>(c);
            details->has_to = true;
            details->to.family = net_family::ipv6;
            std::memcpy(details->to.bytes, &info.ipi6_addr, 16);
            if (IN6_IS_ADDR_LINKLOCAL(&info.ipi6_addr)) details->to.scope_id = info.ipi6_ifindex;
#ifdef SO_RXQ_OVFL
        } else if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SO_RXQ_OVFL) {
            details->dropped = control_value<std::uint32_t>(c);
#endif
#ifdef UDP_GRO
        } else if (c->cmsg_level == SOL_UDP && c->cmsg_type == UDP_GRO) {
            details->segment_size = control_value<int>(c);
#endif
        }
    }
}

std::uint64_t microseconds_by(clockid_t clock) {
    timespec now{};
    clock_gettime(clock, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * 1000000 + static_cast<std::uint64_t>(now.tv_nsec) / 1000;
}

std::uint64_t now_us() { return microseconds_by(CLOCK_REALTIME); }

// Room for the control messages of one detailed read.
struct detailed_message {
    alignas(cmsghdr) unsigned char control[ipv6_control_room];
};

// A detailed read's message header for one buffer, the source and the
// control messages going to `details` and `room`.
msghdr detailed_message_header(iovec* part, plat_details* details, detailed_message* room) {
    bool ipv6 = details->family == AF_INET6;
    msghdr message{};
    message.msg_iov = part;
    message.msg_iovlen = 1;
    message.msg_name = &details->remote;
    message.msg_namelen = ipv6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
    message.msg_control = room->control;
    message.msg_controllen = ipv6 ? ipv6_control_room : ipv4_control_room;
    return message;
}

// What the control messages of a read tell; the time of the read where the
// system gave none.
void read_details(msghdr* message, plat_details* details) {
    // The count comes only once the kernel has dropped something.
    details->has_dropped = counts_drops;
    details->dropped = 0;
    details->has_time = false;
    details->has_to = false;
    details->to = net_address{};
    details->has_hop_limit = false;
    details->has_traffic_class = false;
    details->segment_size = 0;
    read_control_messages(message, details);
    if (!details->has_time) {
        details->has_time = true;
        details->time_us = now_us();
    }
}

// Visits each address of each interface until `visit` says it is done.
template <typename Visit>
void visit_interface_addresses(Visit visit) {
    ifaddrs* all = nullptr;
    if (getifaddrs(&all) != 0) return;
    for (const ifaddrs* a = all; a != nullptr; a = a->ifa_next) {
        if (a->ifa_addr != nullptr && visit(a)) break;
    }
    freeifaddrs(all);
}

bool holds(const ifaddrs* entry, const net_address* address) {
    const sockaddr* found = entry->ifa_addr;
    if (address->family == net_family::ipv4 && found->sa_family == AF_INET) {
        return std::memcmp(&reinterpret_cast<const sockaddr_in*>(found)->sin_addr, address->bytes, 4) == 0;
    }
    return address->family == net_family::ipv6 && found->sa_family == AF_INET6 &&
           std::memcmp(&reinterpret_cast<const sockaddr_in6*>(found)->sin6_addr, address->bytes, 16) == 0;
}

}  // namespace

extern "C" {

int plat_last_error() { return errno; }

void plat_error_text(int number, bool from_lookup, char* text, std::size_t room) {
    if (room == 0) return;
    const char* found = from_lookup ? gai_strerror(number) : std::strerror(number);
    std::snprintf(text, room, "%s", found);
}

int plat_startup() {
    startups.fetch_add(1);
    return 0;
}

int plat_cleanup() {
    int held = startups.load();
    while (held > 0 && !startups.compare_exchange_weak(held, held - 1)) {
    }
    return held > 0 ? 0 : -1;
}

net_socket plat_socket(int family, int type, bool multipoint) {
    // Any UDP socket here can join groups: multipoint needs nothing more.
    return socket(family, (multipoint ? SOCK_DGRAM : type) | socket_type_flags, 0);
}

int plat_close(net_socket s) { return close(s); }

int plat_bind(net_socket s, const sockaddr* local, int length) {
    return bind(s, local, static_cast<socklen_t>(length));
}

int plat_listen(net_socket s, int backlog) { return listen(s, backlog); }

net_socket plat_accept(net_socket s, sockaddr* peer, int* length) {
    socklen_t room = room_of(length);
#ifdef SOCK_CLOEXEC
    net_socket accepted = accept4(s, peer, &room, SOCK_CLOEXEC);
#else
    net_socket accepted = accept(s, peer, &room);
#endif
    set_length(length, room);
    return accepted;
}

int plat_connect(net_socket s, const sockaddr* remote, int length) {
    return connect(s, remote, static_cast<socklen_t>(length));
}

int plat_set_nonblocking(net_socket s) {
    int on = 1;
    return ioctl(s, FIONBIO, &on);
}

// ppoll() rather than select(): descriptors above FD_SETSIZE must work too.
int plat_select(net_select_set* readable, net_select_set* writable, std::uint32_t timeout_us) {
    pollfd fds[2 * NET_SELECT_SET_SIZE];
    nfds_t readable_count = add_poll_entries(fds, 0, readable, POLLIN);
    nfds_t total = add_poll_entries(fds, readable_count, writable, POLLOUT);
    // To the microsecond: a paced sender waits here for replies up to just
    // before its next send is due, and poll's milliseconds would overrun it.
    timespec timeout{static_cast<time_t>(timeout_us / 1000000), static_cast<long>(timeout_us % 1000000) * 1000};
    int rc = ppoll(fds, total, &timeout, nullptr);
    if (rc < 0) return -1;
    for (nfds_t i = 0; i < total; ++i) {
        if (fds[i].revents & POLLNVAL) return -1;  // as select() fails on a socket that is not one
    }
    return keep_ready_members(readable, fds, readable_events) +
           keep_ready_members(writable, fds + readable_count, writable_events);
}

int plat_send(net_socket s, const void* data, int len) {
    return static_cast<int>(send(s, data, static_cast<std::size_t>(len), send_flags));
}

int plat_sendto(net_socket s, const void* data, int len, const sockaddr* remote, int length) {
    return static_cast<int>(
        sendto(s, data, static_cast<std::size_t>(len), send_flags, remote, static_cast<socklen_t>(length)));
}

int plat_recv(net_socket s, void* buf, int size) { return receive_bytes(s, buf, size); }

int plat_send_batch(net_socket s, const void* data, int size, int count, const sockaddr* remote, int length,
                    plat_batch_form form) {
    // One datagram goes without a vector of messages for the kernel to copy in.
    if (form == PLAT_BATCH_SINGLE || count == 1) {
        ssize_t sent = sendto(s, data, static_cast<std::size_t>(size), send_flags | MSG_DONTWAIT, remote,
                              static_cast<socklen_t>(length));
        return sent >= 0 ? 1 : errno == EAGAIN || errno == EWOULDBLOCK ? PLAT_SOCKET_FULL : -1;
    }
    if (form == PLAT_BATCH_SEGMENTS && !has_segments) {
        errno = ENOPROTOOPT;
        return PLAT_FORM_REFUSED;
    }
    mmsghdr messages[batch_messages];
    iovec parts[batch_messages];
    segment_control controls[batch_messages];
    int message_count = 0;
    // Empty datagrams cannot be told apart as segments of one buffer: one message each.
    bool segmented = form == PLAT_BATCH_SEGMENTS && size > 0;
    prepare_batch(messages, parts, controls, &message_count, static_cast<const unsigned char*>(data), size, count,
                  remote, length, segmented);
    int sent = sendmmsg(s, messages, static_cast<unsigned>(message_count), send_flags | MSG_DONTWAIT);
    if (sent <= 0) return sent == 0 ? PLAT_SOCKET_FULL : batch_failure();
    int datagrams = 0;
    for (int m = 0; m < sent; ++m) datagrams += segmented ? static_cast<int>(parts[m].iov_len) / size : 1;
    return datagrams;
}

int plat_recvfrom(net_socket s, void* buf, int size, sockaddr* remote, int* length) {
    return receive_datagram(s, buf, size, remote, length, 0);
}

int plat_recv_queued(net_socket s, void* buf, int size, sockaddr* remote, int* length) {
    return receive_datagram(s, buf, size, remote, length, MSG_DONTWAIT);
}

int plat_enable_details(net_socket s, int family, std::uint16_t wanted) {
    bool ipv6 = family == AF_INET6;
    if (((wanted & DGRAM_ARRIVAL_TIMES) && enable(s, SOL_SOCKET, SO_TIMESTAMP) != 0) ||
        ((wanted & DGRAM_DESTINATIONS) &&
         enable(s, ipv6 ? IPPROTO_IPV6 : IPPROTO_IP, ipv6 ? IPV6_RECVPKTINFO : IP_PKTINFO) != 0)) {
        return -1;
    }
#ifdef SO_RXQ_OVFL
    if ((wanted & DGRAM_DROP_COUNTS) && enable(s, SOL_SOCKET, SO_RXQ_OVFL) != 0) return -1;
#endif
    if (!(wanted & DGRAM_MARKS)) return 0;
    // The marks each datagram arrived with, where the system gives them; an
    // IPv6 socket's IPv4 datagrams are told at IPv4's level.
    if (ipv6) {
        enable(s, IPPROTO_IPV6, IPV6_RECVHOPLIMIT);
        enable(s, IPPROTO_IPV6, IPV6_RECVTCLASS);
    }
    enable(s, IPPROTO_IP, IP_RECVTTL);
    enable(s, IPPROTO_IP, IP_RECVTOS);
    return 0;
}

int plat_enable_coalescing(net_socket s) {
#ifdef UDP_GRO
    return enable(s, SOL_UDP, UDP_GRO);
#else
    (void)s;
    errno = ENOPROTOOPT;
    return -1;
#endif
}

int plat_recv_details(net_socket s, void* buf, int size, plat_details* details, bool queued_only) {
    iovec part{buf, static_cast<std::size_t>(size)};
    detailed_message room;
    msghdr message = detailed_message_header(&part, details, &room);
    int n = receive_message(s, &message, queued_only ? MSG_DONTWAIT : 0);
    if (n >= 0) read_details(&message, details);
    return n;
}

#ifdef __linux__
int plat_recv_details_batch(net_socket s, void* buf, int size, int count, int* lengths, plat_details* details) {
    if (count > DGRAM_RECEIVE_BATCH_MAX) count = DGRAM_RECEIVE_BATCH_MAX;
    // Each datagram's vector and control room lie together, so that a small
    // batch touches few pages: each costs a TLB miss after a system call.
    struct vector_and_room {
        iovec part;
        detailed_message room;
    } pieces[DGRAM_RECEIVE_BATCH_MAX];
    mmsghdr messages[DGRAM_RECEIVE_BATCH_MAX];
    for (int i = 0; i < count; ++i) {
        pieces[i].part = iovec{static_cast<char*>(buf) + static_cast<std::ptrdiff_t>(i) * size, static_cast<std::size_t>(size)};
        messages[i] = mmsghdr{detailed_message_header(&pieces[i].part, &details[i], &pieces[i].room), 0};
    }
    int n;
    do {
        n = recvmmsg(s, messages, static_cast<unsigned>(count), MSG_DONTWAIT, nullptr);
    } while (n < 0 && errno == EINTR);
    if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK ? PLAT_NOTHING_QUEUED : -1;
    for (int i = 0; i < n; ++i) {
        bool truncated = (messages[i].msg_hdr.msg_flags & MSG_TRUNC) != 0;
        lengths[i] = truncated ? -1 : static_cast<int>(messages[i].msg_len);
        read_details(&messages[i].msg_hdr, &details[i]);
    }
    return n;
}
#else
int plat_recv_details_batch(net_socket, void*, int, int, int*, plat_details*) { return PLAT_NO_BATCH; }
#endif

int plat_drop_count(net_socket s, std::uint32_t* dropped) {
#ifdef SO_MEMINFO
    std::uint32_t memory[SK_MEMINFO_VARS] = {};
    socklen_t len = sizeof memory;
    if (getsockopt(s, SOL_SOCKET, SO_MEMINFO, memory, &len) != 0 || len <= SK_MEMINFO_DROPS * sizeof memory[0]) {
        return -1;
    }
    *dropped = memory[SK_MEMINFO_DROPS];
    return 0;
#else
    (void)s;
    (void)dropped;
    return -1;
#endif
}

int plat_setsockopt(net_socket s, int level, int name, const void* value, int len) {
    return setsockopt(s, level, name, value, static_cast<socklen_t>(len));
}

int plat_getsockopt(net_socket s, int level, int name, void* value, int* length) {
    socklen_t room = room_of(length);
    int rc = getsockopt(s, level, name, value, &room);
    set_length(length, room);
    return rc;
}

// Linux has path MTU discovery's "do" for IPv4; other systems a plain flag.
int plat_set_dont_fragment(net_socket s, int family) {
    if (family == AF_INET6) return enable(s, IPPROTO_IPV6, IPV6_DONTFRAG);
#ifdef IP_MTU_DISCOVER
    int discover = IP_PMTUDISC_DO;
    return setsockopt(s, IPPROTO_IP, IP_MTU_DISCOVER, &discover, sizeof discover);
#else
    return enable(s, IPPROTO_IP, IP_DONTFRAG);
#endif
}

// Linux takes an index in ip_mreqn, and for a source membership only in
// the protocol-independent group_source_req.
int plat_set_ipv4_by_index(net_socket s, int name, std::uint32_t group, std::uint32_t source, std::uint32_t index) {
    if (name == IP_ADD_SOURCE_MEMBERSHIP || name == IP_DROP_SOURCE_MEMBERSHIP) {
        group_source_req request{};
        request.gsr_interface = index;
        auto* group_address = reinterpret_cast<sockaddr_in*>(&request.gsr_group);
        auto* source_address = reinterpret_cast<sockaddr_in*>(&request.gsr_source);
        group_address->sin_family = source_address->sin_family = AF_INET;
        group_address->sin_addr.s_addr = group;
        source_address->sin_addr.s_addr = source;
        int option = name == IP_ADD_SOURCE_MEMBERSHIP ? MCAST_JOIN_SOURCE_GROUP : MCAST_LEAVE_SOURCE_GROUP;
        return setsockopt(s, IPPROTO_IP, option, &request, sizeof request);
    }
    ip_mreqn request{};
    request.imr_multiaddr.s_addr = group;
    request.imr_ifindex = static_cast<int>(index);
    return setsockopt(s, IPPROTO_IP, name, &request, sizeof request);
}

int plat_getsockname(net_socket s, sockaddr* local, int* length) {
    socklen_t room = room_of(length);
    int rc = getsockname(s, local, &room);
    set_length(length, room);
    return rc;
}

int plat_getpeername(net_socket s, sockaddr* remote, int* length) {
    socklen_t room = room_of(length);
    int rc = getpeername(s, remote, &room);
    set_length(length, room);
    return rc;
}

std::uint32_t plat_inet_addr(const char* text) { return inet_addr(text); }

int plat_lookup_ipv4(const char* name, std::uint32_t* address) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    addrinfo* found = nullptr;
    if (int rc = getaddrinfo(name, nullptr, &hints, &found); rc != 0) return rc;
    std::memcpy(address, &reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr.s_addr,
                sizeof *address);
    freeaddrinfo(found);
    return 0;
}

int plat_lookup_address(const char* name, const addrinfo* hints, addrinfo** found) {
    return getaddrinfo(name, nullptr, hints, found);
}

void plat_free_lookup(addrinfo* found) { freeaddrinfo(found); }

std::uint32_t plat_interface_index(const char* name) { return if_nametoindex(name); }

int plat_interface_name(std::uint32_t index, char* name, std::size_t room) {
    char found[IF_NAMESIZE];
    if (if_indextoname(index, found) == nullptr) return -1;
    std::size_t length = std::strlen(found);
    if (length >= room) return -1;
    std::memcpy(name, found, length + 1);
    return 0;
}

std::uint32_t plat_interface_holding(const net_address* address) {
    std::uint32_t index = 0;
    visit_interface_addresses([&](const ifaddrs* entry) {
        if (holds(entry, address)) index = if_nametoindex(entry->ifa_name);
        return index != 0;
    });
    if (index == 0) errno = EADDRNOTAVAIL;
    return index;
}

std::uint64_t plat_steady_us() { return microseconds_by(CLOCK_MONOTONIC); }

int plat_random(void* to, std::size_t size) {
    ssize_t got = getrandom(to, size, 0);
    return got == static_cast<ssize_t>(size) ? 0 : -1;
}

void* plat_alloc(std::size_t size) { return std::malloc(size); }

void plat_free(void* p) { std::free(p); }
}
