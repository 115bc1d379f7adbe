// soak_check <seed> <catchel output> <sender lines>
//
// Reads what catchel printed during a soak and matches every record against
// the datagram that was sent: the records from one source port must be, in
// order, a subsequence of what that udp_flood sender sent (the sender lines
// are udp_flood's closing lines, one per sender), each with the sent size and
// the sent bytes up to their first zero as its text. Datagrams sent but never
// printed are counted as missing; the caller compares that with the kernel's
// drop counters. Records must be numbered 1, 2, 3...; time-out lines are
// counted; any other line, or a record that matches nothing, is an error.
// Exit status 0 only when there is no error.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "soak_payload.h"

namespace {

// How far past the next expected datagram a record may lie: the kernel drops
// a few in a row when the receiver falls behind, never thousands.
constexpr std::uint64_t lookahead = 20000;

struct sender_record {
    std::uint32_t id;
    unsigned port;
    std::uint64_t sent;
    std::uint64_t next;  // the first datagram not yet matched
    std::uint64_t printed;
};

struct check_totals {
    std::uint64_t records = 0;
    std::uint64_t timeouts = 0;
    std::uint64_t errors = 0;
};

bool read_file(const char* path, std::string* out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    out->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return true;
}

bool read_senders(const char* path, std::vector<sender_record>* senders) {
    std::FILE* f = std::fopen(path, "r");
    if (f == nullptr) return false;
    sender_record s{};
    unsigned long long sent = 0;
    unsigned long long failed = 0;
    while (std::fscanf(f, " sender %u port %u sent %llu failed %llu seconds %*f cpu %*f", &s.id, &s.port, &sent, &failed) == 4) {
        s.sent = sent + failed;  // a failed send still used its number
        senders->push_back(s);
    }
    std::fclose(f);
    return !senders->empty();
}

sender_record* find_sender(std::vector<sender_record>* senders, unsigned port) {
    for (sender_record& s : *senders) {
        if (s.port == port) return &s;
    }
    return nullptr;
}

// The printed text of a datagram: its bytes up to the first zero.
std::size_t text_length(const std::vector<unsigned char>& payload) {
    std::size_t n = 0;
    while (n < payload.size() && payload[n] != 0) ++n;
    return n;
}

// Finds the datagram of `s` that the record at `text` (sz `size`) shows and
// moves past it; the length of its text, or -1 when none matches.
long match_record(std::uint64_t seed, sender_record* s, std::uint32_t size, const std::string& out, std::size_t text) {
    std::vector<unsigned char> payload;
    for (std::uint64_t seq = s->next; seq < s->sent && seq < s->next + lookahead; ++seq) {
        if (soak_payload_size(seed, s->id, seq) != size) continue;
        soak_payload(seed, s->id, seq, &payload);
        std::size_t len = text_length(payload);
        if (text + len < out.size() && out[text + len] == '\n' && std::memcmp(out.data() + text, payload.data(), len) == 0) {
            s->next = seq + 1;
            ++s->printed;
            return static_cast<long>(len);
        }
    }
    return -1;
}

void report_error(check_totals* t, std::size_t at, const char* what) {
    if (++t->errors <= 10) std::printf("error at byte %zu: %s\n", at, what);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fputs("Usage: soak_check <seed> <catchel output> <sender lines>\n", stderr);
        return 2;
    }
    std::uint64_t seed = std::strtoull(argv[1], nullptr, 10);
    std::string out;
    std::vector<sender_record> senders;
    if (!read_file(argv[2], &out) || !read_senders(argv[3], &senders)) {
        std::fputs("soak_check: cannot read the output or the sender lines\n", stderr);
        return 2;
    }
    check_totals t;
    std::size_t at = 0;
    while (at < out.size() && t.errors <= 10) {
        std::size_t eol = out.find('\n', at);
        if (eol == std::string::npos) {
            report_error(&t, at, "unfinished line");
            break;
        }
        std::string line = out.substr(at, eol - at);
        if (line == "timeout/error err -1") {
            ++t.timeouts;
            at = eol + 1;
            continue;
        }
        long long number = 0;
        unsigned o1 = 0, o2 = 0, o3 = 0, o4 = 0, port = 0;
        std::uint32_t size = 0;
        int used = 0;
        if (std::sscanf(line.c_str(), "udp %lld from %u.%u.%u.%u:%u sz %u :%n", &number, &o1, &o2, &o3, &o4, &port, &size,
                        &used) != 7 ||
            used != static_cast<int>(line.size()) || eol + 1 >= out.size() || out[eol + 1] != '\n') {
            report_error(&t, at, ("not a record: " + line.substr(0, 80)).c_str());
            break;
        }
        if (number != static_cast<long long>(t.records) + 1) report_error(&t, at, "record out of sequence");
        ++t.records;
        sender_record* s = find_sender(&senders, port);
        std::size_t text = eol + 2;
        long len = s != nullptr && o1 == 127 && o2 == 0 && o3 == 0 && o4 == 1 ? match_record(seed, s, size, out, text) : -1;
        if (len < 0) {
            report_error(&t, at, ("record matches nothing sent: " + line).c_str());
            break;
        }
        at = text + static_cast<std::size_t>(len) + 1;
    }
    std::uint64_t sent = 0;
    std::uint64_t printed = 0;
    for (const sender_record& s : senders) {
        std::printf("sender %u port %u sent %llu printed %llu missing %llu\n", s.id, s.port,
                    static_cast<unsigned long long>(s.sent), static_cast<unsigned long long>(s.printed),
                    static_cast<unsigned long long>(s.sent - s.printed));
        sent += s.sent;
        printed += s.printed;
    }
    std::printf("records %llu sent %llu missing %llu timeouts %llu errors %llu\n",
                static_cast<unsigned long long>(t.records), static_cast<unsigned long long>(sent),
                static_cast<unsigned long long>(sent - printed), static_cast<unsigned long long>(t.timeouts),
                static_cast<unsigned long long>(t.errors));
    return t.errors == 0 ? 0 : 1;
}
