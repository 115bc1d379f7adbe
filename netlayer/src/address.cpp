#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "internal.h"
#include "platform.h"

namespace {

using address_query = int (*)(net_socket, sockaddr*, int*);

int query_address(address_query query, const net_endpoint* ep, std::uint32_t* ip, std::uint16_t* port) {
    sockaddr_in found{};
    int length = sizeof found;
    if (query(ep->sock, reinterpret_cast<sockaddr*>(&found), &length) != 0) return NET_ERROR;
    if (port != nullptr) *port = ntohs(found.sin_port);
    if (ip != nullptr) *ip = ntohl(found.sin_addr.s_addr);
    return NET_OK;
}

constexpr std::uint8_t mapped_prefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};

bool is_mapped(const net_address* address) {
    return address->family == net_family::ipv6 && std::memcmp(address->bytes, mapped_prefix, 12) == 0;
}

// The four bytes of an address used as IPv4.
const std::uint8_t* ipv4_bytes(const net_address* address) {
    return address->family == net_family::ipv4 ? address->bytes : address->bytes + 12;
}

bool all_digits(const char* text) {
    if (*text == '\0') return false;
    while (*text != '\0' && *text >= '0' && *text <= '9') ++text;
    return *text == '\0';
}

// An index that does not fit 32 bits is none (0), not the number it wraps to.
std::uint32_t index_of_digits(const char* text) {
    errno = 0;
    unsigned long long value = std::strtoull(text, nullptr, 10);
    return errno == 0 && value <= 0xffffffffu ? static_cast<std::uint32_t>(value) : 0;
}

// The first operations' lookup: IPv4 alone, the entry's first address.
int look_up_ipv4(const char* name, sockaddr_storage* found) {
    std::uint32_t network = 0;
    int rc = plat_lookup_ipv4(name, &network);
    if (rc == 0) *reinterpret_cast<sockaddr_in*>(found) = net_ipv4_sockaddr(ntohl(network), 0);
    return rc;
}

// Either family's address, the one `flags` prefers where the name has both.
int look_up_either(const char* name, std::uint16_t flags, sockaddr_storage* found) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* all = nullptr;
    int rc = plat_lookup_address(name, &hints, &all);
    if (rc != 0) return rc;
    int wanted = (flags & RESOLVE_PREFER_IPV6) != 0 ? AF_INET6 : AF_INET;
    const addrinfo* chosen = all;
    while (chosen != nullptr && chosen->ai_family != wanted) chosen = chosen->ai_next;
    if (chosen == nullptr) chosen = all;  // the other family is all the name has
    std::memcpy(found, chosen->ai_addr, chosen->ai_addrlen);
    plat_free_lookup(all);
    return 0;
}

// A name looked up, holding the socket service only meanwhile.
int look_up(const char* name, bool ipv4_only, std::uint16_t flags, net_address* out, net_reason* reason) {
    if (net_startup() != NET_OK) return net_fail(reason);
    sockaddr_storage found{};
    int rc = ipv4_only ? look_up_ipv4(name, &found) : look_up_either(name, flags, &found);
    // Read before the cleanup, which may leave an error of its own.
    if (rc != 0 && reason != nullptr) {
        *reason = rc == PLAT_LOOKUP_SYSTEM_ERROR ? net_reason{plat_last_error(), false} : net_reason{rc, true};
    }
    net_cleanup();
    if (rc != 0) return NET_ERROR;
    return net_address_of(&found, out, nullptr) ? NET_OK : net_fail_without_call(reason);
}

// The one road from text to an address, for net_resolve (`ipv4_only`) and
// net_address_resolve alike. Dotted text as inet_addr reads it needs no
// lookup; 255.255.255.255, which it reads as INADDR_NONE, goes to the
// lookup as a name, as it always has. An IPv6 literal needs none either.
int resolve(const char* text, bool ipv4_only, std::uint16_t flags, net_address* out, net_reason* reason) {
    std::uint32_t dotted = plat_inet_addr(text);
    if (dotted != INADDR_NONE) {
        *out = net_address_from_ipv4(ntohl(dotted));
        return NET_OK;
    }
    net_address literal{};
    if (!ipv4_only && net_address_parse(&literal, text, nullptr) == NET_OK && literal.family == net_family::ipv6) {
        *out = literal;
        return NET_OK;
    }
    return look_up(text, ipv4_only, flags, out, reason);
}

}  // namespace

int net_fail(net_reason* reason) {
    if (reason != nullptr) *reason = net_reason{plat_last_error(), false};
    return NET_ERROR;
}

int net_fail_without_call(net_reason* reason) {
    if (reason != nullptr) *reason = net_reason{0, false};
    return NET_ERROR;
}

