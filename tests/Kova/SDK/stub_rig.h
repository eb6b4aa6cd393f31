// A connection-kind stub (event, command, information) in this test process: a rig,
// a domain and the created stub that proxies address, and what the stub's application
// heard of its clients' ends.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <vector>

#include "Kova/Common/Open/Kova/kova_function.h"
#include "Kova/Common/Open/Kova/kova_object_command.h"
#include "Kova/Common/Open/Kova/kova_object_event.h"
#include "Kova/Common/Open/Kova/kova_object_information.h"
#include "Kova/SDK/Interface/_kova_object.h"
#include "sdk_rig.h"

namespace kova_sdk_test {

// Where the stub's clients live: two nodes, and the proxies on them.
constexpr ip_t c_node_a = c_remote_proxy_ip;
constexpr ip_t c_node_b = 0x0B00000Au;
constexpr object_id_t c_p1 = 0x8101, c_p2 = 0x8102, c_p3 = 0x8103, c_p4 = 0x8104, c_stranger = 0x8199;

// The packet types, the transaction and the handler map of one connection kind.
template <msg_type_t t_connect, msg_type_t t_confirm, msg_type_t t_shutdown, msg_type_t t_disconnect,
          transaction_t t_transaction, typename map_t, map_t _kova_object::*t_handlers>
struct connection_kind {
    static constexpr msg_type_t connect = t_connect, confirm = t_confirm, shutdown = t_shutdown,
                                disconnect = t_disconnect;
    static constexpr transaction_t transaction = t_transaction;
    static map_t& handlers(_kova_object& in_core) { return in_core.*t_handlers; }
};

template <typename base_t>
struct kind_of;
template <>
struct kind_of<kova_object_event>
    : connection_kind<c_mt_event_connect, c_mt_event_confirm, c_mt_event_shutdown, c_mt_event_disconnect,
                      c_transaction_event, object_event_map_t, &_kova_object::event_map> {};
template <>
struct kind_of<kova_object_command>
    : connection_kind<c_mt_command_connect, c_mt_command_confirm, c_mt_command_shutdown, c_mt_command_disconnect,
                      c_transaction_command, object_command_map_t, &_kova_object::command_map> {};
// Information subscribes by either transport: its entry names the TCP one.
template <>
struct kind_of<kova_object_information>
    : connection_kind<c_mt_information_tcp_connect, c_mt_information_tcp_confirm, c_mt_information_tcp_shutdown,
                      c_mt_information_tcp_disconnect, c_transaction_information, object_information_map_t,
                      &_kova_object::information_map> {};

inline client_addr_t client_of(ip_t in_ip, domain_t in_domain, object_id_t in_id) {
    client_addr_t c;
    c.node_addr = node_addr_t(in_ip, in_domain);
    c.obj_id = in_id;
    return c;
}

inline bool same(const client_addr_t& in_a, const client_addr_t& in_b) {
    return in_a.node_addr.ip == in_b.node_addr.ip && in_a.node_addr.port == in_b.node_addr.port &&
           in_a.obj_id == in_b.obj_id;
}

// What the stub's application heard, in order: 's' on_shutdown (with get_last_error),
// 't' on_disconnected_tcp (the node, object id 0).
struct heard {
    char kind;
    client_addr_t client;
    kova_err_t error;
};

inline void expect_heard(const std::vector<heard>& in_got, const std::vector<heard>& in_want) {
    ASSERT_EQ(in_got.size(), in_want.size());
    for (std::size_t i = 0; i < in_want.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(in_got[i].kind, in_want[i].kind);
        EXPECT_TRUE(same(in_got[i].client, in_want[i].client)) << std::hex << in_got[i].client.obj_id;
        EXPECT_EQ(in_got[i].error, in_want[i].error);
    }
}

// The answer to in_request as the proxy at in_request's source receives it: turned
// around, header-only, with the request's number.
inline void expect_answer(const received& in_answer, const packet_spec& in_request, msg_type_t in_type,
                          kova_err_t in_error) {
    const struct_packet& p = in_answer.packet;
    EXPECT_EQ(p.header.type, in_type);
    EXPECT_EQ(p.header.error, in_error);
    EXPECT_EQ(p.header.size, 0u);
    EXPECT_FALSE(in_answer.has_data);
    EXPECT_EQ(p.header.num, in_request.num);
    EXPECT_EQ(p.header.code, in_request.code);
    EXPECT_EQ(p.header.sid, in_request.did);
    EXPECT_EQ(p.header.did, in_request.sid);
    EXPECT_EQ(p.dst_ip, in_request.src_ip);
    EXPECT_EQ(p.dst_port, in_request.sport);
    EXPECT_EQ(p.src_ip, c_local_host);
}

// A stub of a connection kind that records its clients' connects and ends; the kind's
// on_connect returns note_connect.
template <typename base_t>
class recording_stub : public base_t {
public:
    using kind = kind_of<base_t>;
    using base_t::base_t;
    using base_t::disconnect;
    using base_t::disconnect_all_client_object;
    using base_t::disconnect_one_client_node;
    using base_t::disconnect_one_client_object;
    using base_t::get_client_count;

