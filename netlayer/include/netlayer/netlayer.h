// netlayer: datagram and stream endpoints over the platform's sockets.
//
// Every operation that can fail returns a result code; the layer prints
// nothing, keeps no error state and never exits. The first operations take
// IPv4 addresses as host-order numbers; the family-neutral ones beside them
// take a net_address and tell why they failed. Ports are in host byte order;
// time-outs are microseconds.
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

// Result codes. Receive operations return byte counts instead of NET_OK.
constexpr int NET_OK = 0;
constexpr int NET_TIMEOUT = -1;
constexpr int NET_ERROR = -2;
constexpr int NET_BUFFER_FULL = -3;
constexpr int NET_STARTUP_FAILED = -11;
constexpr int NET_NEW_CLIENT = -21;
constexpr int NET_PEER_CLOSED = -22;

// Datagram open flags.
constexpr std::uint16_t DGRAM_BROADCAST = 1;
constexpr std::uint16_t DGRAM_MULTIPOINT = 2;
constexpr std::uint16_t DGRAM_BIND_ADDRESS_ONLY = 4;
// Has the system keep, for each datagram, what dgram_receive_details tells:
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

// Resolve flags.
constexpr std::uint16_t RESOLVE_PREFER_IPV6 = 1;  // a name's IPv6 address when it has one

// Receive flags.
constexpr std::uint16_t RECV_LATEST = 1;      // skip to the newest datagram waiting
constexpr std::uint16_t RECV_ALLOW_FULL = 2;  // a datagram that fills the buffer is data

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

enum class net_family : std::uint8_t { none = 0, ipv4 = 4, ipv6 = 6 };

// An address of either family. `none` is "absent"; 0.0.0.0 and :: are
// ordinary addresses (the wildcards when binding).
struct net_address {
    net_family family;
    std::uint8_t bytes[16];  // network order; an IPv4 address in the first four
    std::uint32_t scope_id;  // IPv6 zone (an interface index); 0: none
};

// Room for any address as text with its zone, brackets, port and the zero byte.
constexpr std::size_t NET_ADDRESS_TEXT_ROOM = 72;

// The system's reason for a failure: what the failing call itself reported.
// Number 0 with from_lookup false: no system call failed (the text was no address).
struct net_reason {
    int number;        // errno / WSAGetLastError(), or a name-lookup code
    bool from_lookup;  // number is getaddrinfo's code (gai_strerror on POSIX)
};

// An interface, named by an address it holds (index 0) or by its index
// (address absent); a name is looked up to its index when parsed.
struct net_interface {
    net_address address;
    std::uint32_t index;
};

// Select sets. Adding to a full set or adding a member again changes nothing.
void set_add(net_select_set* set, net_socket s);
void set_remove(net_select_set* set, net_socket s);
bool set_contains(const net_select_set* set, net_socket s);

// Socket service. Start-ups nest; every endpoint the layer opens holds one.
int net_startup();
int net_cleanup();

// IPv4 addresses: the first dotted octet is the top byte; 0 means none/any.
std::uint32_t net_make_ipv4(int a, int b, int c, int d);
void net_split_ipv4(int* o1, int* o2, int* o3, int* o4, std::uint32_t ip);
std::uint32_t net_resolve(const char* text);
int net_local_address(net_endpoint* ep, std::uint32_t* ip, std::uint16_t* port);
int net_peer_address(net_endpoint* ep, std::uint32_t* ip, std::uint16_t* port);

