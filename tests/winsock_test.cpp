// The effects of the socket service that the layer relies on: nested
// start-ups, the counted select set, failed reads of datagrams too large for
// the buffer, and multipoint sockets. On Windows these are Winsock's own; on
// POSIX posix.cpp must give the same, so the same cases run on both.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fault.h"
#include "netlayer/netlayer.h"
#include "platform.h"
#include "plain_udp.h"

#ifdef _WIN32
#include <winternl.h>
#endif

extern "C" {
// The real platform calls behind the fault boundary, so that probing the
// platform's own count leaves the boundary's record alone.
int __real_plat_startup();
int __real_plat_cleanup();
}

namespace {

constexpr std::uint32_t localhost = 0x7f000001;
constexpr std::uint32_t long_wait_us = 5000000;

// True when the platform refuses a cleanup, that is holds no start-up for
// this process. A cleanup it grants is taken back at once; callers ask only
// while no socket is open, since the last cleanup ends every open socket.
bool platform_holds_no_startup() {
    if (__real_plat_cleanup() == 0) {
        __real_plat_startup();
        return false;
    }
#ifdef _WIN32
    EXPECT_EQ(WSAGetLastError(), WSANOTINITIALISED);
#endif
    return true;
}

std::vector<net_socket> members(const net_select_set& set) { return {set.sockets, set.sockets + set.count}; }

// Waits for `s` alone to be readable.
bool readable(net_socket s, std::uint32_t timeout_us) {
    net_select_set set{};
    set_add(&set, s);
    return plat_select(&set, nullptr, timeout_us) == 1;
}

// The platform's calls on IPv4 socket addresses.
sockaddr* as_sockaddr(sockaddr_in* address) { return reinterpret_cast<sockaddr*>(address); }

int receive_from(net_socket s, void* buf, int size, sockaddr_in* from) {
    int length = sizeof *from;
    return plat_recvfrom(s, buf, size, as_sockaddr(from), &length);
}

std::uint16_t local_port(net_socket s) {
    sockaddr_in local{};
    int length = sizeof local;
    EXPECT_EQ(plat_getsockname(s, as_sockaddr(&local), &length), 0);
    return ntohs(local.sin_port);
}


#ifdef _WIN32
// Whether the socket's handle was opened for synchronous I/O, as Winsock
// opens those made without WSA_FLAG_OVERLAPPED. Asked of the handle's file
// mode, since an overlapped read on such a socket would block instead.
bool synchronous_handle(net_socket s) {
    using query_file = NTSTATUS(WINAPI*)(HANDLE, IO_STATUS_BLOCK*, void*, ULONG, int);
    constexpr int file_mode_information = 16;
    constexpr ULONG synchronous_modes = 0x10 | 0x20;  // FILE_SYNCHRONOUS_IO_ALERT, _NONALERT
    auto query = reinterpret_cast<query_file>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQueryInformationFile")));
    IO_STATUS_BLOCK status{};
    ULONG mode = 0;
    EXPECT_NE(query, nullptr);
    if (query == nullptr) return true;
    EXPECT_EQ(query(reinterpret_cast<HANDLE>(s), &status, &mode, sizeof mode, file_mode_information), 0);
    return (mode & synchronous_modes) != 0;
}
#endif

}  // namespace

using WinsockStartups = balanced_test;

TEST_F(WinsockStartups, EveryOpenHoldsOneAndEveryCloseReleasesOne) {
    net_endpoint* udp = nullptr;
    net_endpoint* tcp = nullptr;
    net_endpoint* multipoint = nullptr;
    ASSERT_EQ(net_endpoint_create(&udp, SOCK_DGRAM, false, 0), NET_OK);
    EXPECT_EQ(fault_startups_held(), 1);
    ASSERT_EQ(net_endpoint_create(&tcp, SOCK_STREAM, false, 0), NET_OK);
    EXPECT_EQ(fault_startups_held(), 2);
    ASSERT_EQ(net_endpoint_create(&multipoint, SOCK_DGRAM, true, 0), NET_OK);
    EXPECT_EQ(fault_startups_held(), 3);
    EXPECT_EQ(fault_count(fault_op::cleanup), 0);
    // Closed in another order than opened: each close gives back its own.
    EXPECT_EQ(net_endpoint_close(tcp), NET_OK);
    EXPECT_EQ(fault_startups_held(), 2);
    EXPECT_EQ(net_endpoint_close(udp), NET_OK);
    EXPECT_EQ(fault_startups_held(), 1);
    EXPECT_EQ(net_endpoint_close(multipoint), NET_OK);
    EXPECT_EQ(fault_startups_held(), 0);
    EXPECT_EQ(fault_count(fault_op::startup), 3);
    EXPECT_EQ(fault_count(fault_op::cleanup), 3);
}

