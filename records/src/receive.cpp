#include "records/records.h"

bool record_wants_details(const record_format* format) { return format->time || format->destination || format->json; }

int record_receive(record_output* out, net_endpoint* ep, record_datagram* datagram, std::uint32_t timeout_us) {
    char* data = record_data(out);
    if (!record_wants_details(&out->format)) {
        dgram_details* source = &datagram->details;
        return dgram_receive_from_address(ep, data, RECORD_DATA_CAPACITY, &source->from, &source->from_port,
                                          timeout_us, 0, nullptr);
    }
    return record_receive_detailed(out, ep, datagram, timeout_us);
}

int record_receive_detailed(record_output* out, net_endpoint* ep, record_datagram* datagram, std::uint32_t timeout_us) {
    return dgram_receive_detailed(ep, record_data(out), RECORD_DATA_CAPACITY, &datagram->details, timeout_us, 0,
                                  nullptr);
}