int net_socket_address(const net_address* address, std::uint16_t port, bool ipv6_socket, sockaddr_storage* out) {
    *out = sockaddr_storage{};
    std::uint32_t ip = 0;
    if (!ipv6_socket && net_address_to_ipv4(address, &ip)) {
        *reinterpret_cast<sockaddr_in*>(out) = net_ipv4_sockaddr(ip, port);
        return sizeof(sockaddr_in);
    }
    auto* six = reinterpret_cast<sockaddr_in6*>(out);
    six->sin6_family = AF_INET6;
    six->sin6_port = htons(port);
    if (address->family == net_family::ipv4) {
        std::memcpy(&six->sin6_addr, mapped_prefix, 12);
        std::memcpy(reinterpret_cast<std::uint8_t*>(&six->sin6_addr) + 12, address->bytes, 4);
    } else {
        std::memcpy(&six->sin6_addr, address->bytes, 16);
        six->sin6_scope_id = address->scope_id;
    }
    return sizeof(sockaddr_in6);
}

bool net_address_of(const sockaddr_storage* socket_address, net_address* address, std::uint16_t* port) {
    net_address found{};
    std::uint16_t found_port = 0;
    if (socket_address->ss_family == AF_INET) {
        const auto* four = reinterpret_cast<const sockaddr_in*>(socket_address);
        found = net_address_from_ipv4(ntohl(four->sin_addr.s_addr));
        found_port = ntohs(four->sin_port);
    } else if (socket_address->ss_family == AF_INET6) {
        const auto* six = reinterpret_cast<const sockaddr_in6*>(socket_address);
        found.family = net_family::ipv6;
        std::memcpy(found.bytes, &six->sin6_addr, 16);
        found.scope_id = six->sin6_scope_id;
        found_port = ntohs(six->sin6_port);
        if (is_mapped(&found)) {
            std::uint32_t ip = 0;
            net_address_to_ipv4(&found, &ip);
            found = net_address_from_ipv4(ip);
        }
    } else {
        return false;
    }
    if (address != nullptr) *address = found;
    if (port != nullptr) *port = found_port;
    return true;
}

net_address net_address_from_ipv4(std::uint32_t ip) {
    net_address address{};
    address.family = net_family::ipv4;
    std::uint32_t network = htonl(ip);
    std::memcpy(address.bytes, &network, 4);
    return address;
}

bool net_address_to_ipv4(const net_address* address, std::uint32_t* ip) {
    if (net_address_family(address) != net_family::ipv4) return false;
    std::uint32_t network = 0;
    std::memcpy(&network, ipv4_bytes(address), 4);
    *ip = ntohl(network);
    return true;
}

net_family net_address_family(const net_address* address) {
    return is_mapped(address) ? net_family::ipv4 : address->family;
}

bool net_address_is_multicast(const net_address* address) {
    switch (net_address_family(address)) {
    case net_family::ipv4: return (ipv4_bytes(address)[0] & 0xf0) == 0xe0;
    case net_family::ipv6: return address->bytes[0] == 0xff;
    default: return false;
    }
}

bool net_address_equal(const net_address* a, const net_address* b) {
    net_family family = net_address_family(a);
    if (family != net_address_family(b)) return false;
    if (family == net_family::ipv4) return std::memcmp(ipv4_bytes(a), ipv4_bytes(b), 4) == 0;
    return family == net_family::none || (std::memcmp(a->bytes, b->bytes, 16) == 0 && a->scope_id == b->scope_id);
}

int net_address_resolve(net_address* out, const char* text, std::uint16_t flags, net_reason* reason) {
    return resolve(text, false, flags, out, reason);
}

int net_interface_parse(net_interface* out, const char* text, net_reason* reason) {
    net_interface found{};
    if (net_address_parse(&found.address, text, nullptr) != NET_OK) {
        found.index = all_digits(text) ? index_of_digits(text) : plat_interface_index(text);
        if (found.index == 0) return all_digits(text) ? net_fail_without_call(reason) : net_fail(reason);
    }
    *out = found;
    return NET_OK;
}

void net_reason_text(const net_reason* reason, char* text, std::size_t room) {
    plat_error_text(reason->number, reason->from_lookup, text, room);
}

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
    net_address found{};
    std::uint32_t ip = 0;
    return resolve(text, true, 0, &found, nullptr) == NET_OK && net_address_to_ipv4(&found, &ip) ? ip : 0;
}

int net_local_address(net_endpoint* ep, std::uint32_t* ip, std::uint16_t* port) {
    return query_address(plat_getsockname, ep, ip, port);
}

int net_peer_address(net_endpoint* ep, std::uint32_t* ip, std::uint16_t* port) {
    return query_address(plat_getpeername, ep, ip, port);
}
