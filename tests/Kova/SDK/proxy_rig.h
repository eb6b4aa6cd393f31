// A proxy's world in this test process: the rig plays the bound stub and the center,
// writing its packets into the listen and return pipes and reading the proxy's from
// the center pipe.
#pragma once

#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "Kova/Common/Open/Kova/kova_err.h"
#include "Kova/Common/Open/Kova/kova_proxy_object.h"
#include "sdk_rig.h"

namespace kova_sdk_test {

constexpr ip_t c_server_ip = 0x0500007Fu;  // 127.0.0.5: stored as 127.0.0.1
constexpr object_id_t c_stub_id = 0x0010;

typedef std::vector<std::string> log_t;

// Records the proxy callbacks in the order they run.
template <typename base_t>
class recording : public base_t {
public:
    using base_t::base_t;
    void on_connected_tcp() override { note("connected"); }
    void on_disconnected_tcp() override { note("disconnected"); }
    void on_object_create() override { note("create"); }
    void on_object_destroy() override { note("destroy"); }
    log_t log() { return m_log.items(); }
    std::size_t count() { return m_log.size(); }
    // True once in_n callbacks are recorded.
    bool wait_count(std::size_t in_n) { return m_log.wait_size(in_n); }

protected:
    void note(const char* in_what) { m_log.add(in_what); }

private:
    locked_list<std::string> m_log;
};

// A recording proxy of a connection kind: "ended" when the stub's side ended the
// connection.
template <typename base_t>
class connection_recording : public recording<base_t> {
public:
    using recording<base_t>::recording;

private:
    void on_disconnected() override { this->note("ended"); }
};

class proxy_rig {
public:
    explicit proxy_rig(int in_test, std::size_t in_listeners = 2, unsigned in_center_depth = 16)
        : rig(in_listeners, in_center_depth), domain(in_test), baseline(rig.remain()) {}

    // Creates the proxy bound to the test stub and takes its object request off the
    // center pipe; the proxy's id, or 0.
    object_id_t create(kova_proxy_object& in_proxy, ip_t in_server_ip = c_server_ip) {
        struct_packet p;
        if (in_proxy.create(domain, in_server_ip, c_stub_id, 0) != c_kova_err_none) return 0;
        if (!rig.center_receive(p) || p.header.code != c_mccr_object_request) return 0;
        return in_proxy.get_local_object_id();
    }

    // A packet of the stub (or of in_sid at in_ip) to the proxy.
    packet_spec from_stub(msg_type_t in_type, msg_code_t in_code, object_id_t in_proxy, msg_num_t in_num = 0,
                          object_id_t in_sid = c_stub_id, ip_t in_ip = c_local_host) const {
        packet_spec s{in_type, in_code, in_sid, in_proxy, in_num, domain, domain};
        s.src_ip = in_ip;
        return s;
    }
    void control(msg_code_t in_code, object_id_t in_proxy, object_id_t in_sid = c_stub_id,
                 ip_t in_ip = c_local_host) {
        rig.push_listen(from_stub(c_mt_ctrl, in_code, in_proxy, 0, in_sid, in_ip));
    }
    // The stub's announcement; true once the proxy counts it as live.
    bool make_live(kova_proxy_object& in_proxy) {
        control(c_mccr_object_create, in_proxy.get_local_object_id());
        return kova_test::wait_until([&] { return in_proxy.is_live(); }, 5.0);
    }

