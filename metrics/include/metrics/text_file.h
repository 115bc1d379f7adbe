// The page as a file that a reader never finds half written (node_exporter's
// textfile collector): written to a temporary file beside it, then renamed
// over it in one step.
#pragma once

#include <cstdint>
#include <string>

struct metrics_text_file {
    std::string path;
    std::string temporary;  // `path` with ".tmp" added: a collector reads *.prom alone
    std::uint64_t failures;  // writes that failed
    bool failing;  // the last write failed
    int error_number;  // its errno
};

void metrics_text_file_init(metrics_text_file* file, const char* path);

// Replaces the file with `page`. False, with the reason in error_number,
// when it could not: the file as it was stays, the temporary is removed.
bool metrics_text_file_write(metrics_text_file* file, const std::string& page);
