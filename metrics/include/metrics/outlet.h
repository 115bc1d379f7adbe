// Where a program's page goes: served at -metrics, written to
// -metrics-file, or both, each tended in the program's one wait.
#pragma once

#include <cstdint>

#include "metrics/http_server.h"
#include "metrics/text_file.h"

// What a command line asks: either or both.
struct metrics_plan {
    const char* listen_text;  // null: no -metrics
    metrics_listen listen;
    const char* file_path;  // null: no -metrics-file
    std::uint64_t file_every_us;
};

struct metrics_outlet {
    bool serving;
    metrics_server server;
    bool writing;
    metrics_text_file file;
    std::uint64_t every_us;  // between writes of the file
    std::uint64_t due_us;    // the next, by the layer's steady clock
    metrics_page_source source;
    int untended;  // datagrams taken since the outlet was last tended
    bool failure_to_tell;  // a write failed after one that did not
};

// True once for each run of failed writes: the program tells it.
bool metrics_outlet_new_failure(metrics_outlet* outlet);

// Serves and writes as the plan says. NET_OK, or NET_ERROR with the reason
// (number 0: no memory); then nothing is left open.
int metrics_outlet_open(metrics_outlet* outlet, const metrics_plan* plan, metrics_page_source source,
                        net_reason* reason);
void metrics_outlet_close(metrics_outlet* outlet);

// The layer's wait for a datagram at `ep`, null for none, up to
// `timeout_us`, the clients served and the file written when due
// meanwhile: NET_OK once one is waiting, NET_TIMEOUT, or NET_ERROR with
// the reason. Without `ep` and without a server there is nothing to wait
// on: NET_TIMEOUT at once, for the caller to wait its own way.
int metrics_outlet_wait(metrics_outlet* outlet, net_endpoint* ep, std::uint32_t timeout_us, net_reason* reason);

// A datagram was taken (or sent) without a wait: every so many, the
// outlet is tended without one, lest a flood starve it.
void metrics_outlet_busy(metrics_outlet* outlet);

// The file written now, as a run ends, whenever it was due.
void metrics_outlet_flush(metrics_outlet* outlet);
