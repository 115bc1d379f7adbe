// What pitchel sends: its message argument as text or as hexadecimal, or
// the first bytes of a file or of standard input.
#pragma once

#include <cstdio>
#include <string>

#include "cmdline/cmdline.h"

struct payload_form {
    bool hex;      // the message is two hexadecimal digits a byte
    bool no_zero;  // a text message goes without its zero byte
};

struct payload {
    std::string bytes;
};

// "-" names standard input.
constexpr const char* PAYLOAD_STANDARD_INPUT = "-";

// Fills `p` from `message`, or from `file_name` when it is not null (the
// form then changes nothing). Returns 0, or the exit status once `say` has
// told why it cannot; `in` is read for a file named "-".
int payload_read(payload* p, const char* message, const char* file_name, payload_form form, std::FILE* in,
                 const cli_teller* say);
