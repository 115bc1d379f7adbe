// Winsock 2, called as the layer's users on Windows expect it.
#include <winsock2.h>
#include <iphlpapi.h>
#include <mswsock.h>
#include <windows.h>
#include <ws2tcpip.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>

#include "arrival_marks.h"
#include "platform.h"

static_assert(FD_SETSIZE == NET_SELECT_SET_SIZE, "the select set mirrors Winsock's fd_set");

namespace {

constexpr WORD winsock_version = 2;  // 2.0
constexpr DWORD multipoint_flags =
    WSA_FLAG_OVERLAPPED | WSA_FLAG_MULTIPOINT_C_LEAF | WSA_FLAG_MULTIPOINT_D_LEAF;  // 0x15
// Winsock ignores select()'s first argument; it is given as the set size.
constexpr int select_width = static_cast<int>(NET_SELECT_SET_SIZE);

fd_set* to_fd_set(fd_set* out, const net_select_set* set) {
    if (set == nullptr) return nullptr;
    out->fd_count = set->count;
    for (std::uint32_t i = 0; i < set->count; ++i) out->fd_array[i] = set->sockets[i];
    return out;
}

void from_fd_set(net_select_set* set, const fd_set* in) {
    if (set == nullptr) return;
    set->count = in->fd_count;
    for (std::uint32_t i = 0; i < in->fd_count; ++i) set->sockets[i] = in->fd_array[i];
}

// Greater than 0 when a datagram is queued, 0 when none is, negative on failure.
int queued_datagrams(net_socket s) {
    fd_set ready;
    ready.fd_count = 1;
    ready.fd_array[0] = s;
    timeval no_wait{0, 0};
    return select(select_width, &ready, nullptr, nullptr, &no_wait);
}

// WSARecvMsg is reached only through its provider's function table; the
// pointer is the same for every IPv4 datagram socket, so it is looked up once.
LPFN_WSARECVMSG find_recvmsg(net_socket s) {
    GUID id = WSAID_WSARECVMSG;
    LPFN_WSARECVMSG found = nullptr;
    DWORD length = 0;
    if (WSAIoctl(s, SIO_GET_EXTENSION_FUNCTION_POINTER, &id, sizeof id, &found, sizeof found, &length, nullptr,
                 nullptr) != 0) {
        return nullptr;
    }
    return found;
}

using system_time_reader = void(WINAPI*)(LPFILETIME);

// The precise system time came with Windows 8; before it the ordinary one,
// which moves only on the timer's tick, is the best reading there is.
system_time_reader find_system_time() {
    FARPROC precise = GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "GetSystemTimePreciseAsFileTime");
    if (precise == nullptr) return GetSystemTimeAsFileTime;
    return reinterpret_cast<system_time_reader>(reinterpret_cast<void*>(precise));
}

// Windows gives no arrival time of its own: the time of the read stands for it.
std::uint64_t now_us() {
    constexpr std::uint64_t from_1601_to_1970 = 116444736000000000;  // in 100 ns
    static const system_time_reader read_system_time = find_system_time();
    FILETIME now;
    read_system_time(&now);
    std::uint64_t ticks = std::uint64_t{now.dwHighDateTime} << 32 | now.dwLowDateTime;
    return (ticks - from_1601_to_1970) / 10;
}

// Winsock gives both marks as an int.
std::uint8_t control_byte(WSACMSGHDR* message) {
    INT value = 0;
    std::memcpy(&value, WSA_CMSG_DATA(message), sizeof value);
    return static_cast<std::uint8_t>(value);
}

