#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <deque>
#include <random>
#include <string>
#include <thread>
#include <vector>

#ifndef _WIN32
#include <csignal>
#endif

#include "wine.h"
#include "fault.h"
#include "netlayer/netlayer.h"
#include "plain_tcp.h"
#include "plain_udp.h"

namespace {

constexpr std::uint32_t wait_us = 5000000;  // generous: only a fault makes a wait run out
constexpr int wait_ms = 5000;
constexpr std::uint32_t short_wait_us = 200000;  // for waits that must run out

std::vector<net_socket> members(const net_select_set& set) { return {set.sockets, set.sockets + set.count}; }

std::vector<net_socket> close_calls_since(std::size_t mark) {
    std::vector<net_socket> closed;
    const std::vector<fault_call>& calls = fault_calls();
    for (std::size_t i = mark; i < calls.size(); ++i) {
        if (calls[i].op == fault_op::close) closed.push_back(calls[i].sock);
    }
    return closed;
}

int count_since(std::size_t mark, fault_op op) {
    int n = 0;
    const std::vector<fault_call>& calls = fault_calls();
    for (std::size_t i = mark; i < calls.size(); ++i) n += calls[i].op == op;
    return n;
}

// Reads from a plain peer until `n` bytes have come or the peer stops sending.
std::string plain_read_bytes(const plain_tcp* peer, std::size_t n) {
    std::string got;
    while (got.size() < n && plain_tcp_read(peer, &got, wait_ms) > 0) {
    }
    return got;
}

// A stream socket made with the system's own call, as a chain member that
// needs no connection.
net_socket plain_stream_socket() {
    plain_sockets_start();
    return socket(AF_INET, SOCK_STREAM, 0);
}

}  // namespace

// A stream client connected to a plain listener.
class StreamClient : public balanced_test {
protected:
    void SetUp() override {
        balanced_test::SetUp();
        listener = plain_tcp_listen();
        ASSERT_EQ(stream_connect(&ep, loopback_ip, listener.port), NET_OK);
        ASSERT_TRUE(plain_tcp_accept(&listener, &peer, wait_ms));
    }
    void TearDown() override {
        if (ep != nullptr) stream_close(ep);
        plain_tcp_close(&peer);
        plain_tcp_close(&listener);
        balanced_test::TearDown();
    }
    net_endpoint* ep = nullptr;
    plain_tcp listener{plain_no_socket, 0};
    plain_tcp peer{plain_no_socket, 0};
    char buf[100] = {};
};

TEST_F(StreamClient, IsARootEndpointHoldingOneStartUp) {
    EXPECT_EQ(ep->flags, 0);
    EXPECT_EQ(members(ep->ready_set), std::vector<net_socket>{ep->sock});
    EXPECT_EQ(ep->prev, nullptr);
    EXPECT_EQ(ep->next, nullptr);
    EXPECT_EQ(fault_startups_held(), 1);
    EXPECT_EQ(plain_peer_port(peer.sock), plain_local_port(ep->sock));
}

TEST_F(StreamClient, SentBytesArriveWhole) {
    ASSERT_EQ(stream_send(ep, "0123456789", 10, wait_us), NET_OK);
    EXPECT_EQ(plain_read_bytes(&peer, 10), "0123456789");
}

TEST_F(StreamClient, ReceiveGivesTheByteCount) {
    ASSERT_TRUE(plain_tcp_send(&peer, "world!"));
    ASSERT_EQ(stream_receive(ep, buf, sizeof buf, wait_us), 6);
    EXPECT_EQ(std::string(buf, 6), "world!");
}

TEST_F(StreamClient, ReceiveWithNothingToReadTimesOut) {
    EXPECT_EQ(stream_receive(ep, buf, sizeof buf, short_wait_us), NET_TIMEOUT);
    EXPECT_EQ(fault_count(fault_op::recv), 0);
}

TEST_F(StreamClient, ReceiveAfterThePeerClosesIsPeerClosed) {
    plain_tcp_close(&peer);
    EXPECT_EQ(stream_receive(ep, buf, sizeof buf, wait_us), NET_PEER_CLOSED);
}

