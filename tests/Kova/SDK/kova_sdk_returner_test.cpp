// Reply matching: pending records by key (the requester included), the returner, the
// answer to replies nobody waits for, and waking by object destroy and lost TCP links.
#include <gtest/gtest.h>

#include "Kova/Common/Open/Kova/kova_err.h"
#include "sdk_rig.h"

using namespace kova_sdk_test;

namespace {

constexpr object_id_t c_stub = 0x0042;
constexpr object_id_t c_proxy_a = 0x8001;
constexpr object_id_t c_proxy_b = 0x8002;
constexpr ip_t c_remote = 0x0A00000Au;

// The same numbering as every other test process uses, so that no two running tests share a domain.
domain_t test_domain() { return kova_sdk_test::test_domain(0); }

// A reply from the stub to a proxy: source the stub, destination the proxy.
packet_spec reply(msg_type_t in_type, msg_num_t in_num, object_id_t in_proxy, ip_t in_ip = c_local_host,
                  object_id_t in_stub = c_stub) {
    packet_spec s{in_type, 7, in_stub, in_proxy, in_num, test_domain(), test_domain()};
    s.src_ip = in_ip;
    return s;
}

return_key_t key_for(msg_num_t in_num, object_id_t in_proxy, ip_t in_ip = c_local_host, object_id_t in_stub = c_stub,
                     msg_type_t in_type = c_mt_call) {
    return return_key_t(in_ip, test_domain(), in_stub, in_type, 7, in_num, in_proxy);
}

// Waits for the record and takes its reply (as async_return does).
bool collect(sdk_rig& in_rig, const return_key_t& in_key, return_record_t& in_record, struct_packet& pout,
             double in_timeout_s = 5.0) {
    const bool woken = in_record.event.eproc_wait_timeout(in_timeout_s) == 0;
    in_rig.m_processor->del_return(in_key, &in_record);
    if (!woken || !in_record.returned) return false;
    std::memcpy(&pout, in_record.token.get_header_packet(), sizeof(pout));
    Common::Interface::safe_free_token(in_record.token, __FILE__, __LINE__);
    return true;
}

}  // namespace

TEST(kova_sdk_returner, key_orders_by_identity_with_the_requester_and_ignores_the_error) {
    const return_key_t base(1, 2, 3, 48, 5, 6, 0x8001);
    return_key_t with_err = base;
    with_err.err = 77;
    EXPECT_FALSE(base < with_err);
    EXPECT_FALSE(with_err < base);
    return_key_t other_proxy = base;
    other_proxy.req_id = 0x8002;
    EXPECT_TRUE(base < other_proxy);
    return_key_t other_num = base;
    other_num.msg_num = 7;
    EXPECT_TRUE(base < other_num);
    EXPECT_EQ(sizeof(return_key_t), 20u);
}

TEST(kova_sdk_returner, each_pending_request_wakes_with_its_own_reply) {
    sdk_rig rig(0);
    ASSERT_TRUE(rig.m_ok);
    // Two proxies with the same message number, and one proxy with two numbers.
    return_record_t a1, b1, a2;
    rig.m_processor->add_return(key_for(1, c_proxy_a), &a1);
    rig.m_processor->add_return(key_for(1, c_proxy_b), &b1);
    rig.m_processor->add_return(key_for(2, c_proxy_a), &a2);
    rig.push_return(reply(c_mt_call_return, 2, c_proxy_a));
    rig.push_return(reply(c_mt_call_return, 1, c_proxy_b));
    rig.push_return(reply(c_mt_call_error_return, 1, c_proxy_a));
    struct_packet got;
    ASSERT_TRUE(collect(rig, key_for(1, c_proxy_b), b1, got));
    EXPECT_EQ(got.header.did, c_proxy_b);
    EXPECT_EQ(got.header.num, 1);
    ASSERT_TRUE(collect(rig, key_for(2, c_proxy_a), a2, got));
    EXPECT_EQ(got.header.num, 2);
    EXPECT_EQ(got.header.type, c_mt_call_return);
    ASSERT_TRUE(collect(rig, key_for(1, c_proxy_a), a1, got));
    EXPECT_EQ(got.header.did, c_proxy_a);
    EXPECT_EQ(got.header.type, c_mt_call_error_return);
}

