// Winsock 2, called as the layer's users on Windows expect it.
#include <winsock2.h>
#include <mswsock.h>
#include <windows.h>
#include <ws2tcpip.h>

#include <cstdlib>
#include <cstring>

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

void read_destination(WSAMSG* message, plat_details* details) {
    for (WSACMSGHDR* c = WSA_CMSG_FIRSTHDR(message); c != nullptr; c = WSA_CMSG_NXTHDR(message, c)) {
        if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
            IN_PKTINFO info;
            std::memcpy(&info, WSA_CMSG_DATA(c), sizeof info);
            details->has_to = true;
            details->to = info.ipi_addr.s_addr;
        }
    }
}

}  // namespace

extern "C" {

int plat_startup() {
    WSADATA granted;
    return WSAStartup(winsock_version, &granted) == 0 ? 0 : -1;
}

int plat_cleanup() { return WSACleanup(); }

net_socket plat_socket(int type, bool multipoint) {
    if (multipoint) return WSASocketA(AF_INET, SOCK_DGRAM, 0, nullptr, 0, multipoint_flags);
    return socket(AF_INET, type, 0);
}

int plat_close(net_socket s) { return closesocket(s); }

int plat_bind(net_socket s, const sockaddr_in* local) {
    return bind(s, reinterpret_cast<const sockaddr*>(local), sizeof *local);
}

int plat_listen(net_socket s, int backlog) { return listen(s, backlog); }

net_socket plat_accept(net_socket s, sockaddr_in* peer) {
    int len = sizeof *peer;
    return accept(s, reinterpret_cast<sockaddr*>(peer), &len);
}

int plat_connect(net_socket s, const sockaddr_in* remote) {
    return connect(s, reinterpret_cast<const sockaddr*>(remote), sizeof *remote);
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

int plat_sendto(net_socket s, const void* data, int len, const sockaddr_in* remote) {
    return sendto(s, static_cast<const char*>(data), len, 0, reinterpret_cast<const sockaddr*>(remote),
                  sizeof *remote);
}

// A datagram larger than the buffer fails with WSAEMSGSIZE, as the layer wants.
int plat_recv(net_socket s, void* buf, int size) { return recv(s, static_cast<char*>(buf), size, 0); }

int plat_recvfrom(net_socket s, void* buf, int size, sockaddr_in* remote) {
    int len = sizeof *remote;
    return recvfrom(s, static_cast<char*>(buf), size, 0, reinterpret_cast<sockaddr*>(remote), &len);
}

int plat_recv_queued(net_socket s, void* buf, int size, sockaddr_in* remote) {
    int rc = queued_datagrams(s);
    if (rc < 0) return -1;
    if (rc == 0) return PLAT_NOTHING_QUEUED;
    return remote != nullptr ? plat_recvfrom(s, buf, size, remote) : plat_recv(s, buf, size);
}

int plat_enable_details(net_socket s) {
    DWORD on = 1;
    return setsockopt(s, IPPROTO_IP, IP_PKTINFO, reinterpret_cast<const char*>(&on), sizeof on);
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
    alignas(WSACMSGHDR) char control[WSA_CMSG_SPACE(sizeof(IN_PKTINFO))];
    WSAMSG message{};
    message.name = reinterpret_cast<sockaddr*>(&details->remote);
    message.namelen = sizeof details->remote;
    message.lpBuffers = &data;
    message.dwBufferCount = 1;
    message.Control = WSABUF{sizeof control, control};
    DWORD received = 0;
    if (recv_message(s, &message, &received, nullptr, nullptr) != 0) return -1;
    details->has_to = false;
    details->has_time = true;
    details->time_us = now_us();
    details->has_dropped = false;
    details->dropped = 0;
    read_destination(&message, details);
    return static_cast<int>(received);
}

// Winsock keeps no drop count a program can read.
int plat_drop_count(net_socket, std::uint32_t*) { return -1; }

int plat_setsockopt(net_socket s, int level, int name, const void* value, int len) {
    return setsockopt(s, level, name, static_cast<const char*>(value), len);
}

int plat_getsockname(net_socket s, sockaddr_in* local) {
    int len = sizeof *local;
    return getsockname(s, reinterpret_cast<sockaddr*>(local), &len);
}

int plat_getpeername(net_socket s, sockaddr_in* remote) {
    int len = sizeof *remote;
    return getpeername(s, reinterpret_cast<sockaddr*>(remote), &len);
}

std::uint32_t plat_inet_addr(const char* text) { return inet_addr(text); }

int plat_lookup_ipv4(const char* name, std::uint32_t* address) {
    const hostent* entry = gethostbyname(name);
    if (entry == nullptr || entry->h_addr_list[0] == nullptr) return -1;
    std::memcpy(address, entry->h_addr_list[0], sizeof *address);
    return 0;
}

void* plat_alloc(std::size_t size) { return std::malloc(size); }

void plat_free(void* p) { std::free(p); }
}