TEST_F(StreamClient, ReceiveAfterAResetIsAnError) {
    if (const char* wine = wine_version()) {
        GTEST_SKIP() << "wine reports a reset connection as an orderly close, unlike Windows; wine " << wine;
    }
    plain_tcp_reset(&peer);
    EXPECT_EQ(stream_receive(ep, buf, sizeof buf, wait_us), NET_ERROR);
}

TEST_F(StreamClient, ReceiveFailuresAreErrorsAndLoseNoData) {
    for (int result : {-1, 2}) {
        fault_plan(fault_op::select, result);
        EXPECT_EQ(stream_receive(ep, buf, sizeof buf, wait_us), NET_ERROR);
    }
    EXPECT_EQ(fault_count(fault_op::recv), 0);
    ASSERT_TRUE(plain_tcp_send(&peer, "abc"));
    fault_plan(fault_op::recv, -1);
    EXPECT_EQ(stream_receive(ep, buf, sizeof buf, wait_us), NET_ERROR);
    EXPECT_EQ(stream_receive(ep, buf, sizeof buf, wait_us), 3);
}

TEST_F(StreamClient, PartialOrFailedSendIsAnError) {
    fault_plan(fault_op::send, 4);
    EXPECT_EQ(stream_send(ep, "0123456789", 10, wait_us), NET_ERROR);
    fault_plan(fault_op::send, -1);
    EXPECT_EQ(stream_send(ep, "0123456789", 10, wait_us), NET_ERROR);
    EXPECT_EQ(fault_count(fault_op::send), 2) << "a short send must not be retried";
}

TEST_F(StreamClient, SendWaitThatRunsOutOrFailsSendsNothing) {
    fault_plan(fault_op::select, 0);
    EXPECT_EQ(stream_send(ep, "x", 1, wait_us), NET_TIMEOUT);
    for (int result : {-1, 2}) {
        fault_plan(fault_op::select, result);
        EXPECT_EQ(stream_send(ep, "x", 1, wait_us), NET_ERROR);
    }
    EXPECT_EQ(fault_count(fault_op::send), 0);
}

