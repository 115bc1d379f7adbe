// Whether pitchel's datagrams can leave for the group, and how far they go.
#include "words.h"

namespace {

// The interface the datagrams leave by: -if's, else the route's; 0 when neither tells.
std::uint32_t out_index(const diag_sender* e) {
    if (e->interface_given) return e->interface_found ? e->interface_index : 0;
    return e->group_route.found ? e->group_route.out_index : 0;
}

void check_interface(const diag_sender* e, std::vector<diag_check>* checks) {
    if (!e->interface_given) return;
    std::string named = e->interface_text;
    if (!e->interface_found) {
        add_check(checks, "interface", diag_status::problem, diag_rank::interface_used,
                  "-if " + named + " names no interface of this host, nor an address one holds: ip address");
    } else {
        add_check(checks, "interface", diag_status::ok, diag_rank::interface_used,
                  "-if " + named + " is " + interface_name(e->interfaces, e->interface_index) + ".");
    }
}

void check_route(const diag_sender* e, std::vector<diag_check>* checks) {
    std::string group = address_text(&e->group);
    const diag_route& r = e->group_route;
    if (e->interface_given && e->interface_found) {
        add_check(checks, "route", diag_status::ok, diag_rank::route,
                  "-if sends " + group + " out by " + interface_name(e->interfaces, e->interface_index) +
                      ", whatever the routes say.");
    } else if (r.unread != nullptr) {
        add_check(checks, "route", diag_status::unknown, diag_rank::route,
                  std::string("the route to ") + group + " cannot be told: " + r.unread + ".");
    } else if (!r.found) {
        add_check(checks, "route", diag_status::problem, diag_rank::route,
                  "no route to " + group + ": the send fails with \"Network is unreachable\": " +
                      route_command(&e->group, likely_device(e->interfaces)) + ", or pitchel -if <interface>");
    } else {
        std::string via = r.has_gateway ? " by way of " + address_text(&r.gateway) : "";
        add_check(checks, "route", diag_status::ok, diag_rank::route,
                  group + " leaves by " + interface_name(e->interfaces, r.out_index) + via + ".");
    }
}

void check_ttl(const diag_sender* e, std::vector<diag_check>* checks) {
    std::string ttl = "TTL " + std::to_string(e->ttl);
    const diag_route& r = e->group_route;
    bool routed = !(e->interface_given && e->interface_found) && r.unread == nullptr && r.found;
    if (e->ttl == 0) {
        add_check(checks, "ttl", diag_status::ok, diag_rank::ttl, ttl + " keeps the datagrams on this host.");
    } else if (routed && r.has_gateway && e->ttl <= 1) {
        add_check(checks, "ttl", diag_status::problem, diag_rank::ttl,
                  ttl + " will not cross the gateway " + address_text(&r.gateway) + " on the route to " +
                      address_text(&e->group) + ": pitchel -ttl 8 (one more than the routers to cross)");
    } else if (e->ttl <= 1) {
        add_check(checks, "ttl", diag_status::ok, diag_rank::ttl,
                  ttl + ": the datagrams stay on the link they leave by; -ttl to cross routers.");
    } else {
        add_check(checks, "ttl", diag_status::ok, diag_rank::ttl, ttl + ": up to " + std::to_string(e->ttl - 1) +
                                                                       " routers may forward the datagrams.");
    }
}

void check_loop(const diag_sender* e, std::vector<diag_check>* checks) {
    if (!e->loop) {
        add_check(checks, "loop", diag_status::ok, diag_rank::loop,
                  "loopback is off (-loop 0): a receiver on this host gets nothing; -loop 1 if one is expected.");
    } else {
        add_check(checks, "loop", diag_status::ok, diag_rank::loop,
                  std::string("loopback is on") + (e->loop_given ? "" : " (the system's default)") +
                      ": a receiver on this host gets the datagrams too.");
    }
}

}  // namespace

void diag_sender_checks(const diag_sender* evidence, std::vector<diag_check>* checks) {
    check_interface(evidence, checks);
    check_route(evidence, checks);
    if (std::uint32_t index = out_index(evidence)) check_link(evidence->interfaces, index, checks);
    check_ttl(evidence, checks);
    check_loop(evidence, checks);
}
