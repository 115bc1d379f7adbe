#include "intake.h"

#include <cstdlib>

namespace {

int read_batch(catchel_intake* intake, net_endpoint* ep, net_reason* reason) {
    int n = dgram_receive_queued_batch(ep, intake->slots, INTAKE_SLOT, intake->ask, intake->lengths,
                                       intake->details, reason);
    if (n > 0) intake->ask = n * 2 < INTAKE_BATCH ? n * 2 : INTAKE_BATCH;
    return n;
}

}  // namespace

bool intake_init(catchel_intake* intake, bool batched, bool detailed) {
    intake->batched = batched;
    intake->detailed = detailed;
    intake->next = intake->count = 0;
    intake->ask = 2;
    intake->slots = nullptr;
    if (!batched) return true;
    intake->slots = static_cast<char*>(std::malloc(std::size_t{INTAKE_BATCH} * INTAKE_SLOT));
    return intake->slots != nullptr;
}

void intake_free(catchel_intake* intake) { std::free(intake->slots); }

int intake_next(catchel_intake* intake, record_output* pending, net_endpoint* ep, record_datagram* datagram,
                char** data, std::uint32_t timeout_us, net_reason* reason) {
    if (!intake->batched) {
        *data = record_data(pending);
        dgram_details* details = &datagram->details;
        if (intake->detailed) {
            return dgram_receive_detailed(ep, *data, RECORD_DATA_CAPACITY, details, timeout_us, 0, reason);
        }
        return dgram_receive_from_address(ep, *data, RECORD_DATA_CAPACITY, &details->from, &details->from_port,
                                          timeout_us, 0, reason);
    }
    if (intake->next == intake->count) {
        if (timeout_us != 0) {
            int rc = dgram_wait(&ep, 1, nullptr, timeout_us);
            if (rc != NET_OK) return rc;
        }
        int n = read_batch(intake, ep, reason);
        if (n < 0) return n;
        intake->next = 0;
        intake->count = n;
    }
    int i = intake->next++;
    datagram->details = intake->details[i];
    *data = intake->slots + static_cast<std::ptrdiff_t>(i) * INTAKE_SLOT;
    return intake->lengths[i];
}
