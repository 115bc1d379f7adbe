// What the reasoning's sentences are made of: addresses, interfaces and
// the commands that fix what they name.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "diagnose/diagnose.h"

std::string address_text(const net_address* address);
bool is_ipv6_address(const net_address* address);
// The same address, an IPv4-mapped one taken as plain IPv4.
bool same_address(const net_address* a, const net_address* b);
const diag_interface* find_interface(const std::vector<diag_interface>& interfaces, std::uint32_t index);
// Its name, or "interface <index>" when the system no longer lists it.
std::string interface_name(const std::vector<diag_interface>& interfaces, std::uint32_t index);
// "ip route add 224.0.0.0/4 dev <name>" or its IPv6 form.
std::string route_command(const net_address* group, const std::string& device);
// The first interface that could carry the group: up, multicast, not the loopback.
std::string likely_device(const std::vector<diag_interface>& interfaces);
void add_check(std::vector<diag_check>* checks, const char* name, diag_status status, diag_rank rank,
               std::string sentence);
// The link check of the interface a group is joined on or leaves by.
void check_link(const std::vector<diag_interface>& interfaces, std::uint32_t index, std::vector<diag_check>* checks);
