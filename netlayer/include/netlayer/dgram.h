// netlayer's datagram endpoints: the family-neutral operations, the waits
// and reads, batches of sends and receives.
#pragma once

#include <cstdint>

#include "netlayer/endpoint.h"

// Receive flags.
constexpr std::uint16_t RECV_LATEST = 1;      // skip to the newest datagram waiting
constexpr std::uint16_t RECV_ALLOW_FULL = 2;  // a datagram that fills the buffer is data

int dgram_close(net_endpoint* ep);
// Asks for a receive buffer of `bytes`; the platform may cap or round it.
int dgram_set_receive_buffer(net_endpoint* ep, int bytes);
// The same, past the cap the system puts on asking (net.core.rmem_max on
// Linux), where it lets this process: on Linux one with CAP_NET_ADMIN.
// NET_ERROR, with the system's reason, where it does not. The buffer is
// kernel memory the process holds for as long as datagrams wait in it.
int dgram_force_receive_buffer(net_endpoint* ep, int bytes, net_reason* reason);
// What a receiver of floods asks for: on Linux the largest buffer the system
// grants, as it caps any asking at net.core.rmem_max; Winsock takes any size
// and keeps what waits in memory the whole system shares, so there a bound.
#ifdef __linux__
constexpr int DGRAM_FLOOD_RECEIVE_BUFFER = 2147483647;
#else
constexpr int DGRAM_FLOOD_RECEIVE_BUFFER = 4 << 20;
#endif

// Datagram reception. A datagram that fills the buffer exactly is
// NET_BUFFER_FULL unless RECV_ALLOW_FULL is given; one larger than the
// buffer is NET_ERROR and is consumed. `index` may be null when `n` is 1.
// A failed wait tells why in `reason` where it is given.
int dgram_wait(net_endpoint* const* eps, int n, int* index, std::uint32_t timeout_us);
int dgram_wait(net_endpoint* const* eps, int n, int* index, std::uint32_t timeout_us, net_reason* reason);
int dgram_read(net_endpoint* ep, void* buf, int size, sockaddr_in* from, std::uint16_t flags);
int dgram_receive(net_endpoint* ep, void* buf, int size, std::uint32_t timeout_us, std::uint16_t flags);
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
// More of the coalesced read whose datagram dgram_batch_next handed out
// last, at most `most`: those of its datagram size, one after another from
// `*data`, each `*size` bytes, with that datagram's details. How many; 0
// where the next is none of them (a read's first, or its shorter last). A
// flood's reads hold many, taken so without a call for each.
int dgram_batch_next_run(dgram_batch* batch, int most, char** data, int* size);
// The datagrams the kernel has dropped for the endpoint so far, its buffer
// full, as dgram_details counts them; NET_ERROR where the platform cannot
// tell it apart from a datagram.
int dgram_drop_count(net_endpoint* ep, std::uint32_t* dropped);
int dgram_receive_any(net_endpoint* const* eps, int n, int* index, void* buf, int size, std::uint32_t timeout_us,
                      std::uint16_t flags);

// Family-neutral datagram operations. On an IPv4 endpoint each makes the
// calls its IPv4 counterpart (ipv4.h) makes. An IPv6 endpoint sends to an IPv4
// address as IPv4-mapped when it is dual-stack, and hands out mapped sources
// as IPv4. `on` may be null: the platform picks the interface.
// The family is the local address's: 0.0.0.0 or :: for any.
int dgram_open_address(net_endpoint** out, const net_address* local, std::uint16_t port, std::uint16_t flags,
                       net_reason* reason);
int dgram_send_to_address(net_endpoint* ep, const void* data, int len, const net_address_port* to,
                          std::uint32_t timeout_us, net_reason* reason);
// A datagram with its source and what else the endpoint was opened to keep
// of it (DGRAM_DETAILS and the like), where the platform gives it. Opened
// to keep nothing, it is read as dgram_receive_from reads one, and the
// details hold its source alone.
int dgram_receive_detailed(net_endpoint* ep, void* buf, int size, dgram_details* details, std::uint32_t timeout_us,
                           std::uint16_t flags, net_reason* reason);
// Membership of `group`, for datagrams from `source` alone where it is not null.
int dgram_join(net_endpoint* ep, const net_address* group, const net_address* source, const net_interface* on,
               net_reason* reason);
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
int dgram_send_batch(net_endpoint* ep, const void* data, int size, int count, const net_address_port* to,
                     std::uint32_t timeout_us, net_reason* reason);
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
