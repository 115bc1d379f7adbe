// Whether nftables' rules on the way in drop a group's datagrams: each chain
// read in order as the kernel runs it, for a UDP datagram to the group and
// port. A match the reading does not know makes the answer unsure, never a
// drop.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <functional>

#include "words.h"

namespace {

enum class match { no, yes, unsure };

struct datagram_seen {
    const net_address* group;
    std::uint16_t port;
    const char* in_name;
};

match both(match a, match b) {
    if (a == match::no || b == match::no) return match::no;
    return a == match::unsure || b == match::unsure ? match::unsure : match::yes;
}

match from(bool yes) { return yes ? match::yes : match::no; }

bool in_prefix(const std::string& text, const net_address* address) {
    std::size_t slash = text.find('/');
    net_address listed{};
    if (net_address_parse(&listed, text.substr(0, slash).c_str(), nullptr) != NET_OK) return false;
    if (net_address_family(&listed) != net_address_family(address)) return false;
    bool ipv6 = is_ipv6_address(address);
    int bits = slash == std::string::npos ? (ipv6 ? 128 : 32) : std::atoi(text.c_str() + slash + 1);
    const std::uint8_t* a = listed.bytes + (ipv6 || listed.family == net_family::ipv4 ? 0 : 12);
    const std::uint8_t* b = address->bytes + (ipv6 || address->family == net_family::ipv4 ? 0 : 12);
    for (int i = 0; i < bits; ++i) {
        int mask = 0x80 >> (i % 8);
        if ((a[i / 8] & mask) != (b[i / 8] & mask)) return false;
    }
    return true;
}

bool port_in(const std::string& text, std::uint16_t port) {
    std::size_t dash = text.find('-');
    long low = std::strtol(text.c_str(), nullptr, 10);
    long high = dash == std::string::npos ? low : std::strtol(text.c_str() + dash + 1, nullptr, 10);
    return port >= low && port <= high;
}

std::string unquoted(std::string text) {
    text.erase(std::remove(text.begin(), text.end(), '"'), text.end());
    return text;
}

// The value at words[*i] (an element, "{ a, b }", after an optional "!="),
// judged element by element; *i is left past it.
match value(const std::vector<std::string>& words, std::size_t* i, const std::function<match(const std::string&)>& one) {
    bool negated = *i < words.size() && words[*i] == "!=";
    if (negated) ++*i;
    if (*i >= words.size()) return match::unsure;
    match found = match::no;
    if (words[*i] == "{") {
        for (++*i; *i < words.size() && words[*i] != "}"; ++*i) {
            std::string element = words[*i];
            if (!element.empty() && element.back() == ',') element.pop_back();
            match m = one(element);
            if (m == match::yes || (m == match::unsure && found == match::no)) found = m;
        }
    } else {
        found = one(words[*i]);
    }
    ++*i;
    if (!negated || found == match::unsure) return found;
    return found == match::yes ? match::no : match::yes;
}

// Whether a rule's matches take the datagram, and its verdict ("" for none).
match rule_matches(const std::string& text, const datagram_seen* d, bool ipv6, std::string* verdict) {
    std::vector<std::string> w;
    for (std::size_t at = 0, end = 0; (at = text.find_first_not_of(' ', end)) != std::string::npos;) {
        end = text.find(' ', at);
        w.push_back(text.substr(at, end == std::string::npos ? std::string::npos : end - at));
    }
    auto address = [&](const std::string& e) { return from(in_prefix(e, d->group)); };
    auto port = [&](const std::string& e) { return from(port_in(e, d->port)); };
    auto udp = [&](const std::string& e) { return from(e == "udp" || e == "17"); };
    auto incoming = [&](const std::string& e) {
        if (d->in_name == nullptr) return match::unsure;
        std::string name = unquoted(e);
        if (!name.empty() && name.back() == '*') return from(std::strncmp(d->in_name, name.c_str(), name.size() - 1) == 0);
        return from(name == d->in_name);
    };
    match all = match::yes;
    for (std::size_t i = 0; i < w.size();) {
        const std::string& word = w[i++];
        const std::string next = i < w.size() ? w[i] : "";
        if (word == "accept" || word == "drop" || word == "reject" || word == "return" || word == "jump" ||
            word == "goto" || word == "queue" || word == "continue") {
            *verdict = word;
            break;
        }
        if (word == "counter") {
            i += 4;  // packets <n> bytes <n>
        } else if (word == "comment") {
            break;
        } else if (word == "log") {
            while (i < w.size() && (w[i] == "prefix" || w[i] == "level" || w[i].front() == '"' || w[i].back() == '"' ||
                                    w[i - 1] == "level")) {
                ++i;
            }
        } else if ((word == "ip" || word == "ip6") && (next == "daddr" || next == "protocol" || next == "nexthdr")) {
            ++i;
            if ((word == "ip6") != ipv6) {
                all = match::no;
                value(w, &i, address);
            } else {
                all = both(all, value(w, &i, next == "daddr" ? std::function<match(const std::string&)>(address) : udp));
            }
        } else if ((word == "udp" || word == "th") && next == "dport") {
            ++i;
            all = both(all, value(w, &i, port));
        } else if (word == "meta" && (next == "l4proto" || next == "iifname" || next == "nfproto" || next == "pkttype")) {
            ++i;
            if (next == "l4proto") all = both(all, value(w, &i, udp));
            if (next == "iifname") all = both(all, value(w, &i, incoming));
            if (next == "nfproto") all = both(all, value(w, &i, [&](const std::string& e) {
                                                  return from(e == (ipv6 ? "ipv6" : "ipv4"));
                                              }));
            if (next == "pkttype") all = both(all, value(w, &i, [](const std::string& e) { return from(e == "multicast"); }));
        } else if (word == "iifname") {
            all = both(all, value(w, &i, incoming));
        } else if (word == "pkttype") {
            all = both(all, value(w, &i, [](const std::string& e) { return from(e == "multicast"); }));
        } else if (word == "ct" && next == "state") {
            ++i;  // a group's datagrams get no answer: each is a new flow to conntrack
            all = both(all, value(w, &i, [](const std::string& e) { return from(e == "new"); }));
        } else if (word == "tcp" || word == "icmp" || word == "icmpv6" || word == "igmp" || word == "sctp" ||
                   word == "dccp" || word == "esp" || word == "ah") {
            all = match::no;
        } else {
            all = both(all, match::unsure);
        }
    }
    return all;
}

bool table_takes(const std::string& table, bool ipv6) {
    return table.rfind("inet ", 0) == 0 || table.rfind(ipv6 ? "ip6 " : "ip ", 0) == 0;
}

}  // namespace