// A literal: a.b.c.d, an IPv6 address bare or in brackets, with an optional
// %zone (an interface name or number). NET_OK or NET_ERROR.
int net_address_parse(net_address* out, const char* text, net_reason* reason);
// A literal as net_address_parse takes it, without a lookup; else the name's
// IPv4 address when it has one, else its IPv6 one (with RESOLVE_PREFER_IPV6
// the other way round).
int net_address_resolve(net_address* out, const char* text, std::uint16_t flags, net_reason* reason);
// RFC 5952 text: lower case, the longest run of two or more zero groups
// compressed (the first of equals), an IPv4-mapped address as a.b.c.d, the
// zone as the interface's name where the system gives one that fits, else its
// number. With a port: [addr]:port for IPv6, a.b.c.d:port for IPv4. The
// length written before the zero byte; NET_ERROR when `room` is too small.
int net_address_format(const net_address* address, char* text, std::size_t room);
int net_address_format_port(const net_address* address, std::uint16_t port, char* text, std::size_t room);
net_address net_address_from_ipv4(std::uint32_t ip);
// False, leaving `ip` alone, for an address that is not IPv4 (mapped counts as IPv4).
bool net_address_to_ipv4(const net_address* address, std::uint32_t* ip);
// The family it is used as: an IPv4-mapped IPv6 address is IPv4.
net_family net_address_family(const net_address* address);
bool net_address_is_multicast(const net_address* address);  // 224.0.0.0/4, ff00::/8
bool net_address_equal(const net_address* a, const net_address* b);
// An address the interface holds, its name, or its index.
int net_interface_parse(net_interface* out, const char* text, net_reason* reason);
// `size` bytes from the system's cryptographic random source: NET_OK or NET_ERROR.
int net_random(void* to, std::size_t size, net_reason* reason);
// The system's text for the reason, without a line end.
void net_reason_text(const net_reason* reason, char* text, std::size_t room);

// Endpoint records. `type` is SOCK_STREAM or SOCK_DGRAM.
int net_endpoint_create(net_endpoint** out, int type, bool use_multipoint, std::uint16_t flags);
int net_endpoint_close(net_endpoint* ep);
int net_detach_client(net_endpoint* server, net_endpoint* client);

// What a datagram brought beside its bytes. A detail the platform does not
// give is absent, never made up.
struct dgram_details {
    net_address from;
    std::uint16_t from_port;
    bool has_to;
    net_address to;  // the address it was sent to: the group, or a local address
    bool has_time;
    std::uint64_t time_us;  // since 1970-01-01 00:00 UTC: the kernel's arrival time, else the time of the read
    bool has_dropped;
    std::uint32_t dropped;  // datagrams the kernel dropped for this socket so far, its buffer full
    bool has_hop_limit;
    std::uint8_t hop_limit;  // the IPv4 time-to-live or IPv6 hop limit it arrived with
    bool has_traffic_class;
    std::uint8_t traffic_class;  // its IPv4 type of service or IPv6 traffic class byte
};

// Datagram endpoints.
int dgram_open(net_endpoint** out, std::uint32_t local_ip, std::uint16_t port, std::uint16_t flags);
int dgram_open_any(net_endpoint** out, std::uint16_t port, std::uint16_t flags);
int dgram_close(net_endpoint* ep);
int dgram_set_multicast(net_endpoint* ep, int ttl, int loop);
// Time-to-live of the unicast and broadcast datagrams the endpoint sends.
int dgram_set_ttl(net_endpoint* ep, int ttl);
// Time-to-live of its multicast datagrams; 0 keeps them on this host.
int dgram_set_multicast_ttl(net_endpoint* ep, int ttl);
// Its multicast datagrams leave by the interface that holds local address `ip`.
int dgram_set_multicast_interface(net_endpoint* ep, std::uint32_t ip);
int dgram_join_group(net_endpoint* ep, std::uint32_t group);
int dgram_leave_group(net_endpoint* ep, std::uint32_t group);
// Membership on the interface that holds local address `interface_ip` (0: the platform picks).
int dgram_join_group_on(net_endpoint* ep, std::uint32_t group, std::uint32_t interface_ip);
// Membership for datagrams from `source` alone.
int dgram_join_source(net_endpoint* ep, std::uint32_t group, std::uint32_t source, std::uint32_t interface_ip);
int dgram_leave_source(net_endpoint* ep, std::uint32_t group, std::uint32_t source, std::uint32_t interface_ip);
// Asks for a receive buffer of `bytes`; the platform may cap or round it.
int dgram_set_receive_buffer(net_endpoint* ep, int bytes);
// What a receiver of floods asks for: on Linux the largest buffer the system
// grants, as it caps any asking at net.core.rmem_max; Winsock takes any size
// and keeps what waits in memory the whole system shares, so there a bound.
#ifdef __linux__
constexpr int DGRAM_FLOOD_RECEIVE_BUFFER = 2147483647;
#else
constexpr int DGRAM_FLOOD_RECEIVE_BUFFER = 4 << 20;
#endif
int dgram_send_to(net_endpoint* ep, const void* data, int len, std::uint32_t ip, std::uint16_t port,
                  std::uint32_t timeout_us);

