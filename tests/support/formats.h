// References for catchel's output forms, written apart from the records
// module: a hex dump made with printf formats, the C library's UTC
// calendar, a reader for flat JSON lines and a base64 decoder.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

// What `hexdump -C -v` prints for the bytes, without its closing offset line.
std::string hex_reference(const std::string& bytes);

// Microseconds since 1970 of a "YYYY-MM-DDTHH:MM:SS.uuuuuuZ" text, read
// with the C library's calendar; false when the text is not one.
bool parse_utc(const std::string& text, std::int64_t* time_us);

// A JSON object of strings, numbers and objects, its keys in order; an
// inner object's value is its text.
using json_object = std::vector<std::pair<std::string, std::string>>;
bool parse_json_line(const std::string& line, json_object* object);
std::vector<std::string> keys_of(const json_object& object);
// The value of `key`, empty when it is absent.
std::string value_of(const json_object& object, const std::string& key);
// Its keys but "ttl" and "tos", which a platform gives or not; and a
// header's " ttl <n> tos 0x<hh>" taken out for the same reason.
std::vector<std::string> keys_without_marks(const json_object& object);
std::string without_marks(const std::string& header);

std::string base64_decode(const std::string& text);

// A program's output in lines, line ends as its platform writes them taken off.
std::vector<std::string> lines_of(const std::string& text);

// A probe as other tools may write it: "SEQ1", the run, the sequence
// number and the send time, big-endian, then a word.
std::string probe(std::uint32_t run, std::uint64_t sequence, std::uint64_t send_us);
