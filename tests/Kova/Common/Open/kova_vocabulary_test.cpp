// The public headers are included first and through the application's include
// root, so they must stand on their own.
#include "Kova/kova_const.h"
#include "Kova/kova_err.h"
#include "Kova/kova_typedef.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <set>
#include <type_traits>

using namespace Kova;

TEST(vocabulary, scalar_widths) {
    static_assert(sizeof(ip_t) == 4 && sizeof(port_t) == 2 && sizeof(domain_t) == 2, "");
    static_assert(sizeof(object_id_t) == 2 && sizeof(msg_type_t) == 1 && sizeof(msg_code_t) == 2, "");
    static_assert(sizeof(msg_num_t) == 2 && sizeof(kova_const_t) == 4 && sizeof(kova_err_t) == 4, "");
    static_assert(sizeof(pksize_t) == 4 && sizeof(version_t) == 1 && sizeof(priority_t) == 1, "");
    static_assert(sizeof(qos_t) == 1 && sizeof(transaction_t) == 1 && sizeof(kova_size_t) == 4, "");
    static_assert(sizeof(kova_clock_t) == 8 && sizeof(kova_cpu_hz_t) == 8 && sizeof(byte_t) == 1, "");
    static_assert(std::is_unsigned<kova_err_t>::value && std::is_unsigned<ip_t>::value, "");
    static_assert(std::is_same<char_t, char>::value, "");
    static_assert(std::is_same<kova_err_t, sender_sync_model_t>::value, "both on kova_const_t");
}

TEST(vocabulary, message_types) {
    const std::map<int, msg_type_t> expected = {
        {0, c_mt_null}, {1, c_mt_ctrl}, {2, c_mt_ctrl_ret}, {3, c_mt_qos}, {4, c_mt_qos_return},
        {5, c_mt_qos_error_return}, {16, c_mt_broadcast}, {32, c_mt_signal}, {33, c_mt_signal_return},
        {34, c_mt_signal_error_return}, {35, c_mt_signal_cancel}, {36, c_mt_signal_return_ack},
        {48, c_mt_call}, {49, c_mt_call_return}, {50, c_mt_call_error_return}, {51, c_mt_call_cancel},
        {52, c_mt_call_return_ack}, {64, c_mt_event_connect}, {65, c_mt_event_confirm},
        {66, c_mt_event_reject}, {67, c_mt_event_shutdown}, {68, c_mt_event_disconnect}, {69, c_mt_event},
        {80, c_mt_command_connect}, {82, c_mt_command_confirm}, {83, c_mt_command_reject},
        {84, c_mt_command_shutdown}, {85, c_mt_command_disconnect}, {86, c_mt_command_tcp},
        {87, c_mt_command_udp}, {96, c_mt_information_tcp_connect}, {97, c_mt_information_tcp_confirm},
        {98, c_mt_information_tcp_reject}, {99, c_mt_information_tcp_disconnect},
        {100, c_mt_information_tcp_shutdown}, {101, c_mt_information_tcp},
        {113, c_mt_information_udp_connect}, {114, c_mt_information_udp_confirm},
        {115, c_mt_information_udp_reject}, {116, c_mt_information_udp_disconnect},
        {117, c_mt_information_udp_shutdown}, {118, c_mt_information_udp}, {255, c_mt_max},
    };
    for (const auto& e : expected) EXPECT_EQ(e.first, e.second);
}

