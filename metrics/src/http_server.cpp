#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "metrics/http_server.h"

namespace {

// Connections taken from the backlog in one turn: a burst of them is
// drained, a few at a time, between the datagrams.
constexpr int accepts_per_turn = 16;

const char* status_line(http_verdict verdict) {
    switch (verdict) {
        case http_verdict::metrics: return "200 OK";
        case http_verdict::not_found: return "404 Not Found";
        case http_verdict::not_allowed: return "405 Method Not Allowed";
        case http_verdict::too_large: return "431 Request Header Fields Too Large";
        default: return "400 Bad Request";
    }
}

void put_answer(std::string* answer, http_verdict verdict, const std::string& page) {
    bool found = verdict == http_verdict::metrics;
    std::string_view body = found ? std::string_view(page) : std::string_view(status_line(verdict));
    char length[24];
    answer->assign("HTTP/1.1 ").append(status_line(verdict)).append("\r\nContent-Type: ");
    answer->append(found ? "text/plain; version=0.0.4; charset=utf-8" : "text/plain; charset=utf-8");
    if (verdict == http_verdict::not_allowed) answer->append("\r\nAllow: GET");
    answer->append("\r\nContent-Length: ");
    answer->append(length, std::to_chars(length, length + sizeof length, body.size() + (found ? 0 : 1)).ptr);
    answer->append("\r\nConnection: close\r\n\r\n").append(body);
    if (!found) answer->push_back('\n');
}

void drop_client(metrics_client* client) {
    stream_close(client->ep);
    client->ep = nullptr;
    client->answer.clear();
    client->answer.shrink_to_fit();
}

metrics_client* free_slot(metrics_server* server) {
    for (metrics_client& client : server->clients) {
        if (client.ep == nullptr) return &client;
    }
    return nullptr;
}

void accept_waiting(metrics_server* server, std::uint64_t now_us) {
    for (int i = 0; i < accepts_per_turn; ++i) {
        net_endpoint* accepted = nullptr;
        if (stream_accept(server->listener, &accepted, nullptr) != NET_NEW_CLIENT) return;
        metrics_client* client = free_slot(server);
        if (client == nullptr) {
            // A client turned away at once learns it at once, and leaves no room taken in the backlog.
            stream_close(accepted);
            ++server->refused;
            continue;
        }
        *client = metrics_client{accepted, now_us + METRICS_CLIENT_TIME_US, 0, false, {}, 0};
    }
}

// Sends what the socket takes of the answer; the client goes once it is all out.
void send_answer(metrics_client* client) {
    while (client->sent < client->answer.size()) {
        std::size_t left = client->answer.size() - client->sent;
        int n = stream_send_some(client->ep, client->answer.data() + client->sent,
                                 static_cast<int>(std::min<std::size_t>(left, 1 << 20)), nullptr);
        if (n == NET_TIMEOUT) return;
        if (n < 0) break;
        client->sent += static_cast<std::size_t>(n);
    }
    drop_client(client);
}

void read_request(metrics_server* server, metrics_client* client, char* request) {
    int n = stream_receive_some(client->ep, request + client->used,
                                static_cast<int>(METRICS_REQUEST_MAX - client->used), nullptr);
    if (n == NET_TIMEOUT) return;
    if (n < 0) return drop_client(client);
    client->used += static_cast<std::size_t>(n);
    http_verdict verdict = http_judge_request(request, client->used, METRICS_REQUEST_MAX);
    if (verdict == http_verdict::incomplete) return;
    if (verdict == http_verdict::metrics) {
        server->page.clear();
        server->source.write(server->source.context, &server->page);
    }
    put_answer(&client->answer, verdict, server->page);
    client->answering = true;
    client->sent = 0;
    send_answer(client);
}

// The sockets to wait on, and the nearest client deadline.
std::uint64_t gather(const metrics_server* server, net_endpoint* ep, net_select_set* readable,
                     net_select_set* writable, std::uint64_t until_us) {
    readable->count = writable->count = 0;
    if (ep != nullptr) set_add(readable, ep->sock);
    set_add(readable, server->listener->sock);
    for (const metrics_client& client : server->clients) {
        if (client.ep == nullptr) continue;
        set_add(client.answering ? writable : readable, client.ep->sock);
        until_us = std::min(until_us, client.deadline_us);
    }
    return until_us;
}

}  // namespace

