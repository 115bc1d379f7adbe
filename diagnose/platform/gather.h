// Where the evidence comes from: linux.cpp reads the kernel's tables,
// windows.cpp asks IP Helper; each implements the whole list, and each
// record it cannot fill says why in its `unread`.
#pragma once

#include <cstdint>
#include <vector>

#include "diagnose/diagnose.h"

void gather_interfaces(net_family family, std::vector<diag_interface>* interfaces);
int gather_rp_filter_all();
void gather_route(const net_address* to, diag_route* route);
void gather_membership(const net_address* group, diag_membership* membership);
void gather_counters(net_family family, diag_counters* counters);
void gather_firewall(diag_firewall* firewall);
// The index of the interface an -if names (an address it holds, or its
// index); 0 when no interface holds it.
std::uint32_t gather_interface_index(const net_interface* on);

// The raw listener: datagrams of the group and queries, on every interface.
struct gather_listener;
// Null, with `*unread`, where the system does not let one open.
gather_listener* gather_listen(const net_address* group, diag_unread* unread);
// Takes in what came since, without a wait.
void gather_listen_take(gather_listener* listener, diag_heard* heard);
void gather_listen_close(gather_listener* listener);

// Asks the endpoint to tell a datagram's TTL and interface, and how to undo it.
struct gather_arrival_marks {
    int saved[2];
};
void gather_mark_arrivals(net_endpoint* ep, gather_arrival_marks* marks);
void gather_unmark_arrivals(net_endpoint* ep, const gather_arrival_marks* marks);
// The first datagram waiting on `ep`, left there; false when it could not be looked at.
bool gather_peek_arrival(net_endpoint* ep, diag_arrival* arrival);
