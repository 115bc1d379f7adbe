// Address literals read and written by the layer itself: Windows XP has no
// inet_pton or inet_ntop, and both platforms must print alike.
#include <cstring>

#include "internal.h"
#include "platform.h"

namespace {

constexpr int ipv6_groups = 8;
// The longest zone name printed; a longer one is printed as its number so
// that every address fits NET_ADDRESS_TEXT_ROOM: "[" 39 "%" zone "]:65535".
constexpr std::size_t zone_name_room = NET_ADDRESS_TEXT_ROOM - sizeof "[ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff%]:65535";

bool is_digit(char c) { return c >= '0' && c <= '9'; }

int hex_value(char c) {
    if (is_digit(c)) return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// A decimal number of at most `limit` without leading zeros, ending at `end`
// or at a `stop` character; where it ended goes to `*rest`.
bool read_decimal(const char* at, const char* end, std::uint32_t limit, std::uint32_t* value, const char** rest) {
    const char* start = at;
    std::uint64_t n = 0;
    while (at < end && is_digit(*at) && n <= limit) n = n * 10 + static_cast<std::uint64_t>(*at++ - '0');
    if (at == start || n > limit || (at - start > 1 && *start == '0')) return false;
    *value = static_cast<std::uint32_t>(n);
    *rest = at;
    return true;
}

// Exactly a.b.c.d between `at` and `end`.
bool parse_ipv4(const char* at, const char* end, std::uint8_t* bytes) {
    for (int i = 0; i < 4; ++i) {
        std::uint32_t octet = 0;
        if (!read_decimal(at, end, 255, &octet, &at)) return false;
        bytes[i] = static_cast<std::uint8_t>(octet);
        if (i < 3 && (at == end || *at++ != '.')) return false;
    }
    return at == end;
}

// RFC 4291 text form 2 and 3: hex groups with at most one "::", the last
// 32 bits possibly dotted.
bool parse_ipv6(const char* at, const char* end, std::uint8_t* bytes) {
    std::uint16_t groups[ipv6_groups] = {};
    int count = 0;
    int gap = -1;  // where "::" stands, in groups
    if (end - at >= 2 && at[0] == ':' && at[1] == ':') {
        gap = 0;
        at += 2;
    } else if (at < end && *at == ':') {
        return false;
    }
    while (at < end) {
        if (count == ipv6_groups) return false;
        const char* start = at;
        std::uint32_t value = 0;
        while (at < end && hex_value(*at) >= 0 && at - start < 5) value = value << 4 | static_cast<std::uint32_t>(hex_value(*at++));
        if (at < end && *at == '.') {
            if (count > ipv6_groups - 2 || !parse_ipv4(start, end, bytes)) return false;
            groups[count++] = static_cast<std::uint16_t>(bytes[0] << 8 | bytes[1]);
            groups[count++] = static_cast<std::uint16_t>(bytes[2] << 8 | bytes[3]);
            break;
        }
        if (at == start || at - start > 4) return false;
        groups[count++] = static_cast<std::uint16_t>(value);
        if (at == end) break;
        if (*at++ != ':' || at == end) return false;
        if (*at == ':') {
            if (gap >= 0) return false;
            gap = count;
            ++at;
        }
    }
    if (gap < 0 ? count != ipv6_groups : count == ipv6_groups) return false;
    int moved = count - (gap < 0 ? count : gap);
    int zeros = ipv6_groups - count;
    for (int i = count - 1; i >= count - moved; --i) groups[i + zeros] = groups[i];
    for (int i = 0; i < zeros; ++i) groups[gap + i] = 0;
    for (int i = 0; i < ipv6_groups; ++i) {
        bytes[2 * i] = static_cast<std::uint8_t>(groups[i] >> 8);
        bytes[2 * i + 1] = static_cast<std::uint8_t>(groups[i]);
    }
    return true;
}

// A zone by number, else by interface name.
int parse_zone(const char* zone, std::uint32_t* scope_id, net_reason* reason) {
    const char* rest = nullptr;
    const char* end = zone + std::strlen(zone);
    if (read_decimal(zone, end, 0xffffffff, scope_id, &rest) && rest == end) return NET_OK;
    if (*zone == '\0') return net_fail_without_call(reason);
    *scope_id = plat_interface_index(zone);
    return *scope_id != 0 ? NET_OK : net_fail(reason);
}

// Writes `text` into [at, end); false when it does not fit.
struct text_writer {
    char* at;
    char* end;
    bool fits;

    void put(const char* text, std::size_t length) {
        if (static_cast<std::size_t>(end - at) <= length) {
            fits = false;
            return;
        }
        std::memcpy(at, text, length);
        at += length;
    }
    void put(const char* text) { put(text, std::strlen(text)); }
    void put_decimal(std::uint32_t value) {
        char digits[10];
        std::size_t n = 0;
        do {
            digits[sizeof digits - ++n] = static_cast<char>('0' + value % 10);
            value /= 10;
        } while (value != 0);
        put(digits + sizeof digits - n, n);
    }
    void put_hex(std::uint32_t value) {
        constexpr char hex_digits[] = "0123456789abcdef";
        char digits[4];
        std::size_t n = 0;
        do {
            digits[sizeof digits - ++n] = hex_digits[value & 0xf];
            value >>= 4;
        } while (value != 0);
        put(digits + sizeof digits - n, n);
    }
};

void put_ipv4(text_writer* out, const std::uint8_t* bytes) {
    for (int i = 0; i < 4; ++i) {
        if (i > 0) out->put(".");
        out->put_decimal(bytes[i]);
    }
}

void put_zone(text_writer* out, std::uint32_t scope_id) {
    out->put("%");
    char name[zone_name_room];
    if (plat_interface_name(scope_id, name, sizeof name) == 0) {
        out->put(name);
    } else {
        out->put_decimal(scope_id);
    }
}

void put_ipv6(text_writer* out, const net_address* address) {
    std::uint16_t groups[ipv6_groups];
    for (int i = 0; i < ipv6_groups; ++i) groups[i] = static_cast<std::uint16_t>(address->bytes[2 * i] << 8 | address->bytes[2 * i + 1]);
    int best = -1;
    int best_length = 1;  // a single zero group is not compressed
    for (int i = 0; i < ipv6_groups;) {
        int j = i;
        while (j < ipv6_groups && groups[j] == 0) ++j;
        if (j - i > best_length) {
            best = i;
            best_length = j - i;
        }
        i = j > i ? j : i + 1;
    }
    for (int i = 0; i < ipv6_groups; ++i) {
        if (i == best) {
            out->put("::");
            i += best_length - 1;
            continue;
        }
        if (i > 0 && i != best + best_length) out->put(":");
        out->put_hex(groups[i]);
    }
    if (address->scope_id != 0) put_zone(out, address->scope_id);
}

int finish(const text_writer& out, char* text) {
    if (!out.fits) return NET_ERROR;
    *out.at = '\0';
    return static_cast<int>(out.at - text);
}

void put_address(text_writer* out, const net_address* address) {
    if (net_address_family(address) == net_family::ipv4) {
        put_ipv4(out, address->family == net_family::ipv4 ? address->bytes : address->bytes + 12);
    } else {
        put_ipv6(out, address);
    }
}

}  // namespace

int net_address_parse(net_address* out, const char* text, net_reason* reason) {
    const char* end = text + std::strlen(text);
    bool bracketed = *text == '[';
    if (bracketed) {
        if (end - text < 2 || end[-1] != ']') return net_fail_without_call(reason);
        ++text;
        --end;
    }
    net_address found{};
    const char* zone = static_cast<const char*>(std::memchr(text, '%', static_cast<std::size_t>(end - text)));
    const char* address_end = zone != nullptr ? zone : end;
    if (!bracketed && zone == nullptr && parse_ipv4(text, end, found.bytes)) {
        found.family = net_family::ipv4;
    } else if (parse_ipv6(text, address_end, found.bytes)) {
        found.family = net_family::ipv6;
    } else {
        return net_fail_without_call(reason);
    }
    if (zone != nullptr) {
        char name[NET_ADDRESS_TEXT_ROOM];
        auto length = static_cast<std::size_t>(end - zone - 1);
        if (length >= sizeof name) return net_fail_without_call(reason);
        std::memcpy(name, zone + 1, length);
        name[length] = '\0';
        if (parse_zone(name, &found.scope_id, reason) != NET_OK) return NET_ERROR;
    }
    *out = found;
    return NET_OK;
}

int net_address_format(const net_address* address, char* text, std::size_t room) {
    if (room == 0 || address->family == net_family::none) return NET_ERROR;
    text_writer out{text, text + room, true};
    put_address(&out, address);
    return finish(out, text);
}

int net_address_format_port(const net_address_port* address, char* text, std::size_t room) {
    if (room == 0 || address->address.family == net_family::none) return NET_ERROR;
    text_writer out{text, text + room, true};
    bool bracketed = net_address_family(&address->address) == net_family::ipv6;
    if (bracketed) out.put("[");
    put_address(&out, &address->address);
    out.put(bracketed ? "]:" : ":");
    out.put_decimal(address->port);
    return finish(out, text);
}