TEST_F(StreamClient, SendToAVanishedPeerIsAnErrorNotASignal) {
#ifndef _WIN32
    // Under the default action a SIGPIPE would end this program.
    std::signal(SIGPIPE, SIG_DFL);
#endif
    plain_tcp_close(&peer);
    ASSERT_EQ(stream_receive(ep, buf, sizeof buf, wait_us), NET_PEER_CLOSED);
    // The first sends may still be taken; the reset they draw fails the later ones.
    int rc = NET_OK;
    for (int i = 0; i < 100 && rc == NET_OK; ++i) {
        rc = stream_send(ep, "0123456789", 10, wait_us);
        if (rc == NET_OK) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(rc, NET_ERROR);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(stream_send(ep, "0123456789", 10, wait_us), NET_ERROR);
}

using StreamConnect = balanced_test;

TEST_F(StreamConnect, PortNobodyListensOnIsAnErrorWithNothingLeftOpen) {
    plain_tcp deaf = plain_tcp_bound();
    net_endpoint* ep = nullptr;
    EXPECT_EQ(stream_connect(&ep, loopback_ip, deaf.port), NET_ERROR);
    plain_tcp_close(&deaf);
    EXPECT_EQ(ep, nullptr);
    ASSERT_EQ(fault_count(fault_op::socket), 1);
    net_socket made = fault_calls()[1].sock;  // startup, socket, alloc, connect, close, free, cleanup
    EXPECT_EQ(close_calls_since(0), std::vector<net_socket>{made});
}

TEST_F(StreamConnect, FailedCreateIsAnError) {
    fault_plan(fault_op::socket, 0);
    net_endpoint* ep = nullptr;
    EXPECT_EQ(stream_connect(&ep, loopback_ip, 9), NET_ERROR);
    EXPECT_EQ(ep, nullptr);
    EXPECT_EQ(fault_count(fault_op::connect), 0);
}

using StreamListen = balanced_test;

TEST_F(StreamListen, ListensOnEveryAddressWithItsFlagsAndNoReuseOption) {
    net_endpoint* server = nullptr;
    ASSERT_EQ(stream_listen(&server, 0, STREAM_KEEP_LISTENING), NET_OK);
    EXPECT_EQ(server->flags, STREAM_KEEP_LISTENING);
    EXPECT_EQ(members(server->ready_set), std::vector<net_socket>{server->sock});
    std::uint32_t ip = 1;
    std::uint16_t port = 0;
    ASSERT_EQ(net_local_address(server, &ip, &port), NET_OK);
    EXPECT_EQ(ip, 0u);
    EXPECT_NE(port, 0);
    EXPECT_EQ(fault_count(fault_op::setsockopt), 0);
    plain_tcp peer = plain_tcp_connect(port);  // aborts unless something listens
    plain_tcp_close(&peer);
    EXPECT_EQ(stream_close(server), NET_OK);
}

TEST_F(StreamListen, PortHeldByAnotherSocketFailsWithNothingLeftOpen) {
    plain_tcp holder = plain_tcp_listen();
    net_endpoint* server = nullptr;
    EXPECT_EQ(stream_listen(&server, holder.port, 0), NET_ERROR);
    EXPECT_EQ(server, nullptr);
    EXPECT_EQ(fault_count(fault_op::listen), 0);
    EXPECT_EQ(fault_count(fault_op::close), 1);
    plain_tcp_close(&holder);

    net_endpoint* first = nullptr;
    ASSERT_EQ(stream_listen(&first, 0, 0), NET_OK);
    EXPECT_EQ(stream_listen(&server, plain_local_port(first->sock), STREAM_KEEP_LISTENING), NET_ERROR);
    EXPECT_EQ(server, nullptr);
    stream_close(first);
}

TEST_F(StreamListen, FailedBindOrListenClosesTheEndpoint) {
    for (fault_op op : {fault_op::bind, fault_op::listen}) {
        std::size_t mark = fault_calls().size();
        fault_plan(op, -1);
        net_endpoint* server = nullptr;
        EXPECT_EQ(stream_listen(&server, 0, 0), NET_ERROR);
        EXPECT_EQ(server, nullptr);
        EXPECT_EQ(count_since(mark, fault_op::close), 1);
        EXPECT_EQ(count_since(mark, fault_op::cleanup), 1);
    }
    EXPECT_EQ(fault_count(fault_op::listen), 1) << "a failed bind must stop before listening";
}

// A server on a free port with plain peers that connect to it.
class StreamServer : public balanced_test {
protected:
    void open(std::uint16_t flags) {
        ASSERT_EQ(stream_listen(&server, 0, flags), NET_OK);
        port = plain_local_port(server->sock);
    }
    void TearDown() override {
        if (server != nullptr) stream_close(server);
        for (plain_tcp& peer : peers) plain_tcp_close(&peer);
        balanced_test::TearDown();
    }
    // The peers stay open until TearDown unless a test closes them itself.
    plain_tcp& connect_peer() {
        peers.push_back(plain_tcp_connect(port));
        return peers.back();
    }
    int poll(net_endpoint** client, std::uint32_t timeout_us = wait_us) {
        return stream_server_poll(server, client, buf, sizeof buf, timeout_us);
    }
    net_endpoint* accept_client() {
        net_endpoint* client = nullptr;
        EXPECT_EQ(poll(&client), NET_NEW_CLIENT);
        return client;
    }
    // The next poll brings `text` from `sender`.
    void expect_data_from(const net_endpoint* sender, const std::string& text) {
        net_endpoint* client = nullptr;
        ASSERT_EQ(poll(&client), static_cast<int>(text.size()));
        EXPECT_EQ(client, sender);
        EXPECT_EQ(std::string(buf, text.size()), text);
    }
    struct served_peer {
        plain_tcp* peer;
        net_endpoint* client;  // the server's end of the peer's connection
    };
    served_peer connect_and_accept() {
        plain_tcp* peer = &connect_peer();
        net_endpoint* client = accept_client();
        if (client != nullptr) {
            EXPECT_EQ(plain_peer_port(client->sock), peer->port);
        }
        return {peer, client};
    }
    net_endpoint* server = nullptr;
    std::uint16_t port = 0;
    std::deque<plain_tcp> peers;  // references to them stay valid
    char buf[100] = {};
};

TEST_F(StreamServer, SingleClientServerLeavesTheNextConnectionWaitingUntilItsClientCloses) {
    open(0);
    served_peer a = connect_and_accept();
    net_endpoint* first = a.client;
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(members(server->ready_set), std::vector<net_socket>{first->sock});

    plain_tcp b = connect_peer();
    ASSERT_TRUE(plain_tcp_send(&b, "b"));
    net_endpoint* client = nullptr;
    EXPECT_EQ(poll(&client, short_wait_us), NET_TIMEOUT);
    EXPECT_EQ(client, nullptr);
    ASSERT_TRUE(plain_tcp_send(a.peer, "aa"));
    expect_data_from(first, "aa");
    EXPECT_EQ(fault_count(fault_op::accept), 1);

    EXPECT_EQ(stream_close(first), NET_OK);
    EXPECT_EQ(server->next, nullptr);
    EXPECT_EQ(members(server->ready_set), std::vector<net_socket>{server->sock});
    net_endpoint* second = accept_client();
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(plain_peer_port(second->sock), b.port);
    expect_data_from(second, "b");
}

TEST_F(StreamServer, KeepListeningServerAcceptsEveryConnectionAndNamesEachSender) {
    open(STREAM_KEEP_LISTENING);
    plain_tcp a = connect_peer();
    plain_tcp b = connect_peer();
    net_endpoint* first = accept_client();
    net_endpoint* second = accept_client();
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(members(server->ready_set), (std::vector<net_socket>{server->sock, first->sock, second->sock}));
    net_endpoint* of_a = plain_peer_port(first->sock) == a.port ? first : second;
    net_endpoint* of_b = of_a == first ? second : first;
    ASSERT_EQ(plain_peer_port(of_b->sock), b.port);

    ASSERT_TRUE(plain_tcp_send(&b, "from b"));
    expect_data_from(of_b, "from b");
    ASSERT_TRUE(plain_tcp_send(&a, "from a!"));
    expect_data_from(of_a, "from a!");
}

TEST_F(StreamServer, PendingConnectionGoesBeforePendingData) {
    open(STREAM_KEEP_LISTENING);
    served_peer a = connect_and_accept();
    net_endpoint* first = a.client;
    ASSERT_NE(first, nullptr);
    ASSERT_TRUE(plain_tcp_send(a.peer, "x"));
    connect_peer();
    // Both must be ready before the poll for it to choose between them.
    ASSERT_TRUE(plain_wait_readable(first->sock, wait_ms));
    ASSERT_TRUE(plain_wait_readable(server->sock, wait_ms));

    std::memset(buf, '-', sizeof buf);
    net_endpoint* client = nullptr;
    EXPECT_EQ(poll(&client), NET_NEW_CLIENT);
    EXPECT_NE(client, first);
    EXPECT_EQ(client, server->next);
    EXPECT_EQ(buf[0], '-') << "no data is read with a new client";
    expect_data_from(first, "x");
}

TEST_F(StreamServer, NewestReadyClientWins) {
    open(STREAM_KEEP_LISTENING);
    served_peer older = connect_and_accept();
    served_peer newer = connect_and_accept();
    ASSERT_NE(older.client, nullptr);
    ASSERT_NE(newer.client, nullptr);
    ASSERT_EQ(server->next, newer.client);
    ASSERT_TRUE(plain_tcp_send(older.peer, "o"));
    ASSERT_TRUE(plain_tcp_send(newer.peer, "n"));
    ASSERT_TRUE(plain_wait_readable(older.client->sock, wait_ms));
    ASSERT_TRUE(plain_wait_readable(newer.client->sock, wait_ms));

    expect_data_from(newer.client, "n");
    expect_data_from(older.client, "o");
}

TEST_F(StreamServer, PeerCloseNamesTheClientWhichStaysLinkedUntilClosed) {
    open(0);
    served_peer a = connect_and_accept();
    net_endpoint* client = a.client;
    ASSERT_NE(client, nullptr);
    plain_tcp_close(a.peer);
    for (int i = 0; i < 2; ++i) {
        net_endpoint* named = nullptr;
        EXPECT_EQ(poll(&named), NET_PEER_CLOSED);
        EXPECT_EQ(named, client);
        EXPECT_EQ(server->next, client);
        EXPECT_EQ(members(server->ready_set), std::vector<net_socket>{client->sock});
    }
    EXPECT_EQ(stream_close(client), NET_OK);
    EXPECT_EQ(members(server->ready_set), std::vector<net_socket>{server->sock});
}

TEST_F(StreamServer, ClosingTheServerClosesItsClientsNewestFirstThenItself) {
    open(STREAM_KEEP_LISTENING);
    std::vector<net_socket> newest_first;
    for (int i = 0; i < 3; ++i) {
        net_endpoint* client = connect_and_accept().client;
        ASSERT_NE(client, nullptr);
        newest_first.insert(newest_first.begin(), client->sock);
    }
    EXPECT_EQ(fault_startups_held(), 1) << "accepted clients hold no start-up";
    newest_first.push_back(server->sock);

    std::size_t mark = fault_calls().size();
    EXPECT_EQ(stream_close(server), NET_OK);
    server = nullptr;
    EXPECT_EQ(close_calls_since(mark), newest_first);
    EXPECT_EQ(count_since(mark, fault_op::cleanup), 1);
    for (plain_tcp& peer : peers) {
        std::string rest;
        EXPECT_EQ(plain_tcp_read(&peer, &rest, wait_ms), 0) << "the peer sees its connection end";
    }
}

TEST_F(StreamServer, ClosingTheOnlyClientLeavesTheServerListening) {
    for (std::uint16_t flags : {std::uint16_t{0}, STREAM_KEEP_LISTENING}) {
        SCOPED_TRACE(flags);
        open(flags);
        net_endpoint* client = connect_and_accept().client;
        ASSERT_NE(client, nullptr);
        std::size_t mark = fault_calls().size();
        EXPECT_EQ(stream_close(client), NET_OK);
        EXPECT_EQ(count_since(mark, fault_op::cleanup), 0);
        EXPECT_EQ(server->next, nullptr);
        EXPECT_EQ(members(server->ready_set), std::vector<net_socket>{server->sock});
        EXPECT_EQ(fault_startups_held(), 1);
        connect_peer();
        EXPECT_NE(accept_client(), nullptr);
        stream_close(server);
        server = nullptr;
    }
}

TEST_F(StreamServer, FailedAcceptLeavesTheServerUnchanged) {
    open(STREAM_KEEP_LISTENING);
    net_endpoint* first = connect_and_accept().client;
    ASSERT_NE(first, nullptr);
    connect_peer();
    std::vector<net_socket> watched = members(server->ready_set);
    fault_plan(fault_op::accept, 0);
    net_endpoint* client = first;
    EXPECT_EQ(poll(&client), NET_ERROR);
    EXPECT_EQ(client, first);
    EXPECT_EQ(server->next, first);
    EXPECT_EQ(first->next, nullptr);
    EXPECT_EQ(members(server->ready_set), watched);
    EXPECT_EQ(fault_records_held(), 2);
    net_endpoint* second = accept_client();
    EXPECT_NE(second, nullptr) << "the connection still waits";
    EXPECT_EQ(server->next, second);
}

TEST_F(StreamServer, AcceptedSocketWithoutARecordIsClosedAndTheServerUnchanged) {
    open(0);
    plain_tcp& a = connect_peer();
    fault_plan(fault_op::alloc, 0);
    std::size_t mark = fault_calls().size();
    net_endpoint* client = nullptr;
    EXPECT_EQ(poll(&client), NET_ERROR);
    EXPECT_EQ(client, nullptr);
    EXPECT_EQ(server->next, nullptr);
    EXPECT_EQ(members(server->ready_set), std::vector<net_socket>{server->sock});
    EXPECT_EQ(fault_records_held(), 1);
    std::vector<net_socket> closed = close_calls_since(mark);
    ASSERT_EQ(closed.size(), 1u);
    EXPECT_NE(closed[0], server->sock);
    std::string rest;
    EXPECT_EQ(plain_tcp_read(&a, &rest, wait_ms), 0) << "the dropped connection is ended";
    connect_peer();
    EXPECT_NE(accept_client(), nullptr);
}

TEST_F(StreamServer, PollThatTimesOutOrFailsKeepsTheClientItWasGiven) {
    open(STREAM_KEEP_LISTENING);
    net_endpoint* marker = server;  // any value the poll must leave alone
    net_endpoint* client = marker;
    EXPECT_EQ(poll(&client, short_wait_us), NET_TIMEOUT);
    fault_plan(fault_op::select, -1);
    EXPECT_EQ(poll(&client), NET_ERROR);
    EXPECT_EQ(client, marker);
    EXPECT_EQ(fault_count(fault_op::accept), 0);
    EXPECT_EQ(fault_count(fault_op::recv), 0);
}

TEST_F(StreamServer, FailedClientReadIsAnErrorNamingTheClient) {
    open(STREAM_KEEP_LISTENING);
    served_peer a = connect_and_accept();
    net_endpoint* first = a.client;
    ASSERT_NE(first, nullptr);
    ASSERT_TRUE(plain_tcp_send(a.peer, "x"));
    fault_plan(fault_op::recv, -1);
    net_endpoint* client = nullptr;
    EXPECT_EQ(poll(&client), NET_ERROR);
    EXPECT_EQ(client, first);
    EXPECT_EQ(server->next, first);
}

// Chain operations on sockets that need no connection.
class StreamChain : public balanced_test {
protected:
    void open(std::uint16_t flags) { ASSERT_EQ(stream_listen(&server, 0, flags), NET_OK); }
    void TearDown() override {
        if (server != nullptr) stream_close(server);
        balanced_test::TearDown();
    }
    net_endpoint* link() {
        net_socket s = plain_stream_socket();
        net_endpoint* client = nullptr;
        EXPECT_EQ(stream_link_client(server, &client, s), NET_OK);
        return client;
    }
    // The chain from the server matches `newest_first` both ways, and the
    // server watches exactly the clients, oldest first, after its listening
    // socket when it listens.
    testing::AssertionResult chain_is(const std::vector<net_endpoint*>& newest_first) {
        if (server->prev != nullptr) return testing::AssertionFailure() << "the server has a prev";
        const net_endpoint* towards_server = server;
        const net_endpoint* node = server->next;
        for (std::size_t i = 0; i < newest_first.size(); ++i, towards_server = node, node = node->next) {
            if (node != newest_first[i]) return testing::AssertionFailure() << "client " << i << " is out of place";
            if (node->prev != towards_server) return testing::AssertionFailure() << "client " << i << ": bad prev";
        }
        if (node != nullptr) return testing::AssertionFailure() << "the chain is too long";
        std::vector<net_socket> watched;
        if ((server->flags & STREAM_KEEP_LISTENING) || newest_first.empty()) watched.push_back(server->sock);
        for (auto c = newest_first.rbegin(); c != newest_first.rend(); ++c) watched.push_back((*c)->sock);
        if (members(server->ready_set) != watched) return testing::AssertionFailure() << "the server watches the wrong sockets";
        if (fault_records_held() != static_cast<int>(newest_first.size()) + 1) {
            return testing::AssertionFailure() << fault_records_held() << " records held";
        }
        return testing::AssertionSuccess();
    }
    net_endpoint* server = nullptr;
};

TEST_F(StreamChain, LinkedClientIsAPlainRecordAtTheFront) {
    open(STREAM_KEEP_LISTENING);
    net_endpoint* first = link();
    net_endpoint* second = link();
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    EXPECT_TRUE(chain_is({second, first}));
    EXPECT_EQ(second->flags, 0);
    EXPECT_EQ(members(second->ready_set), std::vector<net_socket>{second->sock});
    EXPECT_EQ(fault_startups_held(), 1) << "a linked client holds no start-up";
}

TEST_F(StreamChain, StaysSoundThroughAnyMixOfLinksAndDetaches) {
    for (std::uint16_t flags : {std::uint16_t{0}, STREAM_KEEP_LISTENING}) {
        SCOPED_TRACE(flags);
        open(flags);
        std::mt19937 order(flags + 7);
        std::vector<net_endpoint*> newest_first;
        for (int step = 0; step < 400; ++step) {
            SCOPED_TRACE(step);
            if (newest_first.empty() || (newest_first.size() < 8 && order() % 2 == 0)) {
                net_endpoint* client = link();
                ASSERT_NE(client, nullptr);
                newest_first.insert(newest_first.begin(), client);
            } else {
                auto victim = newest_first.begin() + static_cast<std::ptrdiff_t>(order() % newest_first.size());
                net_socket s = (*victim)->sock;
                std::size_t mark = fault_calls().size();
                // Both roads to a detach: through the client alone, and naming its server.
                int rc = order() % 2 == 0 ? stream_close(*victim) : net_detach_client(server, *victim);
                EXPECT_EQ(rc, NET_OK);
                EXPECT_EQ(close_calls_since(mark), std::vector<net_socket>{s});
                newest_first.erase(victim);
            }
            ASSERT_TRUE(chain_is(newest_first));
        }
        stream_close(server);
        server = nullptr;
    }
}

TEST_F(StreamChain, FailedLinkLeavesServerAndSocketAlone) {
    open(0);
    net_endpoint* first = link();
    ASSERT_NE(first, nullptr);
    net_socket s = plain_stream_socket();
    fault_plan(fault_op::alloc, 0);
    net_endpoint* client = first;
    EXPECT_EQ(stream_link_client(server, &client, s), NET_ERROR);
    EXPECT_EQ(client, first);
    EXPECT_TRUE(chain_is({first}));
    EXPECT_EQ(fault_count(fault_op::close), 0) << "the socket is still the caller's";
    plain_close_socket(s);
}

TEST_F(StreamChain, ClientLinkedToAFullSetIsChainedButNotWatched) {
    open(STREAM_KEEP_LISTENING);
    for (std::uint32_t i = 1; i < NET_SELECT_SET_SIZE; ++i) ASSERT_NE(link(), nullptr);
    ASSERT_EQ(server->ready_set.count, NET_SELECT_SET_SIZE);
    net_endpoint* extra = link();
    ASSERT_NE(extra, nullptr);
    EXPECT_EQ(server->next, extra);
    EXPECT_EQ(server->ready_set.count, NET_SELECT_SET_SIZE);
    EXPECT_FALSE(set_contains(&server->ready_set, extra->sock));
}

TEST_F(StreamChain, FindReadyClientTakesTheNewestInTheSet) {
    open(STREAM_KEEP_LISTENING);
    net_endpoint* found = server;  // any value a failed search must leave alone
    net_select_set ready{};
    EXPECT_EQ(stream_find_ready_client(server, &found, &ready), NET_ERROR) << "no client at all";
    net_endpoint* older = link();
    net_endpoint* newer = link();
    ASSERT_NE(older, nullptr);
    ASSERT_NE(newer, nullptr);
    set_add(&ready, server->sock);
    EXPECT_EQ(stream_find_ready_client(server, &found, &ready), NET_ERROR) << "only the listening socket";
    EXPECT_EQ(found, server);
    set_add(&ready, older->sock);
    EXPECT_EQ(stream_find_ready_client(server, &found, &ready), NET_OK);
    EXPECT_EQ(found, older);
    set_add(&ready, newer->sock);
    EXPECT_EQ(stream_find_ready_client(server, &found, &ready), NET_OK);
    EXPECT_EQ(found, newer);
}

// A server that never waits, of either family, against a peer made with the
// system's own calls.
class NeverWaitingServer : public balanced_test, public testing::WithParamInterface<const char*> {
protected:
    void SetUp() override {
        balanced_test::SetUp();
        ASSERT_EQ(net_address_parse(&local, GetParam(), nullptr), NET_OK);
        port = plain_free_port();
        ASSERT_EQ(stream_listen_address(&server, &local, port, STREAM_KEEP_LISTENING, nullptr), NET_OK);
    }
    void TearDown() override {
        if (peer != plain_no_socket) plain_close_socket(peer);
        if (server != nullptr) stream_close(server);
        balanced_test::TearDown();
    }
    void connect_peer() {
        sockaddr_storage to{};
        int length = sizeof(sockaddr_in);
        if (local.family == net_family::ipv6) {
            auto* six = reinterpret_cast<sockaddr_in6*>(&to);
            six->sin6_family = AF_INET6;
            std::memcpy(&six->sin6_addr, local.bytes, 16);
            six->sin6_port = htons(port);
            length = sizeof(sockaddr_in6);
        } else {
            reinterpret_cast<sockaddr_in&>(to) = plain_address(loopback_ip, port);
        }
        peer = socket(to.ss_family, SOCK_STREAM, 0);
        ASSERT_EQ(connect(peer, reinterpret_cast<sockaddr*>(&to), length), 0);
    }
    net_address local{};
    std::uint16_t port = 0;
    net_endpoint* server = nullptr;
    net_socket peer = plain_no_socket;
};

TEST_P(NeverWaitingServer, AcceptsReadsAndSendsWithoutEverWaiting) {
    net_endpoint* client = nullptr;
    EXPECT_EQ(stream_accept(server, &client, nullptr), NET_TIMEOUT);
    connect_peer();
    net_select_set readable = server->ready_set;
    ASSERT_EQ(stream_wait(&readable, nullptr, wait_us, nullptr), 1);
    ASSERT_EQ(stream_accept(server, &client, nullptr), NET_NEW_CLIENT);
    EXPECT_EQ(server->next, client);
    char got[8];
    EXPECT_EQ(stream_receive_some(client, got, sizeof got, nullptr), NET_TIMEOUT);
    ASSERT_EQ(send(peer, "abc", 3, 0), 3);
    net_select_set ready = client->ready_set;
    ASSERT_EQ(stream_wait(&ready, nullptr, wait_us, nullptr), 1);
    EXPECT_EQ(stream_receive_some(client, got, sizeof got, nullptr), 3);
    // The peer reads nothing: the socket fills, and then takes nothing more, at once.
    std::vector<char> chunk(1 << 16, 'x');
    long long taken = 0;
    int rc = 0;
    for (int i = 0; i < 10000 && (rc = stream_send_some(client, chunk.data(), int(chunk.size()), nullptr)) > 0; ++i) {
        taken += rc;
    }
    EXPECT_EQ(rc, NET_TIMEOUT);
    EXPECT_GT(taken, 0);
    net_select_set writable = client->ready_set;
    EXPECT_EQ(stream_wait(nullptr, &writable, short_wait_us, nullptr), NET_TIMEOUT);
}

TEST_P(NeverWaitingServer, PortListenedOnFailsWithTheSystemsReasonAndAClosedOneListensAgain) {
    net_endpoint* second = nullptr;
    net_reason reason{};
    EXPECT_EQ(stream_listen_address(&second, &local, port, 0, &reason), NET_ERROR);
#ifdef _WIN32
    EXPECT_EQ(reason.number, WSAEADDRINUSE);
#else
    EXPECT_EQ(reason.number, EADDRINUSE);
#endif
    EXPECT_EQ(second, nullptr);
    // The server closes first, so its side of the connection is left closing.
    connect_peer();
    net_endpoint* client = nullptr;
    net_select_set readable = server->ready_set;
    ASSERT_EQ(stream_wait(&readable, nullptr, wait_us, nullptr), 1);
    ASSERT_EQ(stream_accept(server, &client, nullptr), NET_NEW_CLIENT);
    stream_close(server);
    server = nullptr;
    EXPECT_EQ(stream_listen_address(&server, &local, port, 0, &reason), NET_OK) << reason.number;
}

TEST_P(NeverWaitingServer, FailedModeChangeOfAnAcceptedSocketClosesIt) {
    connect_peer();
    net_select_set readable = server->ready_set;
    ASSERT_EQ(stream_wait(&readable, nullptr, wait_us, nullptr), 1);
    fault_plan(fault_op::set_nonblocking, -1);
    net_endpoint* client = nullptr;
    EXPECT_EQ(stream_accept(server, &client, nullptr), NET_ERROR);
    EXPECT_EQ(server->next, nullptr);
    EXPECT_TRUE(plain_wait_readable(peer, wait_ms));  // the peer sees its end
}

INSTANTIATE_TEST_SUITE_P(EitherFamily, NeverWaitingServer, testing::Values("127.0.0.1", "::1"));
