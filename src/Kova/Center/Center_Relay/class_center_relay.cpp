#include "Kova/Center/Center_Relay/class_center_relay.h"

#include <algorithm>
#include <chrono>

#include "Kova/Center/Global/center_global.h"
#include "Kova/Center/Global/class_payload_buffers.h"
#include "Kova/Common/Global/kova_global.h"
#include "Kova/Common/Global/kova_send.h"
#include "Kova/Common/Interface/kova_memory_interface.h"
#include "Kova/Common/Open/Kova/kova_const.h"
#include "Kova/Common/Open/Kova/kova_err.h"
#include "Pimo/OS/Linux/class_thread.h"
#include "Pimo/OS/Linux/vimra_err.h"

namespace Kova {
namespace Center {
namespace Center_Relay {

using namespace Kova::Common::Interface;
using Global::gp_center_network;
using Global::gp_object_manager;
using Kova::Common::Global::kova_debug_send;
using Pimo::IPC::interface_pipe;
using Pimo::OS::c_vimra_busy;
using Pimo::OS::c_vimra_success;

int class_center_relay::tcp_client_count = 0;

namespace {

constexpr pksize_t c_udp_size_limit = 60000;
// How often a backlog is searched for packets whose time is spent (its front is checked at
// every push).
constexpr Pimo::OS::vimra_clock_t c_spent_scan_us = 10000;

const Pimo::byte_t* as_bytes(const struct_token& in_token) { return reinterpret_cast<const Pimo::byte_t*>(&in_token); }

// Replies go to the return pipe, where the returner matches them to pending requests.
bool is_reply(msg_type_t in_type) {
    switch (in_type) {
        case c_mt_ctrl_ret:
        case c_mt_qos_return:
        case c_mt_qos_error_return:
        case c_mt_signal_return:
        case c_mt_signal_error_return:
        case c_mt_call_return:
        case c_mt_call_error_return:
        case c_mt_event_confirm:
        case c_mt_event_reject:
        case c_mt_command_confirm:
        case c_mt_command_reject:
        case c_mt_information_tcp_confirm:
        case c_mt_information_tcp_reject:
        case c_mt_information_udp_confirm:
        case c_mt_information_udp_reject:
            return true;
        default:
            return false;
    }
}

}  // namespace

class_center_relay::class_center_relay()
    : m_kill_control(false),
      m_backlogged(0),
      m_pressing(0),
      m_dropped_total(0),
      m_replaced_total(0),
      m_stage_count(0),
      m_batching(false),
      m_fan_out_depth(0),
      m_stop(false) {}

class_center_relay::~class_center_relay() {
    for (struct_stage& stage : m_stages)
        for (struct_token& token : stage.tokens) safe_free_token(token, __FILE__, __LINE__);
    for (auto& entry : m_backlogs)
        for (class_pipe_backlog& backlog = *entry.second.queue; !backlog.empty(); backlog.pop_front()) {
            struct_token token = backlog.front();
            safe_free_token(token, __FILE__, __LINE__);
        }
    for (auto& entry : information_map) delete entry.second;
    for (auto& entry : multicast_pmap) delete entry.second;
    for (auto& host : multicast_smap) {
        for (auto& stub : *host.second) delete stub.second;
        delete host.second;
    }
}

void class_center_relay::proc_stop() {
    {
        std::lock_guard<std::mutex> guard(m_stop_mutex);
        m_stop = true;
    }
    m_stop_cv.notify_all();
}

void class_center_relay::proc_wait_stop(double in_seconds) {
    std::unique_lock<std::mutex> guard(m_stop_mutex);
    m_stop_cv.wait_for(guard, std::chrono::duration<double>(in_seconds), [this] { return m_stop.load(); });
}

struct_token class_center_relay::make_copy(const struct_token& in_token, const struct_packet* pin_pkt,
                                           struct_packet** pout_pkt) {
    struct_token copy = proc_alloc_copy_force(in_token.data_mm, __FILE__, __LINE__);
    struct_packet* pkt = get_header(copy);
    *pkt = *pin_pkt;
    if (pout_pkt != nullptr) *pout_pkt = pkt;
    return copy;
}

int class_center_relay::eproc_relay_from_kova_to_kova(struct_token& in_token, struct_packet* pin_pkt) {
    if (!in_token.has_data() && pin_pkt->header.size != 0) {
        // The receive side kept the payload in a buffer of this process.
        Global::class_payload_buffers::proc_free(pin_pkt);
        process_failed_token(in_token, pin_pkt, c_kova_err_busy_node);
        return 0;
    }
    if (pin_pkt->header.type == c_mt_ctrl) {
        proc_flush_stages();  // its handler may close a pipe
        control(in_token, pin_pkt);
        return 0;
    }
    if (!run_subscription_hooks(pin_pkt)) {
        refuse_confirm(in_token, pin_pkt, c_kova_err_busy_node);
        return 0;
    }
    send(in_token, pin_pkt);
    return 0;
}

bool class_center_relay::run_subscription_hooks(const struct_packet* pin_pkt) {
    switch (pin_pkt->header.type) {
        case c_mt_information_tcp_confirm:
        case c_mt_information_udp_confirm:
            confirm_information(pin_pkt);
            break;
        case c_mt_information_tcp_disconnect:
        case c_mt_information_udp_disconnect:
            disconnect_information(pin_pkt);
            break;
        case c_mt_information_tcp_shutdown:
        case c_mt_information_udp_shutdown:
            shutdown_information(pin_pkt);
            break;
        default:
            return true;
    }
    switch (pin_pkt->header.type) {
        case c_mt_information_udp_disconnect:
            disconnect_multicast(pin_pkt);
            break;
        case c_mt_information_udp_shutdown:
            shutdown_multicast(pin_pkt);
            break;
        case c_mt_information_udp_confirm:
            return confirm_multicast(pin_pkt);
        default:
            break;
    }
    return true;
}

void class_center_relay::refuse_confirm(struct_token& in_token, struct_packet* pin_pkt, kova_err_t in_error) {
    kova_debug_send('C', in_token, __FILE__, __LINE__, "%s", "add_membership");
    // The proxy's wait ends with the error instead of a subscription that brings nothing.
    struct_token reject;
    proc_alloc_header_force(reject, __FILE__, __LINE__);
    struct_packet* pkt = get_header(reject);
    *pkt = *pin_pkt;
    pkt->set_data_size(0);
    pkt->forward_error_switch(in_error);
    send(reject, pkt);
    // The stub takes its client back, and the count the confirm made goes with it.
    process_failed_token(in_token, pin_pkt, in_error);
}

void class_center_relay::send(struct_token& in_token, struct_packet* pin_pkt) {
    if (pin_pkt->dst_is_local()) {
        if (pin_pkt->dst_is_broadcast_object()) {
            send_to_local_host_broadcast_listen(in_token, pin_pkt, true);
            if (in_token.has_header()) safe_free_token(in_token, __FILE__, __LINE__);  // no pipe took it
        } else {
            send_to_local_host_object(in_token, pin_pkt);
        }
    } else if (pin_pkt->dst_is_broadcast()) {
        if (pin_pkt->dst_is_broadcast_object()) {
            send_to_local_host_broadcast_listen(in_token, pin_pkt);
            if (pin_pkt->header.type == c_mt_broadcast) {
                send_to_udp(in_token, pin_pkt);
            } else {
                send_to_broadcast_tcp(in_token, pin_pkt);
                safe_free_token(in_token, __FILE__, __LINE__);
            }
        } else if (pin_pkt->header.type == c_mt_broadcast) {
            send_to_udp(in_token, pin_pkt);
        } else {
            send_to_broadcast_tcp(in_token, pin_pkt);
            send_to_local_host_object(in_token, pin_pkt);
        }
    } else {
        send_to_remote_host(in_token, pin_pkt);
    }
}

void class_center_relay::send_to_local_host_object(struct_token& in_token, struct_packet* pin_pkt) {
    if (is_reply(pin_pkt->header.type))
        send_return_to_local_host_object(in_token, pin_pkt);
    else
        send_listen_to_local_host_object(in_token, pin_pkt);
}

void class_center_relay::send_listen_to_local_host_object(struct_token& in_token, struct_packet* pin_pkt) {
    push_to_local_object(in_token, pin_pkt, true);
}

// The registry's return pipes answer 5 once their process's death is seen, so a
// reply for a dead process ends instead of waiting for a reader that will not come.
void class_center_relay::send_return_to_local_host_object(struct_token& in_token, struct_packet* pin_pkt) {
    push_to_local_object(in_token, pin_pkt, false);
}

void class_center_relay::push_to_local_object(struct_token& in_token, struct_packet* pin_pkt, bool in_listen) {
    const object_id_t did = pin_pkt->header.did;
    interface_pipe* pipe = nullptr;
    if (gp_object_manager != nullptr)
        pipe = in_listen ? gp_object_manager->get_object_listen_pipe(did) : gp_object_manager->get_object_return_pipe(did);
    if (pipe == nullptr) {
        process_failed_token(in_token, pin_pkt, c_kova_err_object_is_not_exist);
        return;
    }
    if (pin_pkt->update_packet_time_and_return_timeout()) {
        process_failed_token(in_token, pin_pkt, c_kova_err_remote_timeout);
        return;
    }
    push_to_pipe(pipe, in_token, pin_pkt, in_listen && pin_pkt->is_request());
}

void class_center_relay::push_to_pipe(interface_pipe* pin_pipe, struct_token& in_token, struct_packet* pin_pkt,
                                      bool in_request) {
    if (m_stage_count != 0) proc_flush_pipe(pin_pipe);  // what waits for it goes first
    struct_backlog* backlog = nullptr;
    if (!m_backlogs.empty()) {
        const auto found = m_backlogs.find(pin_pipe);
        if (found != m_backlogs.end() && !proc_retry_backlog(pin_pipe, found->second)) backlog = &found->second;
    }
    Pimo::OS::vimra_err_t r = c_vimra_busy;
    if (backlog == nullptr) {
        r = pin_pipe->eproc_send(as_bytes(in_token), in_request ? c_request_queue_limit : 0);
        if (r == c_vimra_success) {
            in_token.reset();
            return;
        }
    }
    if (r != c_vimra_busy) {  // shut down, its process gone, or a broken pipe
        process_failed_token(in_token, pin_pkt, c_kova_err_object_is_not_exist);
        return;
    }
    if (in_request) {  // never kept: a request waits behind a bounded queue or not at all
        process_failed_token(in_token, pin_pkt, c_kova_err_busy_node);
        return;
    }
    if (backlog == nullptr) {
        struct_backlog& entry = m_backlogs[pin_pipe];
        if (!entry.queue) entry.queue.reset(new class_pipe_backlog(Kova::Common::Global::get_process_share()));
        backlog = &entry;
    }
    struct_token out;
    const class_pipe_backlog::enum_offer offer = backlog->queue->proc_offer(
        in_token, pin_pkt->get_overflow_rule(), pin_pkt->header.type == c_mt_ctrl, pin_pkt->get_held_bytes(),
        [pin_pkt](const struct_token& in_waiting) { return get_header(in_waiting)->is_same_stream(*pin_pkt); },
        &out);
    if (offer == class_pipe_backlog::enum_offer::kept) ++m_backlogged;
    proc_update_pressure(*backlog);
    switch (offer) {
        case class_pipe_backlog::enum_offer::kept:
            in_token.reset();
            return;
        case class_pipe_backlog::enum_offer::replaced:
            ++m_replaced_total;
            safe_free_token(out, __FILE__, __LINE__);
            in_token.reset();
            return;
        case class_pipe_backlog::enum_offer::evicted:
            proc_count_drop(*backlog, out);
            safe_free_token(out, __FILE__, __LINE__);
            in_token.reset();
            return;
        case class_pipe_backlog::enum_offer::dropped:
            proc_count_drop(*backlog, in_token);
            safe_free_token(in_token, __FILE__, __LINE__);
            return;
        case class_pipe_backlog::enum_offer::refused:
            process_failed_token(in_token, pin_pkt, c_kova_err_busy_node);
            return;
    }
}

void class_center_relay::proc_count_drop(struct_backlog& in_backlog, const struct_token& in_token) {
    ++m_dropped_total;
    if (in_backlog.dropped++ == 0)
        kova_debug_send('C', in_token, __FILE__, __LINE__, "event dropped: backlog at its bound (%zu packets, %zu bytes)",
                        in_backlog.queue->size(), in_backlog.queue->bytes());
}

void class_center_relay::proc_report_drops(struct_backlog& in_backlog) {
    if (in_backlog.dropped > 1)
        kova_debug_send('C', struct_token(), __FILE__, __LINE__, "events dropped while the backlog was at its bound: %zu",
                        in_backlog.dropped);
    in_backlog.dropped = 0;
}

void class_center_relay::proc_update_pressure(struct_backlog& io_backlog) {
    const class_pipe_backlog& queue = *io_backlog.queue;
    const bool over = queue.size() > c_backlog_soft || (queue.byte_bound() != 0 && queue.bytes() > queue.byte_bound() / 4);
    if (over && io_backlog.over_since_us == 0) {
        io_backlog.over_since_us = Pimo::OS::vimra_cpu_clock();
        io_backlog.behind = false;
        ++m_pressing;
    } else if (!over && io_backlog.over_since_us != 0) {
        if (!io_backlog.behind) --m_pressing;
        io_backlog.over_since_us = 0;
        io_backlog.behind = false;
    }
}

bool class_center_relay::is_pressing(double* pout_wait_s) {
    if (m_pressing == 0) return false;
    const Pimo::OS::vimra_clock_t now = Pimo::OS::vimra_cpu_clock();
    const Pimo::OS::vimra_clock_t behind_us = static_cast<Pimo::OS::vimra_clock_t>(c_behind_s * 1e6);
    Pimo::OS::vimra_clock_t wait_us = behind_us;
    for (auto& entry : m_backlogs) {
        struct_backlog& b = entry.second;
        if (b.over_since_us == 0 || b.behind) continue;
        const Pimo::OS::vimra_clock_t over_us = now > b.over_since_us ? now - b.over_since_us : 0;
        if (over_us < behind_us) {
            wait_us = std::min(wait_us, behind_us - over_us);
            continue;
        }
        b.behind = true;
        --m_pressing;
        kova_debug_send('C', struct_token(), __FILE__, __LINE__,
                        "a process falls behind: %zu packets wait for it, they press no longer", b.queue->size());
    }
    if (pout_wait_s) *pout_wait_s = static_cast<double>(wait_us) / 1e6;
    return m_pressing > 0;
}

bool class_center_relay::proc_retry_backlog(interface_pipe* pin_pipe, struct_backlog& in_backlog) {
    const bool done = proc_push_backlog(pin_pipe, in_backlog);
    proc_update_pressure(in_backlog);
    return done;
}

bool class_center_relay::proc_push_backlog(interface_pipe* pin_pipe, struct_backlog& in_backlog) {
    class_pipe_backlog& queue = *in_backlog.queue;
    if (queue.empty()) return true;
    // The spent ones leave first, wherever they wait (looked for now and then: the front is
    // checked at every push); their returns go out once the backlog is consistent again,
    // since a return may be kept in this very backlog.
    const Pimo::OS::vimra_clock_t now = Pimo::OS::vimra_cpu_clock();
    if (now - in_backlog.scanned_us >= c_spent_scan_us) {
        in_backlog.scanned_us = now;
        std::vector<struct_token> spent;
        queue.proc_take_if(
            [](const struct_token& in_token) { return get_header(in_token)->update_packet_time_and_return_timeout(); },
            [&spent](const struct_token& in_token) { spent.push_back(in_token); });
        m_backlogged -= spent.size();
        for (struct_token& t : spent) process_failed_token(t, get_header(t), c_kova_err_remote_timeout);
        if (queue.empty()) return true;
    }
    while (!queue.empty()) {
        struct_token token = queue.front();
        struct_packet* pkt = get_header(token);
        if (pkt->update_packet_time_and_return_timeout()) {
            queue.pop_front();
            --m_backlogged;
            process_failed_token(token, pkt, c_kova_err_remote_timeout);
            continue;
        }
        const Pimo::OS::vimra_err_t r = pin_pipe->eproc_send(as_bytes(token), 0);
        if (r == c_vimra_busy) return false;
        queue.pop_front();
        --m_backlogged;
        if (r != c_vimra_success) process_failed_token(token, pkt, c_kova_err_object_is_not_exist);
        if (in_backlog.dropped != 0 && queue.has_room(0)) proc_report_drops(in_backlog);
    }
    return true;
}

void class_center_relay::proc_retry_backlogs() {
    if (m_backlogged == 0) return;
    // A retry may add backlogs (an error return kept for another pipe): the map takes
    // them without moving the others.
    for (auto& entry : m_backlogs) proc_retry_backlog(entry.first, entry.second);
}

void class_center_relay::proc_release_backlog(interface_pipe* pin_pipe) {
    const auto found = m_backlogs.find(pin_pipe);
    if (found == m_backlogs.end()) return;
    struct_backlog entry = std::move(found->second);
    m_backlogs.erase(found);
    if (entry.over_since_us != 0 && !entry.behind) --m_pressing;
    proc_report_drops(entry);
    for (class_pipe_backlog& backlog = *entry.queue; !backlog.empty(); backlog.pop_front()) {
        struct_token token = backlog.front();
        --m_backlogged;
        process_failed_token(token, get_header(token), c_kova_err_object_is_not_exist);
    }
}

void class_center_relay::send_to_local_host_broadcast_listen(struct_token& in_token, struct_packet* pin_pkt,
                                                             bool in_take) {
    const msg_type_t type = pin_pkt->header.type;
    if (type == c_mt_information_tcp || type == c_mt_information_udp) {
        send_to_local_host_broadcast_object_for_information(in_token, pin_pkt, in_take);
        return;
    }
    if (gp_object_manager == nullptr) return;
    class_fan_out fan_out(*this);
    // An event is for the proxies subscribed to it: a process without a proxy, the
    // publisher's own as a rule, gets no copy to drop.
    if (type == c_mt_event)
        gp_object_manager->get_proxy_listen_pipe(fan_out.pipes());
    else
        gp_object_manager->get_all_listen_pipe(fan_out.pipes());
    copy_to_pipes(in_token, pin_pkt, fan_out, in_take);
}

void class_center_relay::send_to_local_host_broadcast_return(struct_token& in_token, struct_packet* pin_pkt) {
    if (gp_object_manager == nullptr) return;
    class_fan_out fan_out(*this);
    gp_object_manager->get_all_return_pipe(fan_out.pipes());
    copy_to_pipes(in_token, pin_pkt, fan_out, false);
}

// A copy that finds its pipe full waits in the pipe's backlog with the time it has left. The
// copies are made together, under few holds of the memory's lock.
void class_center_relay::copy_to_pipes(struct_token& in_token, struct_packet* pin_pkt, class_fan_out& in_fan_out,
                                       bool in_take) {
    std::vector<interface_pipe*>& pipes = in_fan_out.pipes();
    if (pipes.empty()) return;
    const std::size_t copies = in_take ? pipes.size() - 1 : pipes.size();
    std::vector<struct_token>& tokens = in_fan_out.tokens();
    tokens.resize(copies);
    proc_alloc_copies_force(in_token.data_mm, copies, tokens.data(), __FILE__, __LINE__);
    for (std::size_t i = 0; i < copies; ++i) {
        pin_pkt->update_packet_time_and_return_timeout();
        struct_packet* pkt = get_header(tokens[i]);
        *pkt = *pin_pkt;
        proc_stage(pipes[i], tokens[i], pkt, i);
    }
    // The last pipe takes the packet itself.
    if (in_take) {
        pin_pkt->update_packet_time_and_return_timeout();
        proc_stage(pipes.back(), in_token, pin_pkt, pipes.size() - 1);
    }
}

void class_center_relay::proc_stage(interface_pipe* pin_pipe, struct_token& in_token, struct_packet* pin_pkt,
                                    std::size_t in_place) {
    std::size_t at = m_stage_count;
    if (m_batching) {
        // A fan-out goes through its pipes in one order, so a pipe is mostly found in its place.
        if (in_place < m_stage_count && m_stages[in_place].pipe == pin_pipe) {
            at = in_place;
        } else {
            for (std::size_t i = 0; i < m_stage_count && at == m_stage_count; ++i)
                if (m_stages[i].pipe == pin_pipe) at = i;
        }
    }
    if (at == m_stage_count) {
        // Not held back: outside a batch, or for a pipe whose kept packets go first.
        const auto found = m_backlogs.find(pin_pipe);
        if (!m_batching || (found != m_backlogs.end() && !found->second.queue->empty())) {
            push_to_pipe(pin_pipe, in_token, pin_pkt, false);
            return;
        }
        if (m_stages.size() == m_stage_count) m_stages.emplace_back();
        m_stages[at].pipe = pin_pipe;
        ++m_stage_count;
    }
    m_stages[at].tokens.push_back(in_token);
    in_token.reset();
}

void class_center_relay::proc_flush_pipe(interface_pipe* pin_pipe) {
    for (std::size_t i = 0; i < m_stage_count; ++i)
        if (m_stages[i].pipe == pin_pipe) {
            proc_flush_stage(i);
            return;
        }
}

void class_center_relay::proc_flush_stage(std::size_t in_index) {
    interface_pipe* pipe = m_stages[in_index].pipe;
    if (pipe == nullptr) return;
    // Taken out first: what a refused one leads to (a kept packet, an error return) may push
    // again, into this pipe too, and must find nothing of it waiting.
    std::vector<struct_token> tokens;
    tokens.swap(m_stages[in_index].tokens);
    m_stages[in_index].pipe = nullptr;
    std::size_t sent = 0;
    pipe->eproc_send_n(reinterpret_cast<const Pimo::byte_t*>(tokens.data()), sizeof(struct_token), tokens.size(), 0,
                       &sent);
    for (std::size_t i = 0; i < sent; ++i) tokens[i].reset();
    // The rest go one by one, by the pipe's rules for a full pipe.
    for (std::size_t i = sent; i < tokens.size(); ++i) push_to_pipe(pipe, tokens[i], get_header(tokens[i]), false);
    tokens.clear();
    if (m_stages[in_index].tokens.capacity() == 0) tokens.swap(m_stages[in_index].tokens);  // its room stays
}

void class_center_relay::proc_flush_stages() {
    const bool batching = m_batching;
    m_batching = false;  // what a flush leads to is pushed at once
    for (std::size_t i = 0; i < m_stage_count; ++i) proc_flush_stage(i);
    m_stage_count = 0;
    m_batching = batching;
}

void class_center_relay::proc_end_batch() {
    proc_flush_stages();
    m_batching = false;
}

void class_center_relay::send_to_local_host_broadcast_object_for_information(struct_token& in_token,
                                                                              struct_packet* pin_pkt, bool in_take) {
    if (gp_object_manager == nullptr) return;
    const auto found = information_map.find(
        struct_information_key(struct_server_addr(pin_pkt->src_ip, pin_pkt->header.sid), pin_pkt->header.code));
    if (found == information_map.end()) return;
    class_fan_out fan_out(*this);
    for (const auto& entry : *found->second) {
        if (entry.second == 0) continue;
        interface_pipe* pipe = gp_object_manager->get_process_listen_pipe(entry.first);
        if (pipe != nullptr) fan_out.pipes().push_back(pipe);
    }
    // A value for a full subscriber waits, or replaces the older one of its stream there.
    copy_to_pipes(in_token, pin_pkt, fan_out, in_take);
}

class_center_relay::class_fan_out::class_fan_out(class_center_relay& in_relay) : m_relay(in_relay) {
    // A fan-out inside another (an error return's, while one pushes) has lists of its own.
    m_own = m_relay.m_fan_out_depth++ == 0;
    pipes().clear();
    tokens().clear();
}

class_center_relay::class_fan_out::~class_fan_out() { --m_relay.m_fan_out_depth; }

std::vector<interface_pipe*>& class_center_relay::class_fan_out::pipes() { return m_own ? m_relay.m_fan_out_pipes : m_pipes; }

std::vector<struct_token>& class_center_relay::class_fan_out::tokens() {
    return m_own ? m_relay.m_fan_out_tokens : m_tokens;
}

void class_center_relay::send_to_remote_host(struct_token& in_token, struct_packet* pin_pkt) {
    switch (pin_pkt->header.type) {
        case c_mt_command_udp:
            if (pin_pkt->header.size > c_udp_size_limit)
                send_to_tcp(in_token, pin_pkt);
            else
                send_to_udp(in_token, pin_pkt);
            return;
        case c_mt_information_udp:
            if (pin_pkt->mct_if == c_local_host) {  // nothing leaves the host
                send_to_local_host_broadcast_object_for_information(in_token, pin_pkt, true);
                if (in_token.has_header()) safe_free_token(in_token, __FILE__, __LINE__);
            } else if (pin_pkt->header.size > c_udp_size_limit) {
                send_to_tcp(in_token, pin_pkt);
            } else {
                send_to_udp(in_token, pin_pkt);
            }
            return;
        case c_mt_broadcast:
            send_to_udp(in_token, pin_pkt);
            return;
        default:
            send_to_tcp(in_token, pin_pkt);
            return;
    }
}

void class_center_relay::send_to_udp(struct_token& in_token, struct_packet* pin_pkt) {
    Interface::interface_center_network* net = gp_center_network;
    if (net != nullptr && pin_pkt->header.type == c_mt_command_udp) {
        const domain_t gate = net->get_gate_port_of_local(struct_node_addr(pin_pkt->dst_ip, pin_pkt->dst_port));
        if (gate != 0) pin_pkt->header.sport = gate;
    }
    if (net == nullptr || net->send_udp(in_token, pin_pkt) != 0)
        safe_free_token(in_token, __FILE__, __LINE__);
    else
        in_token.reset();
}

void class_center_relay::send_to_tcp(struct_token& in_token, struct_packet* pin_pkt) {
    const struct_node_addr node(pin_pkt->dst_ip, pin_pkt->dst_port);
    if (pin_pkt->update_packet_time_and_return_timeout()) {
        process_failed_token(in_token, pin_pkt, c_kova_err_local_timeout);
        return;
    }
    Interface::interface_center_network* net = gp_center_network;
    int r = -1;
    if (net != nullptr) {
        r = pin_pkt->header.is_to_stub() ? net->send_tcp_client(node, in_token, pin_pkt)
                                         : net->send_tcp_server(node, in_token, pin_pkt);
    }
    if (r != 0)
        process_failed_token(in_token, pin_pkt, c_kova_err_not_connected_tcp);
    else
        in_token.reset();
}

void class_center_relay::send_to_broadcast_tcp(struct_token& in_token, struct_packet* pin_pkt) {
    if (gp_center_network != nullptr) gp_center_network->send_tcp_broadcast(in_token, pin_pkt);
}

void class_center_relay::process_failed_token(struct_token& in_token, struct_packet* pin_pkt, kova_err_t in_error) {
    safe_free_data(in_token, __FILE__, __LINE__);  // an error return carries no payload
    // The record outlives its block: the block goes back before the return's is asked for.
    const struct_packet failed = *pin_pkt;
    safe_free_header(in_token, __FILE__, __LINE__);
    struct_token back;
    proc_alloc_error_return(failed, in_error, back, __FILE__, __LINE__);
    if (!back.has_header()) return;
    struct_packet* pkt = get_header(back);
    // The center's own error returns end subscriptions just as the stub's would.
    run_subscription_hooks(pkt);
    send(back, pkt);
}

}  // namespace Center_Relay
}  // namespace Center
}  // namespace Kova
