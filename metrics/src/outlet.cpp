#include "metrics/outlet.h"

#include <algorithm>

namespace {

// Datagrams taken in a row without a wait before the outlet is tended.
constexpr int untended_most = 64;

void write_file_when_due(metrics_outlet* outlet) {
    if (!outlet->writing || net_steady_us() < outlet->due_us) return;
    outlet->due_us = net_steady_us() + outlet->every_us;
    std::string page;
    outlet->source.write(outlet->source.context, &page);
    bool was_failing = outlet->file.failing;
    if (!metrics_text_file_write(&outlet->file, page) && !was_failing) outlet->failure_to_tell = true;
}

}  // namespace

int metrics_outlet_open(metrics_outlet* outlet, const metrics_plan* plan, metrics_page_source source,
                        net_reason* reason) {
    outlet->source = source;
    outlet->untended = 0;
    outlet->failure_to_tell = false;
    outlet->writing = plan->file_path != nullptr;
    if (outlet->writing) metrics_text_file_init(&outlet->file, plan->file_path);
    outlet->every_us = plan->file_every_us;
    outlet->due_us = 0;  // at the first wait, so that a collector finds the file from the start
    outlet->serving = false;
    if (plan->listen_text == nullptr) return NET_OK;
    int rc = metrics_server_open(&outlet->server, &plan->listen, source, reason);
    outlet->serving = rc == NET_OK;
    return rc;
}

bool metrics_outlet_new_failure(metrics_outlet* outlet) {
    bool told = outlet->failure_to_tell;
    outlet->failure_to_tell = false;
    return told;
}

void metrics_outlet_close(metrics_outlet* outlet) {
    if (outlet->serving) metrics_server_close(&outlet->server);
    outlet->serving = false;
}

int metrics_outlet_wait(metrics_outlet* outlet, net_endpoint* ep, std::uint32_t timeout_us, net_reason* reason) {
    outlet->untended = 0;
    if (!outlet->writing) {
        if (outlet->serving) return metrics_server_wait(&outlet->server, ep, timeout_us, reason);
        return ep != nullptr ? dgram_wait(&ep, 1, nullptr, timeout_us) : NET_TIMEOUT;
    }
    std::uint64_t end_us = net_steady_us() + timeout_us;
    for (;;) {
        write_file_when_due(outlet);
        if (!outlet->serving && ep == nullptr) return NET_TIMEOUT;
        std::uint64_t now_us = net_steady_us();
        std::uint64_t until_us = std::min(end_us, outlet->due_us);
        auto wait_us = static_cast<std::uint32_t>(until_us > now_us ? until_us - now_us : 0);
        int rc = outlet->serving ? metrics_server_wait(&outlet->server, ep, wait_us, reason)
                                 : dgram_wait(&ep, 1, nullptr, wait_us);
        if (rc != NET_TIMEOUT || net_steady_us() >= end_us) return rc;
    }
}

void metrics_outlet_flush(metrics_outlet* outlet) {
    outlet->due_us = 0;
    write_file_when_due(outlet);
}

void metrics_outlet_busy(metrics_outlet* outlet) {
    if (++outlet->untended < untended_most) return;
    outlet->untended = 0;
    write_file_when_due(outlet);
    if (outlet->serving) metrics_server_wait(&outlet->server, nullptr, 0, nullptr);
}
