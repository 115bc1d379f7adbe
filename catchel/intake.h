// Where catchel's datagrams come from: one read at a time, into the record
// being put together; or, when no record is printed, many a read, into a
// batch of the layer's.
#pragma once

#include <cstdint>

#include "netlayer/netlayer.h"
#include "records/records.h"

struct catchel_intake {
    bool batched;
    dgram_batch batch;
    // How many reads the next batch asks for: twice the last batch, so that
    // a receiver that keeps up prepares room for few and one that falls
    // behind soon takes DGRAM_RECEIVE_BATCH_MAX a call.
    int ask;
};

// More datagrams of the coalesced read the last came from, at most `most`,
// as dgram_batch_next_run hands them out: its details are the last one's.
inline int intake_next_run(catchel_intake* intake, int most, char** data, int* size) {
    return intake->batched ? dgram_batch_next_run(&intake->batch, most, data, size) : 0;
}

// False when the batch's room could not be had.
bool intake_init(catchel_intake* intake, bool batched);
void intake_free(catchel_intake* intake);

// The next datagram within `timeout_us`: its size, its source and the
// details the endpoint keeps into `datagram`, its bytes at `*data`; one at
// a time it is read where its record is put together. A batch is read once the last is used up:
// without a wait when `timeout_us` is 0, else after the layer's wait on
// `ep`. Returns as the receive does, the system's reason in `reason`.
int intake_next(catchel_intake* intake, record_output* pending, net_endpoint* ep, record_datagram* datagram,
                char** data, std::uint32_t timeout_us, net_reason* reason);
