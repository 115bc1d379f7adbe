#include "metrics/text_file.h"

#include <cerrno>
#include <cstdio>

#include "replace_file.h"

namespace {

// 0, or the errno of the first step that failed.
int write_whole(const char* path, const std::string& page) {
    std::FILE* file = std::fopen(path, "wb");
    if (file == nullptr) return errno != 0 ? errno : EIO;
    errno = 0;
    bool written = std::fwrite(page.data(), 1, page.size(), file) == page.size() && std::fflush(file) == 0;
    int error = written ? 0 : errno != 0 ? errno : EIO;
    if (std::fclose(file) != 0 && error == 0) error = errno != 0 ? errno : EIO;
    return error;
}

}  // namespace

void metrics_text_file_init(metrics_text_file* file, const char* path) {
    file->path = path;
    file->temporary = file->path + ".tmp";
    file->failures = 0;
    file->failing = false;
    file->error_number = 0;
}

bool metrics_text_file_write(metrics_text_file* file, const std::string& page) {
    int error = write_whole(file->temporary.c_str(), page);
    if (error == 0) error = replace_file(file->temporary.c_str(), file->path.c_str());
    if (error != 0) {
        std::remove(file->temporary.c_str());
        ++file->failures;
    }
    file->failing = error != 0;
    file->error_number = error;
    return error == 0;
}
