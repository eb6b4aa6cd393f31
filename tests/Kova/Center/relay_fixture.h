// In-process stand-ins around the center's relay: a private packet memory, pipes whose
// state a test sets, a registry over them and a network relay that records hand-offs.
// After a case, check_references() compares every block's reference count with what
// the sinks hold, so a leak or a double release shows at once.
#pragma once
#include <gtest/gtest.h>

#include <cfloat>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "Kova/Center/Center_Relay/class_center_relay.h"
#include "Kova/Center/Global/center_global.h"
#include "Kova/Common/Global/kova_global.h"
#include "Kova/Common/Interface/kova_memory_interface.h"
#include "Kova/Common/Open/Kova/kova_const.h"
#include "Pimo/INet/pimo_inet.h"
#include "Pimo/Memory/class_dynamic_shared_ref_memory.h"
#include "test_process.h"

namespace kova_center_test {

using namespace Kova;
using namespace Kova::Common::Interface;

// A pipe whose answer a test chooses: room (capacity 16), shut down, or full for ever.
class fake_pipe : public Pimo::IPC::interface_pipe {
public:
    enum class mode { normal, shutdown, always_full };
    std::deque<struct_token> queue;
    mode state = mode::normal;
    size_t capacity = 16;
    int attempts = 0;
    std::vector<int> push_order;  // global sequence number of each accepted push
    static int& sequence() {
        static int s_sequence = 0;
        return s_sequence;
    }

    void proc_shutdown() override { state = mode::shutdown; }
    bool test_empty() override { return queue.empty(); }
    bool test_full() override { return queue.size() >= capacity; }
    Pimo::OS::vimra_err_t eproc_push(const Pimo::byte_t* pin_elem, size_t in_min) override {
        ++attempts;
        if (state == mode::shutdown) return Pimo::OS::c_vimra_shutdown;
        if (state == mode::always_full) return Pimo::OS::c_vimra_busy;
        if (in_min != 0 && queue.size() >= in_min) return Pimo::OS::c_vimra_busy;
        if (queue.size() >= capacity) return Pimo::OS::c_vimra_busy;
        struct_token t;
        std::memcpy(&t, pin_elem, sizeof(t));
        queue.push_back(t);
        push_order.push_back(++sequence());
        return Pimo::OS::c_vimra_success;
    }
    Pimo::OS::vimra_err_t eproc_send(const Pimo::byte_t* pin_elem, size_t in_min) override {
        return eproc_push(pin_elem, in_min);
    }
    Pimo::OS::vimra_err_t eproc_receive(Pimo::byte_t* pout_elem) override { return eproc_pop(pout_elem); }
    Pimo::OS::vimra_err_t eproc_receive_timeout(Pimo::byte_t* pout_elem, const double&) override {
        return eproc_pop(pout_elem);
    }
    Pimo::OS::vimra_err_t eproc_pop(Pimo::byte_t* pout_elem) override {
        if (queue.empty()) return Pimo::OS::c_vimra_timeout;
        std::memcpy(pout_elem, &queue.front(), sizeof(struct_token));
        queue.pop_front();
        return Pimo::OS::c_vimra_success;
    }
};

// Registry over fake pipes: one listen and one return pipe per process.
class fake_registry : public Kova::Center::Interface::interface_center_object_manager {
public:
    struct process {
        fake_pipe listen;
        fake_pipe ret;
    };
    std::map<int, std::unique_ptr<process>> processes;
    std::map<object_id_t, int> objects;
    std::vector<int> closed;

