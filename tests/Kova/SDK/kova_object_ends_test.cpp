// A client's end at a stub with an event, a command and an information interface on one
// object: a proxy destroyed, or the link to its node lost, reaches the kinds in the order
// event, command, information, once per client, and behind what the client sent before it
// on each kind's queue, however many listeners deliver the stub's packets.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

#include "Kova/Common/Open/Kova/kova_err.h"
#include "Kova/Common/Open/Kova/kova_function.h"
#include "stub_rig.h"

using namespace kova_sdk_test;

namespace {

constexpr msg_code_t c_code = 61;

// The stub's object; it notes the node links the core reports.
class owner_object : public kova_object {
public:
    explicit owner_object(locked_list<std::string>& in_log) : m_log(in_log) {}
    void on_connected_tcp(node_addr_t const&) override { m_log.add("up"); }
    void on_disconnected_tcp(node_addr_t const&) override { m_log.add("down"); }

private:
    locked_list<std::string>& m_log;
};

// One kind attached to the owner, noting "<kind> <client id> end <error>"; in_hold_ms: how
// long its on_connect takes.
template <typename base_t>
class kind_stub : public base_t {
public:
    kind_stub(const char* in_kind, kova_object const& in_owner, locked_list<std::string>& in_log)
        : base_t(c_code, in_owner), m_kind(in_kind), m_log(in_log) {}
    using base_t::get_client_count;
    std::atomic<unsigned> m_hold_ms{0};

protected:
    std::string m_kind;
    locked_list<std::string>& m_log;

private:
    void on_shutdown(const client_addr_t& in_client) override {
        m_log.add(m_kind + " " + std::to_string(in_client.obj_id) + " end " + std::to_string(Kova::get_last_error()));
    }
};

class event_kind : public kind_stub<kova_object_event> {
public:
    using kind_stub::kind_stub;

private:
    kova_err_t on_connect(const client_addr_t&, const double&, const double&) override {
        Pimo::OS::msleep(m_hold_ms.load());
        return c_kova_err_none;
    }
};

// Notes "command <client id> sync <first payload byte>"; each on_sync takes m_sync_ms.
class command_kind : public kind_stub<kova_object_command> {
public:
    using kind_stub::kind_stub;
    std::atomic<unsigned> m_sync_ms{0};

private:
    void on_sync(const client_addr_t& in_client, const sender_sync_model_t&, const double&, const double&,
                 const void* pin_buffer, pksize_t in_size) override {
        Pimo::OS::msleep(m_sync_ms.load());
        const int first = in_size ? static_cast<const unsigned char*>(pin_buffer)[0] : -1;
        m_log.add("command " + std::to_string(in_client.obj_id) + " sync " + std::to_string(first));
    }
};

class information_kind : public kind_stub<kova_object_information> {
public:
    using kind_stub::kind_stub;
};

// The stub of the three kinds, created after they are attached so that each has its queue.
struct trio_fixture {
    explicit trio_fixture(int in_test, std::size_t in_listeners)
        : rig(in_listeners),
          d(in_test),
          before(rig.remain()),
          owner(log),
          event(new event_kind("event", owner, log)),
          command(new command_kind("command", owner, log)),
          information(new information_kind("information", owner, log)) {
        id = rig.create_announced(owner, d);
    }
    ~trio_fixture() {
        delete information;
        delete command;
        delete event;
    }
    packet_spec from(msg_type_t in_type, ip_t in_ip, object_id_t in_proxy) {
        packet_spec s{in_type, c_code, in_proxy, id, ++num, d, d};
        s.src_ip = in_ip;
        return s;
    }
    packet_spec control(msg_code_t in_code, ip_t in_ip, object_id_t in_sid, object_id_t in_did, kova_err_t in_error) {
        packet_spec s{c_mt_ctrl, in_code, in_sid, in_did, 0, d, d};
        s.src_ip = in_ip;
        s.error = in_error;
        return s;
    }
    // in_proxy at in_ip connects to every kind; the answers are taken off the center pipe.
    void connect_all(ip_t in_ip, object_id_t in_proxy) {
        for (msg_type_t t : {c_mt_event_connect, c_mt_command_connect, c_mt_information_tcp_connect}) {
            rig.push_listen(from(t, in_ip, in_proxy));
            struct_packet answer;
            ASSERT_TRUE(rig.center_receive(answer));
        }
    }
    // in_n commands of in_proxy, the k-th carrying k in its first byte.
    void commands(ip_t in_ip, object_id_t in_proxy, int in_n) {
        for (int k = 0; k < in_n; ++k) {
            packet_spec s = from(c_mt_command_tcp, in_ip, in_proxy);
            s.payload = 1;
            struct_token t = rig.make(s);
            static_cast<unsigned char*>(t.get_data())[0] = static_cast<unsigned char>(k);
            rig.push_listen_waiting(t);
        }
    }
    // Takes everything off the center pipe.
    void drain() {
        struct_packet p;
        while (rig.center_receive(p, 0.0)) {
        }
    }
    unsigned clients() {
        return event->get_client_count() + command->get_client_count() + information->get_client_count();
    }

