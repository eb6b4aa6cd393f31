#include "Kova/Common/Hidden/struct_packet.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <cstring>

#include "Kova/Common/Open/Kova/kova_const.h"
#include "Kova/Common/Open/Kova/kova_err.h"
#include "Pimo/OS/Linux/vimra_time.h"

using namespace Kova;

namespace {

const ip_t c_ip_10_0_0_5 = 0x0500000A;

// A packet whose clock stamp lies in_ago seconds in the past, with a known tick rate.
class packet_time_fixture : public testing::Test {
protected:
    void SetUp() override {
        m_saved_hz = Pimo::OS::g_cpu_frequency;
        Pimo::OS::vimra_update_cpu_hz();
        m_packet = struct_packet{};
    }
    void TearDown() override { Pimo::OS::g_cpu_frequency = m_saved_hz; }

    void age(double in_seconds) {
        m_packet.arrival_cpu_clock_counter -=
            static_cast<Pimo::OS::vimra_clock_t>(in_seconds * Pimo::OS::vimra_cpu_hz());
    }

    Pimo::OS::vimra_hz_t m_saved_hz = 0;
    struct_packet m_packet{};
};

struct_packet make_call() {
    struct_packet p{};
    p.initialize_header(100, 3, c_mt_call, 0x10, 0);
    p.initialize_packet(c_local_host, Pimo::OS::vimra_cpu_clock(), 2.0);
    p.set_source(c_local_host, 7000, 0x8001);
    p.set_destination(c_ip_10_0_0_5, 7001, 5);
    return p;
}

// The addresses of make_call() turned around.
void expect_reversed_call(const struct_packet& in_p) {
    EXPECT_EQ(c_ip_10_0_0_5, in_p.src_ip);
    EXPECT_EQ(c_local_host, in_p.dst_ip);
    EXPECT_EQ(7001, in_p.header.sport);
    EXPECT_EQ(7000, in_p.dst_port);
    EXPECT_EQ(5, in_p.header.sid);
    EXPECT_EQ(0x8001, in_p.header.did);
}

}  // namespace

TEST(packet_record, header_sits_at_48_and_reads_as_wire_bytes) {
    struct_packet p = make_call();
    unsigned char bytes[72];
    std::memcpy(bytes, &p, sizeof(p));
    EXPECT_EQ(0, std::memcmp(bytes + 48, p.get_header(), 24));
    EXPECT_EQ(0x02, bytes[48]);
    EXPECT_EQ(c_mt_call, bytes[49]);
    EXPECT_EQ(0x58, bytes[50]);  // sport 7000
    EXPECT_EQ(0x1B, bytes[51]);
    EXPECT_EQ(0x59, bytes[46]);  // dst_port 7001
    EXPECT_EQ(0x1B, bytes[47]);
    EXPECT_EQ(0x7F, bytes[36]);  // src_ip as stored
    EXPECT_EQ(0x0A, bytes[40]);  // dst_ip as stored
    EXPECT_EQ(172u, p.get_total_size());
    EXPECT_EQ(124u, p.get_packet_size());
    EXPECT_EQ(24u, struct_packet::get_header_size());
    EXPECT_TRUE(p.is_right_version());
    EXPECT_EQ(2, p.get_version());
}

