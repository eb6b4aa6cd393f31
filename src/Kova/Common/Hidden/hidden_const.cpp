#include "Kova/Common/Hidden/hidden_const.h"

#include <cstddef>

#include "Kova/Common/Open/Kova/kova_const.h"

namespace Kova {

namespace {

struct struct_type_table {
    const char* names[256];

    constexpr struct_type_table() : names() {
        names[c_mt_null] = "null";
        names[c_mt_ctrl] = "control";
        names[c_mt_ctrl_ret] = "control return";
        names[c_mt_broadcast] = "broadcast";
        names[c_mt_signal] = "signal";
        names[c_mt_signal_return] = "signal return";
        names[c_mt_signal_error_return] = "signal error return";
        names[c_mt_signal_cancel] = "signal cancel";
        names[c_mt_call] = "call";
        names[c_mt_call_return] = "call return";
        names[c_mt_call_error_return] = "call error return";
        names[c_mt_call_cancel] = "call cancel";
        names[c_mt_event_connect] = "event connect";
        names[c_mt_event_confirm] = "event confirm";
        names[c_mt_event_reject] = "event reject";
        names[c_mt_event_shutdown] = "event shutdown";
        names[c_mt_event_disconnect] = "event disconnect";
        names[c_mt_event] = "event";
        names[c_mt_command_connect] = "command connect";
        names[c_mt_command_confirm] = "command confirm";
        names[c_mt_command_reject] = "command reject";
        names[c_mt_command_shutdown] = "command shutdown";
        names[c_mt_command_disconnect] = "command disconnect";
        names[c_mt_command_tcp] = "command tcp";
        names[c_mt_command_udp] = "command udp";
        names[c_mt_information_tcp_connect] = "information tcp connect";
        names[c_mt_information_tcp_confirm] = "information tcp confirm";
        names[c_mt_information_tcp_reject] = "information tcp reject";
        names[c_mt_information_tcp_disconnect] = "information tcp disconnect";
        names[c_mt_information_tcp_shutdown] = "information tcp shutdown";
        names[c_mt_information_tcp] = "information tcp";
        names[c_mt_information_udp_connect] = "information udp connect";
        names[c_mt_information_udp_confirm] = "information udp confirm";
        names[c_mt_information_udp_reject] = "information udp reject";
        names[c_mt_information_udp_disconnect] = "information udp disconnect";
        names[c_mt_information_udp_shutdown] = "information udp shutdown";
        names[c_mt_information_udp] = "information_udp";
    }
};

// Built at compile time, so it is usable from any static initialiser.
constexpr struct_type_table g_type_table;

struct struct_ctrl_name {
    msg_code_t code;
    const char* name;
};

const struct_ctrl_name g_ctrl_names[] = {
    {c_mc_null, "c_mc_null"},
    {c_mccr_run_object, "c_mccr_run_object"},
    {c_mccr_terminate_object, "c_mccr_terminate_object"},
    {c_mccr_object_create, "c_mccr_object_create"},
    {c_mccr_object_destroy, "c_mccr_object_destroy"},
    {c_mccr_process_destroy, "c_mccr_process_destroy"},
    {c_mccr_center_shutdown, "c_mccr_center_shutdown"},
    {c_mccr_object_request, "c_mccr_object_request"},
    {c_mccr_node_create, "c_mccr_node_create"},
    {c_mccr_node_destroy, "c_mccr_node_destroy"},
    {c_mccr_tcp_connected_from_client, "c_mccr_tcp_connected_from_client"},
    {c_mccr_tcp_disconnected_from_client, "c_mccr_tcp_disconnected_from_client"},
    {c_mccr_tcp_connected_to_server, "c_mccr_tcp_connected_to_server"},
    {c_mccr_tcp_disconnected_from_server, "c_mccr_tcp_disconnected_from_server"},
};

// Lower-case hex of in_value in in_digits digits after "0x"; no locale, no stdio.
const char* write_hex(char* pout_buffer, unsigned in_value, int in_digits) {
    static const char c_digits[] = "0123456789abcdef";
    pout_buffer[0] = '0';
    pout_buffer[1] = 'x';
    for (int i = 0; i < in_digits; ++i)
        pout_buffer[2 + i] = c_digits[(in_value >> (4 * (in_digits - 1 - i))) & 0xF];
    pout_buffer[2 + in_digits] = '\0';
    return pout_buffer;
}

}  // namespace

const char* get_type_str(msg_type_t in_type) {
    thread_local char t_buffer[128];
    const char* name = g_type_table.names[in_type];
    if (name != nullptr) return name;
    return write_hex(t_buffer, in_type, 2);
}

const char* get_ctrl_code_str(msg_code_t in_code) {
    thread_local char t_buffer[128];
    for (const struct_ctrl_name& entry : g_ctrl_names)
        if (entry.code == in_code) return entry.name;
    return write_hex(t_buffer, in_code, 4);
}

}  // namespace Kova
