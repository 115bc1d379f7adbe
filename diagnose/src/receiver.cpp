// Why a group does not reach catchel: each check judges one piece of the
// evidence, and claims a problem only where the evidence shows one.
#include <algorithm>
#include <cstring>
#include <string>

#include "words.h"

namespace {

std::uint64_t rise(std::uint64_t before, std::uint64_t after) { return after > before ? after - before : 0; }

std::string seconds_text(std::uint64_t us) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3f s", static_cast<double>(us) / 1e6);
    return text;
}

// The interface the group is held on: -if's, the kernel's, else the route's.
std::uint32_t joined_index(const diag_receiver* e) {
    if (e->chosen_index != 0) return e->chosen_index;
    if (e->membership.interface_count > 0) return e->membership.interfaces[0];
    return e->group_route.found ? e->group_route.out_index : 0;
}

bool joined_on(const diag_receiver* e, std::uint32_t index) {
    for (int i = 0; i < e->membership.interface_count; ++i) {
        if (e->membership.interfaces[i] == index) return true;
    }
    return e->membership.interface_count == 0 && index == joined_index(e);
}

bool source_allowed(const diag_receiver* e, const net_address* source) {
    return !e->source_given || same_address(&e->source, source);
}

void check_route(const diag_receiver* e, std::vector<diag_check>* checks) {
    std::string group = address_text(&e->group);
    if (e->chosen_index != 0) return;  // -if chose; the route is not asked
    const diag_route& r = e->group_route;
    if (r.unread != nullptr) {
        add_check(checks, "route", diag_status::unknown, diag_rank::route,
                  std::string("the route to ") + group + " cannot be told: " + r.unread + ".");
    } else if (!r.found) {
        add_check(checks, "route", diag_status::problem, diag_rank::route,
                  "no route to " + group + " (" + std::strerror(r.error) +
                      "), so a join without -if has no interface: " + route_command(&e->group, likely_device(e->before)) +
                      ", or catchel -if <interface>");
    } else {
        add_check(checks, "route", diag_status::ok, diag_rank::route,
                  "the route to " + group + " leaves by " + interface_name(e->before, r.out_index) +
                      ", so the join is made there (-if picks another).");
    }
}

void check_membership(const diag_receiver* e, std::vector<diag_check>* checks) {
    const diag_membership& m = e->membership;
    std::string group = address_text(&e->group);
    if (m.unread != nullptr) {
        add_check(checks, "membership", diag_status::unknown, diag_rank::membership, std::string(m.unread) + ".");
        return;
    }
    if (m.interface_count == 0) {
        add_check(checks, "membership", diag_status::problem, diag_rank::membership,
                  "the kernel holds no membership of " + group + " on any interface.");
        return;
    }
    std::string where;
    for (int i = 0; i < m.interface_count; ++i) where += (i ? ", " : "") + interface_name(e->before, m.interfaces[i]);
    std::string sentence = "the kernel holds " + group + " on " + where;
    if (e->source_given) {
        bool listed = false;
        for (int i = 0; i < m.source_count; ++i) listed = listed || same_address(&m.sources[i], &e->source);
        if (m.sources_unread == nullptr && !listed) {
            add_check(checks, "membership", diag_status::problem, diag_rank::membership,
                      sentence + ", but its source filter lacks " + address_text(&e->source) + ".");
            return;
        }
        sentence += " for source " + address_text(&e->source) + " alone";
    }
    add_check(checks, "membership", diag_status::ok, diag_rank::membership, sentence + ".");
    if (m.max_sources >= 0) {
        std::string limits = m.max_memberships >= 0 ? "a socket may join " + std::to_string(m.max_memberships) +
                                                          " groups (igmp_max_memberships) and "
                                                    : "a socket may name ";
        add_check(checks, "limits", diag_status::ok, diag_rank::facts,
                  limits + std::to_string(m.max_sources) + " sources a group (" +
                      (is_ipv6_address(&e->group) ? "mld_max_msf" : "igmp_max_msf") + "); catchel asks for one.");
    }
}