TEST(packet_record, addresses_and_direction) {
    struct_packet p = make_call();
    EXPECT_TRUE(p.src_is_local());
    EXPECT_FALSE(p.src_is_remote());
    EXPECT_FALSE(p.dst_is_local());
    EXPECT_TRUE(p.dst_is_remote());
    EXPECT_EQ(7001, p.get_domain());  // to a stub: the destination domain

    struct_packet back{};
    back.set_swap_address(p);
    expect_reversed_call(back);
    EXPECT_EQ(7001, back.get_domain());  // to a proxy: the source domain, still the stub's

    const ip_t not_local[] = {0x0200007F /* 127.0.0.2 */, c_ip_10_0_0_5, c_broadcast_ip, 0};
    for (ip_t ip : not_local) {
        p.set_dst_ip(ip);
        EXPECT_FALSE(p.dst_is_local()) << std::hex << ip;
        EXPECT_TRUE(p.dst_is_remote()) << std::hex << ip;
    }
    p.set_dst_ip(c_broadcast_ip);
    EXPECT_TRUE(p.dst_is_broadcast());

    for (object_id_t did : {0, 0xFFFF}) {
        p.header.did = did;
        EXPECT_TRUE(p.dst_is_broadcast_object());
    }
    p.header.did = 1;
    EXPECT_FALSE(p.dst_is_broadcast_object());
}

TEST(packet_record, set_destination_and_source_overloads) {
    struct_packet p{};
    p.set_destination(struct_node_addr(c_ip_10_0_0_5, 7002), 9);
    EXPECT_EQ(c_ip_10_0_0_5, p.dst_ip);
    EXPECT_EQ(7002, p.dst_port);
    EXPECT_EQ(9, p.header.did);
    p.set_destination(struct_server_addr(c_local_host, 11), 7003);
    EXPECT_EQ(c_local_host, p.dst_ip);
    EXPECT_EQ(7003, p.dst_port);
    EXPECT_EQ(11, p.header.did);
    struct_client_addr client;
    client.node_addr = struct_node_addr(c_broadcast_ip, 7004);
    client.obj_id = 0x8005;
    p.set_destination(client);
    EXPECT_EQ(c_broadcast_ip, p.dst_ip);
    EXPECT_EQ(7004, p.dst_port);
    EXPECT_EQ(0x8005, p.header.did);

    p.set_source(struct_node_addr(c_ip_10_0_0_5, 7005), 12);
    EXPECT_EQ(c_ip_10_0_0_5, p.src_ip);
    EXPECT_EQ(7005, p.header.sport);
    EXPECT_EQ(12, p.header.sid);
    p.set_source(client);
    EXPECT_EQ(c_broadcast_ip, p.src_ip);
    EXPECT_EQ(7004, p.header.sport);
    EXPECT_EQ(0x8005, p.header.sid);
    EXPECT_EQ(7004, p.dst_port);  // sources never touch the destination
}

TEST(packet_record, backward_error_switch_of_a_remote_call) {
    struct_packet p = make_call();
    p.set_destination(c_ip_10_0_0_5, 7000, 5);
    p.packet_limit_time = 0.25;
    ASSERT_TRUE(p.backward_error_switch(c_kova_err_remote_timeout));
    EXPECT_EQ(c_mt_call_error_return, p.header.type);
    EXPECT_EQ(c_ip_10_0_0_5, p.src_ip);
    EXPECT_EQ(5, p.header.sid);
    EXPECT_EQ(c_local_host, p.dst_ip);
    EXPECT_EQ(0x8001, p.header.did);
    EXPECT_EQ(7000, p.header.sport);
    EXPECT_EQ(7000, p.dst_port);
    EXPECT_EQ(9u, p.header.error);
    EXPECT_EQ(0u, p.header.size);
    EXPECT_EQ(2.0, p.packet_limit_time);  // reloaded from the header's 2 s

    // A reply that could not arrive becomes a cancel that never runs out of time.
    struct_packet r = make_call();
    r.header.type = c_mt_call_return;
    r.packet_limit_time = 0.0;
    ASSERT_TRUE(r.backward_error_switch(c_kova_err_not_connected_tcp));
    EXPECT_EQ(c_mt_call_cancel, r.header.type);
    EXPECT_TRUE(r.header.limit.is_infinite());
    EXPECT_EQ(4290772992.0, r.packet_limit_time);
}