    process& add(int in_pid) {
        auto& p = processes[in_pid];
        if (!p) p.reset(new process);
        return *p;
    }
    Pimo::IPC::interface_pipe* get_object_listen_pipe(object_id_t in_id) override {
        return get_process_listen_pipe(get_pid(in_id));
    }
    Pimo::IPC::interface_pipe* get_object_return_pipe(object_id_t in_id) override {
        return get_process_return_pipe(get_pid(in_id));
    }
    Pimo::IPC::interface_pipe* get_process_listen_pipe(int in_pid) override {
        auto f = processes.find(in_pid);
        return f == processes.end() ? nullptr : &f->second->listen;
    }
    Pimo::IPC::interface_pipe* get_process_return_pipe(int in_pid) override {
        auto f = processes.find(in_pid);
        return f == processes.end() ? nullptr : &f->second->ret;
    }
    void get_all_listen_pipe(std::vector<Pimo::IPC::interface_pipe*>& pout) override {
        for (auto& p : processes) pout.push_back(&p.second->listen);
    }
    void get_all_return_pipe(std::vector<Pimo::IPC::interface_pipe*>& pout) override {
        for (auto& p : processes) pout.push_back(&p.second->ret);
    }
    void get_all_object(std::vector<object_id_t>& pout) override {
        for (auto& o : objects) pout.push_back(o.first);
    }
    void get_all_object_of_process(int in_pid, std::vector<object_id_t>& pout) override {
        for (auto& o : objects)
            if (o.second == in_pid) pout.push_back(o.first);
    }
    bool open_object_pipe(object_id_t in_id, int in_pid) override {
        if (processes.count(in_pid) == 0) return false;
        objects[in_id] = in_pid;
        return true;
    }
    bool close_process(int in_pid) override {
        auto f = processes.find(in_pid);
        if (f == processes.end()) return false;
        release_all(f->second->listen);
        release_all(f->second->ret);
        processes.erase(f);
        closed.push_back(in_pid);
        return true;
    }
    bool close_object(object_id_t in_id) override { return objects.erase(in_id) != 0; }
    int get_pid(object_id_t in_id) override {
        auto f = objects.find(in_id);
        return f == objects.end() ? 0 : f->second;
    }
    int get_process_count() override { return static_cast<int>(processes.size()); }

    static void release_all(fake_pipe& in_pipe) {
        for (auto& t : in_pipe.queue) safe_free_token(t, __FILE__, __LINE__);
        in_pipe.queue.clear();
    }
};

// Network relay that keeps what it is given.
class fake_network : public Kova::Center::Interface::interface_center_network {
public:
    bool tcp_connected = true;
    bool udp_takes = true;
    domain_t gate_port = 0;
    std::vector<struct_token> udp, tcp_client, tcp_server;
    std::vector<struct_node_addr> tcp_client_node, tcp_server_node;
    int tcp_broadcasts = 0;
    bool join_fails = false;
    std::vector<std::string> calls;  // "add_client", "del_client", "join G S on I", "leave G S on I"

    int initialize() override { return 0; }
    int add_server(domain_t) override { return 0; }
    int start() override { return 0; }
    int stop() override { return 0; }
    int finalize() override { return 0; }
    int send_udp(struct_token& in_token, struct_packet*) override {
        if (!udp_takes) return -1;
        udp.push_back(in_token);
        return 0;
    }
    int send_tcp_client(const struct_node_addr& in_dst, struct_token& in_token, struct_packet*) override {
        if (!tcp_connected) return -1;
        calls.push_back("tcp_client");
        tcp_client.push_back(in_token);
        tcp_client_node.push_back(in_dst);
        return 0;
    }
    int send_tcp_server(const struct_node_addr& in_dst, struct_token& in_token, struct_packet*) override {
        if (!tcp_connected) return -1;
        tcp_server.push_back(in_token);
        tcp_server_node.push_back(in_dst);
        return 0;
    }
    int send_tcp_broadcast(struct_token&, struct_packet*) override {
        ++tcp_broadcasts;
        return 0;
    }
    int add_client(ip_t, domain_t) override {
        calls.push_back("add_client");
        return 0;
    }
    int del_client(ip_t, domain_t) override {
        calls.push_back("del_client");
        return 0;
    }
    domain_t get_gate_port_of_local(const struct_node_addr&) override { return gate_port; }
    int add_membership(ip_t in_group, ip_t in_if, ip_t in_source, domain_t) override {
        calls.push_back(std::string("join ") + ip_text(in_group) + " " + ip_text(in_source) + " on " + ip_text(in_if));
        return join_fails ? -1 : 0;
    }
    void drop_membership(ip_t in_group, ip_t in_if, ip_t in_source, domain_t) override {
        calls.push_back(std::string("leave ") + ip_text(in_group) + " " + ip_text(in_source) + " on " + ip_text(in_if));
    }
    static std::string ip_text(ip_t in_ip) { return Pimo::INet::str_from_ip(in_ip); }

