// diagnose: why a group does not arrive, or why a send will not reach it.
//
// Two halves. The platform gathers plain evidence records: the kernel's
// memberships, routes, interfaces, counters, firewall rules and what a raw
// listener saw on the wire. The reasoning turns evidence into check lines
// and a verdict; it reads nothing but its records, so that it can be fed
// evidence written by hand.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "netlayer/netlayer.h"

enum class diag_status : std::uint8_t { ok, problem, unknown };

// The likelier a cause, the lower its rank: the verdict names the lowest
// first. A cause that stops the group earlier on its way ranks lower.
enum class diag_rank : std::uint8_t {
    route,
    link,
    membership,
    interface_used,  // not "interface": Windows defines that word
    source,
    rp_filter,
    firewall,
    port,
    delivery,
    buffer,
    ttl,
    querier,
    loop,
    facts,  // ranks nothing: a line that only reports
};

struct diag_check {
    const char* name;  // a short word: "route", "rp_filter"
    diag_status status;
    diag_rank rank;
    std::string sentence;  // the evidence and, for a problem, the fix
};

// ---- Evidence -------------------------------------------------------------

// Why a piece of evidence could not be had ("needs root"); null when it was.
using diag_unread = const char*;

struct diag_interface {
    std::uint32_t index;
    char name[40];
    bool up;
    bool running;  // carrier
    bool multicast;
    bool loopback;
    int rp_filter;  // -1: not read (IPv6, or the system has none)
    bool multicast_counted;
    std::uint64_t multicast_in;  // multicast packets it took in
};

struct diag_route {
    diag_unread unread;
    bool found;  // false: the system has no route (`error` says how it answered)
    int error;
    std::uint32_t out_index;
    bool has_gateway;
    net_address gateway;
};

constexpr int DIAG_LISTED_MAX = 8;

// The group as the kernel holds it, on each interface joined, and the
// sources of a source-specific join.
struct diag_membership {
    diag_unread unread;
    int interface_count;
    std::uint32_t interfaces[DIAG_LISTED_MAX];
    diag_unread sources_unread;
    int source_count;
    net_address sources[DIAG_LISTED_MAX];
    int max_memberships;  // per socket; -1: not read
    int max_sources;
};

// The kernel's counters for the family: a snapshot before and one after the wait.
struct diag_counters {
    diag_unread unread;
    std::uint64_t in_multicast;  // datagrams of groups the host took in
    std::uint64_t udp_in;
    std::uint64_t udp_no_ports;
    std::uint64_t udp_ignored_multi;  // a group's datagram no socket on its port took
    std::uint64_t udp_rcvbuf_errors;
    std::uint64_t udp_in_errors;
    bool rp_filter_counted;  // IPv4 only
    std::uint64_t rp_filter_drops;
};

// A datagram of the group seen on the wire, before any filter of the host.
struct diag_sighting {
    std::uint32_t index;
    net_address source;
    std::uint16_t port;
    std::uint8_t ttl;
    std::uint32_t count;
};

// What the raw listener heard while catchel waited.
struct diag_heard {
    diag_unread unread;
    std::uint32_t queries;  // IGMP or MLD queries
    net_address querier;
    int sighting_count;
    diag_sighting sightings[DIAG_LISTED_MAX];
};

// A rule of a chain that sees arriving datagrams, as the firewall lists it.
struct diag_rule {
    std::string table;  // "inet filter"
    std::string chain;
    std::string text;   // its matches and verdict; "policy drop" for the chain's end
    std::string handle; // empty for a policy
};

struct diag_firewall {
    diag_unread unread;
    std::vector<diag_rule> rules;  // in order, each chain's policy after its rules
};

struct diag_arrival {
    net_address from;
    std::uint16_t from_port;
    bool has_ttl;
    std::uint8_t ttl;
    std::uint32_t index;  // 0: not told
    std::uint64_t after_us;
};

struct diag_receiver {
    net_address group;
    std::uint16_t port;
    std::uint32_t chosen_index;  // -if's interface; 0: none given
    bool source_given;
    net_address source;
    diag_route group_route;
    diag_membership membership;
    std::vector<diag_interface> before;  // interfaces before and after the wait
    std::vector<diag_interface> after;
    int rp_filter_all;  // -1: not read
    diag_counters counters_before;
    diag_counters counters_after;
    diag_heard heard;
    diag_firewall firewall;
    std::uint64_t waited_us;
    bool arrived;
    diag_arrival arrival;
    // The route back to the source checked by rp_filter: -source or the one seen.
    bool way_back_checked;
    net_address way_back_to;
    diag_route way_back;
};

struct diag_sender {
    net_address group;
    bool interface_given;
    const char* interface_text;
    bool interface_found;  // it names an interface the system has, holding the address named
    std::uint32_t interface_index;
    diag_route group_route;
    std::vector<diag_interface> interfaces;
    int ttl;
    bool loop;
    bool loop_given;
};

// ---- Reasoning ------------------------------------------------------------

// The receiver's checks that need no wait: route, membership, limits, link, firewall.
void diag_receiver_first_checks(const diag_receiver* evidence, std::vector<diag_check>* checks);
// Those that judge what the wait showed: arrival, interface, source,
// rp_filter, port, delivery, buffer, querier, ttl.
void diag_receiver_wait_checks(const diag_receiver* evidence, std::vector<diag_check>* checks);
void diag_sender_checks(const diag_sender* evidence, std::vector<diag_check>* checks);
// Of the firewall's rules, the one that drops the group's datagrams to
// `port` as the receiver sees them (null: none found), and whether a rule
// could not be judged.
const diag_rule* diag_firewall_drop(const diag_firewall* firewall, const net_address* group, std::uint16_t port,
                                    const char* in_name, bool* unsure);
// The verdict over all checks: the problems, likeliest first; without one,
// ok with `healthy`, or unknown when that is null (nothing arrived, and no
// check tells why).
diag_check diag_verdict(const std::vector<diag_check>& checks, const char* healthy);

// "<name> <status> <sentence>\n", or with `json` one object:
// {"check":"<name>","status":"<status>","text":"<sentence>"}; the verdict
// as {"verdict":"<status>","causes":[...],"text":"..."}.
std::string diag_line(const diag_check* check, bool json);
std::string diag_verdict_line(const diag_check* verdict, const std::vector<diag_check>& checks, bool json);

// ---- What the programs call ----------------------------------------------

struct diag_receiver_plan {
    net_address group;
    std::uint16_t port;
    const net_interface* on;      // null: -if not given
    const net_address* source;    // null: -source not given
    bool json;
    std::uint64_t wait_us;
};

struct diag_watch;

// Before the join: opens the raw listener where the system lets it, and
// takes the first counters. Null when there is no memory.
diag_watch* diag_watch_start(net_endpoint* ep, const diag_receiver_plan* plan);
// After the join: the first checks, printed at once; then waits up to the
// plan's time for a datagram on `ep`, which it leaves there, and prints the
// rest and the verdict. True when a datagram waits to be read; false once
// the time ran out, or the stop was noted. Frees the watch.
bool diag_watch_run(diag_watch* watch, std::FILE* out, const std::atomic<int>* stop);
// The join failed with the system's `error`: the first checks and the verdict. Frees the watch.
void diag_watch_join_failed(diag_watch* watch, std::FILE* out);

struct diag_sender_plan {
    net_address group;
    const char* interface_text;  // null: -if not given
    const net_interface* on;
    int ttl;
    bool loop;
    bool loop_given;
    bool json;
};

// Gathers the sender's evidence and prints its checks and verdict.
void diag_sender_run(const diag_sender_plan* plan, std::FILE* out);
