// The Prometheus text exposition format, version 0.0.4: families with their
// help and type lines, samples with escaped labels, histograms of seconds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "probes/histogram.h"

enum class metrics_type { counter, gauge, histogram };

// The histograms' upper bounds in microseconds: 50 us, then 1, 2, 3 and 5
// of each decade from 100 us to 5 s, then 10 s; above them only +Inf.
// Each is a bound the probes' histograms count exactly.
constexpr std::size_t METRICS_BUCKETS = 22;
extern const std::uint64_t metrics_bucket_bounds_us[METRICS_BUCKETS];

// The "# HELP" and "# TYPE" lines that begin a family; `help` is escaped
// as the format asks (backslash, line end).
void metrics_family(std::string* page, std::string_view name, metrics_type type, std::string_view help);

// Labels as a sample carries them inside its braces: name="value" pairs,
// comma-separated, each value escaped (backslash, double quote, line end).
void metrics_label(std::string* labels, std::string_view name, std::string_view value);

// A sample: `name{labels} value`, without braces when `labels` is empty.
void metrics_count(std::string* page, std::string_view name, std::string_view labels, std::uint64_t value);
// Microseconds written as seconds, to the nanosecond; negative ones too.
void metrics_seconds(std::string* page, std::string_view name, std::string_view labels, double us);

// The samples of a histogram family `name` of seconds: a `name_bucket`
// per bound, cumulative, then +Inf, `name_sum` and `name_count`.
void metrics_histogram(std::string* page, std::string_view name, std::string_view labels, const histogram* h);

// The labels of a source or responder: `address_name`="<its address>",port="<its port>".
struct probe_key;
void metrics_key_labels(std::string* labels, const char* address_name, const probe_key* key);

// A counter family of one sample, without labels.
void metrics_counter_alone(std::string* page, const char* name, const char* help, std::uint64_t value);