    // What on_connect answers, and what it ran inside.
    std::atomic<kova_err_t> m_answer{0};
    std::function<void()> in_connect;
    // What the last on_connect was given, and how many ran.
    std::atomic<int> m_connects{0};
    client_addr_t m_connect_client;
    double m_live = -1, m_limit = -1;

    std::vector<heard> log() { return m_log.items(); }
    bool wait_log(std::size_t in_n) { return m_log.wait_size(in_n); }
    void on_disconnected_tcp(node_addr_t const& in_node) override {
        m_log.add(heard{'t', client_of(in_node.ip, in_node.port, 0), 0});
    }

    // The last on_connect was about in_client, with the request's times.
    void expect_connect_of(const client_addr_t& in_client) {
        EXPECT_TRUE(same(m_connect_client, in_client));
        EXPECT_GE(m_live, 0.0);
        EXPECT_LT(m_live, 1.0);
        EXPECT_GT(m_limit, 0.0);
        EXPECT_LE(m_limit, 10.0);
    }

protected:
    kova_err_t note_connect(const client_addr_t& in_client, double in_live, double in_limit) {
        m_connect_client = in_client;
        m_live = in_live;
        m_limit = in_limit;
        if (in_connect) in_connect();
        ++m_connects;
        return m_answer;
    }
    void note_shutdown(const client_addr_t& in_client) {
        m_log.add(heard{'s', in_client, Kova::get_last_error()});
    }

private:
    void on_shutdown(const client_addr_t& in_client) override { note_shutdown(in_client); }

    locked_list<heard> m_log;
};

// A recording stub of a kind whose on_connect learns the client and the request's times.
template <typename base_t>
class plain_recording_stub : public recording_stub<base_t> {
public:
    using recording_stub<base_t>::recording_stub;

private:
    kova_err_t on_connect(const client_addr_t& in_client, const double& in_live, const double& in_limit) override {
        return this->note_connect(in_client, in_live, in_limit);
    }
};

// A rig, a domain and a created stub of in_code whose id proxies address.
template <typename stub_t>
struct stub_fixture {
    stub_fixture(int in_test, msg_code_t in_code, unsigned in_center_depth = 16)
        : rig(1, in_center_depth), d(in_test), stub(in_code), code(in_code) {
        id = rig.create_announced(stub, d);
    }

    // A packet of in_proxy at node in_ip to the stub, with the next number.
    packet_spec from(msg_type_t in_type, ip_t in_ip, object_id_t in_proxy) { return from(in_type, in_ip, in_proxy, code); }
    packet_spec from(msg_type_t in_type, ip_t in_ip, object_id_t in_proxy, msg_code_t in_code) {
        packet_spec s{in_type, in_code, in_proxy, id, ++num, d, d};
        s.src_ip = in_ip;
        return s;
    }
    // Everything in the center pipe until it stays empty for in_quiet_s. What the
    // application's own calls send is there when they return: no wait for those.
    std::vector<received> sent(double in_quiet_s = 0.0) {
        std::vector<received> out;
        received r;
        while (rig.center_receive(r, in_quiet_s)) out.push_back(r);
        return out;
    }
    // Destroys the stub and drains the center pipe: true when the packet memory is back
    // at in_baseline.
    bool destroy_to_baseline(unsigned long in_baseline) {
        if (stub.destroy() != c_kova_err_none) return false;
        sent();
        return rig.wait_remain(in_baseline);
    }
    // A packet of a proxy into the listen pipe.
    void push(const packet_spec& in_spec) { rig.push_listen(in_spec); }
    // Connects a proxy by the kind's connect and takes its confirm off the center pipe.
    void connect(ip_t in_ip, object_id_t in_proxy) {
        push(from(stub_t::kind::connect, in_ip, in_proxy));
        struct_packet confirm;
        ASSERT_TRUE(rig.center_receive(confirm));
        ASSERT_EQ(confirm.header.type, stub_t::kind::confirm);
    }
    // A control packet of the center from in_sid at in_ip.
    packet_spec control(msg_code_t in_code, ip_t in_ip, object_id_t in_sid, object_id_t in_did, kova_err_t in_error) {
        packet_spec s{c_mt_ctrl, in_code, in_sid, in_did, 0, d, d};
        s.src_ip = in_ip;
        s.error = in_error;
        return s;
    }

