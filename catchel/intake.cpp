#include "intake.h"

namespace {

int read_batch(catchel_intake* intake, net_endpoint* ep, net_reason* reason) {
    int n = dgram_receive_batch(ep, &intake->batch, intake->ask, reason);
    if (n > 0) intake->ask = n * 2 < DGRAM_RECEIVE_BATCH_MAX ? n * 2 : DGRAM_RECEIVE_BATCH_MAX;
    return n;
}

}  // namespace

bool intake_init(catchel_intake* intake, bool batched) {
    intake->batched = batched;
    intake->ask = 2;
    intake->batch = dgram_batch{};
    return !batched || dgram_batch_open(&intake->batch) == NET_OK;
}

void intake_free(catchel_intake* intake) { dgram_batch_close(&intake->batch); }

int intake_next(catchel_intake* intake, record_output* pending, net_endpoint* ep, record_datagram* datagram,
                char** data, std::uint32_t timeout_us, net_reason* reason) {
    if (!intake->batched) {
        *data = record_data(pending);
        return dgram_receive_detailed(ep, *data, RECORD_DATA_CAPACITY, &datagram->details, timeout_us, 0, reason);
    }
    const dgram_details* details = nullptr;
    int n = dgram_batch_next(&intake->batch, data, &details);
    if (n == NET_TIMEOUT) {
        if (timeout_us != 0 && (n = dgram_wait(&ep, 1, nullptr, timeout_us, reason)) != NET_OK) return n;
        if ((n = read_batch(intake, ep, reason)) < 0) return n;
        n = dgram_batch_next(&intake->batch, data, &details);
    }
    if (details != nullptr) datagram->details = *details;
    return n;
}
