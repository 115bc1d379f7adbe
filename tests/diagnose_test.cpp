// -why: each fault built in namespaces of its own (why_netns.sh) must be
// named, and the healthy setups must name none; the reasoning alone is fed
// evidence written by hand where a namespace cannot make the case.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ostream>
#include <string>
#include <vector>

#include "diagnose/diagnose.h"
#include "process.h"

namespace {

struct fault_row {
    const char* name;
    const char* fault;  // shell, with $S, $R, $A and $WORK
    const char* catchel_args;
    const char* pitchel_args;
    const char* named;   // the check that must say problem, first in the verdict; null: healthy
    const char* needs;   // shell: true where the row can be built
};

// A skipped row is listed by its name, not by its bytes.
void PrintTo(const fault_row& row, std::ostream* os) { *os << row.name; }

const char* router_between =
    "ip netns add $A && ip -n $A link set lo up && "
    "ip -n $S link add s2 type veth peer name a0 netns $A && ip -n $A link add a1 type veth peer name r2 netns $R && "
    "ip -n $S addr add 10.3.0.1/24 dev s2 && ip -n $A addr add 10.3.0.254/24 dev a0 && "
    "ip -n $A addr add 10.4.0.254/24 dev a1 && ip -n $R addr add 10.4.0.2/24 dev r2 && "
    "ip -n $S link set s2 up && ip -n $A link set a0 up && ip -n $A link set a1 up && ip -n $R link set r2 up && "
    "ip -n $S route replace 224.0.0.0/4 via 10.3.0.254 dev s2 && ip -n $R route replace 224.0.0.0/4 dev r2 && "
    "ip -n $R route add 10.3.0.0/24 via 10.4.0.254";

// The same, with the group routed across by smcroute.
const std::string routed_between = std::string(router_between) +
    " && echo 'mroute from a0 group 239.1.2.3 to a1' >$WORK/smcroute.conf && "
    "(ip netns exec $A smcrouted -n -f $WORK/smcroute.conf -P $WORK/smcroute.pid -u $WORK/smcroute.sock -l none &) && "
    "sleep 1";

// smcroute, and a kernel that routes multicast (CONFIG_IP_MROUTE).
const char* with_router = "command -v smcrouted && [ -e /proc/net/ip_mr_vif ]";

const fault_row fault_rows[] = {
    {"healthy", "true", "239.1.2.3 5001", "-why 239.1.2.3 5001 hi", nullptr, nullptr},
    {"healthy_ipv6", "true", "-if r0 ff15::7 5001", "-why -if s0 ff15::7 5001 hi", nullptr, nullptr},
    {"no_route", "ip -n $S route del 224.0.0.0/4", "", "-why 239.1.2.3 5001 hi", "route", nullptr},
    {"wrong_interface", "ip -n $R route replace 224.0.0.0/4 dev r1", "239.1.2.3 5001", "239.1.2.3 5001 hi",
     "interface", nullptr},
    {"rp_filter", "ip -n $S addr add 10.9.9.9/32 dev lo && ip -n $R route add 10.9.9.0/24 via 10.2.0.1 dev r1 && "
     "ip netns exec $R sysctl -qw net.ipv4.conf.all.rp_filter=1 net.ipv4.conf.r0.rp_filter=1",
     "239.1.2.3 5001", "-if s0 -bind 10.9.9.9 239.1.2.3 5001 hi", "rp_filter", nullptr},
    {"wrong_port", "true", "239.1.2.3 5001", "239.1.2.3 5002 hi", "port", nullptr},
    {"wrong_port_ipv6", "true", "-if r0 ff15::7 5001", "-if s0 ff15::7 5002 hi", "port", nullptr},
    {"no_multicast_flag", "ip -n $R link set r0 multicast off", "239.1.2.3 5001", "239.1.2.3 5001 hi", "link",
     nullptr},
    // The sender judges by its route's gateway alone: no router need forward the group.
    {"ttl_below_router", router_between, "239.1.2.3 5001", "-why 239.1.2.3 5001 hi", "ttl", nullptr},
    {"ttl_across_router", routed_between.c_str(), "239.1.2.3 5001", "-why -ttl 2 239.1.2.3 5001 hi", nullptr,
     with_router},
    {"wrong_source", "true", "-source 10.1.0.99 232.1.2.3 5001", "232.1.2.3 5001 hi", "source", nullptr},
    {"firewall_drop",
     "ip netns exec $R nft add table inet why && "
     "ip netns exec $R nft 'add chain inet why in { type filter hook input priority 0; }' && "
     "ip netns exec $R nft add rule inet why in udp dport 5001 drop",
     "239.1.2.3 5001", "239.1.2.3 5001 hi", "firewall", "command -v nft"},
};

#ifndef _WIN32
bool holds(const std::string& condition) { return std::system((condition + " >/dev/null 2>&1").c_str()) == 0; }

// The output of one program, from its "== <name> <status>" line to the next.
std::string section(const std::string& out, const std::string& program, int* status) {
    std::size_t at = out.find("== " + program + " ");
    if (at == std::string::npos) return "";
    std::size_t body = out.find('\n', at) + 1;
    *status = std::atoi(out.c_str() + at + program.size() + 4);
    std::size_t end = out.find("\n== ", body);
    return out.substr(body, end == std::string::npos ? std::string::npos : end + 1 - body);
}

#endif

class why_fault : public testing::TestWithParam<fault_row> {};

TEST_P(why_fault, is_named_and_only_it) {
#ifdef _WIN32
    GTEST_SKIP() << "network namespaces are Linux's";
#else
    const fault_row& row = GetParam();
    if (!holds("command -v ip && [ \"$(id -u)\" = 0 ]")) GTEST_SKIP() << "needs root and ip netns";
    if (row.needs != nullptr && !holds(row.needs)) GTEST_SKIP() << "needs: " << row.needs;
    process_output r = run_program(WHY_NETNS_SCRIPT, {CATCHEL_PATH, PITCHEL_PATH, row.fault, row.catchel_args,
                                                       row.pitchel_args}, 60000);
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    int catchel_status = -1, pitchel_status = -1;
    std::string catchel = section(r.out, "catchel", &catchel_status);
    std::string pitchel = section(r.out, "pitchel", &pitchel_status);
    if (row.named == nullptr) {
        EXPECT_EQ(r.out.find(" problem "), std::string::npos) << r.out;
        EXPECT_EQ(catchel_status, 0) << r.out;  // and the group did arrive
        EXPECT_NE(catchel.find("\narrival ok "), std::string::npos) << r.out;
        return;
    }
    const std::string& judged = std::string(row.pitchel_args).find("-why") != std::string::npos ? pitchel : catchel;
    EXPECT_NE(judged.find(std::string(row.named) + " problem "), std::string::npos) << r.out;
    EXPECT_NE(judged.find(std::string("verdict problem ") + row.named + ": "), std::string::npos) << r.out;
    // Where catchel waited, the fault truly kept the group away.
    if (*row.catchel_args != '\0' && std::string(row.named) != "link") {
        EXPECT_EQ(catchel_status, 2) << r.out;
    }
#endif
}

INSTANTIATE_TEST_SUITE_P(rows, why_fault, testing::ValuesIn(fault_rows),
                         [](const testing::TestParamInfo<fault_row>& info) { return std::string(info.param.name); });

// nftables' rules as `nft -a list ruleset` prints them, judged for a UDP
// datagram to 239.1.2.3 port 5001 that came in by r0.
struct rules_row {
    const char* name;
    std::vector<const char*> rules;  // in one chain; "policy ..." last
    bool drops;
    bool unsure;
};

const rules_row rules_rows[] = {
    {"accept_first", {"udp dport 5001 accept", "udp dport 5001 drop"}, false, false},
    {"answers_only_accepted", {"ct state established,related accept", "udp dport 5001 drop"}, true, false},
    {"other_port", {"udp dport != 5001 drop", "udp dport { 22, 80-90 } drop"}, false, false},
    {"range_and_prefix", {"ip daddr 224.0.0.0/4 udp dport 5000-5010 counter packets 3 bytes 90 drop"}, true, false},
    {"other_interface", {"iifname \"r1\" udp dport 5001 drop", "tcp dport 5001 drop"}, false, false},
    {"policy", {"ip daddr 10.0.0.0/8 accept", "policy drop"}, true, false},
    {"unknown_match", {"fib saddr . iif oif missing drop"}, false, true},
};

class firewall_rules : public testing::TestWithParam<rules_row> {};

TEST_P(firewall_rules, drop_found_as_the_kernel_runs_the_chain) {
    diag_firewall firewall{};
    for (const char* text : GetParam().rules) firewall.rules.push_back(diag_rule{"inet filter", "input", text, "7"});
    net_address group{};
    ASSERT_EQ(net_address_parse(&group, "239.1.2.3", nullptr), NET_OK);
    bool unsure = false;
    EXPECT_EQ(diag_firewall_drop(&firewall, &group, 5001, "r0", &unsure) != nullptr, GetParam().drops);
    EXPECT_EQ(unsure, GetParam().unsure);
}

INSTANTIATE_TEST_SUITE_P(rows, firewall_rules, testing::ValuesIn(rules_rows),
                         [](const testing::TestParamInfo<rules_row>& info) { return std::string(info.param.name); });

// What a namespace cannot show in seconds: a querier's silence, and the
// loose reverse-path filter that a way back by another interface passes.
struct evidence_row {
    const char* name;
    std::uint64_t waited_us;
    int rp_filter;
    const char* check;
    diag_status expected;
};

const evidence_row evidence_rows[] = {
    {"querier_not_yet_due", 5000000, 0, "querier", diag_status::unknown},
    {"querier_silent_past_its_interval", 130000000, 0, "querier", diag_status::problem},
    {"strict_filter_other_way_back", 5000000, 1, "rp_filter", diag_status::problem},
    {"loose_filter_other_way_back", 5000000, 2, "rp_filter", diag_status::ok},
};

class receiver_evidence : public testing::TestWithParam<evidence_row> {};

TEST_P(receiver_evidence, judged) {
    const evidence_row& row = GetParam();
    diag_receiver e{};
    ASSERT_EQ(net_address_parse(&e.group, "239.1.2.3", nullptr), NET_OK);
    e.port = 5001;
    e.membership.interface_count = 1;
    e.membership.interfaces[0] = 2;
    diag_interface r0{2, "r0", true, true, true, false, row.rp_filter, true, 0};
    diag_interface r1{3, "r1", true, true, true, false, 0, true, 0};
    e.before = e.after = {r0, r1};
    e.rp_filter_all = 0;
    e.waited_us = row.waited_us;
    e.way_back_checked = true;
    ASSERT_EQ(net_address_parse(&e.way_back_to, "10.9.9.9", nullptr), NET_OK);
    e.way_back.found = true;
    e.way_back.out_index = 3;
    e.heard.sighting_count = 1;
    e.heard.sightings[0] = diag_sighting{2, e.way_back_to, 5001, 1, 4};
    std::vector<diag_check> checks;
    diag_receiver_wait_checks(&e, &checks);
    const diag_check* found = nullptr;
    for (const diag_check& c : checks) {
        if (std::string(c.name) == row.check) found = &c;
    }
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(found->status, row.expected) << found->sentence;
}

INSTANTIATE_TEST_SUITE_P(rows, receiver_evidence, testing::ValuesIn(evidence_rows),
                         [](const testing::TestParamInfo<evidence_row>& info) { return std::string(info.param.name); });

}  // namespace
