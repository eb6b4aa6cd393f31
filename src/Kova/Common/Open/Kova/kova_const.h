// Message types, control codes, QoS codes, interaction kinds and protocol constants.
#pragma once

#include <cstdint>

#include "kova_typedef.h"

namespace Kova {

// Message types: each interaction kind owns a block of 16 values, request first.
constexpr msg_type_t c_mt_null = 0;  // header-only on a TCP connection: heartbeat
constexpr msg_type_t c_mt_ctrl = 1;
constexpr msg_type_t c_mt_ctrl_ret = 2;
constexpr msg_type_t c_mt_qos = 3;
constexpr msg_type_t c_mt_qos_return = 4;
constexpr msg_type_t c_mt_qos_error_return = 5;
constexpr msg_type_t c_mt_broadcast = 16;
constexpr msg_type_t c_mt_signal = 32;
constexpr msg_type_t c_mt_signal_return = 33;
constexpr msg_type_t c_mt_signal_error_return = 34;
constexpr msg_type_t c_mt_signal_cancel = 35;
constexpr msg_type_t c_mt_signal_return_ack = 36;
constexpr msg_type_t c_mt_call = 48;
constexpr msg_type_t c_mt_call_return = 49;
constexpr msg_type_t c_mt_call_error_return = 50;
constexpr msg_type_t c_mt_call_cancel = 51;
constexpr msg_type_t c_mt_call_return_ack = 52;
// Connect families: connect proxy->stub, confirm/reject stub->proxy,
// disconnect stub->proxy, shutdown proxy->stub.
constexpr msg_type_t c_mt_event_connect = 64;
constexpr msg_type_t c_mt_event_confirm = 65;
constexpr msg_type_t c_mt_event_reject = 66;
constexpr msg_type_t c_mt_event_shutdown = 67;
constexpr msg_type_t c_mt_event_disconnect = 68;
constexpr msg_type_t c_mt_event = 69;
constexpr msg_type_t c_mt_command_connect = 80;  // 81 is unassigned
constexpr msg_type_t c_mt_command_confirm = 82;
constexpr msg_type_t c_mt_command_reject = 83;
constexpr msg_type_t c_mt_command_shutdown = 84;
constexpr msg_type_t c_mt_command_disconnect = 85;
constexpr msg_type_t c_mt_command_tcp = 86;
constexpr msg_type_t c_mt_command_udp = 87;
constexpr msg_type_t c_mt_information_tcp_connect = 96;
constexpr msg_type_t c_mt_information_tcp_confirm = 97;
constexpr msg_type_t c_mt_information_tcp_reject = 98;
constexpr msg_type_t c_mt_information_tcp_disconnect = 99;
constexpr msg_type_t c_mt_information_tcp_shutdown = 100;
constexpr msg_type_t c_mt_information_tcp = 101;
constexpr msg_type_t c_mt_information_udp_connect = 113;  // 112 is not used
constexpr msg_type_t c_mt_information_udp_confirm = 114;
constexpr msg_type_t c_mt_information_udp_reject = 115;
constexpr msg_type_t c_mt_information_udp_disconnect = 116;
constexpr msg_type_t c_mt_information_udp_shutdown = 117;
constexpr msg_type_t c_mt_information_udp = 118;
constexpr msg_type_t c_mt_max = 255;

// Control codes: the message code of a c_mt_ctrl packet.
constexpr msg_code_t c_mc_null = 0;
constexpr msg_code_t c_mccr_run_object = 1;
constexpr msg_code_t c_mccr_terminate_object = 2;
constexpr msg_code_t c_mccr_object_create = 3;
constexpr msg_code_t c_mccr_object_destroy = 4;
constexpr msg_code_t c_mccr_process_destroy = 5;
constexpr msg_code_t c_mccr_center_shutdown = 0x8000;  // 0x8001 is unassigned
constexpr msg_code_t c_mccr_object_request = 0x8002;
constexpr msg_code_t c_mccr_node_create = 0x8003;
constexpr msg_code_t c_mccr_node_destroy = 0x8004;
constexpr msg_code_t c_mccr_tcp_connected_from_client = 0x8005;
constexpr msg_code_t c_mccr_tcp_disconnected_from_client = 0x8006;
constexpr msg_code_t c_mccr_tcp_connected_to_server = 0x8007;
constexpr msg_code_t c_mccr_tcp_disconnected_from_server = 0x8008;

// QoS message codes.
constexpr msg_code_t c_mcqos_set_qos = 1;
constexpr msg_code_t c_mcqos_del_qos = 2;
constexpr msg_code_t c_mcqos_load_qos = 3;

// QoS setting ids.
constexpr qos_t c_qos_history_size = 1;
constexpr qos_t c_qos_sync_frequency = 2;
constexpr qos_t c_qos_sync_model = 3;
constexpr qos_t c_qos_reliability = 4;
constexpr qos_t c_qos_deadline = 5;
constexpr qos_t c_qos_auto_connect = 6;
constexpr qos_t c_qos_connect_mode = 7;
constexpr qos_t c_qos_connect_rejection = 8;
constexpr qos_t c_qos_connect_confirm = 9;
constexpr qos_t c_qos_log = 10;

// Interaction kinds.
constexpr transaction_t c_transaction_object = 0;
constexpr transaction_t c_transaction_call = 1;
constexpr transaction_t c_transaction_signal = 2;
constexpr transaction_t c_transaction_event = 3;
constexpr transaction_t c_transaction_command = 4;
constexpr transaction_t c_transaction_information = 5;
constexpr transaction_t c_transaction_broadcast = 6;

// Sender synchronisation models.
constexpr sender_sync_model_t c_sender_sync_model_on_post = 0;
constexpr sender_sync_model_t c_sender_sync_model_on_timer = 1;

// Protocol versions; only c_version is ever written.
constexpr version_t c_version_test = 0;
constexpr version_t c_version_1 = 1;
constexpr version_t c_version_2 = 2;
constexpr version_t c_version = c_version_2;
constexpr priority_t c_priority_0 = 0;

// Object ids: below 0x8000 a stub, otherwise a proxy.
constexpr object_id_t c_any_object_id = 0;  // creating with it asks for an automatic id
constexpr object_id_t c_broadcast_stub_id = 0;
constexpr object_id_t c_broadcast_proxy_id = 0xFFFF;
constexpr object_id_t c_broadcast_domain = 0xFFFF;

constexpr ip_t c_broadcast_ip = 0xFFFFFFFFu;
constexpr std::uint32_t c_infinite_time = 0xFFFFFFFFu;  // seconds
constexpr ip_t c_local_host = 0x0100007Fu;              // 127.0.0.1 as stored
constexpr ip_t c_local_host_net = 127;
constexpr ip_t c_local_host_mask = 255;

namespace Common {
namespace Interface {
// Depth of an application's listen and return pipes.
constexpr std::uint64_t c_pipe_size = 16;
}  // namespace Interface
}  // namespace Common

}  // namespace Kova
