#include "fault.h"

#include <array>
#include <cerrno>
#include <utility>

namespace {

struct planned_fault {
    int skip = 0;
    int times = 0;
    int result = 0;
    int error = 0;
};

// What plat_last_error will tell next, as a failing system call leaves it.
void leave_error(int error) {
#ifdef _WIN32
    WSASetLastError(error);
#else
    errno = error;
#endif
}

constexpr std::size_t op_count = static_cast<std::size_t>(fault_op::free) + 1;

struct planned_action {
    int skip = 0;
    void (*action)() = nullptr;
};

std::array<planned_fault, op_count> plans;
std::array<planned_action, op_count> actions;
std::vector<fault_call> calls;
int startups_held = 0;
int records_held = 0;

// Records the call; true when a planned fault takes it, with the result in `*result`.
bool take(fault_op op, net_socket s, int* result, int level = 0, int name = 0, int value = 0) {
    calls.push_back(fault_call{op, s, level, name, value});
    planned_action& act = actions[static_cast<std::size_t>(op)];
    if (act.action != nullptr && act.skip-- == 0) std::exchange(act.action, nullptr)();
    planned_fault& plan = plans[static_cast<std::size_t>(op)];
    if (plan.times == 0) return false;
    if (plan.skip > 0) {
        --plan.skip;
        return false;
    }
    --plan.times;
    *result = plan.result;
    if (plan.error != 0) leave_error(plan.error);
    return true;
}

}  // namespace

void fault_reset() {
    plans = {};
    actions = {};
    calls.clear();
    // Recording must not allocate while a case counts allocations.
    calls.reserve(1 << 16);
    startups_held = 0;
    records_held = 0;
}

void fault_plan(fault_op op, int result, int skip, int times, int error) {
    plans[static_cast<std::size_t>(op)] = planned_fault{skip, times, result, error};
}

void fault_on_call(fault_op op, void (*action)(), int skip) {
    actions[static_cast<std::size_t>(op)] = planned_action{skip, action};
}

const std::vector<fault_call>& fault_calls() { return calls; }

int fault_count(fault_op op) {
    int n = 0;
    for (const fault_call& call : calls) n += call.op == op;
    return n;
}

int fault_startups_held() { return startups_held; }

int fault_records_held() { return records_held; }

