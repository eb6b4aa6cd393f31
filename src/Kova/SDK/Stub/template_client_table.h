// The clients of a connection-kind stub handler (event, command, information): which
// client objects of which nodes are connected, with what the kind keeps of each, and
// what the three kinds do alike with them: a connect's registration and answer, the
// three ways a client ends from outside, the count and the stub's own disconnects.
//
// Two locks, and no callback runs under either:
// - node_map_mutex (recursive) guards the table and what a kind keeps beside it (the
//   kind's hooks run under it). It is held for the table's own steps only, never while a
//   packet is pushed: a count, an event or a value cycle never waits for the center pipe
//   behind it.
// - m_tell_lock is held from a change of the table to the push that tells the client of
//   it (a confirm, a disconnect), so that clients hear of the changes in the order the
//   table made them: a disconnect never reaches a proxy after the confirm of a connect
//   that the table took later. Only listeners answering connects and application
//   threads disconnecting take it, and it is never taken under node_map_mutex.
#pragma once

#include <map>
#include <vector>

#include "Kova/Common/Hidden/struct_packet.h"
#include "Kova/Common/Interface/struct_token.h"
#include "Kova/Common/Open/Kova/kova_const.h"
#include "Kova/Common/Open/Kova/kova_err.h"
#include "Kova/SDK/Interface/_kova_object.h"
#include "Kova/SDK/Stub/class_stub_request.h"
#include "Kova/kova_sdk_utility/kova_sdk_utility.h"
#include "Pimo/OS/Linux/class_lock.h"
#include "Pimo/OS/Linux/class_locker.h"
#include "Pimo/OS/Linux/vimra_time.h"

namespace Kova {

template <typename record_t>
class template_client_table : public _kova_connection_method {
public:
    typedef std::map<object_id_t, record_t> client_map_t;
    typedef std::map<struct_node_addr, client_map_t> node_map_t;

    template_client_table(_kova_object* pin_op, msg_code_t in_code, interface_kind_t in_kind)
        : _kova_connection_method(pin_op, in_code, in_kind) {}
    // The records go with the table; a kind's hooks are not run any more.
    ~template_client_table() override {
        Pimo::OS::class_locker lock(node_map_mutex);
        node_map.clear();
    }
    template_client_table(const template_client_table&) = delete;
    template_client_table& operator=(const template_client_table&) = delete;

    // The kind's shutdown from the proxy's side: on_shutdown with the packet's error, once,
    // when it was a client. A stranger's, or a second one, ends nothing.
    void adapter_shutdown(struct_token const& in_token) { proc_shutdown(*in_token.get_header_packet()); }
    void adapter_shutdown(node_addr_t const& in_node_addr, struct_token const& in_token) override {
        std::vector<client_addr_t> gone;
        {
            Pimo::OS::class_locker lock(node_map_mutex);
            auto node = node_map.find(in_node_addr);
            if (node == node_map.end()) return;
            for (const auto& entry : node->second) {
                gone.push_back(SDK::Stub::client_at(in_node_addr, entry.first));
                proc_left(gone.back(), entry.second);
            }
            node_map.erase(node);
        }
        for (const client_addr_t& client : gone) proc_tell_end(client, in_token.get_header_packet()->header.error);
    }
    void adapter_shutdown(client_addr_t const& in_client, struct_token const& in_token) override {
        if (proc_remove(in_client)) proc_tell_end(in_client, in_token.get_header_packet()->header.error);
    }

