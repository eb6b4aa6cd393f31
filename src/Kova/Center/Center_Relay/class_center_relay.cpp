#include "Kova/Center/Center_Relay/class_center_relay.h"

#include <chrono>
#include <cstdlib>

#include "Kova/Center/Global/center_global.h"
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
using Pimo::IPC::interface_pipe;
using Pimo::OS::c_vimra_busy;
using Pimo::OS::c_vimra_success;

int class_center_relay::tcp_client_count = 0;

namespace {

constexpr pksize_t c_udp_size_limit = 60000;

const Pimo::byte_t* as_bytes(const struct_token& in_token) { return reinterpret_cast<const Pimo::byte_t*>(&in_token); }

// Requests are refused at once when the listen pipe already holds 16 packets.
bool is_request(msg_type_t in_type) {
    switch (in_type) {
        case c_mt_signal:
        case c_mt_call:
        case c_mt_event_connect:
        case c_mt_command_connect:
        case c_mt_information_tcp_connect:
        case c_mt_information_udp_connect:
            return true;
        default:
            return false;
    }
}

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

constexpr Pimo::u_int32_t c_request_limit = 16;

}  // namespace

class_center_relay::class_center_relay() : m_kill_control(false), m_stop(false) {}

class_center_relay::~class_center_relay() {
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
        // The receive side kept the payload in a buffer of this process; a local
        // sender's record holds a pointer of its own process there, never ours.
        if (pin_pkt->src_is_remote() && pin_pkt->p_data != nullptr) {
            std::free(pin_pkt->p_data);
            pin_pkt->p_data = nullptr;
        }
        process_failed_token(in_token, pin_pkt, c_kova_err_busy_node);
        return 0;
    }
    if (pin_pkt->header.type == c_mt_ctrl) {
        control(in_token, pin_pkt);
        return 0;
    }
    run_subscription_hooks(pin_pkt);
    send(in_token, pin_pkt);
    return 0;
}

void class_center_relay::run_subscription_hooks(const struct_packet* pin_pkt) {
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
            return;
    }
    switch (pin_pkt->header.type) {
        case c_mt_information_udp_disconnect:
            disconnect_multicast(pin_pkt);
            break;
        case c_mt_information_udp_shutdown:
            shutdown_multicast(pin_pkt);
            break;
        case c_mt_information_udp_confirm:
            confirm_multicast(pin_pkt);
            break;
        default:
            break;
    }
}

void class_center_relay::send(struct_token& in_token, struct_packet* pin_pkt) {
    if (pin_pkt->dst_is_local()) {
        if (pin_pkt->dst_is_broadcast_object()) {
            send_to_local_host_broadcast_listen(in_token, pin_pkt);
            safe_free_token(in_token, __FILE__, __LINE__);
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
    const msg_type_t type = pin_pkt->header.type;
    const bool request = in_listen && is_request(type);
    const bool command_udp = in_listen && type == c_mt_command_udp;
    const Pimo::u_int32_t limit = (request || command_udp) ? c_request_limit : 0;
    const object_id_t did = pin_pkt->header.did;
    for (;;) {
        if (is_stopping()) {
            safe_free_token(in_token, __FILE__, __LINE__);
            return;
        }
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
        const Pimo::OS::vimra_err_t r = pipe->eproc_send(as_bytes(in_token), limit);
        if (r == c_vimra_success) {
            in_token.reset();
            return;
        }
        if (r != c_vimra_busy) {  // shut down, its process gone, or a broken pipe
            process_failed_token(in_token, pin_pkt, c_kova_err_object_is_not_exist);
            return;
        }
        if (command_udp) {  // never queued behind others
            safe_free_token(in_token, __FILE__, __LINE__);
            return;
        }
        if (request) {
            process_failed_token(in_token, pin_pkt, c_kova_err_busy_node);
            return;
        }
        Pimo::OS::thread_yield();
    }
}

void class_center_relay::send_to_local_host_broadcast_listen(struct_token& in_token, struct_packet* pin_pkt) {
    const msg_type_t type = pin_pkt->header.type;
    if (type == c_mt_information_tcp || type == c_mt_information_udp) {
        send_to_local_host_broadcast_object_for_information(in_token, pin_pkt);
        return;
    }
    if (gp_object_manager == nullptr) return;
    std::vector<interface_pipe*> pipes;
    gp_object_manager->get_all_listen_pipe(pipes);
    copy_to_pipes(in_token, pin_pkt, pipes);
}

void class_center_relay::send_to_local_host_broadcast_return(struct_token& in_token, struct_packet* pin_pkt) {
    if (gp_object_manager == nullptr) return;
    std::vector<interface_pipe*> pipes;
    gp_object_manager->get_all_return_pipe(pipes);
    copy_to_pipes(in_token, pin_pkt, pipes);
}

// One time budget covers every pipe: once it is spent, each remaining pipe gets one try.
void class_center_relay::copy_to_pipes(const struct_token& in_token, struct_packet* pin_pkt,
                                       const std::vector<interface_pipe*>& in_pipes) {
    for (interface_pipe* pipe : in_pipes) {
        struct_token copy = make_copy(in_token, pin_pkt, nullptr);
        pin_pkt->update_packet_time_and_return_timeout();
        for (;;) {
            const Pimo::OS::vimra_err_t r = pipe->eproc_send(as_bytes(copy), 0);
            if (r == c_vimra_success) break;
            if (pin_pkt->update_packet_time_and_return_timeout() || r != c_vimra_busy || is_stopping()) {
                safe_free_token(copy, __FILE__, __LINE__);
                break;
            }
            Pimo::OS::thread_yield();
        }
    }
}

void class_center_relay::send_to_local_host_broadcast_object_for_information(struct_token& in_token,
                                                                              struct_packet* pin_pkt) {
    if (gp_object_manager == nullptr) return;
    const auto found = information_map.find(
        struct_information_key(struct_server_addr(pin_pkt->src_ip, pin_pkt->header.sid), pin_pkt->header.code));
    if (found == information_map.end()) return;
    const bool udp = pin_pkt->header.type == c_mt_information_udp;
    for (const auto& entry : *found->second) {
        if (entry.second == 0) continue;
        interface_pipe* pipe = gp_object_manager->get_process_listen_pipe(entry.first);
        if (pipe == nullptr) continue;
        struct_token copy = make_copy(in_token, pin_pkt, nullptr);
        pin_pkt->update_packet_time_and_return_timeout();
        for (;;) {
            const Pimo::OS::vimra_err_t r = pipe->eproc_send(as_bytes(copy), udp ? c_request_limit : 0);
            if (r == c_vimra_success) break;
            if (r != c_vimra_busy || udp || pin_pkt->update_packet_time_and_return_timeout() || is_stopping()) {
                safe_free_token(copy, __FILE__, __LINE__);
                break;
            }
            Pimo::OS::thread_yield();
        }
    }
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
                send_to_local_host_broadcast_object_for_information(in_token, pin_pkt);
                safe_free_token(in_token, __FILE__, __LINE__);
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
