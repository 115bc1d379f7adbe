#include <cstdio>

#include "cmdline/cmdline.h"
#include "pitchel.h"

int main(int argc, char** argv) {
    cli_guard_standard_streams();
    return pitchel_run(argc, argv, stdout);
}