    // The caller holds the processor's read lock (the write lock for the destroy's
    // disconnect_all_client_object(false)). None of them calls on_shutdown.
    unsigned int get_client_count() {
        if (!_op->is_created()) return 0;
        Pimo::OS::class_locker lock(node_map_mutex);
        unsigned int count = 0;
        for (const auto& node : node_map) count += static_cast<unsigned int>(node.second.size());
        return count;
    }
    // Node ip c_broadcast_ip: every client; object id c_broadcast_proxy_id: the node's.
    void disconnect(client_addr_t const& in_client_addr) {
        if (in_client_addr.node_addr.ip == c_broadcast_ip) disconnect_all_client_object(true);
        else if (in_client_addr.obj_id == c_broadcast_proxy_id) disconnect_one_client_node(in_client_addr.node_addr);
        else disconnect_one_client_object(in_client_addr);
    }
    void disconnect_all_client_object(bool in_send) override {
        // The destroy drops the clients although it has marked the object not created; it
        // tells nobody, and no listener answers a connect while it holds the write lock.
        if (!in_send) {
            Pimo::OS::class_locker lock(node_map_mutex);
            proc_clear(nullptr);
            return;
        }
        proc_tell_after([&](std::vector<struct_tell>& pout_tell) { proc_clear(&pout_tell); });
    }
    void disconnect_one_client_node(struct_node_addr const& in_node_addr) {
        proc_tell_after([&](std::vector<struct_tell>& pout_tell) {
            auto node = node_map.find(in_node_addr);
            if (node != node_map.end()) proc_remove_node(node, &pout_tell);
        });
    }
    void disconnect_one_client_object(client_addr_t const& in_client_addr) {
        proc_tell_after([&](std::vector<struct_tell>& pout_tell) {
            proc_find(in_client_addr, [&](typename node_map_t::iterator in_node, typename client_map_t::iterator in_found) {
                pout_tell.push_back(struct_tell{in_client_addr.node_addr, in_client_addr.obj_id,
                                                get_disconnect_type(in_found->second)});
                proc_erase(in_node, in_found);
            });
        });
    }

    // Node → client object id → what the kind keeps of it; no node with no client. Under
    // node_map_mutex.
    node_map_t node_map;
    Pimo::OS::class_thread_lock node_map_mutex;

protected:
    // The application's on_shutdown of the kind.
    virtual void proc_on_shutdown(client_addr_t const& in_client) = 0;
    // The disconnect that tells a client kept as in_record.
    virtual msg_type_t get_disconnect_type(record_t const& in_record) const = 0;
    // A whole node is told by one disconnect to all its proxies (object id
    // c_broadcast_proxy_id), or with false by one to each client's own id.
    virtual bool is_node_told_at_once() const { return true; }
    // Under node_map_mutex: the accepted connect in_request makes in_client's record
    // pio_record, new (in_new) or the one it had (a client connected already).
    virtual void proc_entered(client_addr_t const&, record_t&, bool /*in_new*/, struct_packet const& /*in_request*/) {}
    // Under node_map_mutex: in_client leaves the table with in_record.
    virtual void proc_left(client_addr_t const&, record_t const&) {}

    // A connect of the kind: in_on_connect(client, live time, limit), run with no lock, is
    // the application's verdict; an accepted client is registered before its confirm leaves,
    // since the first packet may follow the confirm at once. An answer the center pipe never
    // took turns the request into the kind's shutdown with c_kova_err_busy_localhost: neither
    // side can count on that connection (a refused client was none, and ends nothing).
    // Nothing is answered when no header block comes within the request's time.
    template <typename on_connect_t>
    void proc_connect(struct_token const& in_token, on_connect_t in_on_connect) {
        const SDK::Stub::class_stub_request request(in_token);
        struct_packet* r = request.get_packet();
        struct_token answer;
        if (!request.proc_alloc_within([&] { return answer.alloc_header(__FILE__, __LINE__); })) return;
        const client_addr_t client = request.get_client();
        const kova_err_t result = in_on_connect(client, r->packet_live_time, r->packet_limit_time);
        SDK::Stub::proc_answer_connect(*answer.get_header_packet(), *r, result);
        bool sent = false;
        {
            Pimo::OS::class_locker order(m_tell_lock);
            if (result == c_kova_err_none) {
                Pimo::OS::class_locker lock(node_map_mutex);
                client_map_t& clients = node_map[client.node_addr];
                auto found = clients.find(client.obj_id);
                const bool is_new = found == clients.end();
                if (is_new) found = clients.emplace_hint(found, std::piecewise_construct,
                                                         std::forward_as_tuple(client.obj_id), std::forward_as_tuple());
                proc_entered(client, found->second, is_new, *r);
            }
            sent = _op->send_force(answer) == 0;
        }
        if (sent) return;
        struct_packet lost = *r;
        lost.forward_error_switch(c_kova_err_busy_localhost);
        proc_shutdown(lost);
    }