TEST_F(WinsockStartups, NameLookupHoldsOneOnlyWhileItLooks) {
    net_endpoint* ep = nullptr;
    ASSERT_EQ(net_endpoint_create(&ep, SOCK_DGRAM, false, 0), NET_OK);
    std::size_t before = fault_calls().size();
    EXPECT_EQ(net_resolve("localhost"), localhost);
    std::vector<fault_op> ops;
    for (std::size_t i = before; i < fault_calls().size(); ++i) ops.push_back(fault_calls()[i].op);
    EXPECT_EQ(ops, (std::vector<fault_op>{fault_op::startup, fault_op::lookup, fault_op::cleanup}));
    EXPECT_EQ(fault_startups_held(), 1);
    EXPECT_EQ(net_endpoint_close(ep), NET_OK);
}

TEST_F(WinsockStartups, PlatformHoldsNoneOnceAllIsClosed) {
    if (!platform_holds_no_startup()) {
        // Only where cases share a process: plain sockets keep one for good.
        GTEST_SKIP() << "this process already holds a start-up of its own; run the case alone";
    }
    EXPECT_EQ(net_resolve("localhost"), localhost);
    EXPECT_TRUE(platform_holds_no_startup()) << "the lookup kept its start-up";

    // A lookup while one endpoint is open: had it released more than its
    // own, Winsock's last cleanup would have ended the endpoint's socket.
    net_endpoint* receiver = nullptr;
    ASSERT_EQ(dgram_open(&receiver, localhost, 0, DGRAM_BIND_ADDRESS_ONLY), NET_OK);
    EXPECT_EQ(net_resolve("localhost"), localhost);
    net_endpoint* sender = nullptr;
    ASSERT_EQ(dgram_open(&sender, 0, 0, 0), NET_OK);
    EXPECT_EQ(dgram_send_to(sender, "ping", 4, localhost, local_port(receiver->sock), long_wait_us), NET_OK);
    ASSERT_TRUE(readable(receiver->sock, long_wait_us));
    char buffer[16];
    sockaddr_in from{};
    EXPECT_EQ(receive_from(receiver->sock, buffer, sizeof buffer, &from), 4);
    EXPECT_EQ(net_endpoint_close(sender), NET_OK);
    EXPECT_EQ(net_endpoint_close(receiver), NET_OK);
    EXPECT_TRUE(platform_holds_no_startup()) << "a close kept its start-up";
}

using WinsockSelect = balanced_test;

TEST_F(WinsockSelect, WaitsOnEverySocketOfAFullSetAndNoOther) {
    std::vector<plain_udp> sockets;
    net_select_set set{};
    for (int i = 0; i < 65; ++i) {
        sockets.push_back(plain_udp_open());
        set_add(&set, sockets.back().sock);
    }
    ASSERT_EQ(set.count, 64u);
    plain_udp sender = plain_udp_open();
    // The last member and the socket left out of the set both get a datagram.
    ASSERT_TRUE(plain_udp_send(&sender, "last", sockets[63].port));
    ASSERT_TRUE(plain_udp_send(&sender, "left out", sockets[64].port));
    net_select_set ready = set;
    EXPECT_EQ(plat_select(&ready, nullptr, long_wait_us), 1);
    EXPECT_EQ(members(ready), (std::vector<net_socket>{sockets[63].sock}));

    // The first member too: both are reported, in the order of the set.
    ASSERT_TRUE(plain_udp_send(&sender, "first", sockets[0].port));
    ASSERT_TRUE(readable(sockets[0].sock, long_wait_us));
    ready = set;
    EXPECT_EQ(plat_select(&ready, nullptr, long_wait_us), 2);
    EXPECT_EQ(members(ready), (std::vector<net_socket>{sockets[0].sock, sockets[63].sock}));

    // The socket left out had its datagram all along.
    std::string data;
    EXPECT_TRUE(plain_udp_receive(&sockets[64], &data, 5000));
    EXPECT_EQ(data, "left out");
    plain_udp_close(&sender);
    for (plain_udp& udp : sockets) plain_udp_close(&udp);
}

