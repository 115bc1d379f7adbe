// The layer's only road to the operating system: one system call's worth of
// work per function, in the form Winsock gives it. windows.cpp and posix.cpp
// each implement the whole list; test builds may wrap these symbols to
// inject failures, so they have C linkage and the portable code calls them
// only from other files.
#pragma once

#include <cstddef>
#include <cstdint>

#include "netlayer/netlayer.h"

#ifdef _WIN32
constexpr net_socket PLAT_INVALID_SOCKET = INVALID_SOCKET;
// Winsock's lookup codes are its ordinary error numbers: none means "ask plat_last_error".
constexpr int PLAT_LOOKUP_SYSTEM_ERROR = -1;
// The last error of a call on a non-blocking socket that would have had to wait.
constexpr int PLAT_WOULD_BLOCK = WSAEWOULDBLOCK;
// Winsock's SO_REUSEADDR lets a listener bind a port another socket is
// listening on; a port left by an earlier server's closing connections
// binds without it.
constexpr bool PLAT_LISTENER_REUSE_IS_SAFE = false;
// Winsock puts no cap on a receive buffer that asking could pass.
constexpr int PLAT_RECEIVE_BUFFER_PAST_CAP = SO_RCVBUF;
#else
#include <netdb.h>

#include <cerrno>
constexpr net_socket PLAT_INVALID_SOCKET = -1;
constexpr int PLAT_LOOKUP_SYSTEM_ERROR = EAI_SYSTEM;
constexpr int PLAT_WOULD_BLOCK = EWOULDBLOCK;
// SO_REUSEADDR lets a listener past the closing connections an earlier
// server left on its port, never onto a port another socket listens on.
constexpr bool PLAT_LISTENER_REUSE_IS_SAFE = true;
// The receive buffer asked for past the system's cap (Linux's
// net.core.rmem_max), which only a process trusted with the network's
// settings may; where no system way exists, an ordinary asking.
#ifdef SO_RCVBUFFORCE
constexpr int PLAT_RECEIVE_BUFFER_PAST_CAP = SO_RCVBUFFORCE;
#else
constexpr int PLAT_RECEIVE_BUFFER_PAST_CAP = SO_RCVBUF;
#endif
#endif

// The platform's own results, each one meaning, apart from -1 (a failed
// call, its reason left as the last error) and from the layer's codes.
// What plat_recv_queued gives when no datagram is waiting.
constexpr int PLAT_NOTHING_QUEUED = -101;
// What plat_recv_details_batch gives where the system reads one datagram a call.
constexpr int PLAT_NO_BATCH = -102;

// How plat_send_batch hands its datagrams to the system, fastest first.
enum plat_batch_form {
    PLAT_BATCH_SEGMENTS,  // messages of many equal segments the system cuts apart (UDP_SEGMENT)
    PLAT_BATCH_MESSAGES,  // one message a datagram, many messages a call (sendmmsg)
    PLAT_BATCH_SINGLE,    // one datagram a call
};
// What plat_send_batch gives when the socket has no room for the first datagram.
constexpr int PLAT_SOCKET_FULL = -103;
// What it gives when the system does not take the form (an older kernel, a
// device without segmentation): a plainer form may work.
constexpr int PLAT_FORM_REFUSED = -104;
// Datagrams one plat_send_batch takes at most.
constexpr int PLAT_BATCH_MAX = 1024;

// What a detailed read gives beside the datagram. The caller sets `family`,
// the socket's, for which the read sizes the room it offers the system.
struct plat_details {
    int family;
    sockaddr_storage remote;
    bool has_to;
    net_address to;  // a link-local one with the arriving interface as its zone
    bool has_time;
    std::uint64_t time_us;
    bool has_dropped;
    std::uint32_t dropped;
    bool has_hop_limit;
    std::uint8_t hop_limit;
    bool has_traffic_class;
    std::uint8_t traffic_class;
    int segment_size;  // a coalesced read's datagram size, the last maybe shorter; 0: one datagram
};