TEST(kova_sdk_returner, del_return_removes_only_the_callers_own_record) {
    sdk_rig rig(0);
    ASSERT_TRUE(rig.m_ok);
    return_record_t first, duplicate;
    rig.m_processor->add_return(key_for(3, c_proxy_a), &first);
    rig.m_processor->add_return(key_for(3, c_proxy_a), &duplicate);  // lost: the first stays
    rig.m_processor->del_return(key_for(3, c_proxy_a), &duplicate);  // must not erase the first
    rig.push_return(reply(c_mt_call_return, 3, c_proxy_a));
    struct_packet got;
    EXPECT_TRUE(collect(rig, key_for(3, c_proxy_a), first, got));
}

TEST(kova_sdk_returner, unclaimed_replies_get_their_answer_with_remote_timeout) {
    sdk_rig rig(0);
    ASSERT_TRUE(rig.m_ok);
    const unsigned long before = rig.remain();
    struct row {
        msg_type_t reply;
        msg_type_t answer;  // 0: none
    };
    for (const row& r : {row{c_mt_call_return, c_mt_call_cancel}, row{c_mt_signal_return, c_mt_signal_cancel},
                         row{c_mt_event_confirm, c_mt_event_shutdown},
                         row{c_mt_command_confirm, c_mt_command_shutdown},
                         row{c_mt_information_tcp_confirm, c_mt_information_tcp_shutdown},
                         row{c_mt_information_udp_confirm, c_mt_information_udp_shutdown},
                         row{c_mt_call_error_return, 0}, row{c_mt_event_reject, 0}, row{c_mt_ctrl_ret, 0}}) {
        packet_spec s = reply(r.reply, 9, c_proxy_a);
        s.payload = 40;
        rig.push_return(s);
        struct_packet got;
        if (r.answer == 0) {
            // The returner has freed it, having sent what it would send.
            EXPECT_TRUE(rig.wait_remain(before)) << int(r.reply);
            EXPECT_FALSE(rig.center_receive(got, 0.2)) << int(r.reply);
            continue;
        }
        ASSERT_TRUE(rig.center_receive(got)) << int(r.reply);
        EXPECT_EQ(got.header.type, r.answer);
        EXPECT_EQ(got.header.error, c_kova_err_remote_timeout);
        EXPECT_EQ(got.header.did, c_stub);
        EXPECT_EQ(got.header.sid, c_proxy_a);
        EXPECT_GT(got.packet_limit_time, 4e9);
    }
    EXPECT_TRUE(rig.wait_remain(before));
}

TEST(kova_sdk_returner, a_second_reply_for_one_record_is_freed) {
    sdk_rig rig(0);
    ASSERT_TRUE(rig.m_ok);
    const unsigned long before = rig.remain();
    return_record_t record;
    rig.m_processor->add_return(key_for(4, c_proxy_a), &record);
    const struct_token first = rig.make(reply(c_mt_call_return, 4, c_proxy_a));
    const unsigned long first_held = rig.remain();  // the record keeps the first reply
    sdk_rig::push(rig.m_return, first);
    packet_spec second = reply(c_mt_call_error_return, 4, c_proxy_a);
    rig.push_return(second);
    ASSERT_EQ(record.event.eproc_wait_timeout(5.0), 0);
    EXPECT_TRUE(rig.wait_remain(first_held)) << "the second reply is freed";
    struct_packet got;
    EXPECT_FALSE(rig.center_receive(got, 0.2));  // matched, not answered
    record.event.proc_set();  // the wait above took the wake-up
    ASSERT_TRUE(collect(rig, key_for(4, c_proxy_a), record, got));
    EXPECT_EQ(got.header.type, c_mt_call_return);
    EXPECT_TRUE(rig.wait_remain(before));
}