// Datagram reception. A datagram that fills the buffer exactly is
// NET_BUFFER_FULL unless RECV_ALLOW_FULL is given; one larger than the
// buffer is NET_ERROR and is consumed. `index` may be null when `n` is 1.
int dgram_wait(net_endpoint* const* eps, int n, int* index, std::uint32_t timeout_us);
int dgram_read(net_endpoint* ep, void* buf, int size, sockaddr_in* from, std::uint16_t flags);
int dgram_receive(net_endpoint* ep, void* buf, int size, std::uint32_t timeout_us, std::uint16_t flags);
int dgram_receive_from(net_endpoint* ep, void* buf, int size, std::uint32_t* ip, std::uint16_t* port,
                       std::uint32_t timeout_us, std::uint16_t flags);
// As dgram_receive_from, with the details: the destination, the time and the
// drops where the endpoint was opened to keep them (DGRAM_DETAILS and the
// like) and the platform gives them.
int dgram_receive_details(net_endpoint* ep, void* buf, int size, dgram_details* details, std::uint32_t timeout_us,
                          std::uint16_t flags);
// The most reads dgram_receive_batch makes at once, and the room for each:
// a whole datagram of either family, or a run of them coalesced.
constexpr int DGRAM_RECEIVE_BATCH_MAX = 64;
constexpr int DGRAM_BATCH_READ_ROOM = 65536;
// What each read of a batch told; the layer's own.
struct dgram_batch_reads;
// Datagrams read many at a time and handed out one by one. Its memory, on
// the heap, comes from dgram_batch_open and goes back with dgram_batch_close.
struct dgram_batch {
    char* bytes;  // DGRAM_RECEIVE_BATCH_MAX reads of DGRAM_BATCH_READ_ROOM bytes
    dgram_batch_reads* reads;
    int count;  // the reads the last receive made
    int next_read;  // where the next datagram to hand out lies
    int next_offset;
};
// NET_OK, or NET_ERROR when no memory is to be had.
int dgram_batch_open(dgram_batch* batch);
void dgram_batch_close(dgram_batch* batch);
// Up to `count` reads of what is queued already, without a wait, each of one
// datagram or, on an endpoint opened with DGRAM_COALESCE, of a run of them.
// The number of reads, NET_TIMEOUT when nothing is queued, or NET_ERROR.
// Linux reads them in one call; elsewhere each call reads one.
int dgram_receive_batch(net_endpoint* ep, dgram_batch* batch, int count, net_reason* reason);
// The next datagram of the batch, a coalesced run split by its datagram
// size (the last may be shorter): its length, its bytes at `*data` and what
// dgram_receive_detailed tells of it at `*details`. NET_ERROR for one larger
// than its room (consumed) or from a source of a family the layer does not
// know; NET_TIMEOUT once all are handed out. The bytes are the caller's to
// change until the next read into the batch.
int dgram_batch_next(dgram_batch* batch, char** data, const dgram_details** details);
// The datagrams the kernel has dropped for the endpoint so far, its buffer
// full, as dgram_details counts them; NET_ERROR where the platform cannot
// tell it apart from a datagram.
int dgram_drop_count(net_endpoint* ep, std::uint32_t* dropped);
int dgram_receive_any(net_endpoint* const* eps, int n, int* index, void* buf, int size, std::uint32_t timeout_us,
                      std::uint16_t flags);

// Family-neutral datagram operations. On an IPv4 endpoint each makes the
// calls its IPv4 counterpart above makes. An IPv6 endpoint sends to an IPv4
// address as IPv4-mapped when it is dual-stack, and hands out mapped sources
// as IPv4. `on` may be null: the platform picks the interface.
// The family is the local address's: 0.0.0.0 or :: for any.
int dgram_open_address(net_endpoint** out, const net_address* local, std::uint16_t port, std::uint16_t flags,
                       net_reason* reason);
int dgram_send_to_address(net_endpoint* ep, const void* data, int len, const net_address* to, std::uint16_t port,
                          std::uint32_t timeout_us, net_reason* reason);
