// Lines of named fields, as the programs' figures are told: "<kind> <name>
// <value> ..." as text, or {"<kind>":{"<name>":<value>,...}} as JSON. An
// object's fields follow its name in the text as they do in JSON.
#pragma once

#include <charconv>
#include <cstdint>
#include <string>
#include <string_view>

#include "netlayer/address.h"

struct record_line {
    std::string* to;
    bool json;
    bool first;  // no field yet at this depth
};

void record_line_begin(record_line* line, std::string_view kind);
void record_line_end(record_line* line);
void record_line_object_begin(record_line* line, std::string_view name);
void record_line_object_end(record_line* line);

// The name, and what separates it from the field before: the value follows.
void record_line_key(record_line* line, std::string_view name);

template <typename Number>
void record_line_number(record_line* line, std::string_view name, Number value) {
    record_line_key(line, name);
    char text[24];
    line->to->append(text, std::to_chars(text, text + sizeof text, value).ptr);
}

// Fixed-point, `digits` (at most 6) after the point, rounded half away
// from zero; beyond +-9e18 units it is cut to that.
void record_line_decimal(record_line* line, std::string_view name, double value, int digits);

// whole + tenths / 10 with one decimal, exact over all of int64: -4.7 is
// whole -5 and tenths 3.
void record_line_tenths(record_line* line, std::string_view name, std::int64_t whole, unsigned tenths);

// As the layer formats it; a JSON string.
void record_line_address(record_line* line, std::string_view name, const net_address& value);

// "YYYY-MM-DDTHH:MM:SS.uuuuuuZ" as -t prints it, from microseconds since
// 1970 began in UTC; a JSON string.
void record_line_time(record_line* line, std::string_view name, std::uint64_t utc_us);