    // in_use(record) under node_map_mutex when in_client is connected; false otherwise.
    template <typename use_t>
    bool proc_with(client_addr_t const& in_client, use_t in_use) {
        Pimo::OS::class_locker lock(node_map_mutex);
        return proc_find(in_client, [&](typename node_map_t::iterator, typename client_map_t::iterator in_found) {
            in_use(in_found->second);
        });
    }

private:
    // One disconnect to send once the table is changed.
    struct struct_tell {
        struct_node_addr node;
        object_id_t did;
        msg_type_t type;
    };

    void proc_shutdown(struct_packet const& in_packet) {
        const client_addr_t client = SDK::Stub::get_client(in_packet);
        if (proc_remove(client)) proc_tell_end(client, in_packet.header.error);
    }
    // Before each on_shutdown the thread's last error tells why.
    void proc_tell_end(client_addr_t const& in_client, kova_err_t in_error) {
        g_last_error = in_error;
        proc_on_shutdown(in_client);
    }
    // node_map_mutex is held. in_found(node, client) on in_client's entries when it is
    // there; false when not.
    template <typename found_t>
    bool proc_find(client_addr_t const& in_client, found_t in_found) {
        auto node = node_map.find(in_client.node_addr);
        if (node == node_map.end()) return false;
        auto found = node->second.find(in_client.obj_id);
        if (found == node->second.end()) return false;
        in_found(node, found);
        return true;
    }
    // False when in_client was not there.
    bool proc_remove(client_addr_t const& in_client) {
        Pimo::OS::class_locker lock(node_map_mutex);
        return proc_find(in_client, [&](typename node_map_t::iterator in_node, typename client_map_t::iterator in_found) {
            proc_erase(in_node, in_found);
        });
    }
    // node_map_mutex is held; a node left empty goes too.
    void proc_erase(typename node_map_t::iterator in_node, typename client_map_t::iterator in_client) {
        proc_left(SDK::Stub::client_at(in_node->first, in_client->first), in_client->second);
        in_node->second.erase(in_client);
        if (in_node->second.empty()) node_map.erase(in_node);
    }
    // node_map_mutex is held. The disconnects that tell the node's clients go to pout_tell
    // when it is given.
    void proc_remove_node(typename node_map_t::iterator in_node, std::vector<struct_tell>* pout_tell) {
        const struct_node_addr node = in_node->first;
        const bool at_once = is_node_told_at_once();
        bool told = false;
        for (const auto& entry : in_node->second) {
            if (pout_tell && !(at_once && told))
                pout_tell->push_back(
                    struct_tell{node, at_once ? c_broadcast_proxy_id : entry.first, get_disconnect_type(entry.second)});
            told = true;
            proc_left(SDK::Stub::client_at(node, entry.first), entry.second);
        }
        node_map.erase(in_node);
    }
    // node_map_mutex is held.
    void proc_clear(std::vector<struct_tell>* pout_tell) {
        while (!node_map.empty()) proc_remove_node(node_map.begin(), pout_tell);
    }
    // A disconnect of the stub, created: in_change(tell) changes the table under
    // node_map_mutex, noting the disconnects it calls for; they are sent after it, each
    // waiting for memory and the center pipe, under m_tell_lock alone.
    template <typename change_t>
    void proc_tell_after(change_t in_change) {
        if (!_op->is_created()) return;
        Pimo::OS::class_locker order(m_tell_lock);
        std::vector<struct_tell> tell;
        {
            Pimo::OS::class_locker lock(node_map_mutex);
            in_change(tell);
        }
        const kova_clock_t clock = Pimo::OS::vimra_cpu_clock();
        for (const struct_tell& t : tell) SDK::Stub::proc_send_unlimited(*_op, t.type, code, t.node, t.did, 0, 0, clock);
    }

    Pimo::OS::class_thread_lock m_tell_lock;
};

}  // namespace Kova
