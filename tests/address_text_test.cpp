// The layer's address text against inet_pton and, where glibc writes RFC 5952 text, inet_ntop.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <random>
#include <string>

#include "fault.h"
#include "netlayer/netlayer.h"

namespace {

using AddressText = balanced_test;

std::string formatted(const net_address& address) {
    char text[NET_ADDRESS_TEXT_ROOM];
    return net_address_format(&address, text, sizeof text) > 0 ? text : "(none)";
}

// Groups zero half the time, for zero runs of every length; one address in eight IPv4-mapped.
net_address random_ipv6(std::mt19937& generator) {
    net_address address{net_family::ipv6, {}, 0};
    for (int i = 0; i < 16; i += 2) {
        std::uint32_t group = generator() % 2 != 0 ? (generator() & 0xffff) >> generator() % 16 : 0;
        address.bytes[i] = static_cast<std::uint8_t>(group >> 8);
        address.bytes[i + 1] = static_cast<std::uint8_t>(group);
    }
    if (generator() % 8 == 0) std::memcpy(address.bytes, "\0\0\0\0\0\0\0\0\0\0\xff\xff", 12);
    return address;
}

bool system_parses(int family, const std::string& text, std::uint8_t* bytes) {
    return inet_pton(family, text.c_str(), bytes) == 1;
}

}  // namespace

TEST_F(AddressText, RandomAddressesRoundTripAsTheSystemReadsThem) {
    std::mt19937 generator(19);
    for (int round = 0; round < 20000; ++round) {
        net_address address = random_ipv6(generator);
        std::string text = formatted(address);
        net_address back{};
        ASSERT_EQ(net_address_parse(&back, text.c_str(), nullptr), NET_OK) << text;
        EXPECT_TRUE(net_address_equal(&back, &address)) << text;
        std::uint8_t system[16];
        bool mapped = net_address_family(&address) == net_family::ipv4;
        ASSERT_TRUE(system_parses(mapped ? AF_INET : AF_INET6, text, system)) << text;
        EXPECT_EQ(std::memcmp(system, mapped ? address.bytes + 12 : address.bytes, mapped ? 4 : 16), 0) << text;
#ifndef _WIN32
        // glibc also prints the deprecated IPv4-compatible ::a.b.c.d dotted; RFC 5952 keeps that to mapped ones.
        bool compatible = std::memcmp(address.bytes, std::string(12, '\0').data(), 12) == 0 &&
                          (address.bytes[12] != 0 || address.bytes[13] != 0);
        char canonical[INET6_ADDRSTRLEN];
        inet_ntop(mapped ? AF_INET : AF_INET6, mapped ? address.bytes + 12 : address.bytes, canonical, sizeof canonical);
        EXPECT_TRUE(compatible || text == canonical) << text << " against " << canonical;
#endif
        // Zone 1 is the loopback interface, by name where the name fits; the others are no interface.
        // One round in 16, as each zone is an interface lookup (slow through Windows' adapter list).
        if (round % 16 != 0) continue;
        address.scope_id = generator() % 3 == 0 ? 0 : generator() % 2 != 0 ? 1 : 100000 + generator() % 1000;
        text = formatted(address);
        EXPECT_EQ(text.find('%') != std::string::npos, !mapped && address.scope_id != 0) << text;
        ASSERT_EQ(net_address_parse(&back, text.c_str(), nullptr), NET_OK) << text;
        EXPECT_EQ(back.scope_id, mapped ? 0u : address.scope_id) << text;
#ifndef _WIN32
        EXPECT_TRUE(mapped || address.scope_id != 1 || text.find("%lo") != std::string::npos) << text;
#endif
    }
}

// Text without brackets or zone must be taken exactly when the system takes it.
TEST_F(AddressText, LiteralsAreTakenOrRefused) {
    const char* const taken[] = {"192.0.2.1", "0.0.0.0", "2001:db8::1", "::", "::FFFF:1.2.3.4", "1:2:3:4:5:6:7::",
                                 "2001:0DB8:0:0:0:0:0:01", "[2001:db8::1]", "fe80::1%7", "[fe80::1%7]"};
    const char* const refused[] = {"", "1.2.3", "1.2.3.4.5", "256.1.1.1", "01.2.3.4", "1.2.3.4 ", "[1.2.3.4]",
                                   "1.2.3.4%1", "1:2:3:4:5:6:7:8:9", ":::", "1::2::3", "12345::", ":1::", "1::2:",
                                   "g::1", "1:2:3:4:5:6:7:1.2.3.4", "::1.2.3", "[::1", "::1]", "fe80::1%",
                                   "fe80::1%no-such-interface"};
    auto check = [](const char* text, bool expected) {
        net_address parsed{};
        net_reason reason{-1, true};
        int rc = net_address_parse(&parsed, text, &reason);
        net_family family = !expected ? net_family::none : std::strchr(text, ':') ? net_family::ipv6 : net_family::ipv4;
        EXPECT_EQ(rc == NET_OK ? parsed.family : net_family::none, family) << text;
        // Only the interface lookup is a call that fails with a reason of its own.
        if (rc != NET_OK) {
            EXPECT_EQ(reason.number != 0, std::strstr(text, "no-such") != nullptr) << text;
        }
        std::uint8_t system[16];
        if (std::strpbrk(text, "[]%") == nullptr) {
            EXPECT_EQ(system_parses(AF_INET, text, system) || system_parses(AF_INET6, text, system), expected) << text;
        }
    };
    for (const char* text : taken) check(text, true);
    for (const char* text : refused) check(text, false);
}
