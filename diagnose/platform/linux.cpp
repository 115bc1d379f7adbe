// The evidence on Linux: /proc and /sys as the kernel writes them, routes
// over rtnetlink, the firewall's rules through nft, and a packet socket
// that sees the group and the queries on every interface (root only).
#include <arpa/inet.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <linux/if_link.h>
#include <linux/rtnetlink.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "gather.h"

namespace {

constexpr std::uint16_t ethertype_ipv4 = 0x0800;
constexpr std::uint16_t ethertype_ipv6 = 0x86DD;
constexpr unsigned iff_up = 0x1, iff_loopback = 0x8, iff_running = 0x40, iff_multicast = 0x1000;

std::string read_text(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

long long read_number(const std::string& path) {
    std::string text = read_text(path);
    if (text.empty()) return -1;
    return std::strtoll(text.c_str(), nullptr, 10);
}

bool is_ipv6(const net_address* address) { return net_address_family(address) == net_family::ipv6; }

// An address as the kernel's tables print it: 32 hexadecimal digits for
// IPv6, 8 in the order given for IPv4.
bool hex_address(const std::string& text, net_family family, bool host_order, net_address* address) {
    *address = net_address{};
    address->family = family;
    if (family == net_family::ipv6) {
        if (text.size() != 32) return false;
        for (int i = 0; i < 16; ++i) {
            address->bytes[i] = static_cast<std::uint8_t>(std::strtoul(text.substr(i * 2, 2).c_str(), nullptr, 16));
        }
        return true;
    }
    std::uint32_t value = static_cast<std::uint32_t>(std::strtoul(text.c_str(), nullptr, 16));
    if (host_order) value = htonl(value);
    std::memcpy(address->bytes, &value, 4);
    return true;
}

// The same address, an IPv4-mapped one taken as plain IPv4.
bool same_address(const net_address* a, const net_address* b) {
    std::uint32_t x = 0, y = 0;
    if (net_address_to_ipv4(a, &x) && net_address_to_ipv4(b, &y)) return x == y;
    return net_address_equal(a, b);
}

// "Name: a b c" followed by "Name: 1 2 3", as /proc/net/snmp and netstat pair them.
bool paired_value(const std::string& text, const std::string& prefix, const std::string& key, std::uint64_t* value) {
    std::istringstream lines(text);
    std::string names, values;
    while (std::getline(lines, names)) {
        if (names.rfind(prefix + ":", 0) != 0 || !std::getline(lines, values)) continue;
        std::istringstream n(names), v(values);
        std::string name, number;
        while (n >> name && v >> number) {
            if (name == key) {
                *value = std::strtoull(number.c_str(), nullptr, 10);
                return true;
            }
        }
    }
    return false;
}

// "Name value" lines, as /proc/net/snmp6 has them.
bool named_value(const std::string& text, const std::string& key, std::uint64_t* value) {
    std::istringstream lines(text);
    std::string name;
    std::uint64_t number = 0;
    while (lines >> name >> number) {
        if (name == key) {
            *value = number;
            return true;
        }
    }
    return false;
}

struct route_request {
    nlmsghdr header;
    rtmsg route;
    char attributes[64];
};

void add_attribute(route_request* request, std::uint16_t type, const void* data, std::size_t size) {
    auto* attribute = reinterpret_cast<rtattr*>(reinterpret_cast<char*>(request) + NLMSG_ALIGN(request->header.nlmsg_len));
    attribute->rta_type = type;
    attribute->rta_len = static_cast<std::uint16_t>(RTA_LENGTH(size));
    std::memcpy(RTA_DATA(attribute), data, size);
    request->header.nlmsg_len = NLMSG_ALIGN(request->header.nlmsg_len) + RTA_ALIGN(attribute->rta_len);
}

void read_route_answer(const char* answer, int size, bool ipv6, diag_route* route) {
    for (auto* header = reinterpret_cast<const nlmsghdr*>(answer); NLMSG_OK(header, static_cast<unsigned>(size));
         header = NLMSG_NEXT(header, size)) {
        if (header->nlmsg_type == NLMSG_ERROR) {
            route->error = -static_cast<const nlmsgerr*>(NLMSG_DATA(header))->error;
            return;
        }
        if (header->nlmsg_type != RTM_NEWROUTE) continue;
        route->found = true;
        const auto* message = static_cast<const rtmsg*>(NLMSG_DATA(header));
        int left = static_cast<int>(RTM_PAYLOAD(header));
        for (const rtattr* a = RTM_RTA(message); RTA_OK(a, left); a = RTA_NEXT(a, left)) {
            if (a->rta_type == RTA_OIF) std::memcpy(&route->out_index, RTA_DATA(a), 4);
            if (a->rta_type == RTA_GATEWAY) {
                route->has_gateway = true;
                route->gateway = net_address{};
                route->gateway.family = ipv6 ? net_family::ipv6 : net_family::ipv4;
                std::memcpy(route->gateway.bytes, RTA_DATA(a), ipv6 ? 16 : 4);
            }
        }
        return;
    }
}

}  // namespace

void gather_interfaces(net_family family, std::vector<diag_interface>* interfaces) {
    interfaces->clear();
    // The links over rtnetlink, as /sys shows them only to a process that
    // mounted it in its own namespace.
    int s = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
    if (s < 0) return;
    struct {
        nlmsghdr header;
        ifinfomsg link;
    } request{};
    request.header.nlmsg_len = NLMSG_LENGTH(sizeof(ifinfomsg));
    request.header.nlmsg_type = RTM_GETLINK;
    request.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    std::vector<char> answer(32768);
    bool done = send(s, &request, request.header.nlmsg_len, 0) < 0;
    while (!done) {
        int size = static_cast<int>(recv(s, answer.data(), answer.size(), 0));
        if (size <= 0) break;
        for (auto* header = reinterpret_cast<const nlmsghdr*>(answer.data());
             NLMSG_OK(header, static_cast<unsigned>(size)); header = NLMSG_NEXT(header, size)) {
            if (header->nlmsg_type == NLMSG_DONE || header->nlmsg_type == NLMSG_ERROR) done = true;
            if (header->nlmsg_type != RTM_NEWLINK) continue;
            const auto* link = static_cast<const ifinfomsg*>(NLMSG_DATA(header));
            diag_interface one{};
            one.index = static_cast<std::uint32_t>(link->ifi_index);
            one.up = (link->ifi_flags & iff_up) != 0;
            one.running = (link->ifi_flags & iff_running) != 0;
            one.multicast = (link->ifi_flags & iff_multicast) != 0;
            one.loopback = (link->ifi_flags & iff_loopback) != 0;
            int left = static_cast<int>(IFLA_PAYLOAD(header));
            for (const rtattr* a = IFLA_RTA(link); RTA_OK(a, left); a = RTA_NEXT(a, left)) {
                if (a->rta_type == IFLA_IFNAME) {
                    std::snprintf(one.name, sizeof one.name, "%s", static_cast<const char*>(RTA_DATA(a)));
                } else if (a->rta_type == IFLA_STATS64 && RTA_PAYLOAD(a) >= sizeof(rtnl_link_stats64)) {
                    rtnl_link_stats64 stats{};
                    std::memcpy(&stats, RTA_DATA(a), sizeof stats);
                    one.multicast_counted = true;
                    one.multicast_in = stats.multicast;
                }
            }
            one.rp_filter = family == net_family::ipv4
                                ? static_cast<int>(read_number(std::string("/proc/sys/net/ipv4/conf/") + one.name +
                                                               "/rp_filter"))
                                : -1;
            interfaces->push_back(one);
        }
    }
    close(s);
}

int gather_rp_filter_all() { return static_cast<int>(read_number("/proc/sys/net/ipv4/conf/all/rp_filter")); }

void gather_route(const net_address* to, diag_route* route) {
    *route = diag_route{};
    bool ipv6 = is_ipv6(to);
    int s = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
    if (s < 0) {
        route->unread = "the routing socket would not open";
        return;
    }
    route_request request{};
    request.header.nlmsg_len = NLMSG_LENGTH(sizeof(rtmsg));
    request.header.nlmsg_type = RTM_GETROUTE;
    request.header.nlmsg_flags = NLM_F_REQUEST;
    request.route.rtm_family = ipv6 ? AF_INET6 : AF_INET;
    request.route.rtm_dst_len = ipv6 ? 128 : 32;
    const std::uint8_t* bytes = to->bytes;
    if (!ipv6 && to->family == net_family::ipv6) bytes += 12;  // mapped
    add_attribute(&request, RTA_DST, bytes, ipv6 ? 16 : 4);
    char answer[4096];
    int got = -1;
    if (send(s, &request, request.header.nlmsg_len, 0) >= 0) got = static_cast<int>(recv(s, answer, sizeof answer, 0));
    close(s);
    if (got <= 0) {
        route->unread = "the routing socket did not answer";
        return;
    }
    read_route_answer(answer, got, ipv6, route);
}

void gather_membership(const net_address* group, diag_membership* membership) {
    *membership = diag_membership{};
    bool ipv6 = is_ipv6(group);
    net_family family = ipv6 ? net_family::ipv6 : net_family::ipv4;
    std::ifstream table(ipv6 ? "/proc/net/igmp6" : "/proc/net/igmp");
    if (!table) membership->unread = ipv6 ? "/proc/net/igmp6 cannot be read" : "/proc/net/igmp cannot be read";
    std::string line;
    std::uint32_t device = 0;
    while (std::getline(table, line)) {
        std::istringstream words(line);
        std::string first, second, third;
        words >> first >> second >> third;
        net_address listed{};
        if (ipv6) {  // "<index> <name> <group> <users> ..."
            device = static_cast<std::uint32_t>(std::strtoul(first.c_str(), nullptr, 10));
            if (!hex_address(third, family, false, &listed)) continue;
        } else if (line.empty() || line[0] != '\t') {  // "<index>\t<name> : <count> <querier>"
            device = static_cast<std::uint32_t>(std::strtoul(first.c_str(), nullptr, 10));
            continue;
        } else if (!hex_address(first, family, false, &listed)) {
            continue;
        }
        if (same_address(&listed, group) && membership->interface_count < DIAG_LISTED_MAX) {
            membership->interfaces[membership->interface_count++] = device;
        }
    }
    // "<index> <name> <group> <source> <include> <exclude>"
    std::ifstream filters(ipv6 ? "/proc/net/mcfilter6" : "/proc/net/mcfilter");
    if (!filters) membership->sources_unread = "the kernel's source filters cannot be read";
    while (std::getline(filters, line)) {
        std::istringstream words(line);
        std::string index, name, listed_group, source;
        long include = 0;
        if (!(words >> index >> name >> listed_group >> source >> include)) continue;
        if (!ipv6 && listed_group.rfind("0x", 0) == 0) listed_group.erase(0, 2), source.erase(0, 2);
        net_address g{}, s{};
        if (!hex_address(listed_group, family, true, &g) || !hex_address(source, family, true, &s)) continue;
        if (!same_address(&g, group) || include == 0 || membership->source_count >= DIAG_LISTED_MAX) continue;
        membership->sources[membership->source_count++] = s;
    }
    membership->max_memberships =
        ipv6 ? -1 : static_cast<int>(read_number("/proc/sys/net/ipv4/igmp_max_memberships"));
    membership->max_sources = static_cast<int>(
        read_number(ipv6 ? "/proc/sys/net/ipv6/mld_max_msf" : "/proc/sys/net/ipv4/igmp_max_msf"));
}

void gather_counters(net_family family, diag_counters* counters) {
    *counters = diag_counters{};
    if (family == net_family::ipv6) {
        std::string text = read_text("/proc/net/snmp6");
        if (text.empty()) counters->unread = "/proc/net/snmp6 cannot be read";
        named_value(text, "Ip6InMcastPkts", &counters->in_multicast);
        named_value(text, "Udp6InDatagrams", &counters->udp_in);
        named_value(text, "Udp6NoPorts", &counters->udp_no_ports);
        named_value(text, "Udp6IgnoredMulti", &counters->udp_ignored_multi);
        named_value(text, "Udp6RcvbufErrors", &counters->udp_rcvbuf_errors);
        named_value(text, "Udp6InErrors", &counters->udp_in_errors);
        return;
    }
    std::string snmp = read_text("/proc/net/snmp");
    std::string netstat = read_text("/proc/net/netstat");
    if (snmp.empty() || netstat.empty()) counters->unread = "/proc/net/snmp or /proc/net/netstat cannot be read";
    paired_value(netstat, "IpExt", "InMcastPkts", &counters->in_multicast);
    paired_value(snmp, "Udp", "InDatagrams", &counters->udp_in);
    paired_value(snmp, "Udp", "NoPorts", &counters->udp_no_ports);
    paired_value(snmp, "Udp", "IgnoredMulti", &counters->udp_ignored_multi);
    paired_value(snmp, "Udp", "RcvbufErrors", &counters->udp_rcvbuf_errors);
    paired_value(snmp, "Udp", "InErrors", &counters->udp_in_errors);
    counters->rp_filter_counted = paired_value(netstat, "TcpExt", "IPReversePathFilter", &counters->rp_filter_drops);
}

void gather_firewall(diag_firewall* firewall) {
    *firewall = diag_firewall{};
    if (geteuid() != 0) {
        firewall->unread = "reading the firewall's rules needs root";
        return;
    }
    // nft -a: each rule ends with its handle, which the fix names.
    std::FILE* listing = popen("nft -a list ruleset 2>/dev/null", "r");
    std::string text;
    char part[4096];
    std::size_t n = 0;
    while (listing != nullptr && (n = std::fread(part, 1, sizeof part, listing)) > 0) text.append(part, n);
    int status = listing != nullptr ? pclose(listing) : -1;
    if (status != 0) {
        firewall->unread = "nft is not installed or would not list the rules";
        return;
    }
    std::istringstream lines(text);
    std::string line, table, chain, policy;
    bool hooked = false;
    auto end_chain = [&] {
        if (hooked && !policy.empty()) firewall->rules.push_back(diag_rule{table, chain, "policy " + policy, ""});
        hooked = false;
        policy.clear();
    };
    while (std::getline(lines, line)) {
        std::size_t start = line.find_first_not_of(" \t");
        if (start == std::string::npos) continue;
        line.erase(0, start);
        std::istringstream words(line);
        std::string word, a, b;
        words >> word;
        if (word == "table" && words >> a >> b) {
            table = a + " " + b;
        } else if (word == "chain" && words >> a) {
            end_chain();
            chain = a;
        } else if (word == "type") {
            // Datagrams for this host pass prerouting and input.
            hooked = line.find("hook input") != std::string::npos || line.find("hook prerouting") != std::string::npos;
            std::size_t at = line.find("policy ");
            policy = at == std::string::npos ? "" : line.substr(at + 7, line.find(';', at) - at - 7);
        } else if (word == "}") {
            end_chain();
        } else if (hooked && word != "comment") {
            std::size_t mark = line.find(" # handle ");
            std::string handle = mark == std::string::npos ? "" : line.substr(mark + 10);
            firewall->rules.push_back(diag_rule{table, chain, line.substr(0, mark), handle});
        }
    }
}

std::uint32_t gather_interface_index(const net_interface* on) {
    if (on->index != 0) return on->index;
    ifaddrs* all = nullptr;
    if (getifaddrs(&all) != 0) return 0;
    std::uint32_t found = 0;
    for (ifaddrs* a = all; a != nullptr && found == 0; a = a->ifa_next) {
        if (a->ifa_addr == nullptr) continue;
        net_address held{};
        if (a->ifa_addr->sa_family == AF_INET) {
            held.family = net_family::ipv4;
            std::memcpy(held.bytes, &reinterpret_cast<const sockaddr_in*>(a->ifa_addr)->sin_addr, 4);
        } else if (a->ifa_addr->sa_family == AF_INET6) {
            held.family = net_family::ipv6;
            std::memcpy(held.bytes, &reinterpret_cast<const sockaddr_in6*>(a->ifa_addr)->sin6_addr, 16);
        } else {
            continue;
        }
        if (same_address(&held, &on->address)) found = if_nametoindex(a->ifa_name);
    }
    freeifaddrs(all);
    return found;
}

struct gather_listener {
    int sock;
    net_address group;
};

gather_listener* gather_listen(const net_address* group, diag_unread* unread) {
    int s = socket(AF_PACKET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, htons(ETH_P_ALL));
    if (s < 0) {
        *unread = errno == EPERM ? "listening on the wire needs root" : "no packet socket would open";
        return nullptr;
    }
    int room = 4 << 20;
    setsockopt(s, SOL_SOCKET, SO_RCVBUF, &room, sizeof room);
    return new gather_listener{s, *group};
}

namespace {

void add_sighting(diag_heard* heard, std::uint32_t index, const net_address* source, std::uint16_t port,
                  std::uint8_t ttl) {
    for (int i = 0; i < heard->sighting_count; ++i) {
        diag_sighting* seen = &heard->sightings[i];
        if (seen->index == index && seen->port == port && net_address_equal(&seen->source, source)) {
            ++seen->count;
            seen->ttl = ttl;
            return;
        }
    }
    if (heard->sighting_count < DIAG_LISTED_MAX) heard->sightings[heard->sighting_count++] = {index, *source, port, ttl, 1};
}

void heard_query(diag_heard* heard, const net_address* querier) {
    ++heard->queries;
    heard->querier = *querier;
}

// An IPv4 packet: a UDP datagram to the group, or an IGMP query (type 0x11).
void take_ipv4(const std::uint8_t* p, std::size_t size, std::uint32_t index, const net_address* group,
               diag_heard* heard) {
    if (size < 20) return;
    std::size_t header = (p[0] & 0x0F) * 4u;
    net_address source{}, to{};
    source.family = to.family = net_family::ipv4;
    std::memcpy(source.bytes, p + 12, 4);
    std::memcpy(to.bytes, p + 16, 4);
    if (p[9] == IPPROTO_IGMP && size > header && p[header] == 0x11) heard_query(heard, &source);
    if (p[9] == IPPROTO_UDP && size >= header + 8 && same_address(&to, group)) {
        add_sighting(heard, index, &source, static_cast<std::uint16_t>(p[header + 2] << 8 | p[header + 3]), p[8]);
    }
}

// An IPv6 packet, past its hop-by-hop options: a UDP datagram to the group,
// or an MLD query (ICMPv6 type 130).
void take_ipv6(const std::uint8_t* p, std::size_t size, std::uint32_t index, const net_address* group,
               diag_heard* heard) {
    if (size < 40) return;
    net_address source{}, to{};
    source.family = to.family = net_family::ipv6;
    std::memcpy(source.bytes, p + 8, 16);
    std::memcpy(to.bytes, p + 24, 16);
    std::uint8_t next = p[6];
    std::size_t at = 40;
    while (next == 0 && size >= at + 8) {
        next = p[at];
        at += (p[at + 1] + 1u) * 8;
    }
    if (next == IPPROTO_ICMPV6 && size > at && p[at] == 130) heard_query(heard, &source);
    if (next == IPPROTO_UDP && size >= at + 8 && same_address(&to, group)) {
        add_sighting(heard, index, &source, static_cast<std::uint16_t>(p[at + 2] << 8 | p[at + 3]), p[7]);
    }
}

}  // namespace

void gather_listen_take(gather_listener* listener, diag_heard* heard) {
    std::uint8_t packet[2048];
    for (;;) {
        sockaddr_ll link{};
        socklen_t size = sizeof link;
        ssize_t n = recvfrom(listener->sock, packet, sizeof packet, 0, reinterpret_cast<sockaddr*>(&link), &size);
        if (n < 0) return;
        if (link.sll_pkttype == PACKET_OUTGOING) continue;
        auto index = static_cast<std::uint32_t>(link.sll_ifindex);
        std::uint16_t type = ntohs(link.sll_protocol);
        if (type == ethertype_ipv4) take_ipv4(packet, static_cast<std::size_t>(n), index, &listener->group, heard);
        if (type == ethertype_ipv6) take_ipv6(packet, static_cast<std::size_t>(n), index, &listener->group, heard);
    }
}

void gather_listen_close(gather_listener* listener) {
    if (listener == nullptr) return;
    close(listener->sock);
    delete listener;
}

namespace {

// The options that make the system tell a datagram's interface and TTL.
struct arrival_option {
    int level;
    int name;
};
arrival_option arrival_options(const net_endpoint* ep, int which) {
    bool ipv6 = (ep->state & DGRAM_STATE_IPV6) != 0;
    if (which == 0) return ipv6 ? arrival_option{IPPROTO_IPV6, IPV6_RECVPKTINFO} : arrival_option{IPPROTO_IP, IP_PKTINFO};
    return ipv6 ? arrival_option{IPPROTO_IPV6, IPV6_RECVHOPLIMIT} : arrival_option{IPPROTO_IP, IP_RECVTTL};
}

}  // namespace

void gather_mark_arrivals(net_endpoint* ep, gather_arrival_marks* marks) {
    for (int i = 0; i < 2; ++i) {
        arrival_option o = arrival_options(ep, i);
        socklen_t size = sizeof marks->saved[i];
        if (getsockopt(ep->sock, o.level, o.name, &marks->saved[i], &size) != 0) marks->saved[i] = 0;
        int on = 1;
        setsockopt(ep->sock, o.level, o.name, &on, sizeof on);
    }
}

void gather_unmark_arrivals(net_endpoint* ep, const gather_arrival_marks* marks) {
    for (int i = 0; i < 2; ++i) {
        arrival_option o = arrival_options(ep, i);
        setsockopt(ep->sock, o.level, o.name, &marks->saved[i], sizeof marks->saved[i]);
    }
}

bool gather_peek_arrival(net_endpoint* ep, diag_arrival* arrival) {
    char byte = 0;
    iovec part{&byte, 1};
    sockaddr_storage from{};
    alignas(cmsghdr) char control[256];
    msghdr message{};
    message.msg_name = &from;
    message.msg_namelen = sizeof from;
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    if (recvmsg(ep->sock, &message, MSG_PEEK | MSG_DONTWAIT) < 0) return false;
    arrival->from = net_address{};
    if (from.ss_family == AF_INET6) {
        const auto* six = reinterpret_cast<const sockaddr_in6*>(&from);
        arrival->from.family = net_family::ipv6;
        std::memcpy(arrival->from.bytes, &six->sin6_addr, 16);
        arrival->from.scope_id = six->sin6_scope_id;
        arrival->from_port = ntohs(six->sin6_port);
    } else {
        const auto* four = reinterpret_cast<const sockaddr_in*>(&from);
        arrival->from.family = net_family::ipv4;
        std::memcpy(arrival->from.bytes, &four->sin_addr, 4);
        arrival->from_port = ntohs(four->sin_port);
    }
    for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
        int value = 0;
        if ((c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_TTL) ||
            (c->cmsg_level == IPPROTO_IPV6 && c->cmsg_type == IPV6_HOPLIMIT)) {
            std::memcpy(&value, CMSG_DATA(c), sizeof value);
            arrival->has_ttl = true;
            arrival->ttl = static_cast<std::uint8_t>(value);
        } else if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
            in_pktinfo info{};
            std::memcpy(&info, CMSG_DATA(c), sizeof info);
            arrival->index = static_cast<std::uint32_t>(info.ipi_ifindex);
        } else if (c->cmsg_level == IPPROTO_IPV6 && c->cmsg_type == IPV6_PKTINFO) {
            in6_pktinfo info{};
            std::memcpy(&info, CMSG_DATA(c), sizeof info);
            arrival->index = info.ipi6_ifindex;
        }
    }
    return true;
}
