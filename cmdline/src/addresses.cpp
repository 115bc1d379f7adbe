#include <algorithm>
#include <cstring>

#include "cmdline/cmdline.h"

namespace {

// Names and IPv4 literals never hold a colon; an IPv6 literal always does.
bool looks_like_ipv6(const char* text) { return std::strchr(text, ':') != nullptr; }

bool is_ipv4_literal(const char* text) {
    net_address parsed{};
    return net_address_parse(&parsed, text, nullptr) == NET_OK && parsed.family == net_family::ipv4;
}

bool all_digits(const char* text) {
    const char* end = text + std::strlen(text);
    return text != end && std::all_of(text, end, [](char c) { return c >= '0' && c <= '9'; });
}

// One lookup at most. The first command lines' address 0 meant "cannot be
// resolved", whatever text gave it; -6 takes 0.0.0.0 as the wildcard.
int resolve(const char* text, bool prefer_ipv6, net_address* address, net_reason* reason) {
    *reason = net_reason{0, false};
    if (looks_like_ipv6(text)) return net_address_parse(address, text, reason);
    int rc = net_address_resolve(address, text, prefer_ipv6 ? RESOLVE_PREFER_IPV6 : 0, reason);
    std::uint32_t ip = 0;
    if (rc == NET_OK && !prefer_ipv6 && net_address_to_ipv4(address, &ip) && ip == 0) return NET_ERROR;
    return rc;
}

// The C library's reason for a failed file call, with `verbose`.
void tell_errno(const cli_teller* teller, int error_number) {
    if (teller->verbose && error_number != 0) {
        std::fprintf(teller->out, "reason: %s (%d)\n", std::strerror(error_number), error_number);
    }
}

}  // namespace

void cli_tell_reason(const cli_teller* teller, const net_reason* reason) {
    if (!teller->verbose || (reason->number == 0 && !reason->from_lookup)) return;
    char text[256];
    net_reason_text(reason, text, sizeof text);
    std::fprintf(teller->out, "reason: %s (%d)\n", text, reason->number);
}

void cli_tell_file_failure(const cli_teller* teller, const char* what, const char* path, int error_number) {
    std::fprintf(teller->out, "%s %s\n", what, path);
    tell_errno(teller, error_number);
}

void cli_tell_unreadable_file(const cli_teller* teller, const char* path, bool opened, int error_number) {
    std::fprintf(teller->out, opened ? "cannot read file '%s'\n" : "file '%s' not found\n", path);
    tell_errno(teller, error_number);
}

void cli_tell_broken_file(const cli_teller* teller, const char* path, const char* wrong) {
    std::fprintf(teller->out, "%s: %s\n", path, wrong);
}

void cli_tell_invalid_hex(const cli_teller* teller, const char* text) {
    std::fprintf(teller->out, "invalid hex message %s\n", text);
}

int cli_tell_failure(const cli_teller* teller, const char* what, int rc, const net_reason* reason, int status) {
    std::fprintf(teller->out, "%s err %d\n", what, rc);
    cli_tell_reason(teller, reason);
    return status;
}

int cli_tell_metrics_failure(const cli_teller* teller, const char* where, const net_reason* reason, int status) {
    std::fprintf(teller->out, "cannot serve metrics on %s\n", where);
    cli_tell_reason(teller, reason);
    return status;
}

int cli_tell_no_memory(std::FILE* out, const char* what, int status) {
    std::fprintf(out, "%sout of memory\n", what);
    return status;
}

int cli_tell_mixed_families(std::FILE* out, const char* option, const char* option_text, const char* other_text) {
    std::fprintf(out, "%s %s and %s are of different address families\n", option, option_text, other_text);
    return -2;
}

bool cli_take_port(std::FILE* out, const char* text, std::uint16_t* port) {
    int value = 0;
    if (cli_read_port(text, port, &value)) return true;
    std::fprintf(out, "impossible port %d\n", value);
    return false;
}

bool cli_take_address(const cli_teller* teller, const char* text, bool prefer_ipv6, cli_address_role role,
                      net_address* address) {
    net_reason reason{};
    if (resolve(text, prefer_ipv6, address, &reason) == NET_OK) return true;
    std::fprintf(teller->out, role == cli_address_role::group ? "invalid ip address %s\n" : "invalid host/ip %s\n",
                 text);
    cli_tell_reason(teller, &reason);
    return false;
}

// An IPv4 literal that names no address (0.0.0.0) keeps the line it always had.
bool cli_take_interface(const cli_teller* teller, const char* text, net_interface* found) {
    net_reason reason{};
    *found = net_interface{};
    if (!all_digits(text) && resolve(text, false, &found->address, &reason) == NET_OK) return true;
    if (is_ipv4_literal(text)) {
        std::fprintf(teller->out, "invalid host/ip %s\n", text);
        return false;
    }
    if (!looks_like_ipv6(text) && net_interface_parse(found, text, &reason) == NET_OK) return true;
    std::fprintf(teller->out, "invalid interface %s\n", text);
    cli_tell_reason(teller, &reason);
    return false;
}
