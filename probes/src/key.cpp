#include <cstring>

#include "probes/probes.h"

probe_key probe_key_of(const net_address* address, std::uint16_t port, std::uint32_t run) {
    probe_key key{};
    key.family = static_cast<std::uint8_t>(address->family);
    std::memcpy(key.address, address->bytes, sizeof key.address);
    key.scope = address->scope_id;
    key.port = port;
    key.run = run;
    return key;
}

net_address probe_key_address(const probe_key* key) {
    net_address address{static_cast<net_family>(key->family), {}, key->scope};
    std::memcpy(address.bytes, key->address, sizeof address.bytes);
    return address;
}
