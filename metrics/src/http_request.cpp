#include <algorithm>
#include <cstring>
#include <string_view>

#include "metrics/http_server.h"

namespace {

// Where the head ends (after its empty line), or 0 while it has not.
std::size_t head_end(std::string_view bytes) {
    std::size_t crlf = bytes.find("\r\n\r\n");
    if (crlf != std::string_view::npos) return crlf + 4;
    std::size_t lf = bytes.find("\n\n");
    return lf != std::string_view::npos ? lf + 2 : 0;
}

bool is_token_char(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

// A request target has no controls, spaces or bytes above ASCII.
bool is_target_char(char c) { return c > ' ' && c < 0x7f; }

// The request line, "METHOD SP target SP HTTP/1.x", judged as far as it has come.
http_verdict judge_line(std::string_view line, bool whole) {
    std::size_t i = 0;
    while (i < line.size() && is_token_char(line[i])) ++i;
    if (i == line.size()) return whole || i > 16 ? http_verdict::malformed : http_verdict::incomplete;
    if (i == 0 || line[i] != ' ') return http_verdict::malformed;
    std::string_view method = line.substr(0, i);
    std::size_t target_start = ++i;
    while (i < line.size() && is_target_char(line[i])) ++i;
    if (i == line.size()) return whole ? http_verdict::malformed : http_verdict::incomplete;
    if (i == target_start || line[i] != ' ') return http_verdict::malformed;
    std::string_view target = line.substr(target_start, i - target_start);
    std::string_view version = line.substr(i + 1);
    constexpr std::string_view http1 = "HTTP/1.";
    std::size_t known = std::min(version.size(), http1.size());
    if (version.substr(0, known) != http1.substr(0, known)) return http_verdict::malformed;
    if (!whole) return http_verdict::incomplete;
    if (version.size() != http1.size() + 1 || version.back() < '0' || version.back() > '9') {
        return http_verdict::malformed;
    }
    if (method != "GET") return http_verdict::not_allowed;
    std::size_t query = target.find('?');
    return target.substr(0, query) == "/metrics" ? http_verdict::metrics : http_verdict::not_found;
}

}  // namespace

http_verdict http_judge_request(const char* bytes, std::size_t length, std::size_t room) {
    std::string_view head(bytes, length);
    std::size_t line_end = head.find('\n');
    bool line_whole = line_end != std::string_view::npos;
    std::string_view line = head.substr(0, line_whole ? line_end : head.size());
    if (line_whole && !line.empty() && line.back() == '\r') line.remove_suffix(1);
    http_verdict verdict = judge_line(line, line_whole);
    if (verdict == http_verdict::malformed || (verdict != http_verdict::incomplete && head_end(head) != 0)) {
        return verdict;
    }
    return length >= room ? http_verdict::too_large : http_verdict::incomplete;
}
