#include "cmdline/cmdline.h"

#include <climits>
#include <cstdlib>

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

bool cli_write(std::FILE* out, const char* bytes, std::size_t length) {
    bool written = length == 0 || std::fwrite(bytes, 1, length, out) == length;
    cli_output_moved();
    return written;
}
