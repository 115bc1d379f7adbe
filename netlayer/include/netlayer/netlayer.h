// netlayer: datagram and stream endpoints over the platform's sockets. The
// one header its users include, a table of contents over the headers by
// concern.
//
// Every operation that can fail returns a result code; the layer prints
// nothing, keeps no error state and never exits. The first operations take
// IPv4 addresses as host-order numbers; the family-neutral ones beside them
// take a net_address and tell why they failed. Ports are in host byte order;
// time-outs are microseconds.
#pragma once

#include "netlayer/address.h"   // addresses, reasons, result codes: no socket headers
#include "netlayer/endpoint.h"  // the endpoint record, open flags, select sets
#include "netlayer/dgram.h"     // datagram endpoints, family-neutral
#include "netlayer/stream.h"    // stream endpoints
#include "netlayer/ipv4.h"      // the first operations on host-order IPv4 addresses
