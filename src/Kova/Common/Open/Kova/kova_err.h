// Result codes of every SDK operation and the error field of replies.
// 1 to 10 travel in replies (also between hosts); from 0x30000000 on they describe
// conditions met on the reporting host.
#pragma once

#include "kova_typedef.h"

namespace Kova {

constexpr kova_err_t c_kova_success = 0;
constexpr kova_err_t c_kova_err_none = 0;
constexpr kova_err_t c_kova_err_unknown = 1;
constexpr kova_err_t c_kova_err_object_is_not_exist = 2;
constexpr kova_err_t c_kova_err_not_support_code = 3;
constexpr kova_err_t c_kova_err_object_is_busy = 4;
constexpr kova_err_t c_kova_err_busy_node = 5;
constexpr kova_err_t c_kova_err_not_implement = 6;
constexpr kova_err_t c_kova_err_reconnection = 7;
constexpr kova_err_t c_kova_err_too_big_size_call = 8;
constexpr kova_err_t c_kova_err_remote_timeout = 9;
constexpr kova_err_t c_kova_err_empty_memory_node = 10;

constexpr kova_err_t c_kova_err_reject_by_qos = 0x30000000;

constexpr kova_err_t c_kova_err_local_timeout = 0x40000000;
constexpr kova_err_t c_kova_err_not_connected_tcp = 0x40000001;
constexpr kova_err_t c_kova_err_boundout_buffer = 0x40000002;
constexpr kova_err_t c_kova_err_not_exist_node = 0x40000003;
constexpr kova_err_t c_kova_err_busy_localhost = 0x40000004;
constexpr kova_err_t c_kova_err_too_big_size = 0x40000005;
constexpr kova_err_t c_kova_err_object_shutdown = 0x40000006;
constexpr kova_err_t c_kova_err_center_shutdown = 0x40000007;
constexpr kova_err_t c_kova_err_center_busy = 0x40000008;
constexpr kova_err_t c_kova_err_is_not_created = 0x40000009;
constexpr kova_err_t c_kova_err_null_return_object = 0x4000000A;
constexpr kova_err_t c_kova_err_already_connected = 0x4000000B;
constexpr kova_err_t c_kova_err_null_object_id = 0x4000000C;
constexpr kova_err_t c_kova_err_already_created = 0x4000000D;
constexpr kova_err_t c_kova_err_disconnected_tcp = 0x4000000E;
constexpr kova_err_t c_kova_err_durty_memory = 0x4000000F;

constexpr kova_err_t c_kova_err_already_lock = 0x50000000;
constexpr kova_err_t c_kova_err_dont_get = 0x50000001;
constexpr kova_err_t c_kova_err_empty_kova_memory = 0x50000002;
constexpr kova_err_t c_kova_err_empty_process_memory = 0x50000003;
constexpr kova_err_t c_kova_err_not_exist_sync_data = 0x50000004;
constexpr kova_err_t c_kova_err_empty_history = 0x50000005;
constexpr kova_err_t c_kova_err_null_ip = 0x50000006;
constexpr kova_err_t c_kova_err_unknown_path = 0x50000007;
constexpr kova_err_t c_kova_err_all_id_is_used = 0x50000008;
constexpr kova_err_t c_kova_err_already_used_id = 0x50000009;
constexpr kova_err_t c_kova_err_not_initailize = 0x5000000A;

}  // namespace Kova
