#include "encode.h"

#include <cstring>

namespace {

char* put_padded(char* at, std::uint64_t value, int width) {
    for (int i = width - 1; i >= 0; --i) {
        at[i] = static_cast<char>('0' + value % 10);
        value /= 10;
    }
    return at + width;
}

struct civil_date {
    std::int64_t year;
    unsigned month;
    unsigned day;
};

// The proleptic Gregorian date of a day counted from 1970-01-01, by whole
// 400-year eras starting on March 1st, where leap days fall at era ends.
civil_date date_of_day(std::int64_t days) {
    std::int64_t shifted = days + 719468;  // from 0000-03-01
    std::int64_t era = shifted / 146097;
    auto day_of_era = static_cast<unsigned>(shifted - era * 146097);
    unsigned year_of_era = (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
    unsigned day_of_year = day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
    unsigned month_from_march = (5 * day_of_year + 2) / 153;
    unsigned day = day_of_year - (153 * month_from_march + 2) / 5 + 1;
    unsigned month = month_from_march < 10 ? month_from_march + 3 : month_from_march - 9;
    return civil_date{era * 400 + year_of_era + (month <= 2 ? 1 : 0), month, day};
}

// "%<zone>" as the layer writes it after an address, asked of the layer
// once per index while it keeps its slot.
const char* zone_text(record_zone* zones, std::uint32_t index) {
    record_zone& slot = zones[index % RECORD_ZONE_SLOTS];
    if (slot.index == index) return slot.text;
    net_address zoned{};
    zoned.family = net_family::ipv6;
    zoned.scope_id = index;
    char text[NET_ADDRESS_TEXT_ROOM];
    const char* zone = net_address_format(&zoned, text, sizeof text) > 0 ? std::strchr(text, '%') : nullptr;
    std::strcpy(slot.text, zone != nullptr ? zone : "");
    slot.index = index;
    return slot.text;
}

}  // namespace

char* put_hex_byte(char* at, unsigned char byte) {
    constexpr char hex_digits[] = "0123456789abcdef";
    *at++ = hex_digits[byte >> 4];
    *at++ = hex_digits[byte & 0xf];
    return at;
}

// An address the layer cannot format (none) leaves nothing.
char* put_address(char* at, const net_address& address, record_zone* zones) {
    net_address unzoned = address;
    unzoned.scope_id = 0;
    int length = net_address_format(&unzoned, at, NET_ADDRESS_TEXT_ROOM);
    if (length <= 0) return at;
    at += length;
    return address.scope_id != 0 ? put_text(at, zone_text(zones, address.scope_id)) : at;
}

char* put_address_port(char* at, const net_address& address, std::uint16_t port, record_zone* zones) {
    if (address.scope_id == 0) {
        net_address_port from{address, port};
        int length = net_address_format_port(&from, at, NET_ADDRESS_TEXT_ROOM);
        return at + (length > 0 ? length : 0);
    }
    *at++ = '[';
    at = put_address(at, address, zones);
    at = put_text(at, "]:");
    return put_decimal(at, port);
}

char* put_utc_time(char* at, std::uint64_t time_us) {
    constexpr std::uint64_t us_per_day = 86400ull * 1000000;
    std::uint64_t us_of_day = time_us % us_per_day;
    civil_date date = date_of_day(static_cast<std::int64_t>(time_us / us_per_day));
    std::uint64_t seconds = us_of_day / 1000000;
    at = put_padded(at, static_cast<std::uint64_t>(date.year), date.year > 9999 ? 6 : 4);
    *at++ = '-';
    at = put_padded(at, date.month, 2);
    *at++ = '-';
    at = put_padded(at, date.day, 2);
    *at++ = 'T';
    at = put_padded(at, seconds / 3600, 2);
    *at++ = ':';
    at = put_padded(at, seconds / 60 % 60, 2);
    *at++ = ':';
    at = put_padded(at, seconds % 60, 2);
    *at++ = '.';
    at = put_padded(at, us_of_day % 1000000, 6);
    *at++ = 'Z';
    return at;
}

char* put_hex_dump(char* at, const char* data, std::size_t size) {
    for (std::size_t offset = 0; offset < size; offset += 16) {
        unsigned char line[16];
        std::size_t count = size - offset < 16 ? size - offset : 16;
        for (std::size_t i = 0; i < count; ++i) line[i] = static_cast<unsigned char>(data[offset + i]);
        at = put_hex_byte(at, static_cast<unsigned char>(offset >> 24));
        at = put_hex_byte(at, static_cast<unsigned char>(offset >> 16));
        at = put_hex_byte(at, static_cast<unsigned char>(offset >> 8));
        at = put_hex_byte(at, static_cast<unsigned char>(offset));
        *at++ = ' ';
        for (std::size_t i = 0; i < 16; ++i) {
            if (i % 8 == 0) *at++ = ' ';
            at = i < count ? put_hex_byte(at, line[i]) : put_text(at, "  ");
            *at++ = ' ';
        }
        at = put_text(at, " |");
        for (std::size_t i = 0; i < count; ++i) *at++ = line[i] >= 0x20 && line[i] < 0x7f ? static_cast<char>(line[i]) : '.';
        at = put_text(at, "|\n");
    }
    return at;
}

char* put_base64(char* at, const char* data, std::size_t size) {
    constexpr char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    for (std::size_t i = 0; i < size; i += 3) {
        std::size_t count = size - i < 3 ? size - i : 3;
        std::uint32_t group = 0;
        for (std::size_t j = 0; j < 3; ++j) {
            group = group << 8 | (j < count ? static_cast<unsigned char>(data[i + j]) : 0u);
        }
        for (std::size_t j = 0; j < 4; ++j) {
            *at++ = j <= count ? alphabet[group >> (18 - 6 * j) & 0x3f] : '=';
        }
    }
    return at;
}
