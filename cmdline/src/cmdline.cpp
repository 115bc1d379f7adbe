#include "cmdline/cmdline.h"

#include <climits>
#include <cstdlib>
#include <cstring>

int cli_scan_int(const char* text) {
    char* end = nullptr;
    long long value = std::strtoll(text, &end, 10);  // saturates rather than overflowing
    if (end == text) return 0;
    if (value > INT_MAX) return INT_MAX;
    if (value < INT_MIN) return INT_MIN;
    return static_cast<int>(value);
}

bool cli_read_port(const char* text, std::uint16_t* port, int* value) {
    *value = cli_scan_int(text);
    if (*value <= 0 || *value > 65535) return false;
    *port = static_cast<std::uint16_t>(*value);
    return true;
}

int cli_skip_bind(int argc, char** argv, const char** bind_text) {
    *bind_text = nullptr;
    if (argc < 2 || std::strcmp(argv[1], "-bind") != 0) return 1;
    if (argc < 3) return 0;
    *bind_text = argv[2];
    return 3;
}