void check_firewall(const diag_receiver* e, std::vector<diag_check>* checks) {
    const diag_firewall& f = e->firewall;
    if (f.unread != nullptr) {
        add_check(checks, "firewall", diag_status::unknown, diag_rank::firewall, std::string(f.unread) + ".");
        return;
    }
    bool unsure = false;
    const diag_interface* in = find_interface(e->before, joined_index(e));
    const diag_rule* drop = diag_firewall_drop(&f, &e->group, e->port, in != nullptr ? in->name : nullptr, &unsure);
    std::string what = "udp to " + address_text(&e->group) + " port " + std::to_string(e->port);
    if (drop != nullptr) {
        std::string fix = drop->handle.empty()
                              ? "nft insert rule " + drop->table + " " + drop->chain + " udp dport " +
                                    std::to_string(e->port) + " accept"
                              : "nft delete rule " + drop->table + " " + drop->chain + " handle " + drop->handle;
        add_check(checks, "firewall", diag_status::problem, diag_rank::firewall,
                  "\"" + drop->text + "\" in " + drop->table + " chain " + drop->chain + " drops " + what + ": " + fix);
    } else if (unsure) {
        add_check(checks, "firewall", diag_status::unknown, diag_rank::firewall,
                  "a rule on the way in cannot be judged for " + what + ": read nft list ruleset.");
    } else {
        add_check(checks, "firewall", diag_status::ok, diag_rank::firewall,
                  "no rule of " + std::to_string(f.rules.size()) + " on the way in drops " + what + ".");
    }
}

// The group's datagrams seen on the wire that catchel should have had.
int sightings_where(const diag_receiver* e, bool on_joined, bool allowed_source, bool right_port) {
    int count = 0;
    for (int i = 0; i < e->heard.sighting_count; ++i) {
        const diag_sighting& s = e->heard.sightings[i];
        if (joined_on(e, s.index) == on_joined && source_allowed(e, &s.source) == allowed_source &&
            (s.port == e->port) == right_port) {
            count += static_cast<int>(s.count);
        }
    }
    return count;
}

const diag_sighting* first_sighting(const diag_receiver* e, bool on_joined) {
    for (int i = 0; i < e->heard.sighting_count; ++i) {
        if (joined_on(e, e->heard.sightings[i].index) == on_joined) return &e->heard.sightings[i];
    }
    return nullptr;
}

void check_arrival(const diag_receiver* e, std::vector<diag_check>* checks) {
    const diag_arrival& a = e->arrival;
    std::string by = a.index != 0 ? " by " + interface_name(e->after, a.index) : "";
    std::string ttl = a.has_ttl ? " with TTL " + std::to_string(a.ttl) + " left" : "";
    add_check(checks, "arrival", diag_status::ok, diag_rank::facts,
              "a datagram from " + address_text(&a.from) + " port " + std::to_string(a.from_port) + " came" + by +
                  ttl + ", " + seconds_text(a.after_us) + " after the join.");
    if (a.has_ttl && a.ttl <= 1) {
        add_check(checks, "ttl", diag_status::ok, diag_rank::facts,
                  "it came with TTL " + std::to_string(a.ttl) +
                      " left: one router more would drop it; a receiver farther away needs a larger TTL (pitchel -ttl).");
    }
}

void check_wire(const diag_receiver* e, std::vector<diag_check>* checks) {
    if (e->heard.unread != nullptr || e->arrived) return;
    if (e->heard.sighting_count == 0) {
        add_check(checks, "wire", diag_status::problem, diag_rank::route,
                  "no datagram of " + address_text(&e->group) + " reached any interface of this host in " +
                      seconds_text(e->waited_us) +
                      ": the sender does not send it here, or a router between does not forward it (its TTL, its "
                      "multicast routing); run pitchel -why on the sender.");
    }
}

void check_interface(const diag_receiver* e, std::vector<diag_check>* checks) {
    std::string joined = interface_name(e->before, joined_index(e));
    if (e->arrived) {
        if (e->arrival.index != 0) {
            add_check(checks, "interface", diag_status::ok, diag_rank::interface_used,
                      "the group came by " + interface_name(e->after, e->arrival.index) + ", where it is joined.");
        }
        return;
    }
    if (e->heard.unread == nullptr) {
        const diag_sighting* elsewhere = first_sighting(e, false);
        if (elsewhere != nullptr && first_sighting(e, true) == nullptr) {
            std::string there = interface_name(e->after, elsewhere->index);
            add_check(checks, "interface", diag_status::problem, diag_rank::interface_used,
                      "joined on " + joined + ", but " + address_text(&e->group) + " arrives on " + there +
                          ": catchel -if " + there + " (or " + route_command(&e->group, there) + ")");
        } else if (first_sighting(e, true) != nullptr) {
            add_check(checks, "interface", diag_status::ok, diag_rank::interface_used,
                      address_text(&e->group) + " arrives on " + joined + ", where it is joined.");
        }
        return;
    }
    // Without the listener only the interfaces' counters tell, and any multicast raises them.
    std::string risen;
    for (const diag_interface& now : e->after) {
        const diag_interface* then = find_interface(e->before, now.index);
        if (then == nullptr || now.loopback || !now.multicast_counted || now.index == joined_index(e)) continue;
        if (std::uint64_t more = rise(then->multicast_in, now.multicast_in)) {
            risen += (risen.empty() ? "" : ", ") + std::string(now.name) + " +" + std::to_string(more);
        }
    }
    if (!risen.empty()) {
        add_check(checks, "interface", diag_status::unknown, diag_rank::interface_used,
                  "joined on " + joined + ", while multicast rose on " + risen + "; " + std::string(e->heard.unread) +
                      " to tell whether it is the group's.");
    }
}