bool metrics_listen_parse(const char* text, metrics_listen* out) {
    std::string_view all(text);
    std::size_t colon = all.rfind(':');
    std::string_view port_text = colon == std::string_view::npos ? all : all.substr(colon + 1);
    unsigned port = 0;
    auto [end, error] = std::from_chars(port_text.data(), port_text.data() + port_text.size(), port);
    if (error != std::errc{} || end != port_text.data() + port_text.size() || port == 0 || port > 65535) return false;
    *out = metrics_listen{true, {}, static_cast<std::uint16_t>(port)};
    if (colon == std::string_view::npos) return true;
    std::string address(all.substr(0, colon));
    // An IPv6 address goes in brackets: its own colons would hide the port's.
    bool bracketed = address.size() > 2 && address.front() == '[' && address.back() == ']';
    if (!bracketed && address.find(':') != std::string::npos) return false;
    out->any = false;
    return net_address_parse(&out->address, address.c_str(), nullptr) == NET_OK;
}

int metrics_server_open(metrics_server* server, const metrics_listen* where, metrics_page_source source,
                        net_reason* reason) {
    server->listener = nullptr;
    server->source = source;
    server->refused = 0;
    for (metrics_client& client : server->clients) client = metrics_client{};
    server->requests = static_cast<char*>(std::malloc(METRICS_CLIENTS_MAX * METRICS_REQUEST_MAX));
    if (server->requests == nullptr) {
        if (reason != nullptr) *reason = net_reason{0, false};  // no call failed: no memory
        return NET_ERROR;
    }
    int rc = NET_ERROR;
    if (where->any) {
        net_address any6{};
        any6.family = net_family::ipv6;
        rc = stream_listen_address(&server->listener, &any6, where->port, STREAM_KEEP_LISTENING | STREAM_DUAL_STACK,
                                   reason);
        net_address any4{};
        any4.family = net_family::ipv4;
        if (rc != NET_OK) {
            rc = stream_listen_address(&server->listener, &any4, where->port, STREAM_KEEP_LISTENING, reason);
        }
    } else {
        rc = stream_listen_address(&server->listener, &where->address, where->port, STREAM_KEEP_LISTENING, reason);
    }
    if (rc != NET_OK) {
        std::free(server->requests);
        server->requests = nullptr;
    }
    return rc;
}

void metrics_server_close(metrics_server* server) {
    for (metrics_client& client : server->clients) {
        if (client.ep != nullptr) drop_client(&client);
    }
    if (server->listener != nullptr) stream_close(server->listener);
    server->listener = nullptr;
    std::free(server->requests);
    server->requests = nullptr;
}

int metrics_server_wait(metrics_server* server, net_endpoint* ep, std::uint32_t timeout_us, net_reason* reason) {
    // One clock read a wait where the datagram ends it, as it mostly does.
    std::uint64_t now_us = net_steady_us();
    std::uint64_t end_us = now_us + timeout_us;
    for (;; now_us = net_steady_us()) {
        for (metrics_client& client : server->clients) {
            if (client.ep != nullptr && now_us >= client.deadline_us) drop_client(&client);
        }
        net_select_set readable;
        net_select_set writable;
        std::uint64_t until_us = gather(server, ep, &readable, &writable, std::max(end_us, now_us));
        auto wait_us = static_cast<std::uint32_t>(until_us > now_us ? until_us - now_us : 0);
        int rc = stream_wait(&readable, &writable, wait_us, reason);
        if (rc == NET_ERROR) return rc;
        if (rc == NET_TIMEOUT) {
            if (net_steady_us() >= end_us) return NET_TIMEOUT;
            continue;
        }
        if (set_contains(&readable, server->listener->sock)) accept_waiting(server, net_steady_us());
        for (int i = 0; i < METRICS_CLIENTS_MAX; ++i) {
            metrics_client* client = &server->clients[i];
            if (client->ep == nullptr) continue;
            if (client->answering && set_contains(&writable, client->ep->sock)) {
                send_answer(client);
            } else if (!client->answering && set_contains(&readable, client->ep->sock)) {
                read_request(server, client, server->requests + std::size_t(i) * METRICS_REQUEST_MAX);
            }
        }
        if (ep != nullptr && set_contains(&readable, ep->sock)) return NET_OK;
        if (net_steady_us() >= end_us) return NET_TIMEOUT;
    }
}