const diag_rule* diag_firewall_drop(const diag_firewall* firewall, const net_address* group, std::uint16_t port,
                                    const char* in_name, bool* unsure) {
    *unsure = false;
    datagram_seen d{group, port, in_name};
    bool ipv6 = is_ipv6_address(group);
    const diag_rule* decided_in = nullptr;  // the first rule of a chain already decided
    for (const diag_rule& rule : firewall->rules) {
        if (!table_takes(rule.table, ipv6)) continue;
        if (decided_in != nullptr && decided_in->table == rule.table && decided_in->chain == rule.chain) continue;
        decided_in = nullptr;
        if (rule.text.rfind("policy ", 0) == 0) {
            if (rule.text == "policy drop") return &rule;
            continue;
        }
        std::string verdict;
        match m = rule_matches(rule.text, &d, ipv6, &verdict);
        bool dropping = verdict == "drop" || verdict == "reject";
        if (m == match::unsure && (dropping || verdict == "accept" || verdict == "jump" || verdict == "goto")) {
            *unsure = true;
        }
        if (m != match::yes) continue;
        if (dropping) return &rule;
        if (verdict == "jump" || verdict == "goto" || verdict == "queue") *unsure = true;
        if (!verdict.empty() && verdict != "continue") decided_in = &rule;
    }
    return nullptr;
}
