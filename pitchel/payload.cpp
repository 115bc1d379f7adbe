#include "payload.h"

#include <cerrno>
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

// One read of up to the limit, which stops early only at the end or on an
// error; false on an error, with the C library's number for it (0: none).
bool read_start(std::string* bytes, std::FILE* file, int* error_number) {
    bytes->resize(file_read_limit);
    errno = 0;
    std::size_t got = std::fread(bytes->data(), 1, file_read_limit, file);
    *error_number = errno;
    bytes->resize(got);
    return std::ferror(file) == 0;
}

int read_file(payload* p, const char* name, std::FILE* in, const cli_teller* say) {
    bool standard_input = std::strcmp(name, PAYLOAD_STANDARD_INPUT) == 0;
    if (standard_input) cli_binary_input(in);
    std::FILE* file = standard_input ? in : std::fopen(name, "rb");
    if (file == nullptr) {
        cli_tell_unreadable_file(say, name, false, errno);
        return 1;
    }
    int error_number = 0;
    bool read = read_start(&p->bytes, file, &error_number);
    if (!standard_input) std::fclose(file);
    if (!read) {
        cli_tell_unreadable_file(say, name, true, error_number);
        return 1;
    }
    return 0;
}

}  // namespace

int payload_read(payload* p, const char* message, const char* file_name, payload_form form, std::FILE* in,
                 const cli_teller* say) {
    p->bytes.clear();
    if (file_name != nullptr) return read_file(p, file_name, in, say);
    if (!form.hex) {
        // The zero byte that ends the text travels with it unless asked otherwise.
        p->bytes.assign(message, std::strlen(message) + (form.no_zero ? 0 : 1));
        return 0;
    }
    if (!decode_hex(&p->bytes, message)) {
        cli_tell_invalid_hex(say, message);
        return 1;
    }
    return 0;
}