extern "C" {

// 0 on success; start-ups nest and each cleanup releases one.
int plat_startup();
int plat_cleanup();

// The number the last failed call of this thread left (errno, WSAGetLastError()).
int plat_last_error();
// The system's text for an error number or, `from_lookup`, a lookup code; no line end.
void plat_error_text(int number, bool from_lookup, char* text, std::size_t room);

// A multipoint socket is a datagram socket that can join groups, whatever `type` says.
// `family` is AF_INET or AF_INET6.
net_socket plat_socket(int family, int type, bool multipoint);
int plat_close(net_socket s);

// Socket addresses go in with their length; coming out, `length` holds the
// room on the way in and the length used on the way out.
int plat_bind(net_socket s, const sockaddr* local, int length);
int plat_listen(net_socket s, int backlog);
net_socket plat_accept(net_socket s, sockaddr* peer, int* length);
int plat_connect(net_socket s, const sockaddr* remote, int length);
// From here on the socket's calls never wait: one that would fails with
// PLAT_WOULD_BLOCK as its last error. A listener's accepted sockets wait
// again on POSIX and not on Windows, which hands the mode on.
int plat_set_nonblocking(net_socket s);

// Waits until a socket of either set is ready, then rewrites both sets to
// their ready members in their order. Returns the number of ready sockets,
// 0 on time-out, negative on failure. Either set may be null.
int plat_select(net_select_set* readable, net_select_set* writable, std::uint32_t timeout_us);

// Counts moved, negative on failure. A datagram larger than the buffer is a
// failure and is consumed.
int plat_send(net_socket s, const void* data, int len);
int plat_sendto(net_socket s, const void* data, int len, const sockaddr* remote, int length);
int plat_recv(net_socket s, void* buf, int size);
// Sends `count` datagrams of `size` bytes each, lying back to back at
// `data`, to `remote`, in one call of `form` that never waits for room.
// Returns how many went (the first ones, at least one), PLAT_SOCKET_FULL,
// PLAT_FORM_REFUSED or -1. Where the system has one form alone (Windows),
// every form sends one datagram as plat_sendto does.
int plat_send_batch(net_socket s, const void* data, int size, int count, const sockaddr* remote, int length,
                    plat_batch_form form);
int plat_recvfrom(net_socket s, void* buf, int size, sockaddr* remote, int* length);
// Reads a datagram only when one is queued already, as plat_recvfrom or,
// with a null `remote`, plat_recv would; PLAT_NOTHING_QUEUED when none is.
// One call on POSIX; Winsock has no per-call non-blocking read, so there it
// is a select() with no wait and the read.
int plat_recv_queued(net_socket s, void* buf, int size, sockaddr* remote, int* length);

// Has the system keep with each datagram of a socket of `family` what it
// can of what `wanted` names: DGRAM_ARRIVAL_TIMES, DGRAM_DESTINATIONS,
// DGRAM_DROP_COUNTS and, where it takes the asking, DGRAM_MARKS (its hop
// limit and traffic class). 0 on success.
int plat_enable_details(net_socket s, int family, std::uint16_t wanted);
// Has the system hand over a run of equal datagrams from one source as one
// read, their size in the read's details (UDP_GRO). 0 on success; -1 where
// the system has no such reads or refuses them.
int plat_enable_coalescing(net_socket s);
// As plat_recv_queued (`queued_only`) or plat_recvfrom, with the details.
// Where the system gives no arrival time, the time of the read stands for
// it. A drop count is only right on a socket plat_enable_details switched
// on: without its message the count is 0.
int plat_recv_details(net_socket s, void* buf, int size, plat_details* details, bool queued_only);
// Up to `count` (at most DGRAM_RECEIVE_BATCH_MAX) datagrams already queued, the
// i-th into `size` bytes at buf + i * size, its length into lengths[i] (-1
// for one cut short) and its details into details[i], whose `family` the
// caller sets. The number read, PLAT_NOTHING_QUEUED, or -1 on failure:
// one recvmmsg on Linux; PLAT_NO_BATCH elsewhere, without a call.
int plat_recv_details_batch(net_socket s, void* buf, int size, int count, int* lengths, plat_details* details);
// The count of datagrams the system has dropped for the socket so far, read
// at any time, not only with a datagram; -1 where the system cannot tell it.
int plat_drop_count(net_socket s, std::uint32_t* dropped);

int plat_setsockopt(net_socket s, int level, int name, const void* value, int len);
// `length` holds the room on the way in and the length used on the way out.
int plat_getsockopt(net_socket s, int level, int name, void* value, int* length);
// Don't fragment for the socket's datagrams of `family` (AF_INET or
// AF_INET6), with the option the system has for it.
int plat_set_dont_fragment(net_socket s, int family);
// Sets IPv4 option `name` (a membership, source membership or IP_MULTICAST_IF)
// for the interface of `index`, in the form the system takes an index in;
// `group` and `source` in network order.
int plat_set_ipv4_by_index(net_socket s, int name, std::uint32_t group, std::uint32_t source, std::uint32_t index);
int plat_getsockname(net_socket s, sockaddr* local, int* length);
int plat_getpeername(net_socket s, sockaddr* remote, int* length);

// Dotted text to a network-order address, INADDR_NONE when it is not one.
std::uint32_t plat_inet_addr(const char* text);
// The lookups answer 0, or the lookup's code: PLAT_LOOKUP_SYSTEM_ERROR when
// plat_last_error tells.
// First IPv4 address of a host name, in network order (gethostbyname on Windows).
int plat_lookup_ipv4(const char* name, std::uint32_t* address);
// A name's addresses as getaddrinfo gives them, to be freed with plat_free_lookup.
int plat_lookup_address(const char* name, const addrinfo* hints, addrinfo** found);
void plat_free_lookup(addrinfo* found);

// Interfaces; 0 is no interface. The name is the one the user names it by
// (on Windows the adapter's friendly name).
std::uint32_t plat_interface_index(const char* name);
// 0 on success; fails also when the name does not fit `room`.
int plat_interface_name(std::uint32_t index, char* name, std::size_t room);
// The index of the interface holding `address`.
std::uint32_t plat_interface_holding(const net_address* address);

// Microseconds from an arbitrary start by a clock that never goes back and
// that setting the system's time does not move.
std::uint64_t plat_steady_us();

// Fills `size` bytes with the system's cryptographic random bytes; 0 on success.
int plat_random(void* to, std::size_t size);

void* plat_alloc(std::size_t size);
void plat_free(void* p);
}
