#include "payload.h"

#include <cstring>

#include "cmdline/cmdline.h"

namespace {

constexpr std::size_t file_read_limit = 9999;

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool decode_hex(std::string* bytes, const char* text) {
    std::size_t length = std::strlen(text);
    if (length % 2 != 0) return false;
    for (std::size_t i = 0; i < length; i += 2) {
        int high = hex_digit(text[i]);
        int low = hex_digit(text[i + 1]);
        if (high < 0 || low < 0) return false;
        bytes->push_back(static_cast<char>(high << 4 | low));
    }
    return true;
}

// One read of up to the limit, which stops early only at the end or on an error.
bool read_start(std::string* bytes, std::FILE* file) {
    bytes->resize(file_read_limit);
    std::size_t got = std::fread(bytes->data(), 1, file_read_limit, file);
    bytes->resize(got);
    return std::ferror(file) == 0;
}

int read_file(payload* p, const char* name, std::FILE* in, std::FILE* out) {
    bool standard_input = std::strcmp(name, PAYLOAD_STANDARD_INPUT) == 0;
    if (standard_input) cli_binary_input(in);
    std::FILE* file = standard_input ? in : std::fopen(name, "rb");
    if (file == nullptr) {
        std::fprintf(out, "file '%s' not found\n", name);
        return 1;
    }
    bool read = read_start(&p->bytes, file);
    if (!standard_input) std::fclose(file);
    if (!read) {
        std::fprintf(out, "cannot read file '%s'\n", name);
        return 1;
    }
    return 0;
}

}  // namespace

int payload_read(payload* p, const char* message, const char* file_name, payload_form form, std::FILE* in,
                 std::FILE* out) {
    p->bytes.clear();
    if (file_name != nullptr) return read_file(p, file_name, in, out);
    if (!form.hex) {
        // The zero byte that ends the text travels with it unless asked otherwise.
        p->bytes.assign(message, std::strlen(message) + (form.no_zero ? 0 : 1));
        return 0;
    }
    if (!decode_hex(&p->bytes, message)) {
        std::fprintf(out, "invalid hex message %s\n", message);
        return 1;
    }
    return 0;
}
