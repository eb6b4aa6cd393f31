// Control packets: objects, processes and TCP connections.
#include <cfloat>
#include <cstring>

#include "Kova/Center/Center_Relay/class_center_relay.h"
#include "Kova/Center/Global/center_global.h"
#include "Kova/Common/Global/kova_send.h"
#include "Kova/Common/Interface/kova_memory_interface.h"
#include "Kova/Common/Open/Kova/kova_const.h"
#include "Kova/Common/Open/Kova/kova_err.h"
#include "Pimo/OS/Linux/class_thread.h"

namespace Kova {
namespace Center {
namespace Center_Relay {

using namespace Kova::Common::Interface;
using Global::gp_center_network;
using Global::gp_object_manager;
using Kova::Common::Global::kova_debug_send;
using Pimo::IPC::interface_pipe;

namespace {

void trace(const struct_token& in_token, const char* in_name) {
    kova_debug_send('C', in_token, __FILE__, __LINE__, "%s", in_name);
}

void drain(interface_pipe* pin_pipe) {
    struct_token token;
    while (pin_pipe->eproc_receive_timeout(reinterpret_cast<Pimo::byte_t*>(&token), 0.0) == Pimo::OS::c_vimra_success)
        safe_free_token(token, __FILE__, __LINE__);
}

}  // namespace

bool class_center_relay::read_process_id(const struct_token& in_token, int& pout_pid) {
    if (!in_token.has_data() || get_data_size(in_token.data_mm) < sizeof(std::int32_t)) return false;
    std::int32_t pid = 0;
    std::memcpy(&pid, get_data(in_token), sizeof(pid));
    pout_pid = pid;
    return true;
}

void class_center_relay::control(struct_token& in_token, struct_packet* pin_pkt) {
    switch (pin_pkt->header.code) {
        case c_mccr_object_request:
            control_object_request(in_token, pin_pkt);
            return;
        case c_mccr_object_create:
            control_object_create(in_token, pin_pkt);
            return;
        case c_mccr_object_destroy:
            control_object_destroy(in_token, pin_pkt);
            return;
        case c_mccr_process_destroy:
            control_process_destroy(in_token, pin_pkt);
            return;
        case c_mccr_tcp_connected_from_client:
            control_tcp_connected_from_client(in_token, pin_pkt);
            return;
        case c_mccr_tcp_disconnected_from_client:
            control_tcp_disconnected_from_client(in_token, pin_pkt);
            return;
        case c_mccr_tcp_connected_to_server:
            control_tcp_connected_to_server(in_token, pin_pkt);
            return;
        case c_mccr_tcp_disconnected_from_server:
            control_tcp_disconnected_from_server(in_token, pin_pkt);
            return;
        default:
            safe_free_token(in_token, __FILE__, __LINE__);
            return;
    }
}

void class_center_relay::control_object_create(struct_token& in_token, struct_packet* pin_pkt) {
    if (pin_pkt->src_is_local()) {
        trace(in_token, "control_object_create");
        int pid = 0;
        if (!read_process_id(in_token, pid) || gp_object_manager == nullptr ||
            !gp_object_manager->open_object_pipe(pin_pkt->header.sid, pid)) {
            safe_free_token(in_token, __FILE__, __LINE__);
            return;
        }
    }
    send(in_token, pin_pkt);
}

void class_center_relay::push_connected_report(interface_pipe* pin_pipe, struct_packet* pin_request, ip_t in_src_ip,
                                               domain_t in_src_port, object_id_t in_src_id, ip_t in_dst_ip,
                                               domain_t in_dst_port) {
    struct_token report;
    proc_alloc_header_force(report, __FILE__, __LINE__);
    struct_packet* pkt = get_header(report);
    std::memset(static_cast<void*>(pkt), 0, sizeof(*pkt));
    pkt->initialize_packet(c_local_host, Pimo::OS::vimra_cpu_clock(), DBL_MAX);
    pkt->set_source(in_src_ip, in_src_port, in_src_id);
    pkt->set_destination(in_dst_ip, in_dst_port, pin_request->header.sid);
    pkt->initialize_header(0, 0, c_mt_ctrl, c_mccr_tcp_connected_to_server, c_kova_err_none);
    push_to_pipe(pin_pipe, report, pkt, false);
}

void class_center_relay::control_object_request(struct_token& in_token, struct_packet* pin_pkt) {
    const object_id_t proxy = pin_pkt->header.sid;
    if (pin_pkt->src_is_local()) {
        trace(in_token, "control_object_request");
        m_proxy_map[proxy] = struct_server_addr(pin_pkt->dst_ip, pin_pkt->header.did);
        int pid = 0;
        if (!read_process_id(in_token, pid) || gp_object_manager == nullptr ||
            !gp_object_manager->open_object_pipe(proxy, pid)) {
            safe_free_token(in_token, __FILE__, __LINE__);
            return;
        }
    }
    if (pin_pkt->dst_is_remote()) {
        const struct_node_addr node(pin_pkt->dst_ip, pin_pkt->dst_port);
        Interface::interface_center_network* net = gp_center_network;
        if (net == nullptr) {
            safe_free_token(in_token, __FILE__, __LINE__);
            return;
        }
        // One user per proxy: a proxy that asks again does not count twice.
        if (m_client_proxy_map.emplace(proxy, node).second) net->add_client(node.ip, node.port);
        const domain_t gate = net->get_gate_port_of_local(node);
        if (gate == 0) {  // the connection's establishment completes the exchange
            safe_free_token(in_token, __FILE__, __LINE__);
            return;
        }
        interface_pipe* pipe = gp_object_manager ? gp_object_manager->get_object_listen_pipe(proxy) : nullptr;
        if (pipe != nullptr)
            push_connected_report(pipe, pin_pkt, pin_pkt->dst_ip, pin_pkt->dst_port, pin_pkt->header.did, c_local_host,
                                  gate);
        pin_pkt->update_packet_time_and_return_timeout();
        if (net->send_tcp_client(node, in_token, pin_pkt) != 0)
            safe_free_token(in_token, __FILE__, __LINE__);
        else
            in_token.reset();
        return;
    }
    if (pin_pkt->src_is_local()) {
        interface_pipe* pipe = gp_object_manager->get_object_listen_pipe(proxy);
        if (pipe != nullptr)
            push_connected_report(pipe, pin_pkt, pin_pkt->dst_ip, pin_pkt->dst_port, pin_pkt->header.did,
                                  pin_pkt->src_ip, pin_pkt->header.sport);
    }
    if (gp_object_manager == nullptr || gp_object_manager->get_object_listen_pipe(pin_pkt->header.did) == nullptr) {
        safe_free_token(in_token, __FILE__, __LINE__);
        return;
    }
    struct_token announce;
    proc_alloc_header_force(announce, __FILE__, __LINE__);
    struct_packet* pkt = get_header(announce);
    *pkt = *pin_pkt;
    pkt->set_swap_address(*pin_pkt);
    pkt->header.code = c_mccr_object_create;
    pkt->header.size = 0;
    safe_free_token(in_token, __FILE__, __LINE__);
    send(announce, pkt);
}

void class_center_relay::control_object_destroy(struct_token& in_token, struct_packet* pin_pkt) {
    const object_id_t sid = pin_pkt->header.sid;
    if (pin_pkt->src_is_local()) {
        trace(in_token, "control_object_destroy");
        if (gp_object_manager != nullptr) gp_object_manager->close_object(sid);
        m_proxy_map.erase(sid);
    }
    const bool to_remote_stub = pin_pkt->header.is_to_stub() && pin_pkt->dst_is_remote();

    if (pin_pkt->src_is_remote() && pin_pkt->header.is_from_stub())
        erase_multicast_of_remote_stub(pin_pkt);
    else if (pin_pkt->src_is_local() && pin_pkt->header.is_to_stub())
        erase_multicast_of_local_proxy(pin_pkt);
    // Copies of values would otherwise keep going to processes that nobody there waits for.
    if (pin_pkt->header.is_from_stub())
        erase_information_of_stub(struct_server_addr(pin_pkt->src_ip, sid));
    else if (pin_pkt->src_is_local())
        erase_information_of_proxy(sid);

    send_to_local_host_broadcast_return(in_token, pin_pkt);
    // The destroy goes out before the connection may close, so the remote stub hears of it.
    send(in_token, pin_pkt);

    if (to_remote_stub) {
        const auto client = m_client_proxy_map.find(sid);
        if (client != m_client_proxy_map.end()) {
            const struct_node_addr node = client->second;
            m_client_proxy_map.erase(client);
            if (gp_center_network != nullptr) gp_center_network->del_client(node.ip, node.port);
        }
    }
}

void class_center_relay::control_process_destroy(struct_token& in_token, struct_packet* pin_pkt) {
    int pid = 0;
    if (pin_pkt->src_is_local() && read_process_id(in_token, pid) && gp_object_manager != nullptr) {
        interface_pipe* listen = gp_object_manager->get_process_listen_pipe(pid);
        if (listen != nullptr) {
            drain(listen);
            interface_pipe* ret = gp_object_manager->get_process_return_pipe(pid);
            if (ret != nullptr) drain(ret);
            proc_release_backlog(listen);
            proc_release_backlog(ret);
            gp_object_manager->close_process(pid);
        }
        erase_information_of_process(pid);
        std::vector<object_id_t> ids;
        gp_object_manager->get_all_object_of_process(pid, ids);
        for (object_id_t id : ids) {
            struct_packet* pkt = nullptr;
            struct_token copy = make_copy(in_token, pin_pkt, &pkt);
            pkt->header.code = c_mccr_object_destroy;
            pkt->header.error = c_kova_err_object_is_not_exist;
            pkt->header.sid = id;
            const auto proxy = m_proxy_map.find(id);
            if (proxy != m_proxy_map.end()) {
                pkt->dst_ip = proxy->second.ip;
                pkt->header.did = proxy->second.obj_id;
            } else {
                pkt->header.did = c_broadcast_proxy_id;
            }
            control_object_destroy(copy, pkt);
        }
    }
    safe_free_token(in_token, __FILE__, __LINE__);
    m_kill_control = true;
}

void class_center_relay::control_tcp_connected_from_client(struct_token& in_token, struct_packet* pin_pkt) {
    trace(in_token, "control_tcp_connected_from_client");
    ++tcp_client_count;
    safe_free_data(in_token, __FILE__, __LINE__);
    if (gp_object_manager != nullptr) {
        std::vector<object_id_t> ids;
        gp_object_manager->get_all_object(ids);
        const struct_node_addr client(pin_pkt->src_ip, pin_pkt->header.sport);
        for (object_id_t id : ids) {
            if (id >= 0x8000) break;  // ascending: the stubs come first
            struct_token copy;
            proc_alloc_header_force(copy, __FILE__, __LINE__);
            struct_packet* pkt = get_header(copy);
            *pkt = *pin_pkt;
            pkt->set_swap_address(*pin_pkt);
            pkt->header.sid = id;
            pkt->header.did = c_broadcast_proxy_id;
            pkt->header.code = c_mccr_object_create;
            pkt->header.size = 0;
            pin_pkt->update_packet_time_and_return_timeout();
            if (gp_center_network == nullptr || gp_center_network->send_tcp_server(client, copy, pkt) != 0)
                safe_free_token(copy, __FILE__, __LINE__);
        }
    }
    send(in_token, pin_pkt);
}

void class_center_relay::control_tcp_disconnected_from_client(struct_token& in_token, struct_packet* pin_pkt) {
    trace(in_token, "control_tcp_disconnected_from_client");
    --tcp_client_count;
    send(in_token, pin_pkt);
    m_kill_control = true;
}

void class_center_relay::control_tcp_connected_to_server(struct_token& in_token, struct_packet* pin_pkt) {
    trace(in_token, "control_tcp_connected_to_server");
    send(in_token, pin_pkt);
}

void class_center_relay::control_tcp_disconnected_from_server(struct_token& in_token, struct_packet* pin_pkt) {
    trace(in_token, "control_tcp_disconnected_from_server");
    erase_multicast_of_remote_host(pin_pkt);
    erase_information_of_host(pin_pkt->src_ip);
    send_to_local_host_broadcast_return(in_token, pin_pkt);
    send(in_token, pin_pkt);
}

}  // namespace Center_Relay
}  // namespace Center
}  // namespace Kova
