#include "fault.h"

#include <array>
#include <utility>

namespace {

struct planned_fault {
    int skip = 0;
    int times = 0;
    int result = 0;
};

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

void fault_plan(fault_op op, int result, int skip, int times) {
    plans[static_cast<std::size_t>(op)] = planned_fault{skip, times, result};
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
net_socket __real_plat_socket(int type, bool multipoint);
int __real_plat_close(net_socket s);
int __real_plat_bind(net_socket s, const sockaddr_in* local);
int __real_plat_listen(net_socket s, int backlog);
net_socket __real_plat_accept(net_socket s, sockaddr_in* peer);
int __real_plat_connect(net_socket s, const sockaddr_in* remote);
int __real_plat_select(net_select_set* readable, net_select_set* writable, std::uint32_t timeout_us);
int __real_plat_send(net_socket s, const void* data, int len);
int __real_plat_sendto(net_socket s, const void* data, int len, const sockaddr_in* remote);
int __real_plat_recv(net_socket s, void* buf, int size);
int __real_plat_recvfrom(net_socket s, void* buf, int size, sockaddr_in* remote);
int __real_plat_recv_queued(net_socket s, void* buf, int size, sockaddr_in* remote);
int __real_plat_enable_details(net_socket s);
int __real_plat_recv_details(net_socket s, void* buf, int size, plat_details* details, bool queued_only);
int __real_plat_drop_count(net_socket s, std::uint32_t* dropped);
int __real_plat_setsockopt(net_socket s, int level, int name, const void* value, int len);
int __real_plat_getsockname(net_socket s, sockaddr_in* local);
int __real_plat_getpeername(net_socket s, sockaddr_in* remote);
int __real_plat_lookup_ipv4(const char* name, std::uint32_t* address);
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

net_socket __wrap_plat_socket(int type, bool multipoint) {
    int ignored = 0;
    if (take(fault_op::socket, PLAT_INVALID_SOCKET, &ignored)) return PLAT_INVALID_SOCKET;
    net_socket s = __real_plat_socket(type, multipoint);
    calls.back().sock = s;
    return s;
}

int __wrap_plat_close(net_socket s) {
    int rc = 0;
    bool planned = take(fault_op::close, s, &rc);
    int real = __real_plat_close(s);
    return planned ? rc : real;
}

int __wrap_plat_bind(net_socket s, const sockaddr_in* local) {
    int rc = 0;
    return take(fault_op::bind, s, &rc) ? rc : __real_plat_bind(s, local);
}

int __wrap_plat_listen(net_socket s, int backlog) {
    int rc = 0;
    return take(fault_op::listen, s, &rc) ? rc : __real_plat_listen(s, backlog);
}

net_socket __wrap_plat_accept(net_socket s, sockaddr_in* peer) {
    int ignored = 0;
    if (take(fault_op::accept, s, &ignored)) return PLAT_INVALID_SOCKET;
    return __real_plat_accept(s, peer);
}

int __wrap_plat_connect(net_socket s, const sockaddr_in* remote) {
    int rc = 0;
    return take(fault_op::connect, s, &rc) ? rc : __real_plat_connect(s, remote);
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

int __wrap_plat_sendto(net_socket s, const void* data, int len, const sockaddr_in* remote) {
    int rc = 0;
    return take(fault_op::sendto, s, &rc) ? rc : __real_plat_sendto(s, data, len, remote);
}

int __wrap_plat_recv(net_socket s, void* buf, int size) {
    int rc = 0;
    return take(fault_op::recv, s, &rc) ? rc : __real_plat_recv(s, buf, size);
}

int __wrap_plat_recvfrom(net_socket s, void* buf, int size, sockaddr_in* remote) {
    int rc = 0;
    return take(fault_op::recvfrom, s, &rc) ? rc : __real_plat_recvfrom(s, buf, size, remote);
}

int __wrap_plat_recv_queued(net_socket s, void* buf, int size, sockaddr_in* remote) {
    int rc = 0;
    return take(fault_op::recv_queued, s, &rc) ? rc : __real_plat_recv_queued(s, buf, size, remote);
}

int __wrap_plat_enable_details(net_socket s) {
    int rc = 0;
    return take(fault_op::enable_details, s, &rc) ? rc : __real_plat_enable_details(s);
}

int __wrap_plat_recv_details(net_socket s, void* buf, int size, plat_details* details, bool queued_only) {
    int rc = 0;
    return take(fault_op::recv_details, s, &rc) ? rc : __real_plat_recv_details(s, buf, size, details, queued_only);
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

int __wrap_plat_getsockname(net_socket s, sockaddr_in* local) {
    int rc = 0;
    return take(fault_op::getsockname, s, &rc) ? rc : __real_plat_getsockname(s, local);
}

int __wrap_plat_getpeername(net_socket s, sockaddr_in* remote) {
    int rc = 0;
    return take(fault_op::getpeername, s, &rc) ? rc : __real_plat_getpeername(s, remote);
}

int __wrap_plat_lookup_ipv4(const char* name, std::uint32_t* address) {
    int rc = 0;
    return take(fault_op::lookup, PLAT_INVALID_SOCKET, &rc) ? rc : __real_plat_lookup_ipv4(name, address);
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
