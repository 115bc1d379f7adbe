#include "words.h"

std::string address_text(const net_address* address) {
    char text[NET_ADDRESS_TEXT_ROOM];
    return net_address_format(address, text, sizeof text) < 0 ? std::string("?") : std::string(text);
}

bool is_ipv6_address(const net_address* address) { return net_address_family(address) == net_family::ipv6; }

bool same_address(const net_address* a, const net_address* b) {
    std::uint32_t x = 0, y = 0;
    if (net_address_to_ipv4(a, &x) && net_address_to_ipv4(b, &y)) return x == y;
    return net_address_equal(a, b);
}

const diag_interface* find_interface(const std::vector<diag_interface>& interfaces, std::uint32_t index) {
    for (const diag_interface& one : interfaces) {
        if (one.index == index) return &one;
    }
    return nullptr;
}

std::string interface_name(const std::vector<diag_interface>& interfaces, std::uint32_t index) {
    const diag_interface* one = find_interface(interfaces, index);
    return one != nullptr ? std::string(one->name) : "interface " + std::to_string(index);
}

std::string route_command(const net_address* group, const std::string& device) {
    return is_ipv6_address(group) ? "ip -6 route add ff00::/8 dev " + device : "ip route add 224.0.0.0/4 dev " + device;
}

std::string likely_device(const std::vector<diag_interface>& interfaces) {
    for (const diag_interface& one : interfaces) {
        if (one.up && one.multicast && !one.loopback) return one.name;
    }
    return "<interface>";
}

void add_check(std::vector<diag_check>* checks, const char* name, diag_status status, diag_rank rank,
               std::string sentence) {
    checks->push_back(diag_check{name, status, rank, std::move(sentence)});
}

void check_link(const std::vector<diag_interface>& interfaces, std::uint32_t index, std::vector<diag_check>* checks) {
    if (index == 0) return;  // no interface to judge: the route check says why
    const diag_interface* one = find_interface(interfaces, index);
    if (one == nullptr) {
        if (!interfaces.empty()) {
            add_check(checks, "link", diag_status::unknown, diag_rank::link,
                      "the system does not list interface " + std::to_string(index) + ".");
        }
        return;
    }
    std::string name = one->name;
    if (!one->up) {
        add_check(checks, "link", diag_status::problem, diag_rank::link,
                  name + " is down: ip link set " + name + " up");
    } else if (!one->multicast) {
        add_check(checks, "link", diag_status::problem, diag_rank::link,
                  name + " lacks the MULTICAST flag, so groups are not sent or taken on it: ip link set " + name +
                      " multicast on");
    } else if (!one->running) {
        add_check(checks, "link", diag_status::problem, diag_rank::link,
                  name + " is up but has no carrier: check its cable or its peer.");
    } else {
        add_check(checks, "link", diag_status::ok, diag_rank::link, name + " is up, has a carrier and MULTICAST.");
    }
}