TEST_F(WinsockSelect, EntriesBeyondTheCountAreNotWatched) {
    plain_udp idle = plain_udp_open();
    plain_udp busy = plain_udp_open();
    ASSERT_TRUE(plain_udp_send(&idle, "x", busy.port));
    ASSERT_TRUE(readable(busy.sock, long_wait_us));
    net_select_set set{};
    set_add(&set, idle.sock);
    set.sockets[1] = busy.sock;  // a ready socket in a slot past the count
    EXPECT_EQ(plat_select(&set, nullptr, 100000), 0);
    EXPECT_EQ(set.count, 0u);
    plain_udp_close(&busy);
    plain_udp_close(&idle);
}

TEST_F(WinsockSelect, WritableAndReadableSetsAreRewrittenApart) {
    plain_udp quiet = plain_udp_open();
    plain_udp busy = plain_udp_open();
    ASSERT_TRUE(plain_udp_send(&quiet, "x", busy.port));
    ASSERT_TRUE(readable(busy.sock, long_wait_us));
    net_select_set reading{};
    set_add(&reading, quiet.sock);
    set_add(&reading, busy.sock);
    net_select_set writing{};
    set_add(&writing, quiet.sock);
    // An idle UDP socket is writable at once.
    EXPECT_EQ(plat_select(&reading, &writing, long_wait_us), 2);
    EXPECT_EQ(members(reading), (std::vector<net_socket>{busy.sock}));
    EXPECT_EQ(members(writing), (std::vector<net_socket>{quiet.sock}));
    plain_udp_close(&busy);
    plain_udp_close(&quiet);
}

class WinsockReceive : public balanced_test {
protected:
    void SetUp() override {
        balanced_test::SetUp();
        ASSERT_EQ(dgram_open(&ep, localhost, 0, DGRAM_BIND_ADDRESS_ONLY), NET_OK);
        port = local_port(ep->sock);
        sender = plain_udp_open();
    }
    void TearDown() override {
        plain_udp_close(&sender);
        dgram_close(ep);
        balanced_test::TearDown();
    }
    void send(const std::string& data) {
        ASSERT_TRUE(plain_udp_send(&sender, data, port));
        ASSERT_TRUE(readable(ep->sock, long_wait_us)) << "no datagram arrived";
    }
    net_endpoint* ep = nullptr;
    std::uint16_t port = 0;
    plain_udp sender{};
};

TEST_F(WinsockReceive, TooLargeForTheBufferFailsAndIsConsumed) {
    send(std::string(100, 'a'));
    char small[10];
    sockaddr_in from{};
    EXPECT_LT(receive_from(ep->sock, small, sizeof small, &from), 0);
    // Nothing of it is left to read.
    EXPECT_FALSE(readable(ep->sock, 100000));

    send("next");
    char buffer[64];
    from = sockaddr_in{};
    ASSERT_EQ(receive_from(ep->sock, buffer, sizeof buffer, &from), 4);
    EXPECT_EQ(std::string(buffer, 4), "next");
    EXPECT_EQ(ntohs(from.sin_port), sender.port);
    EXPECT_EQ(ntohl(from.sin_addr.s_addr), localhost);
}

TEST_F(WinsockReceive, TooLargeForRecvFailsTheSameWay) {
    send("twelve bytes");
    char small[4];
    EXPECT_LT(plat_recv(ep->sock, small, sizeof small), 0);
    EXPECT_FALSE(readable(ep->sock, 100000));
    send("ok");
    char buffer[64];
    ASSERT_EQ(plat_recv(ep->sock, buffer, sizeof buffer), 2);
    EXPECT_EQ(std::string(buffer, 2), "ok");
}