    // The stub's answer to in_request, into the return pipe, as it came in through
    // interface in_mct_if; in_header_size, when not negative, overrides the size field
    // whatever block comes with it.
    void answer(const struct_packet& in_request, msg_type_t in_type, kova_err_t in_error, std::size_t in_payload = 0,
                long in_header_size = -1, ip_t in_mct_if = 0) {
        packet_spec s = from_stub(in_type, in_request.header.code, in_request.header.sid, in_request.header.num,
                                  in_request.header.did, in_request.dst_ip);
        s.payload = in_payload;
        s.error = in_error;
        struct_token t = rig.make(s);
        if (in_header_size >= 0) t.get_header_packet()->header.size = static_cast<pksize_t>(in_header_size);
        t.get_header_packet()->mct_if = in_mct_if;
        sdk_rig::push(rig.m_return, t);
    }
    // Asks for in_proxy's connection and has the stub confirm it: in_connect is the
    // request the kind sends, in_confirm the answer; true once connected.
    template <typename proxy_t>
    bool connect_confirmed(proxy_t& in_proxy, msg_type_t in_connect, msg_type_t in_confirm) {
        return_object_t ro = in_proxy.async_connect(5.0);
        struct_packet request;
        if (rig.center_receive(request) && request.header.type == in_connect) answer(request, in_confirm, 0);
        return in_proxy.async_connect_return(ro, nullptr) == c_kova_err_none && in_proxy.is_connected();
    }
    // Everything in the center pipe until it stays empty for in_quiet_s.
    std::vector<received> sent(double in_quiet_s = 0.0) {
        std::vector<received> out;
        received r;
        while (rig.center_receive(r, in_quiet_s)) out.push_back(r);
        return out;
    }
    // A control packet of the center about the stub or its host, into the return pipe.
    void wake(msg_code_t in_code, kova_err_t in_error, object_id_t in_proxy, std::size_t in_payload = 0) {
        packet_spec s = from_stub(c_mt_ctrl, in_code, in_proxy);
        s.error = in_error;
        s.payload = in_payload;
        rig.push_return(s);
    }