TEST(packet_record, backward_switches_exchange_addresses_even_when_refused) {
    struct_packet p = make_call();
    p.header.type = c_mt_signal_error_return;
    EXPECT_FALSE(p.backward_return_switch());
    EXPECT_EQ(c_ip_10_0_0_5, p.src_ip);
    EXPECT_EQ(c_local_host, p.dst_ip);
    EXPECT_EQ(7001, p.header.sport);
    EXPECT_EQ(7000, p.dst_port);
    EXPECT_EQ(0x8001, p.header.sid);  // the header itself is left alone
    EXPECT_EQ(5, p.header.did);

    p.packet_limit_time = 0.5;
    EXPECT_FALSE(p.backward_error_switch(1));
    EXPECT_EQ(c_local_host, p.src_ip);  // exchanged back
    EXPECT_EQ(0.5, p.packet_limit_time);
    EXPECT_EQ(0u, p.header.error);
}

TEST(packet_record, backward_return_turns_a_request_in_place) {
    struct_packet p = make_call();
    ASSERT_TRUE(p.backward_return_switch());
    EXPECT_EQ(c_mt_call_return, p.header.type);
    expect_reversed_call(p);
    EXPECT_EQ(100u, p.header.size);

    struct_packet f = make_call();
    ASSERT_TRUE(f.forward_error_switch(4));
    EXPECT_EQ(c_mt_call_cancel, f.header.type);
    EXPECT_EQ(c_local_host, f.src_ip);  // forward: addresses unchanged
    EXPECT_EQ(0x8001, f.header.sid);
    EXPECT_EQ(4u, f.header.error);
}

TEST(packet_record, type_tests_and_changes) {
    struct_packet p = make_call();
    p.set_swap_acktype();
    EXPECT_EQ(c_mt_call, p.header.type);
    p.header.type = c_mt_call_return;
    EXPECT_TRUE(p.is_call_return());
    p.set_swap_acktype();
    EXPECT_TRUE(p.is_call_return_ack());
    p.header.type = c_mt_signal_return;
    EXPECT_TRUE(p.is_signal_return());
    p.set_swap_acktype();
    EXPECT_TRUE(p.is_signal_return_ack());
    p.set_heartbeat_type();
    EXPECT_TRUE(p.is_heartbeat());
    p.set_control_type();
    EXPECT_EQ(c_mt_ctrl, p.get_msg_type());
    p.header.type = c_mt_information_udp;
    EXPECT_TRUE(p.is_information_udp());
    p.header.type = c_mt_command_udp;
    EXPECT_TRUE(p.is_command_udp());
    p.set_tcp_connected_from_client();
    EXPECT_EQ(0x8005, p.header.code);
    p.set_tcp_disconnected_from_client();
    EXPECT_EQ(0x8006, p.header.code);
    p.set_tcp_connected_to_server();
    EXPECT_EQ(0x8007, p.header.code);
    p.set_tcp_disconnected_from_server();
    EXPECT_EQ(0x8008, p.header.code);

    byte_t buffer[4];
    p.set_data(buffer);
    p.dummy_port = 77;
    struct_packet copy = p;
    EXPECT_EQ(0, std::memcmp(&copy, &p, sizeof(p)));
    EXPECT_EQ(buffer, copy.get_data());
}

TEST_F(packet_time_fixture, charged_as_the_packet_travels) {
    m_packet.initialize_packet(c_local_host, Pimo::OS::vimra_cpu_clock(), 2.5);
    EXPECT_EQ(2.5, m_packet.packet_limit_time);
    EXPECT_EQ(0.0, m_packet.packet_live_time);
    EXPECT_TRUE(m_packet.header.time.is_zerotime());
    EXPECT_EQ(c_local_host, m_packet.get_mct_ip());

    age(1.0);
    EXPECT_FALSE(m_packet.update_packet_time_and_return_timeout());
    EXPECT_NEAR(1.5, m_packet.packet_limit_time, 0.05);
    EXPECT_NEAR(1.0, m_packet.packet_live_time, 0.05);
    EXPECT_EQ(struct_packet_time(m_packet.packet_limit_time).word, m_packet.header.limit.word);
    EXPECT_EQ(struct_packet_time(m_packet.packet_live_time).word, m_packet.header.time.word);

    age(2.0);
    EXPECT_TRUE(m_packet.update_packet_time_and_return_timeout());
    EXPECT_TRUE(m_packet.header.limit.is_zerotime());
    EXPECT_NEAR(3.0, m_packet.packet_live_time, 0.1);
}