void read_destination(WSAMSG* message, plat_details* details) {
    for (WSACMSGHDR* c = WSA_CMSG_FIRSTHDR(message); c != nullptr; c = WSA_CMSG_NXTHDR(message, c)) {
        if (plat_read_arrival_mark(c, IP_HOPLIMIT, control_byte(c), details)) continue;
        if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
            IN_PKTINFO info;
            std::memcpy(&info, WSA_CMSG_DATA(c), sizeof info);
            details->has_to = true;
            details->to.family = net_family::ipv4;
            std::memcpy(details->to.bytes, &info.ipi_addr, 4);
        } else if (c->cmsg_level == IPPROTO_IPV6 && c->cmsg_type == IPV6_PKTINFO) {
            IN6_PKTINFO info;
            std::memcpy(&info, WSA_CMSG_DATA(c), sizeof info);
            details->has_to = true;
            details->to.family = net_family::ipv6;
            std::memcpy(details->to.bytes, &info.ipi6_addr, 16);
            if (IN6_IS_ADDR_LINKLOCAL(&info.ipi6_addr)) details->to.scope_id = info.ipi6_ifindex;
        }
    }
}

// The adapters with their addresses, to std::free; null, with
// the reason left for plat_last_error, when the system gives none.
IP_ADAPTER_ADDRESSES* list_adapters() {
    ULONG size = 16384;
    for (int attempt = 0; attempt < 3; ++attempt) {
        auto* list = static_cast<IP_ADAPTER_ADDRESSES*>(std::malloc(size));
        if (list == nullptr) return nullptr;
        ULONG rc = GetAdaptersAddresses(AF_UNSPEC, GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST |
                                                       GAA_FLAG_SKIP_DNS_SERVER, nullptr, list, &size);
        if (rc == NO_ERROR) return list;
        std::free(list);
        WSASetLastError(static_cast<int>(rc));
        if (rc != ERROR_BUFFER_OVERFLOW) return nullptr;
    }
    return nullptr;
}

// Windows XP numbers an adapter apart for each family, later versions alike:
// its IPv4 number where it has one.
std::uint32_t adapter_index(const IP_ADAPTER_ADDRESSES* adapter) {
    return adapter->IfIndex != 0 ? adapter->IfIndex : adapter->Ipv6IfIndex;
}

// The index of the first adapter `matches` takes, or 0.
template <typename Match>
std::uint32_t find_adapter(Match matches) {
    IP_ADAPTER_ADDRESSES* list = list_adapters();
    std::uint32_t index = 0;
    for (const IP_ADAPTER_ADDRESSES* a = list; a != nullptr && index == 0; a = a->Next) {
        if (matches(a)) index = adapter_index(a);
    }
    std::free(list);
    if (list != nullptr && index == 0) WSASetLastError(WSAEADDRNOTAVAIL);
    return index;
}

bool holds(const IP_ADAPTER_ADDRESSES* adapter, const net_address* address) {
    for (const IP_ADAPTER_UNICAST_ADDRESS* u = adapter->FirstUnicastAddress; u != nullptr; u = u->Next) {
        const sockaddr* found = u->Address.lpSockaddr;
        if (address->family == net_family::ipv4 && found->sa_family == AF_INET &&
            std::memcmp(&reinterpret_cast<const sockaddr_in*>(found)->sin_addr, address->bytes, 4) == 0) {
            return true;
        }
        if (address->family == net_family::ipv6 && found->sa_family == AF_INET6 &&
            std::memcmp(&reinterpret_cast<const sockaddr_in6*>(found)->sin6_addr, address->bytes, 16) == 0) {
            return true;
        }
    }
    return false;
}

}  // namespace

extern "C" {

int plat_last_error() { return WSAGetLastError(); }

// Lookup codes are Winsock error numbers: one text for both.
void plat_error_text(int number, bool, char* text, std::size_t room) {
    if (room == 0) return;
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                  static_cast<DWORD>(number), 0, text, static_cast<DWORD>(room), nullptr);
    if (length == 0) {
        std::snprintf(text, room, "Unknown error %d", number);
        return;
    }
    while (length > 0 && (text[length - 1] == '\r' || text[length - 1] == '\n')) text[--length] = '\0';
}

int plat_startup() {
    WSADATA granted;
    return WSAStartup(winsock_version, &granted) == 0 ? 0 : -1;
}

int plat_cleanup() { return WSACleanup(); }

