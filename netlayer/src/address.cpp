#include <initializer_list>

#include "internal.h"
#include "platform.h"

namespace {

using address_query = int (*)(net_socket, sockaddr_in*);

int query_address(address_query query, const net_endpoint* ep, std::uint32_t* ip, std::uint16_t* port) {
    sockaddr_in found{};
    if (query(ep->sock, &found) != 0) return NET_ERROR;
    if (port != nullptr) *port = ntohs(found.sin_port);
    if (ip != nullptr) *ip = ntohl(found.sin_addr.s_addr);
    return NET_OK;
}

}  // namespace

sockaddr_in net_ipv4_sockaddr(std::uint32_t ip, std::uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(ip);
    return address;
}

std::uint32_t net_make_ipv4(int a, int b, int c, int d) {
    for (int octet : {a, b, c, d}) {
        if (octet < 0 || octet > 255) return 0;
    }
    return static_cast<std::uint32_t>(a) << 24 | static_cast<std::uint32_t>(b) << 16 |
           static_cast<std::uint32_t>(c) << 8 | static_cast<std::uint32_t>(d);
}

void net_split_ipv4(int* o1, int* o2, int* o3, int* o4, std::uint32_t ip) {
    *o1 = static_cast<int>(ip >> 24 & 0xff);
    *o2 = static_cast<int>(ip >> 16 & 0xff);
    *o3 = static_cast<int>(ip >> 8 & 0xff);
    *o4 = static_cast<int>(ip & 0xff);
}

std::uint32_t net_resolve(const char* text) {
    std::uint32_t dotted = plat_inet_addr(text);
    if (dotted != INADDR_NONE) return ntohl(dotted);
    // Only a name lookup needs the socket service.
    if (net_startup() != NET_OK) return 0;
    std::uint32_t found = 0;
    int rc = plat_lookup_ipv4(text, &found);
    net_cleanup();
    return rc == 0 ? ntohl(found) : 0;
}

int net_local_address(net_endpoint* ep, std::uint32_t* ip, std::uint16_t* port) {
    return query_address(plat_getsockname, ep, ip, port);
}

int net_peer_address(net_endpoint* ep, std::uint32_t* ip, std::uint16_t* port) {
    return query_address(plat_getpeername, ep, ip, port);
}