int dgram_receive_from_address(net_endpoint* ep, void* buf, int size, net_address* from, std::uint16_t* port,
                               std::uint32_t timeout_us, std::uint16_t flags, net_reason* reason);
int dgram_receive_detailed(net_endpoint* ep, void* buf, int size, dgram_details* details, std::uint32_t timeout_us,
                           std::uint16_t flags, net_reason* reason);
int dgram_join(net_endpoint* ep, const net_address* group, const net_interface* on, net_reason* reason);
int dgram_leave(net_endpoint* ep, const net_address* group, const net_interface* on, net_reason* reason);
int dgram_join_source_group(net_endpoint* ep, const net_address* group, const net_address* source,
                            const net_interface* on, net_reason* reason);
int dgram_leave_source_group(net_endpoint* ep, const net_address* group, const net_address* source,
                             const net_interface* on, net_reason* reason);
int dgram_set_unicast_hops(net_endpoint* ep, int hops, net_reason* reason);
int dgram_set_multicast_hops(net_endpoint* ep, int hops, net_reason* reason);
int dgram_set_multicast_loop(net_endpoint* ep, bool loop, net_reason* reason);
int dgram_set_outgoing_interface(net_endpoint* ep, const net_interface* on, net_reason* reason);
// Datagrams one dgram_send_batch takes at most.
constexpr int DGRAM_SEND_BATCH_MAX = 1024;
// Sends up to `count` datagrams of `size` bytes each, lying back to back at
// `data`, to one destination, in as few system calls as the platform allows:
// on Linux segments the kernel cuts apart (UDP_SEGMENT) in one sendmmsg,
// else one message a datagram, else one sendto each. The socket is waited on
// only when it has no room, up to `timeout_us`. Returns how many went, the
// first ones and at least one; NET_TIMEOUT when it stayed full; NET_ERROR.
int dgram_send_batch(net_endpoint* ep, const void* data, int size, int count, const net_address* to,
                     std::uint16_t port, std::uint32_t timeout_us, net_reason* reason);
// The receive buffer as the system reports it granted: Linux doubles what
// was asked, for its own bookkeeping, and caps it at net.core.rmem_max.
int dgram_receive_buffer(net_endpoint* ep, int* bytes, net_reason* reason);
// The type of service (IPv4) or traffic class (IPv6) byte of what it sends;
// a dual-stack endpoint sets both. Windows takes it and, unless its policy
// allows, sends 0 all the same.
int dgram_set_traffic_class(net_endpoint* ep, int traffic_class, net_reason* reason);
// Don't fragment: a datagram larger than the path allows fails its send
// (EMSGSIZE, WSAEMSGSIZE) or, once it left, is dropped on the way, never cut.
int dgram_set_dont_fragment(net_endpoint* ep, net_reason* reason);
// Either output may be null.
int dgram_local_address(net_endpoint* ep, net_address* address, std::uint16_t* port, net_reason* reason);

// Stream endpoints. A server owns the clients it accepts: closing it closes
// them, newest first, and closing a client leaves its server open.
int stream_connect(net_endpoint** out, std::uint32_t ip, std::uint16_t port);
int stream_listen(net_endpoint** out, std::uint16_t port, std::uint16_t flags);
int stream_close(net_endpoint* ep);
// A byte count, or NET_PEER_CLOSED once the peer has closed its side.
int stream_receive(net_endpoint* ep, void* buf, int size, std::uint32_t timeout_us);
// All `len` bytes in one send, or NET_ERROR; a short send is not retried.
int stream_send(net_endpoint* ep, const void* data, int len, std::uint32_t timeout_us);
// Accepts a waiting connection (NET_NEW_CLIENT) before it reads from a
// client; otherwise reads from the newest ready client. `client` names the
// client concerned and is left alone when no client is.
int stream_server_poll(net_endpoint* server, net_endpoint** client, void* buf, int size,
                       std::uint32_t timeout_us);
// Wraps connected socket `s` in a client record at the front of the chain;
// the client's close closes `s`. On failure the server is unchanged and `s`
// is still the caller's to close.
int stream_link_client(net_endpoint* server, net_endpoint** client, net_socket s);
// The newest client whose socket is in `set`; NET_ERROR when there is none.
int stream_find_ready_client(net_endpoint* server, net_endpoint** client, const net_select_set* set);
