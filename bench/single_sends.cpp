// Linked into pitchel_single, a pitchel whose system refuses every batch
// form but one datagram a call: the fallback path Windows and old kernels
// take, measured on this one.
#include "platform.h"

extern "C" {

int __real_plat_send_batch(net_socket s, const void* data, int size, int count, const sockaddr* remote, int length,
                           plat_batch_form form);

int __wrap_plat_send_batch(net_socket s, const void* data, int size, int count, const sockaddr* remote, int length,
                           plat_batch_form form) {
    if (form != PLAT_BATCH_SINGLE) return PLAT_FORM_REFUSED;
    return __real_plat_send_batch(s, data, size, count, remote, length, form);
}
}
