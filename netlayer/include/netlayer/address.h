// netlayer's addresses: the address value of either family, the reasons a
// failure carries, the result codes, and parsing, text, resolution and
// interfaces. Values alone, no socket headers: a user that formats or reads
// addresses includes this header alone.
#pragma once

#include <cstddef>
#include <cstdint>

// Result codes. Receive operations return byte counts instead of NET_OK.
constexpr int NET_OK = 0;
constexpr int NET_TIMEOUT = -1;
constexpr int NET_ERROR = -2;
constexpr int NET_BUFFER_FULL = -3;
constexpr int NET_STARTUP_FAILED = -11;
constexpr int NET_NEW_CLIENT = -21;
constexpr int NET_PEER_CLOSED = -22;

// Resolve flags.
constexpr std::uint16_t RESOLVE_PREFER_IPV6 = 1;  // a name's IPv6 address when it has one

enum class net_family : std::uint8_t { none = 0, ipv4 = 4, ipv6 = 6 };

// An address of either family. `none` is "absent"; 0.0.0.0 and :: are
// ordinary addresses (the wildcards when binding).
struct net_address {
    net_family family;
    std::uint8_t bytes[16];  // network order; an IPv4 address in the first four
    std::uint32_t scope_id;  // IPv6 zone (an interface index); 0: none
};

// An address with a port (host order): where a datagram goes, or whence it came.
struct net_address_port {
    net_address address;
    std::uint16_t port;
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

// IPv4 addresses: the first dotted octet is the top byte; 0 means none/any.
std::uint32_t net_make_ipv4(int a, int b, int c, int d);
void net_split_ipv4(int* o1, int* o2, int* o3, int* o4, std::uint32_t ip);
std::uint32_t net_resolve(const char* text);

// A literal: a.b.c.d, an IPv6 address bare or in brackets, with an optional
// %zone (an interface name or number). NET_OK or NET_ERROR.
int net_address_parse(net_address* out, const char* text, net_reason* reason);
// Dotted IPv4 text as net_resolve reads it, or an IPv6 literal as
// net_address_parse takes it, without a lookup; else one lookup of the name
// for either family: its IPv4 address when it has one, else its IPv6 one
// (with RESOLVE_PREFER_IPV6 the other way round). net_resolve takes the
// same road, its lookup for IPv4 alone.
int net_address_resolve(net_address* out, const char* text, std::uint16_t flags, net_reason* reason);
// RFC 5952 text: lower case, the longest run of two or more zero groups
// compressed (the first of equals), an IPv4-mapped address as a.b.c.d, the
// zone as the interface's name where the system gives one that fits, else its
// number. With a port: [addr]:port for IPv6, a.b.c.d:port for IPv4. The
// length written before the zero byte; NET_ERROR when `room` is too small.
int net_address_format(const net_address* address, char* text, std::size_t room);
int net_address_format_port(const net_address_port* address, char* text, std::size_t room);
net_address net_address_from_ipv4(std::uint32_t ip);
// False, leaving `ip` alone, for an address that is not IPv4 (mapped counts as IPv4).
bool net_address_to_ipv4(const net_address* address, std::uint32_t* ip);
// The family it is used as: an IPv4-mapped IPv6 address is IPv4.
net_family net_address_family(const net_address* address);
bool net_address_is_multicast(const net_address* address);  // 224.0.0.0/4, ff00::/8
bool net_address_equal(const net_address* a, const net_address* b);
// An address the interface holds, its name, or its index.
int net_interface_parse(net_interface* out, const char* text, net_reason* reason);
// The system's text for the reason, without a line end.
void net_reason_text(const net_reason* reason, char* text, std::size_t room);

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
    // With DGRAM_STEADY_TIME: microseconds from an arbitrary start, never
    // going back, read as the read that brought it returned. Unlike time_us,
    // it keeps its pace when the calendar clock is set. Defaulted, so that
    // the details written out field by field before it still compile.
    bool has_steady_time = false;
    std::uint64_t steady_us = 0;
};