TEST(vocabulary, control_qos_transaction_and_sync_codes) {
    const std::map<int, msg_code_t> ctrl = {
        {0, c_mc_null}, {1, c_mccr_run_object}, {2, c_mccr_terminate_object}, {3, c_mccr_object_create},
        {4, c_mccr_object_destroy}, {5, c_mccr_process_destroy}, {0x8000, c_mccr_center_shutdown},
        {0x8002, c_mccr_object_request}, {0x8003, c_mccr_node_create}, {0x8004, c_mccr_node_destroy},
        {0x8005, c_mccr_tcp_connected_from_client}, {0x8006, c_mccr_tcp_disconnected_from_client},
        {0x8007, c_mccr_tcp_connected_to_server}, {0x8008, c_mccr_tcp_disconnected_from_server},
    };
    for (const auto& e : ctrl) EXPECT_EQ(e.first, e.second);

    EXPECT_EQ(1, c_mcqos_set_qos);
    EXPECT_EQ(2, c_mcqos_del_qos);
    EXPECT_EQ(3, c_mcqos_load_qos);

    const qos_t qos[] = {c_qos_history_size,   c_qos_sync_frequency,    c_qos_sync_model,
                         c_qos_reliability,    c_qos_deadline,          c_qos_auto_connect,
                         c_qos_connect_mode,   c_qos_connect_rejection, c_qos_connect_confirm,
                         c_qos_log};
    for (int i = 0; i < 10; ++i) EXPECT_EQ(i + 1, qos[i]);

    const transaction_t kinds[] = {c_transaction_object,  c_transaction_call,        c_transaction_signal,
                                   c_transaction_event,   c_transaction_command,     c_transaction_information,
                                   c_transaction_broadcast};
    for (int i = 0; i < 7; ++i) EXPECT_EQ(i, kinds[i]);

    EXPECT_EQ(0u, c_sender_sync_model_on_post);
    EXPECT_EQ(1u, c_sender_sync_model_on_timer);
}

TEST(vocabulary, result_codes) {
    const std::map<kova_err_t, kova_err_t> expected = {
        {0, c_kova_err_none}, {1, c_kova_err_unknown}, {2, c_kova_err_object_is_not_exist},
        {3, c_kova_err_not_support_code}, {4, c_kova_err_object_is_busy}, {5, c_kova_err_busy_node},
        {6, c_kova_err_not_implement}, {7, c_kova_err_reconnection}, {8, c_kova_err_too_big_size_call},
        {9, c_kova_err_remote_timeout}, {10, c_kova_err_empty_memory_node},
        {0x30000000, c_kova_err_reject_by_qos},
        {0x40000000, c_kova_err_local_timeout}, {0x40000001, c_kova_err_not_connected_tcp},
        {0x40000002, c_kova_err_boundout_buffer}, {0x40000003, c_kova_err_not_exist_node},
        {0x40000004, c_kova_err_busy_localhost}, {0x40000005, c_kova_err_too_big_size},
        {0x40000006, c_kova_err_object_shutdown}, {0x40000007, c_kova_err_center_shutdown},
        {0x40000008, c_kova_err_center_busy}, {0x40000009, c_kova_err_is_not_created},
        {0x4000000A, c_kova_err_null_return_object}, {0x4000000B, c_kova_err_already_connected},
        {0x4000000C, c_kova_err_null_object_id}, {0x4000000D, c_kova_err_already_created},
        {0x4000000E, c_kova_err_disconnected_tcp}, {0x4000000F, c_kova_err_durty_memory},
        {0x50000000, c_kova_err_already_lock}, {0x50000001, c_kova_err_dont_get},
        {0x50000002, c_kova_err_empty_kova_memory}, {0x50000003, c_kova_err_empty_process_memory},
        {0x50000004, c_kova_err_not_exist_sync_data}, {0x50000005, c_kova_err_empty_history},
        {0x50000006, c_kova_err_null_ip}, {0x50000007, c_kova_err_unknown_path},
        {0x50000008, c_kova_err_all_id_is_used}, {0x50000009, c_kova_err_already_used_id},
        {0x5000000A, c_kova_err_not_initailize},
    };
    EXPECT_EQ(39u, expected.size());  // no two constants share a value, except success/none
    for (const auto& e : expected) EXPECT_EQ(e.first, e.second);
    EXPECT_EQ(c_kova_success, c_kova_err_none);
}