void check_source(const diag_receiver* e, std::vector<diag_check>* checks) {
    if (!e->source_given || e->arrived) return;
    if (e->heard.unread != nullptr) {
        add_check(checks, "source", diag_status::unknown, diag_rank::source,
                  "which sources send " + address_text(&e->group) + ": " + e->heard.unread + ".");
        return;
    }
    for (int i = 0; i < e->heard.sighting_count; ++i) {
        const diag_sighting& s = e->heard.sightings[i];
        if (source_allowed(e, &s.source)) continue;
        if (sightings_where(e, true, true, true) + sightings_where(e, false, true, true) > 0) break;
        add_check(checks, "source", diag_status::problem, diag_rank::source,
                  "joined for source " + address_text(&e->source) + " alone, but " + address_text(&e->group) +
                      " comes from " + address_text(&s.source) + ": catchel -source " + address_text(&s.source));
        return;
    }
}

void check_rp_filter(const diag_receiver* e, std::vector<diag_check>* checks) {
    if (is_ipv6_address(&e->group) || e->arrived) return;
    std::uint32_t in_index = joined_index(e);
    const diag_interface* in = find_interface(e->after, in_index);
    if (in == nullptr || in->rp_filter < 0) return;
    int strictness = in->rp_filter > e->rp_filter_all ? in->rp_filter : e->rp_filter_all;
    std::string name = in->name;
    std::uint64_t dropped = e->counters_after.rp_filter_counted
                                ? rise(e->counters_before.rp_filter_drops, e->counters_after.rp_filter_drops)
                                : 0;
    std::string counted = dropped > 0 ? " (IPReversePathFilter rose by " + std::to_string(dropped) + ")" : "";
    std::string fix = ": sysctl -w net.ipv4.conf.all.rp_filter=2 net.ipv4.conf." + name + ".rp_filter=2";
    std::string setting = "rp_filter " + std::to_string(strictness) + " on " + name;
    if (strictness == 0) {
        add_check(checks, "rp_filter", diag_status::ok, diag_rank::rp_filter, setting + ": no reverse-path filter.");
        return;
    }
    if (e->way_back_checked && e->way_back.unread == nullptr) {
        std::string sender = address_text(&e->way_back_to);
        if (!e->way_back.found) {
            add_check(checks, "rp_filter", diag_status::problem, diag_rank::rp_filter,
                      setting + " drops datagrams from " + sender + ", to which no route leads back" + counted +
                          ": ip route add " + sender + " dev " + name);
            return;
        }
        if (strictness == 1 && e->way_back.out_index != in_index) {
            add_check(checks, "rp_filter", diag_status::problem, diag_rank::rp_filter,
                      setting + " drops datagrams from " + sender + ": the way back to it leaves by " +
                          interface_name(e->after, e->way_back.out_index) + counted + fix);
            return;
        }
        add_check(checks, "rp_filter", diag_status::ok, diag_rank::rp_filter,
                  setting + " lets " + sender + " in: the way back to it leaves by " +
                      interface_name(e->after, e->way_back.out_index) + ".");
        return;
    }
    if (dropped > 0) {
        add_check(checks, "rp_filter", diag_status::problem, diag_rank::rp_filter,
                  setting + " dropped datagrams while catchel waited" + counted +
                      ": the way back to their sender leaves by another interface" + fix);
    } else {
        add_check(checks, "rp_filter", diag_status::ok, diag_rank::rp_filter,
                  setting + ": nothing was dropped by it while catchel waited.");
    }
}