    void release_all() {
        for (auto* v : {&udp, &tcp_client, &tcp_server})
            for (auto& t : *v) safe_free_token(t, __FILE__, __LINE__);
        udp.clear();
        tcp_client.clear();
        tcp_server.clear();
        tcp_client_node.clear();
        tcp_server_node.clear();
    }
};

constexpr domain_t c_domain = 7000;
constexpr ip_t c_remote = 0x0A00000Au;  // 10.0.0.10 as stored

inline ip_t ip(unsigned a, unsigned b, unsigned c, unsigned d) {
    return static_cast<ip_t>(Pimo::INet::inet_addr(a, b, c, d));
}

class relay_fixture : public testing::Test {
public:
    void SetUp() override {
        m_name = kova_test::unique_name("relay");
        ASSERT_EQ(Pimo::OS::c_vimra_success, m_memory.eproc_create((m_name + "_mem").c_str(), 32u << 20));
        Kova::Common::Global::gp_memory = &m_memory;
        Kova::Center::Global::gp_object_manager = &registry;
        Kova::Center::Global::gp_center_network = &network;
        Pimo::OS::vimra_update_cpu_hz();
        Kova::Center::Center_Relay::class_center_relay::tcp_client_count = 0;
        m_base_blocks = m_memory.get_alloc_count();
    }
    void TearDown() override {
        release_sinks();
        Kova::Center::Global::gp_object_manager = nullptr;
        Kova::Center::Global::gp_center_network = nullptr;
        Kova::Common::Global::gp_memory = nullptr;
        m_memory.proc_destroy();
        kova_test::remove_shm_containing(m_name);
    }

    // A packet from (src_ip, sid) to (dst_ip, did) of the domain, with an optional payload.
    struct_token make_packet(ip_t in_src_ip, object_id_t in_sid, ip_t in_dst_ip, object_id_t in_did, msg_type_t in_type,
                             size_t in_payload = 0, double in_limit = 10.0, msg_code_t in_code = 0x0102) {
        struct_token t;
        EXPECT_EQ(0u, eproc_alloc_header(t, __FILE__, __LINE__));
        struct_packet* p = get_header(t);
        std::memset(static_cast<void*>(p), 0, sizeof(*p));
        p->initialize_packet(c_local_host, Pimo::OS::vimra_cpu_clock(), in_limit);
        p->initialize_header(static_cast<pksize_t>(in_payload), 1, in_type, in_code, 0);
        p->set_source(in_src_ip, c_domain, in_sid);
        p->set_destination(in_dst_ip, c_domain, in_did);
        if (in_payload != 0) {
            EXPECT_EQ(0u, eproc_alloc_data(t, in_payload, __FILE__, __LINE__));
        }
        return t;
    }
    void route(struct_token in_token) { relay.eproc_relay_from_kova_to_kova(in_token, get_header(in_token)); }

    // Every live block is held by a sink, as often as the sinks hold it.
    void check_references(const std::string& in_case) {
        std::map<mm_t, int> held;
        auto count = [&](const struct_token& t) {
            if (t.header_mm) ++held[t.header_mm];
            if (t.data_mm) ++held[t.data_mm];
        };
        for (auto& p : registry.processes) {
            for (auto& t : p.second->listen.queue) count(t);
            for (auto& t : p.second->ret.queue) count(t);
        }
        for (auto* v : {&network.udp, &network.tcp_client, &network.tcp_server})
            for (auto& t : *v) count(t);
        for (auto& t : m_extra) count(t);
        for (auto& h : held) EXPECT_EQ(h.second, static_cast<int>(m_memory.get_ref(h.first))) << in_case;
        EXPECT_EQ(held.size() + m_base_blocks, m_memory.get_alloc_count()) << in_case;
    }
    void release_sinks() {
        for (auto& p : registry.processes) {
            fake_registry::release_all(p.second->listen);
            fake_registry::release_all(p.second->ret);
        }
        network.release_all();
        for (auto& t : m_extra) safe_free_token(t, __FILE__, __LINE__);
        m_extra.clear();
    }

    Pimo::Memory::class_dynamic_shared_ref_memory m_memory;
    fake_registry registry;
    fake_network network;
    Kova::Center::Center_Relay::class_center_relay relay;
    std::vector<struct_token> m_extra;  // tokens a test holds itself
    std::string m_name;
    unsigned long m_base_blocks = 0;
};

}  // namespace kova_center_test
