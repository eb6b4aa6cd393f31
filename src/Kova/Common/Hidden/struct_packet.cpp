#include "Kova/Common/Hidden/struct_packet.h"

namespace Kova {

namespace {

// Seconds from in_stamp to in_clock. A clock that stepped back charges nothing:
// an unsigned wrap would time out every finite-limit packet at once.
double elapsed_seconds(Pimo::OS::vimra_clock_t in_stamp, Pimo::OS::vimra_clock_t in_clock,
                       Pimo::OS::vimra_hz_t in_hz) {
    if (!(static_cast<double>(in_hz) > 0.1)) return 0.0;  // rate never set
    if (in_clock < in_stamp) return 0.0;
    return static_cast<double>(in_clock - in_stamp) / static_cast<double>(in_hz);
}

}  // namespace

bool struct_packet::is_request() const {
    switch (header.type) {
    case c_mt_signal:
    case c_mt_call:
    case c_mt_event_connect:
    case c_mt_command_connect:
    case c_mt_information_tcp_connect:
    case c_mt_information_udp_connect: return true;
    default: return false;
    }
}

struct_packet::enum_overflow struct_packet::get_overflow_rule() const {
    switch (header.type) {
    case c_mt_event:
    case c_mt_broadcast: return enum_overflow::drop;
    case c_mt_information_tcp:
    case c_mt_information_udp:
    case c_mt_command_tcp:
    case c_mt_command_udp: return enum_overflow::newest;
    default: return enum_overflow::keep;
    }
}

bool struct_packet::is_same_stream(const struct_packet& in_other) const {
    return header.type == in_other.header.type && header.code == in_other.header.code &&
           src_ip == in_other.src_ip && header.sport == in_other.header.sport && header.sid == in_other.header.sid &&
           dst_ip == in_other.dst_ip && dst_port == in_other.dst_port && header.did == in_other.header.did;
}

void struct_packet::set_swap_address(const struct_packet& in_other) {
    src_ip = in_other.dst_ip;
    dst_ip = in_other.src_ip;
    dst_port = in_other.header.sport;
    header.sport = in_other.dst_port;
    header.sid = in_other.header.did;
    header.did = in_other.header.sid;
}

void struct_packet::initialize_packet(ip_t in_mct_if, Pimo::OS::vimra_clock_t in_clock, double in_limit) {
    mct_if = in_mct_if;
    arrival_cpu_clock_counter = in_clock;
    packet_limit_time = in_limit;
    packet_live_time = 0.0;
    header.limit.set_time(in_limit);
    header.time = struct_packet_time();
}

void struct_packet::determine_arrival_clock(Pimo::OS::vimra_clock_t in_clock) {
    arrival_cpu_clock_counter = in_clock;
    packet_limit_time = header.limit.get_time();
    packet_live_time = header.time.get_time();
}

bool struct_packet::update_packet_time_and_return_timeout() {
    const Pimo::OS::vimra_clock_t clock = Pimo::OS::vimra_cpu_clock();
    const double elapsed = elapsed_seconds(arrival_cpu_clock_counter, clock, Pimo::OS::vimra_cpu_hz());
    packet_limit_time -= elapsed;
    packet_live_time += elapsed;
    arrival_cpu_clock_counter = clock;
    header.limit.set_time(packet_limit_time);
    header.time.set_time(packet_live_time);
    return packet_limit_time <= 0.0;
}

bool struct_packet::is_timeout() const {
    const double elapsed =
        elapsed_seconds(arrival_cpu_clock_counter, Pimo::OS::vimra_cpu_clock(), Pimo::OS::vimra_cpu_hz());
    return elapsed >= packet_limit_time;
}

void struct_packet::swap_addresses() {
    const ip_t ip = src_ip;
    src_ip = dst_ip;
    dst_ip = ip;
    const domain_t domain = header.sport;
    header.sport = dst_port;
    dst_port = domain;
}

bool struct_packet::backward_return_switch() {
    swap_addresses();
    return header.backward_return_switch();
}

bool struct_packet::backward_error_switch(kova_err_t in_error) {
    swap_addresses();
    if (!header.backward_error_switch(in_error)) return false;
    packet_limit_time = header.limit.get_time();
    return true;
}

void struct_packet::set_swap_acktype() {
    if (header.type == c_mt_signal_return)
        header.type = c_mt_signal_return_ack;
    else if (header.type == c_mt_call_return)
        header.type = c_mt_call_return_ack;
}

}  // namespace Kova