TEST(kova_sdk_returner, object_destroy_and_lost_server_link_wake_the_requests_they_concern) {
    sdk_rig rig(0);
    ASSERT_TRUE(rig.m_ok);
    return_record_t to_stub, to_stub_b, to_other_stub, remote_1, remote_2, local;
    rig.m_processor->add_return(key_for(1, c_proxy_a), &to_stub);
    rig.m_processor->add_return(key_for(1, c_proxy_b), &to_stub_b);
    rig.m_processor->add_return(key_for(1, c_proxy_a, c_local_host, 0x43), &to_other_stub);
    rig.m_processor->add_return(key_for(5, c_proxy_a, c_remote, 0x50), &remote_1);
    rig.m_processor->add_return(key_for(6, c_proxy_a, c_remote, 0x51), &remote_2);
    rig.m_processor->add_return(key_for(7, c_proxy_b, c_local_host, 0x60), &local);

    // A proxy's destroy wakes nobody.
    packet_spec proxy_gone{c_mt_ctrl, c_mccr_object_destroy, 0x8009, c_proxy_a, 0, test_domain(), test_domain()};
    rig.push_return(proxy_gone);
    packet_spec stub_gone{c_mt_ctrl, c_mccr_object_destroy, c_stub, c_proxy_a, 0, test_domain(), test_domain()};
    rig.push_return(stub_gone);
    packet_spec link_lost{c_mt_ctrl, c_mccr_tcp_disconnected_from_server, 0, c_proxy_a, 0, test_domain(),
                          test_domain()};
    link_lost.src_ip = c_remote;
    rig.push_return(link_lost);

    struct_packet got;
    ASSERT_TRUE(collect(rig, key_for(1, c_proxy_a), to_stub, got));
    EXPECT_EQ(got.header.code, c_mccr_object_destroy);
    EXPECT_EQ(got.header.sid, c_stub);
    ASSERT_TRUE(collect(rig, key_for(1, c_proxy_b), to_stub_b, got));
    ASSERT_TRUE(collect(rig, key_for(5, c_proxy_a, c_remote, 0x50), remote_1, got));
    EXPECT_EQ(got.header.code, c_mccr_tcp_disconnected_from_server);
    ASSERT_TRUE(collect(rig, key_for(6, c_proxy_a, c_remote, 0x51), remote_2, got));
    EXPECT_FALSE(collect(rig, key_for(1, c_proxy_a, c_local_host, 0x43), to_other_stub, got, 0.2));
    EXPECT_FALSE(collect(rig, key_for(7, c_proxy_b, c_local_host, 0x60), local, got, 0.05));
}

TEST(kova_sdk_returner, delay_token_holds_the_returner) {
    sdk_rig rig(0);
    ASSERT_TRUE(rig.m_ok);
    return_record_t record;
    rig.m_processor->add_return(key_for(8, c_proxy_a), &record);
    struct_token delay;
    delay.data_mm = 1;
    const double start = kova_test::now_s();
    sdk_rig::push(rig.m_return, delay);
    rig.push_return(reply(c_mt_call_return, 8, c_proxy_a));
    struct_packet got;
    ASSERT_TRUE(collect(rig, key_for(8, c_proxy_a), record, got));
    EXPECT_GE(kova_test::now_s() - start, 0.95);
}

TEST(kova_sdk_returner, a_full_center_pipe_does_not_stop_the_matching) {
    sdk_rig rig(0, 1);
    ASSERT_TRUE(rig.m_ok);
    rig.push_return(reply(c_mt_call_return, 20, c_proxy_a));  // unclaimed: its cancel fills the center pipe
    rig.push_return(reply(c_mt_call_return, 21, c_proxy_a));  // unclaimed: the pipe is full
    return_record_t record;
    rig.m_processor->add_return(key_for(22, c_proxy_a), &record);
    rig.push_return(reply(c_mt_call_return, 22, c_proxy_a));
    struct_packet got;
    EXPECT_TRUE(collect(rig, key_for(22, c_proxy_a), record, got, 3.0));
    ASSERT_TRUE(rig.center_receive(got));
    EXPECT_EQ(got.header.num, 20);
    ASSERT_TRUE(rig.center_receive(got));
    EXPECT_EQ(got.header.num, 21);
    EXPECT_EQ(got.header.type, c_mt_call_cancel);
}