net_socket plat_socket(int family, int type, bool multipoint) {
    if (multipoint) return WSASocketA(family, SOCK_DGRAM, 0, nullptr, 0, multipoint_flags);
    return socket(family, type, 0);
}

int plat_close(net_socket s) { return closesocket(s); }

int plat_bind(net_socket s, const sockaddr* local, int length) { return bind(s, local, length); }

int plat_listen(net_socket s, int backlog) { return listen(s, backlog); }

net_socket plat_accept(net_socket s, sockaddr* peer, int* length) { return accept(s, peer, length); }

int plat_connect(net_socket s, const sockaddr* remote, int length) { return connect(s, remote, length); }

int plat_set_nonblocking(net_socket s) {
    u_long on = 1;
    return ioctlsocket(s, FIONBIO, &on);
}

int plat_select(net_select_set* readable, net_select_set* writable, std::uint32_t timeout_us) {
    fd_set read_copy;
    fd_set write_copy;
    fd_set* read_set = to_fd_set(&read_copy, readable);
    fd_set* write_set = to_fd_set(&write_copy, writable);
    timeval wait{static_cast<long>(timeout_us / 1000000), static_cast<long>(timeout_us % 1000000)};
    int rc = select(select_width, read_set, write_set, nullptr, &wait);
    if (rc < 0) return -1;
    if (read_set) from_fd_set(readable, read_set);
    if (write_set) from_fd_set(writable, write_set);
    return rc;
}

int plat_send(net_socket s, const void* data, int len) {
    return send(s, static_cast<const char*>(data), len, 0);
}

int plat_sendto(net_socket s, const void* data, int len, const sockaddr* remote, int length) {
    return sendto(s, static_cast<const char*>(data), len, 0, remote, length);
}

// Winsock sends one datagram a call; its blocking datagram sockets do not
// wait for room, so no form is refused and the socket is never full.
int plat_send_batch(net_socket s, const void* data, int size, int, const sockaddr* remote, int length,
                    plat_batch_form) {
    return sendto(s, static_cast<const char*>(data), size, 0, remote, length) == size ? 1 : -1;
}

// A datagram larger than the buffer fails with WSAEMSGSIZE, as the layer wants.
int plat_recv(net_socket s, void* buf, int size) { return recv(s, static_cast<char*>(buf), size, 0); }

int plat_recvfrom(net_socket s, void* buf, int size, sockaddr* remote, int* length) {
    return recvfrom(s, static_cast<char*>(buf), size, 0, remote, length);
}

int plat_recv_queued(net_socket s, void* buf, int size, sockaddr* remote, int* length) {
    int rc = queued_datagrams(s);
    if (rc < 0) return -1;
    if (rc == 0) return PLAT_NOTHING_QUEUED;
    return remote != nullptr ? plat_recvfrom(s, buf, size, remote, length) : plat_recv(s, buf, size);
}

// An IPv6 socket is told IPv4 destinations through IP_PKTINFO; one that
// takes IPv6 alone may refuse that option, and needs it not. Winsock keeps
// no arrival time nor drop count to ask for.
int plat_enable_details(net_socket s, int family, std::uint16_t wanted) {
    DWORD on = 1;
    const char* value = reinterpret_cast<const char*>(&on);
    bool ipv6 = family == AF_INET6;
    if (wanted & DGRAM_DESTINATIONS) {
        if (setsockopt(s, ipv6 ? IPPROTO_IPV6 : IPPROTO_IP, ipv6 ? IPV6_PKTINFO : IP_PKTINFO, value, sizeof on) != 0) {
            return -1;
        }
        if (ipv6) setsockopt(s, IPPROTO_IP, IP_PKTINFO, value, sizeof on);
    }
    if (!(wanted & DGRAM_MARKS)) return 0;
    // The hop limit came with Vista, the traffic class with Windows 10:
    // where the system refuses them, the details go without.
    if (ipv6) {
        setsockopt(s, IPPROTO_IPV6, IPV6_HOPLIMIT, value, sizeof on);
        setsockopt(s, IPPROTO_IPV6, IPV6_RECVTCLASS, value, sizeof on);
    }
    setsockopt(s, IPPROTO_IP, IP_HOPLIMIT, value, sizeof on);
    setsockopt(s, IPPROTO_IP, IP_RECVTOS, value, sizeof on);
    return 0;
}

