#include "records/records.h"

bool record_wants_details(const record_format* format) { return format->time || format->destination || format->json; }

int record_receive(record_output* out, net_endpoint* ep, record_datagram* datagram, std::uint32_t timeout_us) {
    char* data = record_data(out);
    if (!record_wants_details(&out->format)) {
        return dgram_receive_from(ep, data, RECORD_DATA_CAPACITY, &datagram->from_ip, &datagram->from_port,
                                  timeout_us, 0);
    }
    dgram_details got{};
    int n = dgram_receive_details(ep, data, RECORD_DATA_CAPACITY, &got, timeout_us, 0);
    datagram->from_ip = got.from_ip;
    datagram->from_port = got.from_port;
    datagram->has_time = got.has_time;
    datagram->time_us = got.time_us;
    datagram->has_to = got.has_to;
    datagram->to_ip = got.to_ip;
    datagram->has_dropped = got.has_dropped;
    datagram->dropped = got.dropped;
    return n;
}