extern "C" {

int __real_plat_startup();
int __real_plat_cleanup();
int __real_plat_last_error();
void __real_plat_error_text(int number, bool from_lookup, char* text, std::size_t room);
net_socket __real_plat_socket(int family, int type, bool multipoint);
int __real_plat_close(net_socket s);
int __real_plat_bind(net_socket s, const sockaddr* local, int length);
int __real_plat_listen(net_socket s, int backlog);
net_socket __real_plat_accept(net_socket s, sockaddr* peer, int* length);
int __real_plat_connect(net_socket s, const sockaddr* remote, int length);
int __real_plat_set_nonblocking(net_socket s);
int __real_plat_select(net_select_set* readable, net_select_set* writable, std::uint32_t timeout_us);
int __real_plat_send(net_socket s, const void* data, int len);
int __real_plat_sendto(net_socket s, const void* data, int len, const sockaddr* remote, int length);
int __real_plat_send_batch(net_socket s, const void* data, int size, int count, const sockaddr* remote, int length,
                           plat_batch_form form);
int __real_plat_recv(net_socket s, void* buf, int size);
std::uint64_t __real_plat_steady_us();
int __real_plat_random(void* to, std::size_t size);
int __real_plat_recvfrom(net_socket s, void* buf, int size, sockaddr* remote, int* length);
int __real_plat_recv_queued(net_socket s, void* buf, int size, sockaddr* remote, int* length);
int __real_plat_enable_details(net_socket s, int family, std::uint16_t wanted);
int __real_plat_enable_coalescing(net_socket s);
int __real_plat_recv_details(net_socket s, void* buf, int size, plat_details* details, bool queued_only);
int __real_plat_recv_details_batch(net_socket s, void* buf, int size, int count, int* lengths,
                                   plat_details* details);
int __real_plat_drop_count(net_socket s, std::uint32_t* dropped);
int __real_plat_setsockopt(net_socket s, int level, int name, const void* value, int len);
int __real_plat_set_ipv4_by_index(net_socket s, int name, std::uint32_t group, std::uint32_t source,
                                  std::uint32_t index);
int __real_plat_getsockopt(net_socket s, int level, int name, void* value, int* length);
int __real_plat_set_dont_fragment(net_socket s, int family);
int __real_plat_getsockname(net_socket s, sockaddr* local, int* length);
int __real_plat_getpeername(net_socket s, sockaddr* remote, int* length);
int __real_plat_lookup_ipv4(const char* name, std::uint32_t* address);
int __real_plat_lookup_address(const char* name, const addrinfo* hints, addrinfo** found);
void __real_plat_free_lookup(addrinfo* found);
std::uint32_t __real_plat_interface_index(const char* name);
int __real_plat_interface_name(std::uint32_t index, char* name, std::size_t room);
std::uint32_t __real_plat_interface_holding(const net_address* address);
void* __real_plat_alloc(std::size_t size);
void __real_plat_free(void* p);

int __wrap_plat_startup() {
    int rc = 0;
    if (!take(fault_op::startup, PLAT_INVALID_SOCKET, &rc)) rc = __real_plat_startup();
    if (rc == 0) ++startups_held;
    return rc;
}

int __wrap_plat_cleanup() {
    int rc = 0;
    if (!take(fault_op::cleanup, PLAT_INVALID_SOCKET, &rc)) rc = __real_plat_cleanup();
    if (rc == 0) --startups_held;
    return rc;
}

// The last error is read, never faulted: a test plans the error with the failing call.
int __wrap_plat_last_error() {
    int error = __real_plat_last_error();
    calls.push_back(fault_call{fault_op::last_error, PLAT_INVALID_SOCKET, 0, 0, error});
    return error;
}

void __wrap_plat_error_text(int number, bool from_lookup, char* text, std::size_t room) {
    int ignored = 0;
    take(fault_op::error_text, PLAT_INVALID_SOCKET, &ignored);
    __real_plat_error_text(number, from_lookup, text, room);
}

net_socket __wrap_plat_socket(int family, int type, bool multipoint) {
    int ignored = 0;
    if (take(fault_op::socket, PLAT_INVALID_SOCKET, &ignored)) return PLAT_INVALID_SOCKET;
    net_socket s = __real_plat_socket(family, type, multipoint);
    calls.back().sock = s;
    return s;
}

int __wrap_plat_close(net_socket s) {
    int rc = 0;
    bool planned = take(fault_op::close, s, &rc);
    int real = __real_plat_close(s);
    return planned ? rc : real;
}

int __wrap_plat_bind(net_socket s, const sockaddr* local, int length) {
    int rc = 0;
    return take(fault_op::bind, s, &rc) ? rc : __real_plat_bind(s, local, length);
}

int __wrap_plat_listen(net_socket s, int backlog) {
    int rc = 0;
    return take(fault_op::listen, s, &rc) ? rc : __real_plat_listen(s, backlog);
}

net_socket __wrap_plat_accept(net_socket s, sockaddr* peer, int* length) {
    int ignored = 0;
    if (take(fault_op::accept, s, &ignored)) return PLAT_INVALID_SOCKET;
    return __real_plat_accept(s, peer, length);
}

int __wrap_plat_connect(net_socket s, const sockaddr* remote, int length) {
    int rc = 0;
    return take(fault_op::connect, s, &rc) ? rc : __real_plat_connect(s, remote, length);
}

int __wrap_plat_set_nonblocking(net_socket s) {
    int rc = 0;
    return take(fault_op::set_nonblocking, s, &rc) ? rc : __real_plat_set_nonblocking(s);
}

int __wrap_plat_select(net_select_set* readable, net_select_set* writable, std::uint32_t timeout_us) {
    int rc = 0;
    return take(fault_op::select, PLAT_INVALID_SOCKET, &rc) ? rc
                                                           : __real_plat_select(readable, writable, timeout_us);
}

int __wrap_plat_send(net_socket s, const void* data, int len) {
    int rc = 0;
    return take(fault_op::send, s, &rc) ? rc : __real_plat_send(s, data, len);
}

int __wrap_plat_sendto(net_socket s, const void* data, int len, const sockaddr* remote, int length) {
    int rc = 0;
    return take(fault_op::sendto, s, &rc) ? rc : __real_plat_sendto(s, data, len, remote, length);
}

int __wrap_plat_send_batch(net_socket s, const void* data, int size, int count, const sockaddr* remote, int length,
                           plat_batch_form form) {
    int rc = 0;
    return take(fault_op::send_batch, s, &rc, 0, 0, form) ? rc : __real_plat_send_batch(s, data, size, count, remote, length, form);
}

int __wrap_plat_recv(net_socket s, void* buf, int size) {
    int rc = 0;
    return take(fault_op::recv, s, &rc) ? rc : __real_plat_recv(s, buf, size);
}

int __wrap_plat_recvfrom(net_socket s, void* buf, int size, sockaddr* remote, int* length) {
    int rc = 0;
    return take(fault_op::recvfrom, s, &rc) ? rc : __real_plat_recvfrom(s, buf, size, remote, length);
}

int __wrap_plat_recv_queued(net_socket s, void* buf, int size, sockaddr* remote, int* length) {
    int rc = 0;
    return take(fault_op::recv_queued, s, &rc) ? rc : __real_plat_recv_queued(s, buf, size, remote, length);
}

int __wrap_plat_enable_details(net_socket s, int family, std::uint16_t wanted) {
    int rc = 0;
    return take(fault_op::enable_details, s, &rc, 0, 0, wanted) ? rc : __real_plat_enable_details(s, family, wanted);
}

int __wrap_plat_enable_coalescing(net_socket s) {
    int rc = 0;
    return take(fault_op::enable_coalescing, s, &rc) ? rc : __real_plat_enable_coalescing(s);
}

int __wrap_plat_recv_details(net_socket s, void* buf, int size, plat_details* details, bool queued_only) {
    int rc = 0;
    return take(fault_op::recv_details, s, &rc) ? rc : __real_plat_recv_details(s, buf, size, details, queued_only);
}

int __wrap_plat_recv_details_batch(net_socket s, void* buf, int size, int count, int* lengths,
                                   plat_details* details) {
    int rc = 0;
    return take(fault_op::recv_details_batch, s, &rc) ? rc
                                                      : __real_plat_recv_details_batch(s, buf, size, count, lengths, details);
}

int __wrap_plat_drop_count(net_socket s, std::uint32_t* dropped) {
    int rc = 0;
    return take(fault_op::drop_count, s, &rc) ? rc : __real_plat_drop_count(s, dropped);
}

int __wrap_plat_setsockopt(net_socket s, int level, int name, const void* value, int len) {
    int rc = 0;
    int shown = len == sizeof(int) ? *static_cast<const int*>(value) : 0;
    return take(fault_op::setsockopt, s, &rc, level, name, shown) ? rc
                                                                   : __real_plat_setsockopt(s, level, name, value, len);
}

int __wrap_plat_set_ipv4_by_index(net_socket s, int name, std::uint32_t group, std::uint32_t source,
                                  std::uint32_t index) {
    int rc = 0;
    return take(fault_op::set_ipv4_by_index, s, &rc, IPPROTO_IP, name, static_cast<int>(index))
               ? rc
               : __real_plat_set_ipv4_by_index(s, name, group, source, index);
}

int __wrap_plat_getsockopt(net_socket s, int level, int name, void* value, int* length) {
    int rc = 0;
    return take(fault_op::getsockopt, s, &rc, level, name) ? rc
                                                           : __real_plat_getsockopt(s, level, name, value, length);
}

int __wrap_plat_set_dont_fragment(net_socket s, int family) {
    int rc = 0;
    return take(fault_op::set_dont_fragment, s, &rc, 0, 0, family) ? rc : __real_plat_set_dont_fragment(s, family);
}

int __wrap_plat_getsockname(net_socket s, sockaddr* local, int* length) {
    int rc = 0;
    return take(fault_op::getsockname, s, &rc) ? rc : __real_plat_getsockname(s, local, length);
}

int __wrap_plat_getpeername(net_socket s, sockaddr* remote, int* length) {
    int rc = 0;
    return take(fault_op::getpeername, s, &rc) ? rc : __real_plat_getpeername(s, remote, length);
}

int __wrap_plat_lookup_ipv4(const char* name, std::uint32_t* address) {
    int rc = 0;
    return take(fault_op::lookup, PLAT_INVALID_SOCKET, &rc) ? rc : __real_plat_lookup_ipv4(name, address);
}

int __wrap_plat_lookup_address(const char* name, const addrinfo* hints, addrinfo** found) {
    int rc = 0;
    return take(fault_op::lookup_address, PLAT_INVALID_SOCKET, &rc) ? rc
                                                                    : __real_plat_lookup_address(name, hints, found);
}

void __wrap_plat_free_lookup(addrinfo* found) {
    int ignored = 0;
    take(fault_op::free_lookup, PLAT_INVALID_SOCKET, &ignored);
    __real_plat_free_lookup(found);
}

// A planned interface lookup finds no interface.
std::uint32_t __wrap_plat_interface_index(const char* name) {
    int ignored = 0;
    return take(fault_op::interface_index, PLAT_INVALID_SOCKET, &ignored) ? 0 : __real_plat_interface_index(name);
}

int __wrap_plat_interface_name(std::uint32_t index, char* name, std::size_t room) {
    int rc = 0;
    return take(fault_op::interface_name, PLAT_INVALID_SOCKET, &rc) ? rc : __real_plat_interface_name(index, name, room);
}

std::uint32_t __wrap_plat_interface_holding(const net_address* address) {
    int ignored = 0;
    return take(fault_op::interface_holding, PLAT_INVALID_SOCKET, &ignored) ? 0
                                                                             : __real_plat_interface_holding(address);
}

// Recorded only: a reading of the clock cannot fail.
std::uint64_t __wrap_plat_steady_us() {
    int ignored = 0;
    take(fault_op::steady_us, PLAT_INVALID_SOCKET, &ignored);
    return __real_plat_steady_us();
}

int __wrap_plat_random(void* to, std::size_t size) {
    int rc = 0;
    return take(fault_op::random, PLAT_INVALID_SOCKET, &rc) ? rc : __real_plat_random(to, size);
}

void* __wrap_plat_alloc(std::size_t size) {
    int ignored = 0;
    if (take(fault_op::alloc, PLAT_INVALID_SOCKET, &ignored)) return nullptr;
    void* p = __real_plat_alloc(size);
    if (p != nullptr) ++records_held;
    return p;
}

void __wrap_plat_free(void* p) {
    int ignored = 0;
    take(fault_op::free, PLAT_INVALID_SOCKET, &ignored);
    if (p != nullptr) --records_held;
    __real_plat_free(p);
}
}
