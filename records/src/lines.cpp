#include "records/lines.h"

#include <algorithm>

#include "encode.h"
#include "records/records.h"

namespace {

// A JSON string's quotes around what `put` writes; bare in the text.
template <typename Put>
void quoted(record_line* line, Put put) {
    if (line->json) line->to->push_back('"');
    put();
    if (line->json) line->to->push_back('"');
}

}  // namespace

void record_line_begin(record_line* line, std::string_view kind) {
    if (line->json) {
        line->to->append("{\"").append(kind).append("\":{");
    } else {
        line->to->append(kind);
    }
    line->first = true;
}

void record_line_end(record_line* line) { line->to->append(line->json ? "}}\n" : "\n"); }

void record_line_key(record_line* line, std::string_view name) {
    if (line->json) {
        if (!line->first) line->to->push_back(',');
        line->to->append("\"").append(name).append("\":");
    } else {
        line->to->append(" ").append(name).append(" ");
    }
    line->first = false;
}

void record_line_object_begin(record_line* line, std::string_view name) {
    record_line_key(line, name);
    if (line->json) {
        line->to->push_back('{');
    } else {
        line->to->pop_back();  // each field brings its own space
    }
    line->first = true;
}

void record_line_object_end(record_line* line) {
    if (line->json) line->to->push_back('}');
    line->first = false;
}

// Written by hand: the library's floating-point conversion would bring an
// import Windows XP lacks.
void record_line_decimal(record_line* line, std::string_view name, double value, int digits) {
    record_line_key(line, name);
    std::uint64_t unit = 1;
    for (int i = 0; i < digits; ++i) unit *= 10;
    constexpr double largest = 9e18;
    double scaled = std::clamp(value * static_cast<double>(unit), -largest, largest);
    auto units = static_cast<std::int64_t>(scaled + (scaled < 0 ? -0.5 : 0.5));
    if (units < 0) line->to->push_back('-');
    std::uint64_t magnitude = units < 0 ? 0 - static_cast<std::uint64_t>(units) : static_cast<std::uint64_t>(units);
    char text[24];
    line->to->append(text, std::to_chars(text, text + sizeof text, magnitude / unit).ptr);
    if (digits == 0) return;
    // The fraction with its leading zeros: written after a leading 1.
    char* end = std::to_chars(text, text + sizeof text, unit + magnitude % unit).ptr;
    text[0] = '.';
    line->to->append(text, end);
}

void record_line_tenths(record_line* line, std::string_view name, std::int64_t whole, unsigned tenths) {
    record_line_key(line, name);
    char text[24];
    if (whole < 0 && tenths > 0) {
        line->to->push_back('-');
        auto magnitude = static_cast<std::uint64_t>(-(whole + 1));
        line->to->append(text, std::to_chars(text, text + sizeof text, magnitude).ptr);
        tenths = 10 - tenths;
    } else {
        line->to->append(text, std::to_chars(text, text + sizeof text, whole).ptr);
    }
    line->to->push_back('.');
    line->to->push_back(static_cast<char>('0' + tenths));
}

void record_line_address(record_line* line, std::string_view name, const net_address& value) {
    record_line_key(line, name);
    char text[NET_ADDRESS_TEXT_ROOM];
    if (net_address_format(&value, text, sizeof text) < 0) text[0] = '\0';
    if (!line->json) {
        line->to->append(text);
        return;
    }
    char escaped[RECORD_JSON_ADDRESS_ROOM];
    quoted(line, [&] { line->to->append(escaped, record_put_json_text(escaped, text)); });
}

void record_line_time(record_line* line, std::string_view name, std::uint64_t utc_us) {
    record_line_key(line, name);
    char text[32];
    quoted(line, [&] { line->to->append(text, put_utc_time(text, utc_us)); });
}
