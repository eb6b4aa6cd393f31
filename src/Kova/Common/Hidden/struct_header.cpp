#include "Kova/Common/Hidden/struct_header.h"

#include "Kova/Common/Open/Kova/kova_const.h"

namespace Kova {

void struct_header::init(pksize_t in_size, msg_num_t in_num, msg_type_t in_type, msg_code_t in_code,
                         kova_err_t in_error) {
    ver_prt = 0;
    set_ver(c_version);
    set_prt(c_priority_0);
    type = in_type;
    code = in_code;
    num = in_num;
    error = in_error;
    size = in_size;
}

bool struct_header::backward_return_switch() {
    switch (type) {
    case c_mt_qos: type = c_mt_qos_return; break;
    case c_mt_signal:
        type = c_mt_signal_return;
        size = 0;  // only the signal reply loses its payload
        break;
    case c_mt_call: type = c_mt_call_return; break;
    case c_mt_event_connect: type = c_mt_event_confirm; break;
    case c_mt_command_connect: type = c_mt_command_confirm; break;
    case c_mt_information_tcp_connect: type = c_mt_information_tcp_confirm; break;
    case c_mt_information_udp_connect: type = c_mt_information_udp_confirm; break;
    default: return false;
    }
    swap_ids();
    return true;
}

bool struct_header::backward_error_switch(kova_err_t in_error) {
    // A reply that could not arrive becomes a cancel or shutdown for its replier,
    // which must never be dropped for lack of time.
    bool no_limit = false;
    switch (type) {
    case c_mt_qos: type = c_mt_qos_error_return; break;
    case c_mt_signal: type = c_mt_signal_error_return; break;
    case c_mt_signal_return: type = c_mt_signal_cancel; no_limit = true; break;
    case c_mt_call: type = c_mt_call_error_return; break;
    case c_mt_call_return: type = c_mt_call_cancel; no_limit = true; break;
    case c_mt_event_connect: type = c_mt_event_reject; break;
    case c_mt_event_confirm: type = c_mt_event_shutdown; no_limit = true; break;
    case c_mt_command_connect: type = c_mt_command_reject; break;
    case c_mt_command_confirm: type = c_mt_command_shutdown; no_limit = true; break;
    case c_mt_information_tcp_connect: type = c_mt_information_tcp_reject; break;
    case c_mt_information_tcp_confirm: type = c_mt_information_tcp_shutdown; no_limit = true; break;
    case c_mt_information_udp_connect: type = c_mt_information_udp_reject; break;
    case c_mt_information_udp_confirm: type = c_mt_information_udp_shutdown; no_limit = true; break;
    default: return false;
    }
    swap_ids();
    error = in_error;
    size = 0;
    if (no_limit) limit.set_time(static_cast<double>(c_infinite_time));
    return true;
}

bool struct_header::forward_error_switch(kova_err_t in_error) {
    switch (type) {
    case c_mt_qos_return: type = c_mt_qos_error_return; break;
    case c_mt_signal: type = c_mt_signal_cancel; break;
    case c_mt_signal_return: type = c_mt_signal_error_return; break;
    case c_mt_call: type = c_mt_call_cancel; break;
    case c_mt_call_return: type = c_mt_call_error_return; break;
    case c_mt_event_connect: type = c_mt_event_shutdown; break;
    case c_mt_event_confirm: type = c_mt_event_reject; break;
    case c_mt_command_connect: type = c_mt_command_shutdown; break;
    case c_mt_command_confirm: type = c_mt_command_reject; break;
    case c_mt_information_tcp_connect: type = c_mt_information_tcp_shutdown; break;
    case c_mt_information_tcp_confirm: type = c_mt_information_tcp_reject; break;
    case c_mt_information_udp_connect: type = c_mt_information_udp_shutdown; break;
    case c_mt_information_udp_confirm: type = c_mt_information_udp_reject; break;
    default: return false;
    }
    error = in_error;
    size = 0;
    return true;
}

}  // namespace Kova
