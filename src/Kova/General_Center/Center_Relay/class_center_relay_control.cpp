#include "Kova/General_Center/Center_Relay/class_center_relay_control.h"

#include <unistd.h>

#include "Kova/Center/Global/center_global.h"
#include "Kova/Center/Global/class_payload_buffers.h"
#include "Kova/Common/Global/kova_global.h"
#include "Kova/Common/Global/kova_send.h"
#include "Kova/Common/Interface/kova_memory_interface.h"
#include "Kova/General_Common/IPC/class_service_ipc.h"
#include "Kova/General_Common/IPC/kova_named_objects.h"
#include "Kova/General_Common/IPC/struct_service_token.h"
#include "Pimo/OS/Linux/class_event.h"

namespace Kova {
namespace General_Center {
namespace Center_Relay {

using namespace Kova::Common::Interface;
using Kova::Center::Global::gp_center_network;

class_center_relay_control::class_center_relay_control(domain_t in_domain)
    : p_center_ipc(nullptr), m_domain(in_domain), m_object_manager(in_domain), m_network_up(false) {
    gp_center_network = &m_network;
    try {
        if (m_network.initialize() != 0) return;
    } catch (...) {
        return;
    }
    m_network_up = true;
    bool started = false;
    try {  // the network relay reports a port it cannot open by throwing
        started = m_network.add_server(in_domain) == 0;
    } catch (...) {
    }
    if (!started) {
        proc_end_start();
        return;
    }
    p_center_ipc = new IPC::class_center_ipc(in_domain, Kova::General_Common::IPC::abstract_center_ipc::c_depth);
    if (Kova::Common::Global::gp_center_pipe == nullptr) {
        proc_end_start();
        return;
    }
    if (center_thread.eproc_create(&class_center_relay_control::thread_center, this) != Pimo::OS::c_vimra_success) {
        proc_end_start();
        return;
    }
    m_network.start();

    Kova::General_Common::IPC::class_service_ipc service;
    if (service.eproc_open() == Pimo::OS::c_vimra_success) {
        Kova::General_Common::IPC::struct_service_token up{};
        up.domain = in_domain;
        up.msg = 1;
        service.eproc_send(reinterpret_cast<const Pimo::byte_t*>(&up), 0);
        service.proc_close();
    }
}

void class_center_relay_control::proc_end_start() {
    delete p_center_ipc;
    p_center_ipc = nullptr;
    try {
        m_network.finalize();
    } catch (...) {
    }
    m_network_up = false;
}

class_center_relay_control::~class_center_relay_control() {
    // Every retry loop of the center thread ends from here on; a delay is cut short.
    center_relay.proc_stop();
    if (p_center_ipc != nullptr) p_center_ipc->proc_shutdown();
    if (m_network_up) {
        try {
            m_network.stop();
            m_network.finalize();
        } catch (...) {
        }
    }
    if (center_thread.is_created()) center_thread.proc_wait_exit();
    // The registry goes before the center pipe: every watcher is joined, so none
    // can write into a pipe that is being destroyed.
    m_object_manager.proc_close_all();
    if (p_center_ipc != nullptr) {
        struct_token token;
        while (p_center_ipc->eproc_pop(reinterpret_cast<Pimo::byte_t*>(&token)) == Pimo::OS::c_vimra_success) {
            if (!token.has_header()) continue;  // delay tokens own nothing
            Kova::Center::Global::class_payload_buffers::proc_free(get_header(token));
            safe_free_token(token, __FILE__, __LINE__);
        }
        delete p_center_ipc;
        p_center_ipc = nullptr;
    }
    if (gp_center_network == &m_network) gp_center_network = nullptr;
}

void* class_center_relay_control::thread_center(Pimo::OS::class_thread* pin_thread) {
    return static_cast<class_center_relay_control*>(pin_thread->get_thread_param())->thread_center();
}

void* class_center_relay_control::thread_center() {
    while (eproc_relay_from_kova_to_kova() == 0) {
    }
    return nullptr;
}

int class_center_relay_control::eproc_relay_from_kova_to_kova() {
    for (;;) {
        // A process whose backlog presses holds the center's intake: its packets go on as it
        // drains (its wake sets the center pipe's event even when that pipe is full), while
        // the senders wait on the full center pipe.
        double wait_s = 0;
        if (center_relay.has_backlog() && center_relay.is_pressing()) {
            center_relay.proc_retry_backlogs();
            if (center_relay.is_pressing(&wait_s)) {
                if (center_relay.is_stopping()) return 5;
                if (p_center_ipc->eproc_wait_arrival(wait_s) == Pimo::OS::c_vimra_shutdown) return 5;
                continue;
            }
        }
        Pimo::byte_t* elems = reinterpret_cast<Pimo::byte_t*>(m_batch);
        std::size_t taken = 0;
        // Packets kept for full pipes are retried after every batch: the processes whose pipes
        // drained send the empty token for it. The time-out only covers a wake that found the
        // center pipe full.
        const Pimo::OS::vimra_err_t r =
            center_relay.has_backlog()
                ? p_center_ipc->eproc_receive_n_timeout(
                      elems, sizeof(struct_token), c_batch, &taken,
                      Kova::Center::Center_Relay::class_center_relay::c_backlog_retry_s)
                : p_center_ipc->eproc_receive_n(elems, sizeof(struct_token), c_batch, &taken);
        if (r == Pimo::OS::c_vimra_timeout && !center_relay.is_stopping()) {
            center_relay.proc_retry_backlogs();
            continue;
        }
        if (r != Pimo::OS::c_vimra_success) return 5;
        std::size_t done = 0;
        center_relay.proc_begin_batch();
        for (; done < taken && !center_relay.is_stopping(); ++done) {
            struct_token& token = m_batch[done];
            if (token.has_header()) {
                center_relay.eproc_relay_from_kova_to_kova(token, get_header(token));
            } else if (token.data_mm != 0) {
                center_relay.proc_end_batch();  // what came before the delay goes before it
                center_relay.proc_wait_stop(static_cast<double>(token.data_mm));
                center_relay.proc_begin_batch();
            }
            token.reset();
        }
        center_relay.proc_end_batch();
        if (center_relay.is_stopping()) {
            for (; done < taken; ++done)
                if (m_batch[done].has_header()) safe_free_token(m_batch[done], __FILE__, __LINE__);
            return 5;
        }
        center_relay.proc_retry_backlogs();
        // A wake behind the packet that left the center idle kept the center pipe from being
        // empty then: the check runs again after it.
        return center_kill_control() ? 5 : 0;
    }
}

bool class_center_relay_control::center_kill_control() {
    if (!center_relay.m_kill_control) return false;
    bool result = false;
    if (m_object_manager.get_process_count() == 0 &&
        Kova::Center::Center_Relay::class_center_relay::tcp_client_count < 1) {
        // Tokens queued behind the event may bring a new user: look again after them. Once
        // empty, the pipe is shut down in the same step, so no application pushes into a
        // center that will not read any more: its push is refused and it waits for the next one.
        if (p_center_ipc->eproc_shutdown_if_empty() != Pimo::OS::c_vimra_success) return false;
        Kova::Common::Global::kova_debug_send('K', struct_token(), __FILE__, __LINE__, "%u",
                                              static_cast<unsigned>(m_domain));
        Pimo::OS::class_event stop;
        if (stop.eproc_open_global(Kova::General_Common::IPC::get_center_killer_name(m_domain)) !=
            Pimo::OS::c_vimra_success)
            _exit(0);
        stop.proc_set();
        stop.proc_close();
        result = true;
    }
    center_relay.m_kill_control = false;
    return result;
}

}  // namespace Center_Relay
}  // namespace General_Center
}  // namespace Kova