TEST(vocabulary, protocol_constants) {
    EXPECT_EQ(2, c_version);
    EXPECT_EQ(2, c_version_2);
    EXPECT_EQ(0, c_version_test);
    EXPECT_EQ(1, c_version_1);
    EXPECT_EQ(0, c_priority_0);
    EXPECT_EQ(0, c_any_object_id);
    EXPECT_EQ(0, c_broadcast_stub_id);
    EXPECT_EQ(0xFFFF, c_broadcast_proxy_id);
    EXPECT_EQ(0xFFFF, c_broadcast_domain);
    EXPECT_EQ(0xFFFFFFFFu, c_broadcast_ip);
    EXPECT_EQ(0xFFFFFFFFu, c_infinite_time);
    EXPECT_EQ(0x0100007Fu, c_local_host);
    EXPECT_EQ(127u, c_local_host_net);
    EXPECT_EQ(255u, c_local_host_mask);
    EXPECT_EQ(c_local_host_net, c_local_host & c_local_host_mask);
    static_assert(std::is_same<decltype(Common::Interface::c_pipe_size), const std::uint64_t>::value, "");
    EXPECT_EQ(16u, Common::Interface::c_pipe_size);
}

TEST(address_records, constructors) {
    struct_node_addr node;
    EXPECT_EQ(0u, node.ip);
    EXPECT_EQ(0, node.port);
    struct_client_addr client;
    EXPECT_EQ(0u, client.node_addr.ip);
    EXPECT_EQ(0, client.node_addr.port);
    struct_server_addr server;
    EXPECT_EQ(0u, server.ip);
    EXPECT_EQ(0, server.obj_id);
    struct_server_addr server2(0x0500000A, 7);
    EXPECT_EQ(0x0500000Au, server2.ip);
    EXPECT_EQ(7, server2.obj_id);
    struct_domain_object dob(7000, 12);
    EXPECT_EQ(7000, dob.domain);
    EXPECT_EQ(12, dob.object_id);
}

TEST(address_records, node_orders_by_port_then_stored_ip) {
    const ip_t ip_10_0_0_1 = 0x0100000A, ip_10_0_0_2 = 0x0200000A;
    EXPECT_TRUE(struct_node_addr(ip_10_0_0_2, 7000) < struct_node_addr(ip_10_0_0_1, 7001));
    EXPECT_FALSE(struct_node_addr(ip_10_0_0_1, 7001) < struct_node_addr(ip_10_0_0_2, 7000));
    EXPECT_TRUE(struct_node_addr(ip_10_0_0_1, 7000) < struct_node_addr(ip_10_0_0_2, 7000));
    // The stored word decides, not the dotted order: 2.0.0.1 (0x01000002) comes
    // before 1.0.0.2 (0x02000001).
    EXPECT_TRUE(struct_node_addr(0x01000002, 7000) < struct_node_addr(0x02000001, 7000));
    EXPECT_FALSE(struct_node_addr(0x02000001, 7000) < struct_node_addr(0x01000002, 7000));
    EXPECT_FALSE(struct_node_addr(ip_10_0_0_1, 7000) < struct_node_addr(ip_10_0_0_1, 7000));
    // Unsigned: an address with the top bit set sorts last.
    EXPECT_TRUE(struct_node_addr(0x7FFFFFFF, 7000) < struct_node_addr(0x80000000, 7000));

    std::set<struct_node_addr> nodes = {{ip_10_0_0_1, 7000}, {ip_10_0_0_1, 7000}, {ip_10_0_0_2, 7000}};
    EXPECT_EQ(2u, nodes.size());
}

TEST(address_records, server_orders_by_ip_then_object) {
    EXPECT_TRUE(struct_server_addr(1, 0xFFFF) < struct_server_addr(2, 0));
    EXPECT_TRUE(struct_server_addr(2, 3) < struct_server_addr(2, 4));
    EXPECT_FALSE(struct_server_addr(2, 4) < struct_server_addr(2, 4));
    EXPECT_TRUE(struct_server_addr(0x7FFFFFFF, 9) < struct_server_addr(0x80000000, 1));
    std::map<struct_server_addr, int> m;
    m[struct_server_addr(5, 1)] = 1;
    m[struct_server_addr(5, 1)] = 2;
    m[struct_server_addr(5, 2)] = 3;
    EXPECT_EQ(2u, m.size());
    EXPECT_EQ(2, m[struct_server_addr(5, 1)]);
}
