#include "Kova/SDK/Stub/Information/_kova_object_information.h"

#include <cstring>

#include "Kova/Common/Hidden/multicast_group.h"
#include "Kova/Common/Hidden/struct_packet.h"
#include "Kova/Common/Interface/kova_memory_interface.h"
#include "Kova/Common/Open/Kova/kova_const.h"
#include "Kova/Common/Open/Kova/kova_err.h"
#include "Kova/SDK/Stub/class_stub_request.h"
#include "Kova/kova_sdk_utility/kova_sdk_utility.h"
#include "Pimo/OS/Linux/class_locker.h"
#include "Pimo/OS/Linux/vimra_time.h"

namespace Kova {

using Pimo::OS::class_locker;

namespace {

// One count fewer for in_key; the entry goes at 0, and a missing one stays missing.
template <typename map_t, typename key_t>
void count_down(map_t& pout_map, key_t const& in_key, int in_by = 1) {
    auto it = pout_map.find(in_key);
    if (it == pout_map.end()) return;
    it->second -= in_by;
    if (it->second <= 0) pout_map.erase(it);
}

const char c_boundout_line[] = "Kova SDK - Boundout Information Post\n";
const char c_dirty_line[] = "kova_object_information::post => durty memory\n";
// Values above this go to UDP subscribers by TCP: no datagram carries them.
constexpr pksize_t c_udp_size_limit = 60000;
// The timer model's intervals, in seconds: (0, c_max_interval].
constexpr double c_max_interval = 1e7;

}  // namespace

_kova_object_information::_kova_object_information(_kova_object* pin_op, kova_object_information* pin_mp,
                                                   msg_code_t in_code, interface_kind_t in_kind)
    : template_client_table(pin_op, in_code, in_kind),
      mp(pin_mp),
      m_value(c_boundout_line, c_dirty_line, c_max_interval, true, &_kova_object_information::proc_tick, this) {
    m_value.get_timer().proc_exchange_sending(true);
    _op->add_information(code, this);
}

_kova_object_information::~_kova_object_information() {
    // Before any lock of the handler is taken: a tick in progress holds one.
    m_value.proc_stop_timer();
    _op->del_information(code, this);
}

// Publishing --------------------------------------------------------------------------

kova_err_t _kova_object_information::write(void const* pin_data, pksize_t in_size) {
    if (!_op->is_created()) return c_kova_err_is_not_created;
    return m_value.eproc_write(pin_data, in_size, [&](pksize_t in_n) { return post_real(in_n); });
}

void* _kova_object_information::get_real(pksize_t in_size) {
    if (!_op->is_created()) return nullptr;
    return m_value.eproc_lend(in_size);
}

kova_err_t _kova_object_information::post_real(pksize_t in_size) {
    if (!_op->is_created()) return c_kova_err_is_not_created;
    return m_value.eproc_post(
        in_size,
        [&](struct_packet& pout_packet, SDK::Sender::class_sync_timer::struct_settings const& in_settings) {
            pout_packet.initialize_packet(c_local_host, Pimo::OS::vimra_cpu_clock(), in_settings.interval);
            pout_packet.initialize_header(in_size, 0, c_mt_information_udp, code, c_kova_err_none);
            pout_packet.set_source(c_local_host, _op->domain, _op->object_id);
            pout_packet.set_destination(get_multicast_group(_op->object_id, code), _op->domain, c_broadcast_proxy_id);
        },
        [&] { return sync(c_sender_sync_model_on_post); });
}

kova_err_t _kova_object_information::post(pksize_t in_size) {
    return m_value.eproc_post_staged(in_size,
                                     [&](void const* pin_data, pksize_t in_staged) { return write(pin_data, in_staged); });
}

void _kova_object_information::set_sync_model(sender_sync_model_t in_sync_model, double in_interval) {
    m_value.get_timer().proc_set(false, in_sync_model, in_interval);
}

letter_case_t _kova_object_information::see_history(kova_size_t in_size) {
    if (!_op->is_created()) return nullptr;
    return m_value.see_history(in_size);
}

kova_err_t _kova_object_information::read(void* pin_data, pksize_t* pin_size) {
    if (!_op->is_created()) return c_kova_err_is_not_created;
    return m_value.read(pin_data, pin_size);
}

void _kova_object_information::set_history_size(kova_size_t in_history_size) {
    m_value.set_history_size(in_history_size);
}

void _kova_object_information::proc_release_values() { m_value.proc_release(); }

void _kova_object_information::proc_tick(void* pin_self, SDK::Sender::class_sync_timer::struct_settings const&) {
    static_cast<_kova_object_information*>(pin_self)->sync(c_sender_sync_model_on_timer);
}

kova_err_t _kova_object_information::sync(sender_sync_model_t in_sync_model) {
    class_locker lock(m_value.get_lock());
    // Once the object is destroyed its value is gone, and nothing is sent.
    if (!_op->is_created()) return c_kova_err_is_not_created;
    const Pimo::Memory::mm_t value = m_value.get_current();
    if (value == 0) return c_kova_err_not_exist_sync_data;
    m_value.proc_record_sent();
    const msg_num_t num = m_value.proc_next_num();
    // The value's block is its own header: its record holds the size.
    struct_token view;
    view.header_mm = value;
    view.data_mm = value;
    const pksize_t size = Common::Interface::get_payload_size(view);
    // The payload's bytes counted as microseconds on top of the interval.
    const double limit = m_value.get_timer().get_settings().interval + static_cast<double>(size) / 1000000.0;
    {
        class_locker table(node_map_mutex);
        proc_list_cycle(size);
    }
    // Made and pushed without the table: a listener that waits for it never waits for memory
    // or the center pipe. A posted value is sent once: every copy of its cycle waits for both,
    // or a subscriber would be left on an older value for good. A copy of a tick that finds no
    // room is dropped (a TCP copy waits for its header block), since the next tick sends the
    // value again.
    const bool posted = in_sync_model == c_sender_sync_model_on_post;
    for (const struct_copy& copy : m_cycle) {
        struct_token token;
        const bool tcp = copy.type == c_mt_information_tcp;
        if (posted || tcp) {
            token = Common::Interface::proc_alloc_copy_force(value, __FILE__, __LINE__);  // one hold for both
        } else if (Common::Interface::eproc_alloc_header(token, __FILE__, __LINE__) == c_kova_err_none) {
            Common::Interface::safe_add_ref_mm(value, __FILE__, __LINE__);
            token.data_mm = value;
        } else {
            continue;
        }
        struct_packet* p = token.get_header_packet();
        *p = *Common::Interface::get_header(value);
        p->initialize_packet(copy.mct_if, Pimo::OS::vimra_cpu_clock(), limit);
        p->header.num = num;
        p->header.type = copy.type;
        p->set_destination(copy.ip, copy.port, c_broadcast_proxy_id);
        if (posted) _op->send_force(token);
        else if (_op->send_shared(token) == Pimo::OS::c_vimra_busy)
            Common::Interface::safe_free_token(token, __FILE__, __LINE__);
    }
    m_cycle.clear();
    return c_kova_err_none;
}

void _kova_object_information::proc_list_cycle(pksize_t in_size) {
    const ip_t group = Common::Interface::get_header(m_value.get_current())->dst_ip;
    if (in_size <= c_udp_size_limit) {
        // One datagram per interface that UDP subscribers came through, to the group.
        for (const auto& itf : mcast_if_map)
            m_cycle.push_back(struct_copy{c_mt_information_udp, itf.first, group, _op->domain});
    } else {
        for (const auto& node : udp_node_map)
            m_cycle.push_back(struct_copy{c_mt_information_udp, node.second.mcast_if, node.first.ip, node.first.port});
    }
    for (const auto& node : tcp_node_map)
        m_cycle.push_back(struct_copy{c_mt_information_tcp, c_local_host, node.first.ip, node.first.port});
}

void _kova_object_information::adapter_connect(struct_token const& in_token) {
    const bool tcp = in_token.get_header_packet()->header.type == c_mt_information_tcp_connect;
    proc_connect(in_token, [&](client_addr_t const& in_client, double in_live, double in_limit) {
        return mp->on_connect(in_client, tcp, in_live, in_limit);
    });
}

void _kova_object_information::proc_entered(client_addr_t const& in_client, struct_client& pio_client, bool in_new,
                                            struct_packet const& in_request) {
    if (!in_new) proc_left(in_client, pio_client);
    pio_client.tcp = in_request.header.type == c_mt_information_tcp_connect;
    pio_client.mcast_if = in_request.mct_if;
    if (pio_client.tcp) {
        ++tcp_node_map[in_client.node_addr];
        return;
    }
    auto udp = udp_node_map.emplace(in_client.node_addr, struct_udp_if{pio_client.mcast_if, 0}).first;
    ++udp->second.counter;
    ++mcast_if_map[pio_client.mcast_if];
}

void _kova_object_information::proc_left(client_addr_t const& in_client, struct_client const& in_was) {
    if (in_was.tcp) {
        count_down(tcp_node_map, in_client.node_addr);
        return;
    }
    auto udp = udp_node_map.find(in_client.node_addr);
    if (udp != udp_node_map.end() && --udp->second.counter <= 0) udp_node_map.erase(udp);
    count_down(mcast_if_map, in_was.mcast_if);
}

}  // namespace Kova
