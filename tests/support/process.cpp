#include "process_platform.h"

bool wait_for_output(running_program* child, const std::string& text, int timeout_ms) {
    long long end = process_now_ms() + timeout_ms;
    while (output_so_far(child).find(text) == std::string::npos) {
        long long left = end - process_now_ms();
        if (left <= 0 || !process_pump(child, static_cast<int>(left))) {
            return output_so_far(child).find(text) != std::string::npos;
        }
    }
    return true;
}

void read_output_for(running_program* child, int ms) {
    long long end = process_now_ms() + ms;
    for (long long left = ms; left > 0; left = end - process_now_ms()) {
        if (!process_pump(child, static_cast<int>(left))) return;
    }
}

process_output run_program(const std::string& path, const std::vector<std::string>& args, int timeout_ms) {
    return wait_program(start_program(path, args), timeout_ms);
}
