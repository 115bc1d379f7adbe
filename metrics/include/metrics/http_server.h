// A small HTTP server for GET /metrics, served between a program's datagrams
// in the one wait they share. A slow or silent client never holds the
// program up: no call waits on a client, a request is bounded in size and a
// client in time, and only a few are served at once. Each client is answered
// once and closed (Connection: close).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "netlayer/netlayer.h"

// What the server accepts of its clients.
constexpr int METRICS_CLIENTS_MAX = 8;  // more at once are accepted and closed at once
constexpr std::size_t METRICS_REQUEST_MAX = 8192;  // a longer request head is answered 431
constexpr std::uint64_t METRICS_CLIENT_TIME_US = 2000000;  // from accept to the last byte of the answer

// What a request is answered with, judged from the bytes read so far.
enum class http_verdict { incomplete, metrics, not_found, not_allowed, malformed, too_large };

// The head of a request (up to its empty line) in `length` bytes, `room`
// being what the server reads at most: `incomplete` until that line has
// come, unless the bytes already cannot be HTTP or fill the room.
http_verdict http_judge_request(const char* bytes, std::size_t length, std::size_t room);

// Where the server listens: an address of either family, or every local
// address (`any`), and a port.
struct metrics_listen {
    bool any;
    net_address address;
    std::uint16_t port;
};

// "<port>" or "<address>:<port>", an IPv6 address in brackets ([::1]:9464).
// False when the text is neither.
bool metrics_listen_parse(const char* text, metrics_listen* out);

// The page, written afresh for each GET /metrics by the program's function.
struct metrics_page_source {
    void (*write)(void* context, std::string* page);
    void* context;
};

struct metrics_client {
    net_endpoint* ep;  // null: the slot is free
    std::uint64_t deadline_us;  // by the layer's steady clock
    std::size_t used;  // request bytes read
    bool answering;
    std::string answer;
    std::size_t sent;
};

struct metrics_server {
    net_endpoint* listener;
    metrics_page_source source;
    metrics_client clients[METRICS_CLIENTS_MAX];
    char* requests;  // METRICS_REQUEST_MAX bytes for each client, on the heap
    std::string page;
    std::uint64_t refused;  // connections closed at once, all the slots taken
};

// Listens as `where` says; every local address is IPv6's wildcard taking
// IPv4 too, else, where the system has no such socket, IPv4's. NET_OK, or
// NET_ERROR with the system's reason.
int metrics_server_open(metrics_server* server, const metrics_listen* where, metrics_page_source source,
                        net_reason* reason);
void metrics_server_close(metrics_server* server);

// Serves the clients until `ep` (null: none) has a datagram to read, or for
// `timeout_us`: NET_OK once it has, else NET_TIMEOUT; NET_ERROR with the
// reason when the wait itself failed. A timeout of 0 serves what is ready
// and returns.
int metrics_server_wait(metrics_server* server, net_endpoint* ep, std::uint32_t timeout_us, net_reason* reason);