TEST_F(packet_time_fixture, second_update_charges_only_the_time_between) {
    m_packet.initialize_packet(c_local_host, Pimo::OS::vimra_cpu_clock(), 10.0);
    age(1.0);
    m_packet.update_packet_time_and_return_timeout();
    const double after_first = m_packet.packet_limit_time;
    m_packet.update_packet_time_and_return_timeout();
    EXPECT_NEAR(after_first, m_packet.packet_limit_time, 0.05);
}

TEST_F(packet_time_fixture, no_limit_never_runs_out) {
    m_packet.initialize_packet(c_local_host, Pimo::OS::vimra_cpu_clock(), DBL_MAX);
    EXPECT_EQ(0xFFFF, m_packet.header.limit.word);
    age(100000.0);
    EXPECT_FALSE(m_packet.update_packet_time_and_return_timeout());
    EXPECT_TRUE(m_packet.header.limit.is_infinite());
    EXPECT_FALSE(m_packet.is_timeout());

    // On another host the limit becomes what the header can say.
    m_packet.determine_arrival_clock(1234);
    EXPECT_EQ(1234u, m_packet.arrival_cpu_clock_counter);
    EXPECT_EQ(4290772992.0, m_packet.packet_limit_time);
    EXPECT_EQ(m_packet.header.time.get_time(), m_packet.packet_live_time);
}

TEST_F(packet_time_fixture, clock_stepping_back_charges_nothing) {
    m_packet.initialize_packet(c_local_host, Pimo::OS::vimra_cpu_clock(), 2.0);
    // The stamp lies a minute ahead of the clock, as after a wall-clock step back.
    m_packet.arrival_cpu_clock_counter += 60u * Pimo::OS::vimra_cpu_hz();
    EXPECT_FALSE(m_packet.is_timeout());
    EXPECT_FALSE(m_packet.update_packet_time_and_return_timeout());
    EXPECT_EQ(2.0, m_packet.packet_limit_time);
    EXPECT_EQ(0.0, m_packet.packet_live_time);
    EXPECT_EQ(0x8021, m_packet.header.limit.word);
    // The stamp has moved to the clock, so charging resumes from there.
    age(1.0);
    EXPECT_FALSE(m_packet.update_packet_time_and_return_timeout());
    EXPECT_NEAR(1.0, m_packet.packet_limit_time, 0.05);
}

TEST_F(packet_time_fixture, unset_tick_rate_charges_nothing) {
    Pimo::OS::g_cpu_frequency = 0;
    m_packet.initialize_packet(c_local_host, 5, 1.0);
    EXPECT_FALSE(m_packet.update_packet_time_and_return_timeout());
    EXPECT_EQ(1.0, m_packet.packet_limit_time);
    EXPECT_EQ(0.0, m_packet.packet_live_time);
    EXPECT_NE(5u, m_packet.arrival_cpu_clock_counter);  // only the stamp moves

    m_packet.initialize_packet(c_local_host, 5, 0.0);
    EXPECT_TRUE(m_packet.update_packet_time_and_return_timeout());
}

TEST_F(packet_time_fixture, is_timeout_only_reads) {
    m_packet.initialize_packet(c_local_host, Pimo::OS::vimra_cpu_clock(), 1.0);
    age(2.0);
    const struct_packet before = m_packet;
    EXPECT_TRUE(m_packet.is_timeout());
    EXPECT_EQ(0, std::memcmp(&before, &m_packet, sizeof(m_packet)));
}
