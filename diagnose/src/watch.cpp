// The programs' side: gather, print the first checks, wait, gather again,
// print the rest and the verdict.
#include "gather.h"
#include "words.h"

namespace {

// Short waits, so that the listener is emptied while catchel waits.
constexpr std::uint32_t listen_slice_us = 100000;

void print(std::FILE* out, const std::string& text) {
    std::fwrite(text.data(), 1, text.size(), out);
    std::fflush(out);
}

void print_checks(std::FILE* out, const std::vector<diag_check>& checks, std::size_t from, bool json) {
    std::string lines;
    for (std::size_t i = from; i < checks.size(); ++i) lines += diag_line(&checks[i], json);
    print(out, lines);
}

void print_verdict(std::FILE* out, const std::vector<diag_check>& checks, const char* healthy, bool json) {
    diag_check verdict = diag_verdict(checks, healthy);
    print(out, diag_verdict_line(&verdict, checks, json));
}

}  // namespace

struct diag_watch {
    net_endpoint* ep;
    diag_receiver_plan plan;
    diag_receiver evidence;
    gather_listener* listener;
    gather_arrival_marks marks;
    std::uint64_t joined_us;
    std::vector<diag_check> checks;
};

diag_watch* diag_watch_start(net_endpoint* ep, const diag_receiver_plan* plan) {
    auto* watch = new (std::nothrow) diag_watch{};
    if (watch == nullptr) return nullptr;
    watch->ep = ep;
    watch->plan = *plan;
    diag_receiver* e = &watch->evidence;
    e->group = plan->group;
    e->port = plan->port;
    e->source_given = plan->source != nullptr;
    if (e->source_given) e->source = *plan->source;
    net_family family = net_address_family(&plan->group);
    gather_interfaces(family, &e->before);
    e->rp_filter_all = gather_rp_filter_all();
    gather_counters(family, &e->counters_before);
    watch->listener = gather_listen(&plan->group, &e->heard.unread);
    gather_mark_arrivals(ep, &watch->marks);
    watch->joined_us = net_steady_us();
    return watch;
}

namespace {

// What needs the join made: the kernel's membership, the route, the firewall.
void gather_after_join(diag_watch* watch) {
    diag_receiver* e = &watch->evidence;
    if (watch->plan.on != nullptr) e->chosen_index = gather_interface_index(watch->plan.on);
    gather_route(&e->group, &e->group_route);
    gather_membership(&e->group, &e->membership);
    gather_firewall(&e->firewall);
    diag_receiver_first_checks(e, &watch->checks);
}

void finish(diag_watch* watch) {
    gather_unmark_arrivals(watch->ep, &watch->marks);
    gather_listen_close(watch->listener);
    delete watch;
}

// The sender whose way back rp_filter judges: -source, else the first seen.
void choose_way_back(diag_receiver* e) {
    if (e->source_given) {
        e->way_back_to = e->source;
    } else if (e->heard.sighting_count > 0) {
        e->way_back_to = e->heard.sightings[0].source;
    } else {
        return;
    }
    e->way_back_checked = true;
    gather_route(&e->way_back_to, &e->way_back);
}

}  // namespace

bool diag_watch_run(diag_watch* watch, std::FILE* out, const std::atomic<int>* stop) {
    diag_receiver* e = &watch->evidence;
    bool json = watch->plan.json;
    gather_after_join(watch);
    print_checks(out, watch->checks, 0, json);
    std::size_t first_count = watch->checks.size();
    std::uint64_t end = watch->joined_us + watch->plan.wait_us;
    while (stop->load() == 0 && net_steady_us() < end) {
        net_endpoint* eps[1] = {watch->ep};
        int rc = dgram_wait(eps, 1, nullptr, listen_slice_us);
        if (watch->listener != nullptr) gather_listen_take(watch->listener, &e->heard);
        if (rc == NET_OK) {
            e->arrived = gather_peek_arrival(watch->ep, &e->arrival);
            e->arrival.after_us = net_steady_us() - watch->joined_us;
            break;
        }
    }
    e->waited_us = net_steady_us() - watch->joined_us;
    net_family family = net_address_family(&e->group);
    gather_interfaces(family, &e->after);
    gather_counters(family, &e->counters_after);
    if (!e->arrived) choose_way_back(e);
    diag_receiver_wait_checks(e, &watch->checks);
    print_checks(out, watch->checks, first_count, json);
    bool arrived = e->arrived;
    if (stop->load() == 0) print_verdict(out, watch->checks, arrived ? "the group arrives." : nullptr, json);
    finish(watch);
    return arrived;
}

void diag_watch_join_failed(diag_watch* watch, std::FILE* out) {
    gather_after_join(watch);
    print_checks(out, watch->checks, 0, watch->plan.json);
    print_verdict(out, watch->checks, nullptr, watch->plan.json);
    finish(watch);
}

void diag_sender_run(const diag_sender_plan* plan, std::FILE* out) {
    diag_sender e{};
    e.group = plan->group;
    e.interface_given = plan->interface_text != nullptr;
    e.interface_text = plan->interface_text;
    if (e.interface_given) {
        e.interface_index = gather_interface_index(plan->on);
        e.interface_found = e.interface_index != 0;
    }
    e.ttl = plan->ttl;
    e.loop = plan->loop;
    e.loop_given = plan->loop_given;
    gather_interfaces(net_address_family(&plan->group), &e.interfaces);
    gather_route(&plan->group, &e.group_route);
    std::vector<diag_check> checks;
    diag_sender_checks(&e, &checks);
    print_checks(out, checks, 0, plan->json);
    print_verdict(out, checks, "nothing on this side stops the datagrams.", plan->json);
}