void check_counters(const diag_receiver* e, std::vector<diag_check>* checks) {
    const diag_counters& b = e->counters_before;
    const diag_counters& a = e->counters_after;
    if (a.unread != nullptr) {
        add_check(checks, "port", diag_status::unknown, diag_rank::port, std::string(a.unread) + ".");
        return;
    }
    std::string group = address_text(&e->group);
    std::string port = std::to_string(e->port);
    if (!e->arrived) {
        std::uint64_t ignored = rise(b.udp_ignored_multi, a.udp_ignored_multi);
        const diag_sighting* other_port = nullptr;
        for (int i = 0; i < e->heard.sighting_count; ++i) {
            const diag_sighting& s = e->heard.sightings[i];
            if (s.port != e->port && joined_on(e, s.index) && source_allowed(e, &s.source)) other_port = &s;
        }
        if (other_port != nullptr && sightings_where(e, true, true, true) == 0) {
            std::string theirs = std::to_string(other_port->port);
            add_check(checks, "port", diag_status::problem, diag_rank::port,
                      group + " arrives for port " + theirs + ", not " + port + " (UDP IgnoredMulti rose by " +
                          std::to_string(ignored) + "): catchel " + group + " " + theirs + ", or send to port " + port);
        } else if (ignored > 0 && e->heard.unread != nullptr) {
            add_check(checks, "port", diag_status::unknown, diag_rank::port,
                      "UDP IgnoredMulti rose by " + std::to_string(ignored) +
                          ": datagrams of some group came for a port no socket holds; " + e->heard.unread +
                          " to tell whether they were " + group + "'s.");
        } else if (ignored == 0) {
            add_check(checks, "port", diag_status::ok, diag_rank::port,
                      "no datagram of a group came for a port without a socket (UDP IgnoredMulti).");
        }
        // Said only when no check before it names the cause.
        int delivered = sightings_where(e, true, true, true);
        bool named = std::any_of(checks->begin(), checks->end(),
                                 [](const diag_check& c) { return c.status == diag_status::problem; });
        if (delivered > 0 && !named) {
            add_check(checks, "delivery", diag_status::problem, diag_rank::delivery,
                      std::to_string(delivered) + " datagrams of " + group + " to port " + port +
                          " reached the joined interface, but none reached catchel (IP InMcastPkts rose by " +
                          std::to_string(rise(b.in_multicast, a.in_multicast)) +
                          "): a filter of this host drops them (nft list ruleset, iptables-save).");
        }
    }
    std::uint64_t overflow = rise(b.udp_rcvbuf_errors, a.udp_rcvbuf_errors);
    std::uint64_t errors = rise(b.udp_in_errors, a.udp_in_errors);
    if (overflow > 0 || errors > 0) {
        add_check(checks, "buffer", diag_status::problem, diag_rank::buffer,
                  "UDP RcvbufErrors rose by " + std::to_string(overflow) + " and InErrors by " +
                      std::to_string(errors) +
                      ": a socket's receive buffer overflowed: catchel -rcvbuf 8388608, sysctl -w "
                      "net.core.rmem_max=8388608");
    }
}

void check_querier(const diag_receiver* e, std::vector<diag_check>* checks) {
    const char* kind = is_ipv6_address(&e->group) ? "MLD" : "IGMP";
    if (e->heard.unread != nullptr) {
        add_check(checks, "querier", diag_status::unknown, diag_rank::querier,
                  std::string("whether an ") + kind + " querier asks on the link: " + e->heard.unread + ".");
    } else if (e->heard.queries > 0) {
        add_check(checks, "querier", diag_status::ok, diag_rank::querier,
                  std::string(kind) + " queries came from " + address_text(&e->heard.querier) +
                      ": switches that snoop keep forwarding the group.");
    } else {
        // A querier asks every 125 seconds unless told otherwise.
        bool long_enough = e->waited_us >= 126000000;
        add_check(checks, "querier", long_enough ? diag_status::problem : diag_status::unknown, diag_rank::querier,
                  std::string("no ") + kind + " query came in " + seconds_text(e->waited_us) +
                      (long_enough ? "" : " (a querier asks every 125 s: -w 130 tells)") +
                      "; without a querier, switches that snoop stop forwarding the group after a few minutes: "
                      "enable one on the router or switch (smcroute, a multicast router, the switch's IGMP querier).");
    }
}

}  // namespace

void diag_receiver_first_checks(const diag_receiver* evidence, std::vector<diag_check>* checks) {
    check_route(evidence, checks);
    check_membership(evidence, checks);
    check_link(evidence->before, joined_index(evidence), checks);
    check_firewall(evidence, checks);
}

void diag_receiver_wait_checks(const diag_receiver* evidence, std::vector<diag_check>* checks) {
    if (evidence->arrived) check_arrival(evidence, checks);
    check_wire(evidence, checks);
    check_interface(evidence, checks);
    check_source(evidence, checks);
    check_rp_filter(evidence, checks);
    check_counters(evidence, checks);
    check_querier(evidence, checks);
}
