// The evidence on Windows: what IP Helper tells of routes, adapters and the
// UDP and IP counters. Functions newer than Windows XP are looked up when
// called, so that the programs still start there; what the system does not
// tell (memberships, filters, the wire) stays unread, with its reason.
// Vista's declarations, for GetBestRoute2's types; the function itself is
// looked up, never imported (.ci/check-windows-i686 checks the imports).
#undef _WIN32_WINNT
#define _WIN32_WINNT 0x0600
#undef NTDDI_VERSION
#define NTDDI_VERSION 0x06000000
#include <winsock2.h>
#include <ws2tcpip.h>  // before iphlpapi.h, which declares Vista's functions only after it
#include <iphlpapi.h>
#include <windows.h>

#include <cstdlib>
#include <cstring>

#include "gather.h"

namespace {

IP_ADAPTER_ADDRESSES* list_adapters() {
    ULONG size = 16384;
    for (int attempt = 0; attempt < 3; ++attempt) {
        auto* list = static_cast<IP_ADAPTER_ADDRESSES*>(std::malloc(size));
        if (list == nullptr) return nullptr;
        ULONG rc = GetAdaptersAddresses(AF_UNSPEC, GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST |
                                                       GAA_FLAG_SKIP_DNS_SERVER, nullptr, list, &size);
        if (rc == NO_ERROR) return list;
        std::free(list);
        if (rc != ERROR_BUFFER_OVERFLOW) return nullptr;
    }
    return nullptr;
}

std::uint32_t adapter_index(const IP_ADAPTER_ADDRESSES* adapter, net_family family) {
    return family == net_family::ipv6 || adapter->IfIndex == 0 ? adapter->Ipv6IfIndex : adapter->IfIndex;
}

void put_sockaddr(const net_address* address, SOCKADDR_INET* to) {
    std::memset(to, 0, sizeof *to);
    std::uint32_t ip = 0;
    if (net_address_to_ipv4(address, &ip)) {
        to->Ipv4.sin_family = AF_INET;
        to->Ipv4.sin_addr.s_addr = htonl(ip);
    } else {
        to->Ipv6.sin6_family = AF_INET6;
        std::memcpy(&to->Ipv6.sin6_addr, address->bytes, 16);
        to->Ipv6.sin6_scope_id = address->scope_id;
    }
}

void take_sockaddr(const SOCKADDR_INET* from, net_address* address) {
    *address = net_address{};
    if (from->si_family == AF_INET) {
        address->family = net_family::ipv4;
        std::memcpy(address->bytes, &from->Ipv4.sin_addr, 4);
    } else {
        address->family = net_family::ipv6;
        std::memcpy(address->bytes, &from->Ipv6.sin6_addr, 16);
    }
}

bool is_zero(const net_address* address) {
    for (std::uint8_t b : address->bytes) {
        if (b != 0) return false;
    }
    return true;
}

}  // namespace

void gather_interfaces(net_family family, std::vector<diag_interface>* interfaces) {
    interfaces->clear();
    IP_ADAPTER_ADDRESSES* list = list_adapters();
    for (const IP_ADAPTER_ADDRESSES* a = list; a != nullptr; a = a->Next) {
        diag_interface one{};
        one.index = adapter_index(a, family);
        WideCharToMultiByte(CP_UTF8, 0, a->FriendlyName, -1, one.name, sizeof one.name - 1, nullptr, nullptr);
        one.up = one.running = a->OperStatus == IfOperStatusUp;
        one.multicast = (a->Flags & IP_ADAPTER_NO_MULTICAST) == 0;
        one.loopback = a->IfType == IF_TYPE_SOFTWARE_LOOPBACK;
        one.rp_filter = -1;
        MIB_IFROW row{};
        row.dwIndex = a->IfIndex;
        if (a->IfIndex != 0 && GetIfEntry(&row) == NO_ERROR) {
            one.multicast_counted = true;  // all that is not unicast: broadcasts too
            one.multicast_in = row.dwInNUcastPkts;
        }
        interfaces->push_back(one);
    }
    std::free(list);
}


int gather_rp_filter_all() { return -1; }

