// One datagram out and back in over 127.0.0.1 per iteration, three ways:
// through the layer (dgram_send_to, dgram_receive_from); by hand with the
// same waits (poll for writable, sendto, poll for readable, recvfrom); and
// with bare blocking sendto and recvfrom. The datagram is queued before the
// receive starts, so no wait ever sleeps: what differs is the work around
// the system calls.
#include <benchmark/benchmark.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <vector>

#include "netlayer/netlayer.h"

namespace {

constexpr std::uint32_t loopback = 0x7f000001;
constexpr std::uint32_t wait_us = 1000000;  // never reached: a wait that ran out is a failure
constexpr int wait_ms = 1000;
constexpr int receive_capacity = 100000;  // what catchel reads into

sockaddr_in loopback_address(std::uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(loopback);
    return address;
}

// A receiving socket bound to a free port on 127.0.0.1 and an unbound sender,
// made with the system's calls for the benchmarks that bypass the layer.
struct plain_pair {
    int receiver;
    int sender;
    sockaddr_in to;
};

plain_pair open_plain_pair() {
    plain_pair pair{socket(AF_INET, SOCK_DGRAM, 0), socket(AF_INET, SOCK_DGRAM, 0), loopback_address(0)};
    socklen_t len = sizeof pair.to;
    if (bind(pair.receiver, reinterpret_cast<sockaddr*>(&pair.to), sizeof pair.to) != 0 ||
        getsockname(pair.receiver, reinterpret_cast<sockaddr*>(&pair.to), &len) != 0) {
        pair.receiver = -1;
    }
    return pair;
}

void close_plain_pair(const plain_pair& pair) {
    close(pair.receiver);
    close(pair.sender);
}

bool wait_for(int fd, short events) {
    pollfd entry{fd, events, 0};
    return poll(&entry, 1, wait_ms) == 1 && (entry.revents & events) != 0;
}

void set_payload_counters(benchmark::State& state, int size) {
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(state.iterations() * size);
}

void layer_round_trip(benchmark::State& state) {
    const int size = static_cast<int>(state.range(0));
    std::vector<char> payload(static_cast<std::size_t>(size), 'x');
    std::vector<char> buffer(receive_capacity);
    net_endpoint* receiver = nullptr;
    net_endpoint* sender = nullptr;
    std::uint16_t port = 0;
    if (dgram_open(&receiver, loopback, 0, DGRAM_BIND_ADDRESS_ONLY) != NET_OK ||
        net_local_address(receiver, nullptr, &port) != NET_OK || dgram_open(&sender, 0, 0, 0) != NET_OK) {
        state.SkipWithError("cannot open the endpoints");
        return;
    }
    for (auto _ : state) {
        std::uint32_t from_ip = 0;
        std::uint16_t from_port = 0;
        if (dgram_send_to(sender, payload.data(), size, loopback, port, wait_us) != NET_OK ||
            dgram_receive_from(receiver, buffer.data(), receive_capacity, &from_ip, &from_port, wait_us, 0) != size) {
            state.SkipWithError("round trip failed");
            break;
        }
        benchmark::DoNotOptimize(from_port);
    }
    set_payload_counters(state, size);
    dgram_close(sender);
    dgram_close(receiver);
}

// Shared by the two benchmarks that bypass the layer; `waits` says whether
// each call is preceded by the poll the layer makes.
void plain_round_trip(benchmark::State& state, bool waits) {
    const int size = static_cast<int>(state.range(0));
    std::vector<char> payload(static_cast<std::size_t>(size), 'x');
    std::vector<char> buffer(receive_capacity);
    plain_pair pair = open_plain_pair();
    if (pair.receiver < 0 || pair.sender < 0) {
        state.SkipWithError("cannot open the sockets");
        return;
    }
    for (auto _ : state) {
        sockaddr_in from{};
        socklen_t from_len = sizeof from;
        if ((waits && !wait_for(pair.sender, POLLOUT)) ||
            sendto(pair.sender, payload.data(), payload.size(), 0, reinterpret_cast<const sockaddr*>(&pair.to),
                   sizeof pair.to) != size ||
            (waits && !wait_for(pair.receiver, POLLIN)) ||
            recvfrom(pair.receiver, buffer.data(), buffer.size(), 0, reinterpret_cast<sockaddr*>(&from),
                     &from_len) != size) {
            state.SkipWithError("round trip failed");
            break;
        }
        benchmark::DoNotOptimize(from.sin_port);
    }
    set_payload_counters(state, size);
    close_plain_pair(pair);
}

void hand_written_round_trip(benchmark::State& state) { plain_round_trip(state, true); }

void bare_round_trip(benchmark::State& state) { plain_round_trip(state, false); }

// Sizes: a small datagram, one that fits an Ethernet frame, the largest there is.
void payload_sizes(benchmark::internal::Benchmark* b) { b->Arg(64)->Arg(1472)->Arg(65507); }

}  // namespace

BENCHMARK(layer_round_trip)->Apply(payload_sizes);
BENCHMARK(hand_written_round_trip)->Apply(payload_sizes);
BENCHMARK(bare_round_trip)->Apply(payload_sizes);
