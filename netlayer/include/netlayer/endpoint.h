// netlayer's endpoint record: one socket, the flags it was opened with,
// the state it keeps, its select set and the client-chain links.
#pragma once

#include <cstddef>
#include <cstdint>

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
using net_socket = SOCKET;
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
using net_socket = int;
#endif

#include "netlayer/address.h"

// Datagram open flags.
constexpr std::uint16_t DGRAM_BROADCAST = 1;
constexpr std::uint16_t DGRAM_MULTIPOINT = 2;
constexpr std::uint16_t DGRAM_BIND_ADDRESS_ONLY = 4;
// Has the system keep, for each datagram, what dgram_receive_detailed tells:
// its arrival time, destination and drop count, as the three below together.
constexpr std::uint16_t DGRAM_DETAILS = 8;
// An IPv6 endpoint that takes IPv4 datagrams too (IPV6_V6ONLY off); without
// it an IPv6 endpoint takes IPv6 alone, whatever the system's default.
constexpr std::uint16_t DGRAM_DUAL_STACK = 16;
// Shares the port with other sockets (SO_REUSEADDR, set before the bind).
// Linux: every socket must ask for it; each member of a group then gets
// each of the group's datagrams, a unicast one goes to one socket alone.
// Windows: one asking may bind beside a socket that did not, and a unicast
// datagram goes to either, the later one often taking them all from the
// first; a group's datagrams reach every member.
constexpr std::uint16_t DGRAM_REUSE = 256;
// The hop limit and traffic class each datagram arrived with, as details:
// asked for apart, as each is one more message per datagram.
constexpr std::uint16_t DGRAM_MARKS = 512;
// Each of DGRAM_DETAILS's three apart, for a receiver that needs only some:
// the system adds a control message per datagram for each one asked for.
constexpr std::uint16_t DGRAM_ARRIVAL_TIMES = 1024;
constexpr std::uint16_t DGRAM_DESTINATIONS = 2048;
constexpr std::uint16_t DGRAM_DROP_COUNTS = 4096;
// Asks the system to hand over a run of equal datagrams from one source as
// one read (Linux's UDP_GRO), which dgram_receive_batch splits again: the
// other reads would take such a run for one datagram. Where the system
// refuses, the open notes DGRAM_STATE_NO_COALESCING and goes on without.
constexpr std::uint16_t DGRAM_COALESCE = 8192;
// With any of the details: each read reads a clock that no setting of the
// system's time moves, too, for what it brought. Asked for apart, as it is
// one more call per read.
constexpr std::uint16_t DGRAM_STEADY_TIME = 32768;

// What a datagram endpoint learns of itself, kept apart from the flags it
// was opened with. Noted by the open on an IPv6 endpoint: the operations on
// it use IPv6's options.
constexpr std::uint16_t DGRAM_STATE_IPV6 = 1;
// Noted by dgram_send_batch once the system has refused segmented batches,
// and then batches of messages: later batches go in the plainer form at once.
constexpr std::uint16_t DGRAM_STATE_NO_SEGMENTS = 2;
constexpr std::uint16_t DGRAM_STATE_NO_BATCHES = 4;
// Noted by the open where the system refused DGRAM_COALESCE.
constexpr std::uint16_t DGRAM_STATE_NO_COALESCING = 8;

// Stream server flags.
// Keep accepting while clients are connected; without it the server serves
// one client at a time and later connections wait in the backlog.
constexpr std::uint16_t STREAM_KEEP_LISTENING = 1;

constexpr std::uint32_t NET_SELECT_SET_SIZE = 64;

// A counted list of sockets in the shape of Winsock's fd_set: the first
// `count` entries are in use, in the order they were added.
struct net_select_set {
    std::uint32_t count;
    net_socket sockets[NET_SELECT_SET_SIZE];
};

// One socket with the set every wait on it watches. A stream server's
// accepted clients hang off it in a chain: server.next is the newest client,
// each client's next the one accepted before it, prev points back towards
// the server.
struct net_endpoint {
    net_socket sock;
    std::uint16_t flags;  // as opened
    std::uint16_t state;  // DGRAM_STATE_ bits
    net_select_set ready_set;
    net_endpoint* prev;
    net_endpoint* next;
};

// Select sets. Adding to a full set or adding a member again changes nothing.
void set_add(net_select_set* set, net_socket s);
void set_remove(net_select_set* set, net_socket s);
bool set_contains(const net_select_set* set, net_socket s);

// Socket service. Start-ups nest; every endpoint the layer opens holds one.
int net_startup();
int net_cleanup();

// Endpoint records. `type` is SOCK_STREAM or SOCK_DGRAM.
int net_endpoint_create(net_endpoint** out, int type, bool use_multipoint, std::uint16_t flags);
int net_endpoint_close(net_endpoint* ep);
int net_detach_client(net_endpoint* server, net_endpoint* client);

// `size` bytes from the system's cryptographic random source: NET_OK or NET_ERROR.
int net_random(void* to, std::size_t size, net_reason* reason);

// Microseconds from an arbitrary start by a clock that no setting of the
// system's time moves, as the receive details' steady time reads it.
std::uint64_t net_steady_us();
