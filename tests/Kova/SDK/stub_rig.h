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
#include "sdk_rig.h"

namespace kova_sdk_test {

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
// on_connect returns note_connect, its on_shutdown calls note_shutdown.
template <typename base_t>
class recording_stub : public base_t {
public:
    using base_t::base_t;

    // What on_connect answers, and what it ran inside.
    std::atomic<kova_err_t> m_answer{0};
    std::function<void()> in_connect;
    // What the last on_connect was given, and how many ran.
    std::atomic<int> m_connects{0};
    client_addr_t m_connect_client;
    double m_live = -1, m_limit = -1;

    std::vector<heard> log() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_log;
    }
    bool wait_log(std::size_t in_n) {
        return kova_test::wait_until([&] { return log().size() >= in_n; }, 5.0);
    }
    void on_disconnected_tcp(node_addr_t const& in_node) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_log.push_back(heard{'t', client_of(in_node.ip, in_node.port, 0), 0});
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
        std::lock_guard<std::mutex> lock(m_mutex);
        m_log.push_back(heard{'s', in_client, Kova::get_last_error()});
    }

private:
    std::mutex m_mutex;
    std::vector<heard> m_log;
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

}  // namespace kova_sdk_test