TEST_F(WinsockReceive, ExactFitAndEmptyDatagramsAreReadWhole) {
    send("0123456789");
    char exact[10];
    sockaddr_in from{};
    ASSERT_EQ(receive_from(ep->sock, exact, sizeof exact, &from), 10);
    EXPECT_EQ(std::string(exact, 10), "0123456789");
    send("");
    EXPECT_EQ(receive_from(ep->sock, exact, sizeof exact, &from), 0);
    EXPECT_EQ(ntohs(from.sin_port), sender.port);
}

using WinsockMultipoint = balanced_test;

TEST_F(WinsockMultipoint, IsAUdpSocketThatCarriesDatagrams) {
    net_endpoint* ep = nullptr;
    ASSERT_EQ(net_endpoint_create(&ep, SOCK_STREAM, true, 0), NET_OK);
    EXPECT_EQ(plain_int_option(ep->sock, SOL_SOCKET, SO_TYPE), SOCK_DGRAM);
#ifdef _WIN32
    WSAPROTOCOL_INFOA info{};
    int len = sizeof info;
    ASSERT_EQ(getsockopt(ep->sock, SOL_SOCKET, SO_PROTOCOL_INFOA, reinterpret_cast<char*>(&info), &len), 0);
    EXPECT_EQ(info.iAddressFamily, AF_INET);
    EXPECT_EQ(info.iSocketType, SOCK_DGRAM);
    EXPECT_EQ(info.iProtocol, IPPROTO_UDP);
    EXPECT_NE(info.dwServiceFlags1 & XP1_SUPPORT_MULTIPOINT, 0u) << "its provider cannot join groups";
#else
    EXPECT_EQ(plain_int_option(ep->sock, SOL_SOCKET, SO_PROTOCOL), IPPROTO_UDP);
#endif
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(localhost);
    ASSERT_EQ(plat_bind(ep->sock, as_sockaddr(&local), sizeof local), 0);
    plain_udp sender = plain_udp_open();
    ASSERT_TRUE(plain_udp_send(&sender, "multi", local_port(ep->sock)));
    ASSERT_TRUE(readable(ep->sock, long_wait_us));
    char buffer[16];
    sockaddr_in from{};
    ASSERT_EQ(receive_from(ep->sock, buffer, sizeof buffer, &from), 5);
    EXPECT_EQ(std::string(buffer, 5), "multi");
    plain_udp_close(&sender);
    EXPECT_EQ(net_endpoint_close(ep), NET_OK);
}

TEST_F(WinsockMultipoint, TakesOverlappedReads) {
#ifndef _WIN32
    GTEST_SKIP() << "POSIX sockets have no overlapped I/O to ask for";
#else
    net_endpoint* ep = nullptr;
    ASSERT_EQ(net_endpoint_create(&ep, SOCK_DGRAM, true, 0), NET_OK);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(localhost);
    ASSERT_EQ(plat_bind(ep->sock, as_sockaddr(&local), sizeof local), 0);
    ASSERT_FALSE(synchronous_handle(ep->sock)) << "made without WSA_FLAG_OVERLAPPED";

    char buffer[16];
    WSABUF part{sizeof buffer, buffer};
    DWORD flags = 0;
    WSAOVERLAPPED pending{};
    pending.hEvent = WSACreateEvent();
    int rc = WSARecv(ep->sock, &part, 1, nullptr, &flags, &pending, nullptr);
    EXPECT_EQ(rc, SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSA_IO_PENDING);

    plain_udp sender = plain_udp_open();
    ASSERT_TRUE(plain_udp_send(&sender, "later", local_port(ep->sock)));
    EXPECT_EQ(WSAWaitForMultipleEvents(1, &pending.hEvent, TRUE, 5000, FALSE), WSA_WAIT_EVENT_0);
    DWORD got = 0;
    EXPECT_TRUE(WSAGetOverlappedResult(ep->sock, &pending, &got, TRUE, &flags));
    EXPECT_EQ(std::string(buffer, got), "later");
    plain_udp_close(&sender);
    EXPECT_EQ(net_endpoint_close(ep), NET_OK);
    WSACloseEvent(pending.hEvent);
#endif
}