    sdk_rig rig;
    test_domain_scope d;
    stub_t stub;
    const msg_code_t code;
    object_id_t id = 0;
    msg_num_t num = 0;
};

// One connect of a proxy at node a and the answer it gets.
struct handshake_row {
    const char* name;
    msg_type_t connect;
    msg_code_t code;
    bool known_stub;
    kova_err_t on_connect_result;
    msg_type_t type;
    kova_err_t error;
    bool on_connect_runs;
    unsigned clients;  // after it
};

// The stub takes its code's connects one at a time, and answers each row's connect (from a
// proxy of its own, c_p1 on) as the row says; in_connected checks more of a row whose
// on_connect ran.
template <typename fixture_t>
void expect_handshakes(fixture_t& f, const std::vector<handshake_row>& in_rows,
                       const std::function<void(const handshake_row&)>& in_connected = nullptr) {
    {
        // Connects and shutdowns of the code reach the handler one at a time.
        Pimo::OS::class_read_locker lock(f.rig.m_processor);
        EXPECT_TRUE(f.rig.m_processor->has_queue(msg_addr_t(f.d, f.id, f.code, decltype(f.stub)::kind::transaction)));
    }
    object_id_t proxy = c_p1;
    for (const handshake_row& r : in_rows) {
        SCOPED_TRACE(r.name);
        f.stub.m_answer = r.on_connect_result;
        const int connects = f.stub.m_connects;
        packet_spec s = f.from(r.connect, c_node_a, proxy, r.code);
        if (!r.known_stub) s.did = f.id + 1;
        // A payload on a connect must not turn into a size on the answer.
        s.payload = 16;
        f.push(s);
        received answer;
        ASSERT_TRUE(f.rig.center_receive(answer));
        expect_answer(answer, s, r.type, r.error);
        EXPECT_EQ(f.stub.m_connects, connects + (r.on_connect_runs ? 1 : 0));
        if (r.on_connect_runs) {
            f.stub.expect_connect_of(client_of(c_node_a, f.d, proxy));
            if (in_connected) in_connected(r);
        }
        EXPECT_EQ(f.stub.get_client_count(), r.clients);
        ++proxy;
    }
}

// Every way a client ends from outside, to a stub whose clients are c_p1 and c_p2 at node a
// and in_node_b (ascending) at node b: c_p1's own shutdown of in_shutdown, a stranger's
// of in_other with an error, c_p2's of another code (ignored), the stranger's proxy and
// c_p2's destroyed, c_p1's shutdown again, node b's link lost. One listener takes them in
// the order pushed; the stub answers none, and on_shutdown learns of each client's end
// once: a stranger, and a client gone already, end nothing.
template <typename fixture_t>
void expect_every_end_heard(fixture_t& f, msg_type_t in_shutdown, msg_type_t in_other,
                            const std::vector<object_id_t>& in_node_b) {
    f.push(f.from(in_shutdown, c_node_a, c_p1));
    packet_spec stranger = f.from(in_other, c_node_a, c_stranger);
    stranger.error = c_kova_err_remote_timeout;
    f.push(stranger);
    f.push(f.from(in_other, c_node_a, c_p2, f.code + 1));
    f.push(f.control(c_mccr_object_destroy, c_node_a, c_stranger, f.id, c_kova_err_object_is_not_exist));
    f.push(f.control(c_mccr_object_destroy, c_node_a, c_p2, f.id, c_kova_err_object_is_not_exist));
    f.push(f.from(in_shutdown, c_node_a, c_p1));
    // As the center reports a lost link: from the node, to every stub of the process.
    f.push(f.control(c_mccr_tcp_disconnected_from_client, c_node_b, c_broadcast_proxy_id, c_broadcast_stub_id,
                     c_kova_err_disconnected_tcp));
    std::vector<heard> want = {
        {'s', client_of(c_node_a, f.d, c_p1), c_kova_err_none},
        {'s', client_of(c_node_a, f.d, c_p2), c_kova_err_object_is_not_exist},
    };
    for (object_id_t p : in_node_b) want.push_back({'s', client_of(c_node_b, f.d, p), c_kova_err_disconnected_tcp});
    want.push_back({'t', client_of(c_node_b, f.d, 0), 0});
    ASSERT_TRUE(f.stub.wait_log(want.size()));
    // The listener took them in order: the last one heard, the others are done too.
    EXPECT_TRUE(f.sent().empty()) << "the stub answers none of them";
    expect_heard(f.stub.log(), want);
    EXPECT_EQ(f.stub.get_client_count(), 0u);
}

// A connect whose answer cannot leave: the center pipe full, or shut for good.
struct unsent_answer_row {
    const char* name;
    bool shut;  // the center pipe refuses for good instead of staying full
    msg_type_t connect;
    kova_err_t on_connect_result;
};

// Each row's connect (a proxy of its own, c_p1 on) is taken back: no client is left, and
// on_shutdown hears c_kova_err_busy_localhost for one that was accepted; a refused one was
// never a client, and ends nothing. in_also checks more after each.
template <typename fixture_t>
void expect_unsent_answers_take_the_client_back(fixture_t& f, const std::vector<unsent_answer_row>& in_rows,
                                                const std::function<void()>& in_also = nullptr) {
    object_id_t proxy = c_p1;
    for (const unsent_answer_row& r : in_rows) {
        SCOPED_TRACE(r.name);
        f.stub.m_answer = r.on_connect_result;
        if (r.shut) f.rig.m_center.proc_shutdown();
        else f.rig.fill_center();
        const std::size_t heard_before = f.stub.log().size();
        const int connects = f.stub.m_connects;
        const unsigned long remain = f.rig.remain();
        packet_spec s = f.from(r.connect, c_node_a, proxy);
        s.limit = 0.3;
        f.push(s);
        if (r.on_connect_result == c_kova_err_none) {
            ASSERT_TRUE(f.stub.wait_log(heard_before + 1));
            const heard h = f.stub.log().back();
            EXPECT_EQ(h.kind, 's');
            EXPECT_TRUE(same(h.client, client_of(c_node_a, f.d, proxy)));
            EXPECT_EQ(h.error, c_kova_err_busy_localhost);
        }
        // The request and its answer are given back once the listener has done with them.
        ASSERT_TRUE(f.rig.wait_remain(remain));
        EXPECT_EQ(f.stub.m_connects, connects + 1);
        EXPECT_EQ(f.stub.log().size(), heard_before + (r.on_connect_result == c_kova_err_none ? 1 : 0));
        EXPECT_EQ(f.stub.get_client_count(), 0u);
        if (in_also) in_also();
        if (!r.shut) {
            for (const received& p : f.sent()) EXPECT_EQ(p.packet.header.type, c_mt_ctrl) << "only the fillers";
        }
        ++proxy;
    }
}

// The stub's disconnects, each after in_connect_three has connected c_p1 and c_p2 at node
// a and c_p3 at node b: every client reached is told by the kind's disconnect, none
// calls on_shutdown, and what the clients held goes with them. Then destroyed, and not
// created: nobody is told anything.
template <typename fixture_t>
void expect_the_stubs_disconnects_reach_what_they_name(fixture_t& f, const std::function<void()>& in_connect_three) {
    const unsigned long before = f.rig.remain();
    const node_addr_t node_a(c_node_a, f.d);
    struct target {
        ip_t ip;
        object_id_t did;
    };
    struct row {
        const char* name;
        std::function<void()> disconnect;
        std::vector<target> reached;
        unsigned left;
    };
    const row rows[] = {
        {"every client by address", [&] { f.stub.disconnect(client_of(c_broadcast_ip, f.d, c_p1)); },
         {{c_node_a, c_broadcast_proxy_id}, {c_node_b, c_broadcast_proxy_id}}, 0},
        {"every client", [&] { f.stub.disconnect_all_client_object(); },
         {{c_node_a, c_broadcast_proxy_id}, {c_node_b, c_broadcast_proxy_id}}, 0},
        {"one node by address", [&] { f.stub.disconnect(client_of(c_node_a, f.d, c_broadcast_proxy_id)); },
         {{c_node_a, c_broadcast_proxy_id}}, 1},
        {"one node", [&] { f.stub.disconnect_one_client_node(node_a); }, {{c_node_a, c_broadcast_proxy_id}}, 1},
        {"one client by address", [&] { f.stub.disconnect(client_of(c_node_a, f.d, c_p1)); }, {{c_node_a, c_p1}}, 2},
        {"one client", [&] { f.stub.disconnect_one_client_object(client_of(c_node_a, f.d, c_p1)); },
         {{c_node_a, c_p1}}, 2},
        {"a client never connected", [&] { f.stub.disconnect(client_of(c_node_a, f.d, c_stranger)); }, {}, 3},
        {"a node never connected", [&] { f.stub.disconnect_one_client_node(node_addr_t(0x0C00000Au, f.d)); }, {}, 3},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        in_connect_three();
        r.disconnect();
        const std::vector<received> out = f.sent();
        ASSERT_EQ(out.size(), r.reached.size());
        for (std::size_t i = 0; i < out.size(); ++i) {
            const struct_packet& p = out[i].packet;
            EXPECT_EQ(p.header.type, decltype(f.stub)::kind::disconnect);
            EXPECT_EQ(p.header.code, f.code);
            EXPECT_EQ(p.header.size, 0u);
            EXPECT_FALSE(out[i].has_data);
            EXPECT_EQ(p.header.sid, f.id);
            EXPECT_EQ(p.dst_ip, r.reached[i].ip);
            EXPECT_EQ(p.dst_port, f.d);
            EXPECT_EQ(p.header.did, r.reached[i].did);
            EXPECT_TRUE(p.header.limit.is_infinite());
        }
        EXPECT_EQ(f.stub.get_client_count(), r.left);
        f.stub.disconnect_all_client_object();
        f.sent();
        EXPECT_TRUE(f.rig.wait_remain(before)) << "what the clients held went with them";
    }
    EXPECT_TRUE(f.stub.log().empty());
    ASSERT_EQ(f.stub.destroy(), c_kova_err_none);
    f.sent();
    EXPECT_TRUE(f.rig.wait_remain(before));
    f.stub.disconnect_all_client_object();
    f.stub.disconnect(client_of(c_broadcast_ip, f.d, c_p1));
    EXPECT_TRUE(f.sent().empty());
}

// A call of the stub that pushes and meets a full center pipe: how many clients the table
// holds meanwhile, and the types of the packets it sends once the center takes them.
struct waiting_push_row {
    const char* name;
    std::function<void()> call;
    unsigned clients_meanwhile;
    std::vector<msg_type_t> sent;
};

// While the stub's disconnects and each of in_more's calls wait for the center pipe (each
// after in_connect_two, or the kind's connect by default, has connected c_p1 at node a, told
// by in_type_a, and c_p3 at node b, told by in_type_b), the table is free: a count answers
// at once, as a listener taking a connect or an end would find it, and sees what the call
// has changed already. Then the center takes the packets and the call ends.
template <typename fixture_t>
void expect_the_table_is_free_while_pushes_wait(fixture_t& f, msg_type_t in_type_a, msg_type_t in_type_b,
                                                std::function<void()> in_connect_two = nullptr,
                                                std::vector<waiting_push_row> in_more = {}) {
    if (!in_connect_two) in_connect_two = [&] {
        f.connect(c_node_a, c_p1);
        f.connect(c_node_b, c_p3);
    };
    const client_addr_t p1 = client_of(c_node_a, f.d, c_p1);
    std::vector<waiting_push_row> rows = {
        {"every client", [&] { f.stub.disconnect_all_client_object(); }, 0, {in_type_a, in_type_b}},
        {"one node", [&] { f.stub.disconnect_one_client_node(p1.node_addr); }, 1, {in_type_a}},
        {"one client", [&] { f.stub.disconnect(p1); }, 1, {in_type_a}}};
    rows.insert(rows.end(), in_more.begin(), in_more.end());
    for (const waiting_push_row& r : rows) {
        SCOPED_TRACE(r.name);
        in_connect_two();
        f.rig.fill_center();
        waiting_thread caller([&] {
            r.call();
            return c_kova_err_none;
        });
        ASSERT_TRUE(caller.asleep());
        EXPECT_EQ(caller.result(), waiting_thread::c_not_yet) << "it waits for the center pipe";
        waiting_thread counter([&] { return static_cast<kova_err_t>(f.stub.get_client_count()); });
        EXPECT_TRUE(kova_test::wait_until([&] { return counter.result() != waiting_thread::c_not_yet; }, 5.0));
        EXPECT_EQ(counter.result(), r.clients_meanwhile);
        std::vector<msg_type_t> out;
        while (out.size() < r.sent.size()) {  // past the fillers
            received p;
            ASSERT_TRUE(f.rig.center_receive(p));
            if (p.packet.header.type != c_mt_ctrl) out.push_back(p.packet.header.type);
        }
        EXPECT_EQ(caller.join(), c_kova_err_none);
        counter.join();
        EXPECT_EQ(out, r.sent);
        f.stub.disconnect_all_client_object();
        f.sent();
    }
    EXPECT_TRUE(f.stub.log().empty()) << "no disconnect calls on_shutdown";
}

// What a destroy leaves (in_late: one from a callback, carried out at the end of its
// packet): its announcement alone, no client told; in_destroyed runs once it is out. The
// same object created again has no client: in_again may try to reach one, and nothing
// but the create goes. Ends destroyed, with the packet memory back at in_before.
template <typename fixture_t>
void expect_a_destroy_forgets_every_client(fixture_t& f, unsigned long in_before, bool in_late,
                                           const std::function<void()>& in_destroyed,
                                           const std::function<void()>& in_again = nullptr) {
    const std::vector<received> out = f.sent(in_late ? 0.2 : 0.0);
    ASSERT_EQ(out.size(), 1u) << "the announcement alone";
    EXPECT_EQ(out[0].packet.header.code, c_mccr_object_destroy);
    // A late destroy sends the announcement under the processor's write lock and forgets its
    // clients after it: a read hold waits for the rest.
    { Pimo::OS::class_read_locker rest(f.rig.m_processor); }
    in_destroyed();
    ASSERT_EQ(f.stub.create(f.d, f.id), c_kova_err_none);
    EXPECT_EQ(f.stub.get_client_count(), 0u);
    if (in_again) in_again();
    const std::vector<received> after = f.sent();
    ASSERT_EQ(after.size(), 1u) << "the create alone";
    EXPECT_EQ(after[0].packet.header.code, c_mccr_object_create);
    EXPECT_TRUE(f.stub.log().empty());
    ASSERT_EQ(f.stub.destroy(), c_kova_err_none);
    f.sent();
    EXPECT_TRUE(f.rig.wait_remain(in_before));
}

// A stub of base_t's kind attached to an object of its own, with its client count in view.
template <typename base_t>
class attached_stub : public base_t {
public:
    attached_stub(msg_code_t in_code, kova_object const& in_object) : base_t(in_code, in_object) {}
    using base_t::get_client_count;
};

// An attached stub (attached_t, whose handler is of kind_base_t's kind) serves under the
// given object: a proxy's in_connect is confirmed by in_confirm under the object's id.
// Ending it destroys the object, and its handler leaves the core.
template <typename kind_base_t, typename attached_t>
void expect_attached_serves_under_the_given_object(int in_test, msg_code_t in_code,
                                                   msg_type_t in_connect = kind_of<kind_base_t>::connect,
                                                   msg_type_t in_confirm = kind_of<kind_base_t>::confirm) {
    attached_owner o(in_test);
    ASSERT_NE(o.id, 0);
    attached_t* attached = new attached_t(in_code, o.owner);
    EXPECT_EQ(attached->_op, o.owner._op);
    EXPECT_EQ(kind_of<kind_base_t>::handlers(*o.owner._op).count(in_code), 1u);
    packet_spec s{in_connect, in_code, c_p1, o.id, 1, o.d, o.d};
    s.src_ip = c_node_a;
    o.rig.push_listen(s);
    struct_packet answer;
    ASSERT_TRUE(o.rig.center_receive(answer));
    EXPECT_EQ(answer.header.type, in_confirm);
    EXPECT_EQ(answer.header.sid, o.id);
    EXPECT_EQ(attached->get_client_count(), 1u);
    delete attached;
    EXPECT_FALSE(o.owner.is_created());
    ASSERT_TRUE(o.rig.center_receive(answer));
    EXPECT_EQ(answer.header.code, c_mccr_object_destroy);
    EXPECT_TRUE(kind_of<kind_base_t>::handlers(*o.owner._op).empty());
    EXPECT_TRUE(o.rig.wait_remain(o.before));
}

}  // namespace kova_sdk_test
