#include "formats.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <ctime>
#include <regex>

std::string hex_reference(const std::string& bytes) {
    std::string dump;
    char piece[24];
    for (std::size_t offset = 0; offset < bytes.size(); offset += 16) {
        std::snprintf(piece, sizeof piece, "%08zx ", offset);
        dump += piece;
        std::string shown;
        for (std::size_t i = 0; i < 16; ++i) {
            if (i == 0 || i == 8) dump += ' ';
            if (offset + i < bytes.size()) {
                auto c = static_cast<unsigned char>(bytes[offset + i]);
                std::snprintf(piece, sizeof piece, "%02x ", c);
                dump += piece;
                shown += std::isprint(c) ? static_cast<char>(c) : '.';
            } else {
                dump += "   ";
            }
        }
        dump += " |" + shown + "|\n";
    }
    return dump;
}

bool parse_utc(const std::string& text, std::int64_t* time_us) {
    std::tm parts{};
    int micros = 0;
    char zone = 0;
    if (std::sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d.%6d%c", &parts.tm_year, &parts.tm_mon, &parts.tm_mday,
                    &parts.tm_hour, &parts.tm_min, &parts.tm_sec, &micros, &zone) != 8 ||
        zone != 'Z' || text.size() != 27) {
        return false;
    }
    parts.tm_year -= 1900;
    parts.tm_mon -= 1;
#ifdef _WIN32
    std::int64_t seconds = _mkgmtime(&parts);
#else
    std::int64_t seconds = timegm(&parts);
#endif
    *time_us = seconds * 1000000 + micros;
    return true;
}

bool parse_json_line(const std::string& line, json_object* object) {
    std::size_t at = 0;
    auto expect = [&](char c) { return at < line.size() && line[at++] == c; };
    auto string_value = [&](std::string* value) {
        if (!expect('"')) return false;
        std::size_t end = line.find('"', at);
        if (end == std::string::npos) return false;
        *value = line.substr(at, end - at);
        at = end + 1;
        return true;
    };
    if (!expect('{')) return false;
    do {
        std::string key;
        std::string value;
        if (!string_value(&key) || !expect(':')) return false;
        if (at < line.size() && line[at] == '"') {
            if (!string_value(&value)) return false;
        } else if (at < line.size() && line[at] == '{') {
            // An inner object is its text, to be parsed in turn; these hold no braces in strings.
            std::size_t start = at;
            for (int depth = 0; at < line.size() && (at == start || depth > 0); ++at) {
                depth += line[at] == '{' ? 1 : line[at] == '}' ? -1 : 0;
            }
            value = line.substr(start, at - start);
        } else {
            std::size_t start = at;
            if (at < line.size() && line[at] == '-') ++at;
            while (at < line.size() && (std::isdigit(static_cast<unsigned char>(line[at])) || line[at] == '.')) ++at;
            if (at == start) return false;
            value = line.substr(start, at - start);
        }
        object->emplace_back(key, value);
    } while (at < line.size() && line[at] == ',' && ++at);
    return expect('}') && at == line.size();
}

std::vector<std::string> keys_of(const json_object& object) {
    std::vector<std::string> keys;
    for (const auto& [key, value] : object) keys.push_back(key);
    return keys;
}

std::string value_of(const json_object& object, const std::string& key) {
    for (const auto& [name, value] : object) {
        if (name == key) return value;
    }
    return "";
}

std::string base64_decode(const std::string& text) {
    const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string bytes;
    std::uint32_t bits = 0;
    int held = 0;
    for (char c : text) {
        if (c == '=') break;
        bits = bits << 6 | static_cast<std::uint32_t>(alphabet.find(c));
        held += 6;
        if (held >= 8) {
            held -= 8;
            bytes.push_back(static_cast<char>(bits >> held & 0xff));
        }
    }
    return bytes;
}

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
        std::size_t length = end - start;
        if (length > 0 && text[end - 1] == '\r') --length;
        lines.push_back(text.substr(start, length));
    }
    return lines;
}

std::string probe(std::uint32_t run, std::uint64_t sequence, std::uint64_t send_us) {
    std::string bytes = "SEQ1";
    for (int shift = 24; shift >= 0; shift -= 8) bytes += static_cast<char>(run >> shift & 0xff);
    for (std::uint64_t number : {sequence, send_us}) {
        for (int shift = 56; shift >= 0; shift -= 8) bytes += static_cast<char>(number >> shift & 0xff);
    }
    return bytes + "probe";
}

std::vector<std::string> keys_without_marks(const json_object& object) {
    std::vector<std::string> keys = keys_of(object);
    keys.erase(std::remove_if(keys.begin(), keys.end(), [](const std::string& k) { return k == "ttl" || k == "tos"; }),
               keys.end());
    return keys;
}

std::string without_marks(const std::string& header) {
    return std::regex_replace(header, std::regex(" ttl [0-9]+| tos 0x[0-9a-f]{2}"), "");
}
