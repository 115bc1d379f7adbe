#include "metrics/exposition.h"

#include <charconv>
#include <cmath>

#include "probes/probes.h"

const std::uint64_t metrics_bucket_bounds_us[METRICS_BUCKETS] = {
    50,     100,     200,     300,     500,     1000,    2000,    3000,    5000,    10000,   20000,
    30000,  50000,   100000,  200000,  300000,  500000,  1000000, 2000000, 3000000, 5000000, 10000000};

namespace {

void put_number(std::string* to, std::uint64_t value) {
    char text[24];
    to->append(text, std::to_chars(text, text + sizeof text, value).ptr);
}

// A whole number of units of 10^-digits, as a decimal with no trailing
// zeros: written by hand, as the library's floating-point conversion would
// bring an import Windows XP lacks.
void put_fixed(std::string* to, std::uint64_t units, int digits) {
    std::uint64_t unit = 1;
    for (int i = 0; i < digits; ++i) unit *= 10;
    put_number(to, units / unit);
    std::uint64_t fraction = units % unit;
    if (fraction == 0) return;
    char text[24] = {};
    // The fraction with its leading zeros: written after a leading 1.
    char* end = std::to_chars(text, text + sizeof text, unit + fraction).ptr;
    while (end[-1] == '0') --end;
    text[0] = '.';
    to->append(text, end);
}

void put_escaped(std::string* to, std::string_view text, bool quotes) {
    for (char c : text) {
        if (c == '\\') {
            to->append("\\\\");
        } else if (c == '\n') {
            to->append("\\n");
        } else if (c == '"' && quotes) {
            to->append("\\\"");
        } else {
            to->push_back(c);
        }
    }
}

void put_name(std::string* page, std::string_view name, std::string_view labels) {
    page->append(name);
    if (labels.empty()) return;
    page->push_back('{');
    page->append(labels);
    page->push_back('}');
}

void put_bucket(std::string* page, std::string_view name, std::string_view labels, std::string_view bound,
                std::uint64_t count) {
    page->append(name).append("_bucket{");
    if (!labels.empty()) page->append(labels).push_back(',');
    page->append("le=\"").append(bound).append("\"} ");
    put_number(page, count);
    page->push_back('\n');
}

}  // namespace

void metrics_family(std::string* page, std::string_view name, metrics_type type, std::string_view help) {
    page->append("# HELP ").append(name).push_back(' ');
    put_escaped(page, help, false);
    page->append("\n# TYPE ").append(name);
    const char* type_name = type == metrics_type::counter ? " counter\n" : type == metrics_type::gauge ? " gauge\n"
                                                                                                 : " histogram\n";
    page->append(type_name);
}

void metrics_label(std::string* labels, std::string_view name, std::string_view value) {
    if (!labels->empty()) labels->push_back(',');
    labels->append(name).append("=\"");
    put_escaped(labels, value, true);
    labels->push_back('"');
}

void metrics_count(std::string* page, std::string_view name, std::string_view labels, std::uint64_t value) {
    put_name(page, name, labels);
    page->push_back(' ');
    put_number(page, value);
    page->push_back('\n');
}

void metrics_seconds(std::string* page, std::string_view name, std::string_view labels, double us) {
    put_name(page, name, labels);
    page->push_back(' ');
    // Nanoseconds, within what a 64-bit count holds (some 292 years).
    double ns = std::round(std::fabs(us) * 1000);
    if (us < 0 && ns > 0) page->push_back('-');
    put_fixed(page, ns < 9e18 ? static_cast<std::uint64_t>(ns) : std::uint64_t{9000000000000000000}, 9);
    page->push_back('\n');
}

void metrics_histogram(std::string* page, std::string_view name, std::string_view labels, const histogram* h) {
    std::string bound;
    for (std::uint64_t bound_us : metrics_bucket_bounds_us) {
        bound.clear();
        put_fixed(&bound, bound_us, 6);
        put_bucket(page, name, labels, bound, histogram_count_at_most(h, bound_us));
    }
    put_bucket(page, name, labels, "+Inf", h->count);
    std::string part(name);
    put_name(page, part.append("_sum"), labels);
    page->push_back(' ');
    put_fixed(page, h->sum_us, 6);
    page->push_back('\n');
    part.assign(name);
    metrics_count(page, part.append("_count"), labels, h->count);
}

void metrics_key_labels(std::string* labels, const char* address_name, const probe_key* key) {
    char address[NET_ADDRESS_TEXT_ROOM];
    net_address from = probe_key_address(key);
    if (net_address_format(&from, address, sizeof address) < 0) address[0] = '\0';
    char port[8];
    *std::to_chars(port, port + sizeof port - 1, key->port).ptr = '\0';
    metrics_label(labels, address_name, address);
    metrics_label(labels, "port", port);
}

void metrics_counter_alone(std::string* page, const char* name, const char* help, std::uint64_t value) {
    metrics_family(page, name, metrics_type::counter, help);
    metrics_count(page, name, "", value);
}
