// The pieces records are made of. Each writer puts its piece at `at` and
// returns where the piece ends.
#pragma once

#include <charconv>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "netlayer/address.h"
#include "records/records.h"

inline char* put_text(char* at, std::string_view text) {
    for (char c : text) *at++ = c;
    return at;
}

template <typename Number>
char* put_decimal(char* at, Number value) {
    return std::to_chars(at, at + 24, value).ptr;
}

// As the layer formats it, bare; or with its port, an IPv6 one in brackets;
// a zone's text taken from `zones` once it is there.
// Each writes at most NET_ADDRESS_TEXT_ROOM bytes.
char* put_address(char* at, const net_address& address, record_zone* zones);
char* put_address_port(char* at, const net_address& address, std::uint16_t port, record_zone* zones);

// Two lower-case hexadecimal digits.
char* put_hex_byte(char* at, unsigned char byte);

// "YYYY-MM-DDTHH:MM:SS.uuuuuuZ", from microseconds since 1970 began in UTC.
char* put_utc_time(char* at, std::uint64_t time_us);

// `hexdump -C -v` lines of the bytes, without its closing offset line.
// `at` may lie before `data` in the same array as long as each line, read
// before it is written, ends before the next line's bytes: the dump of
// `size` bytes needs hex_dump_growth(size) bytes more than they do.
char* put_hex_dump(char* at, const char* data, std::size_t size);
constexpr std::size_t hex_dump_lines(std::size_t size) { return (size + 15) / 16; }
constexpr std::size_t hex_dump_growth(std::size_t size) { return hex_dump_lines(size) * (79 - 16); }

// Standard base64 with padding. `at` may lie before `data` in the same array
// by base64_growth(size) bytes or more.
char* put_base64(char* at, const char* data, std::size_t size);
constexpr std::size_t base64_growth(std::size_t size) { return (size + 2) / 3; }