    sdk_rig rig;
    test_domain_scope d;
    const unsigned long before;
    locked_list<std::string> log;
    owner_object owner;
    event_kind* event;
    command_kind* command;
    information_kind* information;
    object_id_t id = 0;
    msg_num_t num = 0;
};

std::string end_of(const char* in_kind, object_id_t in_proxy, kova_err_t in_error) {
    return std::string(in_kind) + " " + std::to_string(in_proxy) + " end " + std::to_string(in_error);
}

std::vector<std::string> ends_of(object_id_t in_proxy, kova_err_t in_error) {
    return {end_of("event", in_proxy, in_error), end_of("command", in_proxy, in_error),
            end_of("information", in_proxy, in_error)};
}

}  // namespace

TEST(kova_object_ends, every_kind_hears_a_clients_end_once_in_the_order_event_command_information) {
    trio_fixture f(1, 1);
    ASSERT_NE(f.id, 0);
    f.connect_all(c_node_a, c_p1);
    f.connect_all(c_node_b, c_p2);
    f.connect_all(c_node_b, c_p3);
    // The proxy destroyed; then node b's link lost and back.
    f.rig.push_listen(f.control(c_mccr_object_destroy, c_node_a, c_p1, f.id, c_kova_err_object_is_not_exist));
    f.rig.push_listen(f.control(c_mccr_tcp_disconnected_from_client, c_node_b, c_broadcast_proxy_id,
                                c_broadcast_stub_id, c_kova_err_disconnected_tcp));
    f.rig.push_listen(f.control(c_mccr_tcp_connected_from_client, c_node_b, c_broadcast_proxy_id,
                                c_broadcast_stub_id, 0));
    std::vector<std::string> want = ends_of(c_p1, c_kova_err_object_is_not_exist);
    for (object_id_t p : {c_p2, c_p3})
        for (const std::string& e : ends_of(p, c_kova_err_disconnected_tcp)) want.push_back(e);
    // The node's clients one by one within each kind, in ascending id.
    want = {want[0], want[1], want[2], want[3], want[6], want[4], want[7], want[5], want[8], "down", "up"};
    ASSERT_TRUE(f.log.wait_size(want.size()));
    EXPECT_EQ(f.log.items(), want);
    EXPECT_EQ(f.clients(), 0u);
    EXPECT_EQ(f.owner.destroy(), c_kova_err_none);
    f.drain();
    EXPECT_TRUE(f.rig.wait_remain(f.before));
}

TEST(kova_object_ends, a_clients_end_comes_behind_what_it_sent_on_every_kinds_queue) {
    struct row {
        const char* name;
        msg_code_t end;
        kova_err_t error;
    };
    for (const row& r : {row{"a proxy destroyed", c_mccr_object_destroy, c_kova_err_object_is_not_exist},
                         row{"its node's link lost", c_mccr_tcp_disconnected_from_client, c_kova_err_disconnected_tcp}}) {
        SCOPED_TRACE(r.name);
        trio_fixture f(2, 4);
        ASSERT_NE(f.id, 0);
        f.connect_all(c_node_a, c_p1);
        f.connect_all(c_node_b, c_p2);
        // Commands that the stub takes its time over, a subscription whose on_connect is slow,
        // then the end, all on the queues of the kinds and of the object.
        f.command->m_sync_ms = 20;
        f.event->m_hold_ms = 100;
        f.commands(c_node_a, c_p1, 8);
        f.rig.push_listen(f.from(c_mt_event_connect, c_node_a, c_p3));
        if (r.end == c_mccr_object_destroy) {
            f.rig.push_listen(f.control(r.end, c_node_a, c_p1, f.id, r.error));
            f.rig.push_listen(f.control(r.end, c_node_a, c_p3, f.id, r.error));
        } else {
            f.rig.push_listen(
                f.control(r.end, c_node_a, c_broadcast_proxy_id, c_broadcast_stub_id, r.error));
        }
        std::vector<std::string> want;
        for (int k = 0; k < 8; ++k) want.push_back("command " + std::to_string(c_p1) + " sync " + std::to_string(k));
        // The event kind's connect of c_p3 is in front of its end: c_p3 is a client that ends too.
        if (r.end == c_mccr_object_destroy) {
            for (const std::string& e : ends_of(c_p1, r.error)) want.push_back(e);
            want.push_back(end_of("event", c_p3, r.error));
        } else {
            want.push_back(end_of("event", c_p1, r.error));
            want.push_back(end_of("event", c_p3, r.error));
            want.push_back(end_of("command", c_p1, r.error));
            want.push_back(end_of("information", c_p1, r.error));
            want.push_back("down");
        }
        ASSERT_TRUE(f.log.wait_size(want.size()));
        struct_packet confirm;
        ASSERT_TRUE(f.rig.center_receive(confirm)) << "c_p3's answer";
        EXPECT_EQ(f.log.items(), want);
        EXPECT_EQ(f.clients(), 3u) << "node b's client in each kind is left";
        EXPECT_EQ(f.owner.destroy(), c_kova_err_none);
        f.drain();
        EXPECT_TRUE(f.rig.wait_remain(f.before));
    }
}
