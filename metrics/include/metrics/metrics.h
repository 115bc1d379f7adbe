// metrics: figures for Prometheus. The one header its users include, a
// table of contents over the headers by concern.
#pragma once

#include "metrics/exposition.h"   // the text exposition format, version 0.0.4
#include "metrics/http_server.h"  // GET /metrics beside a datagram endpoint, never waiting on a client
#include "metrics/text_file.h"    // the same text as a file, replaced whole, for a textfile collector
#include "metrics/outlet.h"       // where a page goes: the server, the file, or both, tended in the one wait
