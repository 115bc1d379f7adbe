#include "intake.h"

namespace {

int read_batch(catchel_intake* intake, net_endpoint* ep) {
    int n = dgram_receive_batch(ep, &intake->batch, intake->ask, nullptr);
    if (n > 0) intake->ask = n * 2 < DGRAM_RECEIVE_BATCH_MAX ? n * 2 : DGRAM_RECEIVE_BATCH_MAX;
    return n;
}

}  // namespace

bool intake_init(catchel_intake* intake, bool batched, bool detailed) {
    intake->batched = batched;
    intake->detailed = detailed;
    intake->ask = 2;
    intake->batch = dgram_batch{};
    return !batched || dgram_batch_open(&intake->batch) == NET_OK;
}

void intake_free(catchel_intake* intake) { dgram_batch_close(&intake->batch); }

int intake_next(catchel_intake* intake, record_output* pending, net_endpoint* ep, record_datagram* datagram,
                char** data, std::uint32_t timeout_us) {
    if (!intake->batched) {
        *data = record_data(pending);
        return intake->detailed ? record_receive_detailed(pending, ep, datagram, timeout_us)
                                : record_receive(pending, ep, datagram, timeout_us);
    }
    const dgram_details* details = nullptr;
    int n = dgram_batch_next(&intake->batch, data, &details);
    if (n == NET_TIMEOUT) {
        if (timeout_us != 0 && (n = dgram_wait(&ep, 1, nullptr, timeout_us)) != NET_OK) return n;
        if ((n = read_batch(intake, ep)) < 0) return n;
        n = dgram_batch_next(&intake->batch, data, &details);
    }
    if (details != nullptr) datagram->details = *details;
    return n;
}
