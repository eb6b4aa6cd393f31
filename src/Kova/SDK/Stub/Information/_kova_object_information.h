// The handler of an information stub: which client objects of which nodes subscribed
// and by which kind, the counts that decide where a value goes (TCP nodes, UDP nodes,
// the interfaces UDP subscribers came through), the handshake and the disconnects.
#pragma once

#include <map>
#include <vector>

#include "Kova/Common/Interface/struct_token.h"
#include "Kova/Common/Open/Kova/kova_object_information.h"
#include "Kova/SDK/Sender/class_current_value.h"
#include "Kova/SDK/Stub/template_client_table.h"

namespace Kova {

// What an information stub recorded of one client: its kind and, for UDP, the interface
// its connect came through; every removal takes back exactly what this says.
struct struct_information_client {
    bool tcp;
    ip_t mcast_if;
};

class _kova_object_information : public template_client_table<struct_information_client> {
public:
    typedef struct_information_client struct_client;
    typedef std::map<struct_node_addr, int> tcp_node_map_t;
    struct struct_udp_if {
        ip_t mcast_if;  // the interface of the node's first UDP subscription
        int counter;
    };
    typedef std::map<struct_node_addr, struct_udp_if> udp_node_map_t;
    typedef std::map<ip_t, int> mcast_if_map_t;

    _kova_object_information(_kova_object* pin_op, kova_object_information* pin_mp, msg_code_t in_code,
                             interface_kind_t in_kind);
    ~_kova_object_information() override;
    _kova_object_information(const _kova_object_information&) = delete;
    _kova_object_information& operator=(const _kova_object_information&) = delete;

    // On a listener thread; the token stays the caller's.
    void adapter_connect(struct_token const& in_token);

    // Publishing; the caller holds the processor's read lock.
    kova_err_t write(void const* pin_data, pksize_t in_size);
    void* get_real(pksize_t in_size);
    kova_err_t post_real(pksize_t in_size);
    void cancel_real() { m_value.proc_cancel(); }
    void* get(pksize_t in_size) { return m_value.eproc_stage(in_size); }
    kova_err_t post(pksize_t in_size);
    void cancel() { m_value.proc_cancel_staged(); }
    void set_sync_model(sender_sync_model_t in_sync_model, double in_interval);
    letter_case_t see_history(kova_size_t in_size);
    kova_err_t read(void* pin_data, pksize_t* pin_size);
    void set_history_size(kova_size_t in_history_size);
    // One send cycle of the current value: every copy carries the cycle's number, has a
    // header block of its own and shares the value's block, which nothing writes any
    // more once it is posted.
    kova_err_t sync(sender_sync_model_t in_sync_model);
    // The object's destroy: the current value and the history go, waiting threads stop
    // waiting for a lent block; a block still lent stays its lender's to cancel.
    void proc_release_values();

    // What a value cycle reads of the table: under node_map_mutex, changed with it. An
    // entry of a count map goes when its count does.
    tcp_node_map_t tcp_node_map;
    udp_node_map_t udp_node_map;
    mcast_if_map_t mcast_if_map;
    kova_object_information* mp;

private:
    static void proc_tick(void* pin_self, SDK::Sender::class_sync_timer::struct_settings const& in_settings);
    // The value's lock and the table are held: where the copies of a cycle of in_size bytes
    // go, in the order they leave, to m_cycle.
    void proc_list_cycle(pksize_t in_size);

    // One copy of a cycle: its type, the interface it leaves through and its destination
    // node (to all the node's proxies).
    struct struct_copy {
        msg_type_t type;
        ip_t mct_if;
        ip_t ip;
        domain_t port;
    };
    // The copies of the cycle being sent, under the value's lock: a timer tick holds it for
    // its whole cycle, and a cycle holds it while it pushes, so that cycles leave in the
    // order of their numbers. Its room is kept from one cycle to the next.
    std::vector<struct_copy> m_cycle;
    // The current value (the block's own record is the template of every copy), the history
    // of sent values and the number of the last cycle, the model and its timer.
    SDK::Sender::class_current_value m_value;

protected:
    void proc_on_shutdown(client_addr_t const& in_client) override { mp->on_shutdown(in_client); }
    msg_type_t get_disconnect_type(struct_client const& in_client) const override {
        return in_client.tcp ? c_mt_information_tcp_disconnect : c_mt_information_udp_disconnect;
    }
    // Each client reached is told by a disconnect of its own kind, to its own id.
    bool is_node_told_at_once() const override { return false; }
    // A client that connects again counts once, as what it asked for last.
    void proc_entered(client_addr_t const& in_client, struct_client& pio_client, bool in_new,
                      struct_packet const& in_request) override;
    void proc_left(client_addr_t const& in_client, struct_client const& in_was) override;
};

}  // namespace Kova