// No drop count: Winsock keeps none per socket.
int plat_recv_details(net_socket s, void* buf, int size, plat_details* details, bool queued_only) {
    static const LPFN_WSARECVMSG recv_message = find_recvmsg(s);
    if (recv_message == nullptr) return -1;
    if (queued_only) {
        int rc = queued_datagrams(s);
        if (rc < 0) return -1;
        if (rc == 0) return PLAT_NOTHING_QUEUED;
    }
    WSABUF data{static_cast<ULONG>(size), static_cast<char*>(buf)};
    bool ipv6 = details->family == AF_INET6;
    // Room for IPv6's messages with IPv4's destination beside them, and two marks.
    constexpr std::size_t marks_room = 2 * WSA_CMSG_SPACE(sizeof(INT));
    alignas(WSACMSGHDR) char control[WSA_CMSG_SPACE(sizeof(IN_PKTINFO)) + WSA_CMSG_SPACE(sizeof(IN6_PKTINFO)) +
                                     marks_room];
    WSAMSG message{};
    message.name = reinterpret_cast<sockaddr*>(&details->remote);
    message.namelen = ipv6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
    message.lpBuffers = &data;
    message.dwBufferCount = 1;
    std::size_t ipv4_room = WSA_CMSG_SPACE(sizeof(IN_PKTINFO)) + marks_room;
    message.Control = WSABUF{static_cast<ULONG>(ipv6 ? sizeof control : ipv4_room), control};
    DWORD received = 0;
    if (recv_message(s, &message, &received, nullptr, nullptr) != 0) return -1;
    details->has_to = false;
    details->to = net_address{};
    details->has_time = true;
    details->time_us = now_us();
    details->has_dropped = false;
    details->dropped = 0;
    details->has_hop_limit = false;
    details->has_traffic_class = false;
    details->segment_size = 0;
    read_destination(&message, details);
    return static_cast<int>(received);
}

// Winsock hands over each datagram apart.
int plat_enable_coalescing(net_socket) {
    WSASetLastError(WSAENOPROTOOPT);
    return -1;
}

// Winsock reads one datagram a call.
int plat_recv_details_batch(net_socket, void*, int, int, int*, plat_details*) { return PLAT_NO_BATCH; }

// Winsock keeps no drop count a program can read.
int plat_drop_count(net_socket, std::uint32_t*) { return -1; }

int plat_setsockopt(net_socket s, int level, int name, const void* value, int len) {
    return setsockopt(s, level, name, static_cast<const char*>(value), len);
}

int plat_getsockopt(net_socket s, int level, int name, void* value, int* length) {
    return getsockopt(s, level, name, static_cast<char*>(value), length);
}

int plat_set_dont_fragment(net_socket s, int family) {
    DWORD on = 1;
    bool ipv6 = family == AF_INET6;
    return setsockopt(s, ipv6 ? IPPROTO_IPV6 : IPPROTO_IP, ipv6 ? IPV6_DONTFRAG : IP_DONTFRAGMENT,
                      reinterpret_cast<const char*>(&on), sizeof on);
}