    sdk_rig rig;
    const test_domain_scope domain;
    // Free bytes of the packet memory before the test made anything: where every test
    // ends. Counted later, a packet that a listener still holds after its callback ran
    // would pass for a leak once it is freed.
    const unsigned long baseline;
};

// A proxy of one kind and code, created and live with the test stub.
template <typename kind_t>
struct live_proxy {
    live_proxy(int in_test, msg_code_t in_code, unsigned in_center_depth = 16)
        : w(in_test, 2, in_center_depth), proxy(in_code) {
        id = w.create(proxy);
        // Once the listener has let the announcement go, tests start from the baseline.
        live = id != 0 && w.make_live(proxy) && w.rig.wait_remain(w.baseline);
    }
    proxy_rig w;
    kind_t proxy;
    object_id_t id = 0;
    bool live = false;
};

// in_p is a proxy's shutdown to the test stub: in_type of in_code from in_proxy, header
// only, with in_error and no time limit.
inline void expect_shutdown_notice(const struct_packet& in_p, msg_type_t in_type, msg_code_t in_code,
                                   object_id_t in_proxy, kova_err_t in_error = c_kova_err_none) {
    EXPECT_EQ(in_p.header.type, in_type);
    EXPECT_EQ(in_p.header.code, in_code);
    EXPECT_EQ(in_p.header.error, in_error);
    EXPECT_EQ(in_p.header.size, 0u);
    EXPECT_EQ(in_p.header.did, c_stub_id);
    EXPECT_EQ(in_p.header.sid, in_proxy);
    EXPECT_GT(in_p.packet_limit_time, 1e9) << "no time limit";
}

// The ends that come from the stub's side to a connected proxy of a connection kind: the
// stub's disconnects (in_disconnect, to the node and to the proxy) give one
// on_disconnected however many come, then in_after_disconnect checks more; the stub
// destroyed ends the connection before the proxy hears of the stub, and back again
// nothing connects by itself; the link to the stub's host lost does the same, then the
// link's own callback. in_connect connects again.
template <typename kind_t>
void expect_the_ends_from_the_stubs_side(live_proxy<kind_t>& e, msg_code_t in_code, msg_type_t in_disconnect,
                                         msg_num_t& io_num, const std::function<bool()>& in_connect,
                                         const std::function<void()>& in_after_disconnect = nullptr) {
    e.w.rig.push_listen(e.w.from_stub(in_disconnect, in_code, c_broadcast_proxy_id, ++io_num));
    e.w.rig.push_listen(e.w.from_stub(in_disconnect, in_code, e.id, ++io_num));
    ASSERT_TRUE(e.proxy.wait_count(2));
    EXPECT_EQ(e.proxy.log(), log_t({"create", "ended"}));
    EXPECT_FALSE(e.proxy.is_connected());
    if (in_after_disconnect) in_after_disconnect();

    ASSERT_TRUE(in_connect());
    e.w.control(c_mccr_object_destroy, e.id);
    ASSERT_TRUE(e.proxy.wait_count(4));
    EXPECT_EQ(e.proxy.log(), log_t({"create", "ended", "ended", "destroy"}));
    EXPECT_FALSE(e.proxy.is_connected());
    ASSERT_TRUE(e.w.make_live(e.proxy));
    struct_packet p;
    EXPECT_FALSE(e.w.rig.center_receive(p, 0.2));
    EXPECT_FALSE(e.proxy.is_connected());

    ASSERT_TRUE(in_connect());
    e.w.control(c_mccr_tcp_disconnected_from_server, e.id);
    ASSERT_TRUE(e.proxy.wait_count(8));
    EXPECT_EQ(e.proxy.log(),
              log_t({"create", "ended", "ended", "destroy", "create", "ended", "destroy", "disconnected"}));
}

// How a connect's wait ends: by the stub's answer, by a wake of the center, or by nothing.
enum answered_by { c_reply, c_wake, c_nothing };

// One connect and how its wait ends.
struct connect_answer_row {
    const char* name;
    bool udp;  // subscribed by datagram, where the kind has the choice
    answered_by how;
    msg_code_t type;  // the reply's type, or the waking control code
    kova_err_t error;
    ip_t mct_if;  // the interface the reply came through
    double limit;
    kova_err_t result;
    bool connected;
};

// Each row's connect as the stub receives its request, and what async_connect_return
// reports of its answer: in_ask sends the row's connect, in_request is the type of its
// request and in_shutdown that of the shutdown that ends a confirmed one, through the
// interface the confirm came by. in_after checks more at the end of a row.
template <typename kind_t>
void expect_each_connect_answer(live_proxy<kind_t>& e, msg_code_t in_code, const std::vector<connect_answer_row>& in_rows,
                                const std::function<return_object_t(const connect_answer_row&)>& in_ask,
                                const std::function<msg_type_t(const connect_answer_row&)>& in_request,
                                const std::function<msg_type_t(const connect_answer_row&)>& in_shutdown,
                                const std::function<void(const connect_answer_row&)>& in_after = nullptr) {
    const unsigned long before = e.w.baseline;
    msg_num_t num = 0;
    for (const connect_answer_row& r : in_rows) {
        SCOPED_TRACE(r.name);
        return_object_t ro = in_ask(r);
        struct_packet request;
        ASSERT_TRUE(e.w.rig.center_receive(request));
        EXPECT_EQ(request.header.type, in_request(r));
        EXPECT_EQ(request.header.code, in_code);
        EXPECT_EQ(request.header.num, ++num);
        EXPECT_EQ(request.header.size, 0u);
        EXPECT_EQ(request.header.error, 0u);
        EXPECT_EQ(request.dst_ip, c_local_host);
        EXPECT_EQ(request.header.did, c_stub_id);
        EXPECT_EQ(request.header.sid, e.id);
        EXPECT_EQ(request.mct_if, c_local_host);
        EXPECT_NEAR(request.packet_limit_time, r.limit, 0.5);
        if (r.how == c_reply) e.w.answer(request, static_cast<msg_type_t>(r.type), r.error, 0, -1, r.mct_if);
        if (r.how == c_wake) e.w.wake(r.type, r.error, e.id);
        double elapsed = -1;
        EXPECT_EQ(e.proxy.async_connect_return(ro, &elapsed), r.result);
        EXPECT_GE(elapsed, r.how == c_nothing ? r.limit : 0.0);
        EXPECT_LT(elapsed, 3.0) << "a wake ends the wait at once";
        EXPECT_EQ(e.proxy.is_connected(), r.connected);
        if (r.connected) {
            e.proxy.shutdown();
            ++num;
            ASSERT_TRUE(e.w.rig.center_receive(request));
            EXPECT_EQ(request.header.type, in_shutdown(r));
            EXPECT_EQ(request.mct_if, r.mct_if);
            EXPECT_EQ(request.header.num, num);
            EXPECT_GT(request.packet_limit_time, 1e9) << "no time limit";
        }
        if (in_after) in_after(r);
        EXPECT_TRUE(e.w.rig.wait_remain(before));
    }
}

}  // namespace kova_sdk_test
