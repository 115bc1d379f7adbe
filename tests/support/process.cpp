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

process_output wait_for_end(running_program* child, int timeout_ms) {
    read_output_for(child, timeout_ms);  // ends early once the child has closed its output
    return stop_program(child);           // a child that ended already keeps its status
}