// Winsock takes an index where an IPv4 address is looked for, as 0.0.0.index.
int plat_set_ipv4_by_index(net_socket s, int name, std::uint32_t group, std::uint32_t source, std::uint32_t index) {
    in_addr by_index{};
    by_index.s_addr = htonl(index);
    if (name == IP_MULTICAST_IF) {
        return setsockopt(s, IPPROTO_IP, name, reinterpret_cast<const char*>(&by_index), sizeof by_index);
    }
    if (name == IP_ADD_SOURCE_MEMBERSHIP || name == IP_DROP_SOURCE_MEMBERSHIP) {
        ip_mreq_source request{};
        request.imr_multiaddr.s_addr = group;
        request.imr_sourceaddr.s_addr = source;
        request.imr_interface = by_index;
        return setsockopt(s, IPPROTO_IP, name, reinterpret_cast<const char*>(&request), sizeof request);
    }
    ip_mreq request{};
    request.imr_multiaddr.s_addr = group;
    request.imr_interface = by_index;
    return setsockopt(s, IPPROTO_IP, name, reinterpret_cast<const char*>(&request), sizeof request);
}

int plat_getsockname(net_socket s, sockaddr* local, int* length) { return getsockname(s, local, length); }

int plat_getpeername(net_socket s, sockaddr* remote, int* length) { return getpeername(s, remote, length); }

std::uint32_t plat_inet_addr(const char* text) { return inet_addr(text); }

int plat_lookup_ipv4(const char* name, std::uint32_t* address) {
    const hostent* entry = gethostbyname(name);
    if (entry == nullptr || entry->h_addr_list[0] == nullptr) return PLAT_LOOKUP_SYSTEM_ERROR;
    std::memcpy(address, entry->h_addr_list[0], sizeof *address);
    return 0;
}

int plat_lookup_address(const char* name, const addrinfo* hints, addrinfo** found) {
    return getaddrinfo(name, nullptr, hints, found);
}

void plat_free_lookup(addrinfo* found) { freeaddrinfo(found); }

// By the friendly name users see, else by the adapter's own name; no
// if_nametoindex, which Windows XP lacks. Names are in the ANSI code page,
// as the programs' arguments come and their output goes.
std::uint32_t plat_interface_index(const char* name) {
    wchar_t wide[256];
    if (MultiByteToWideChar(CP_ACP, 0, name, -1, wide, 256) == 0) wide[0] = L'\0';
    return find_adapter([&](const IP_ADAPTER_ADDRESSES* a) {
        return std::wcscmp(a->FriendlyName, wide) == 0 || std::strcmp(a->AdapterName, name) == 0;
    });
}

int plat_interface_name(std::uint32_t index, char* name, std::size_t room) {
    IP_ADAPTER_ADDRESSES* list = list_adapters();
    int rc = -1;
    for (const IP_ADAPTER_ADDRESSES* a = list; a != nullptr && rc != 0; a = a->Next) {
        if (a->IfIndex != index && a->Ipv6IfIndex != index) continue;
        rc = WideCharToMultiByte(CP_ACP, 0, a->FriendlyName, -1, name, static_cast<int>(room), nullptr, nullptr) > 0
                 ? 0
                 : -1;
    }
    std::free(list);
    return rc;
}

std::uint32_t plat_interface_holding(const net_address* address) {
    return find_adapter([&](const IP_ADAPTER_ADDRESSES* a) { return holds(a, address); });
}

// The performance counter: steady, and there since Windows 2000. In whole
// seconds first, so that counts times a million do not overflow.
std::uint64_t plat_steady_us() {
    static const std::uint64_t per_second = [] {
        LARGE_INTEGER frequency;
        QueryPerformanceFrequency(&frequency);
        return static_cast<std::uint64_t>(frequency.QuadPart);
    }();
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    auto count = static_cast<std::uint64_t>(now.QuadPart);
    return count / per_second * 1000000 + count % per_second * 1000000 / per_second;
}

// RtlGenRandom, exported by advapi32 under this name since Windows XP; the
// system's cryptographic generator without the CryptoAPI's provider set-up.
extern "C" BOOLEAN WINAPI SystemFunction036(PVOID buffer, ULONG length);

int plat_random(void* to, std::size_t size) {
    return SystemFunction036(to, static_cast<ULONG>(size)) ? 0 : -1;
}

void* plat_alloc(std::size_t size) { return std::malloc(size); }

void plat_free(void* p) { std::free(p); }
}