void gather_route(const net_address* to, diag_route* route) {
    *route = diag_route{};
    SOCKADDR_INET destination;
    put_sockaddr(to, &destination);
    // Vista and later: the route itself, with its next hop.
    using best_route_2 = decltype(&GetBestRoute2);
    auto find = reinterpret_cast<best_route_2>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"iphlpapi.dll"), "GetBestRoute2")));
    if (find != nullptr) {
        MIB_IPFORWARD_ROW2 best{};
        SOCKADDR_INET source{};
        DWORD rc = find(nullptr, 0, nullptr, &destination, 0, &best, &source);
        route->found = rc == NO_ERROR;
        route->error = rc == NO_ERROR ? 0 : ENETUNREACH;
        if (!route->found) return;
        route->out_index = best.InterfaceIndex;
        take_sockaddr(&best.NextHop, &route->gateway);
        route->has_gateway = !is_zero(&route->gateway);
        return;
    }
    // Windows XP: the interface alone.
    DWORD index = 0;
    DWORD rc = GetBestInterfaceEx(reinterpret_cast<sockaddr*>(&destination), &index);
    route->found = rc == NO_ERROR;
    route->error = rc == NO_ERROR ? 0 : ENETUNREACH;
    route->out_index = index;
}

void gather_membership(const net_address*, diag_membership* membership) {
    *membership = diag_membership{};
    membership->unread = "Windows does not list the groups a host holds";
    membership->sources_unread = membership->unread;
    membership->max_memberships = membership->max_sources = -1;
}

void gather_counters(net_family family, diag_counters* counters) {
    *counters = diag_counters{};
    MIB_UDPSTATS udp{};
    MIB_IPSTATS ip{};
    ULONG af = family == net_family::ipv6 ? AF_INET6 : AF_INET;
    if (GetUdpStatisticsEx(&udp, af) != NO_ERROR || GetIpStatisticsEx(&ip, af) != NO_ERROR) {
        counters->unread = "the system's UDP and IP counters cannot be read";
        return;
    }
    counters->in_multicast = ip.dwInDelivers;
    counters->udp_in = udp.dwInDatagrams;
    counters->udp_no_ports = udp.dwNoPorts;
    // Windows counts a group's datagram without a socket among all others without one.
    counters->udp_ignored_multi = udp.dwNoPorts;
    counters->udp_in_errors = udp.dwInErrors;
}

void gather_firewall(diag_firewall* firewall) {
    *firewall = diag_firewall{};
    firewall->unread = "Windows Firewall's rules are not read: wf.msc, or netsh advfirewall firewall show rule name=all";
}

std::uint32_t gather_interface_index(const net_interface* on) {
    if (on->index != 0) return on->index;
    IP_ADAPTER_ADDRESSES* list = list_adapters();
    std::uint32_t found = 0;
    for (const IP_ADAPTER_ADDRESSES* a = list; a != nullptr && found == 0; a = a->Next) {
        for (const IP_ADAPTER_UNICAST_ADDRESS* u = a->FirstUnicastAddress; u != nullptr && found == 0; u = u->Next) {
            SOCKADDR_INET held{};
            std::memcpy(&held, u->Address.lpSockaddr,
                        static_cast<std::size_t>(u->Address.iSockaddrLength) < sizeof held
                            ? static_cast<std::size_t>(u->Address.iSockaddrLength)
                            : sizeof held);
            net_address address{};
            take_sockaddr(&held, &address);
            if (net_address_equal(&address, &on->address)) found = adapter_index(a, net_address_family(&address));
        }
    }
    std::free(list);
    return found;
}

struct gather_listener {};

gather_listener* gather_listen(const net_address*, diag_unread* unread) {
    *unread = "Windows offers no socket that sees the wire's queries and the group's datagrams";
    return nullptr;
}

void gather_listen_take(gather_listener*, diag_heard*) {}
void gather_listen_close(gather_listener*) {}

void gather_mark_arrivals(net_endpoint*, gather_arrival_marks* marks) { *marks = gather_arrival_marks{}; }
void gather_unmark_arrivals(net_endpoint*, const gather_arrival_marks*) {}

bool gather_peek_arrival(net_endpoint* ep, diag_arrival* arrival) {
    char byte = 0;
    SOCKADDR_INET from{};
    int size = sizeof from;
    int n = recvfrom(ep->sock, &byte, 1, MSG_PEEK, reinterpret_cast<sockaddr*>(&from), &size);
    // A datagram longer than the byte asked for is still there to read.
    if (n < 0 && WSAGetLastError() != WSAEMSGSIZE) return false;
    take_sockaddr(&from, &arrival->from);
    arrival->from_port = ntohs(from.si_family == AF_INET ? from.Ipv4.sin_port : from.Ipv6.sin6_port);
    return true;
}
