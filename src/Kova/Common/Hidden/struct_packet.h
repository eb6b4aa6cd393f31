// The record in every header block of the shared packet memory: local routing and
// timing state in front of the wire header. It is read in place by every program
// with this one layout, so it has no constructor and no virtual functions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "Kova/Common/Hidden/struct_header.h"
#include "Kova/Common/Open/Kova/kova_const.h"
#include "Kova/Common/Open/Kova/kova_typedef.h"
#include "Pimo/OS/Linux/vimra_time.h"

namespace Kova {

// A request waits behind at most this many packets, in its receiver's listen pipe or in the
// serial queue of its message address; beyond that it is refused at once with busy node.
constexpr std::size_t c_request_queue_limit = 16;

struct struct_packet {
    Pimo::OS::vimra_clock_t arrival_cpu_clock_counter;  // when the times below were last charged
    double packet_limit_time;                           // seconds left before time-out
    double packet_live_time;                            // seconds lived so far
    byte_t* p_data;   // this process's heap copy of a payload that found no room; else unread
    ip_t mct_if;      // multicast interface
    ip_t src_ip;
    ip_t dst_ip;
    domain_t dummy_port;  // spare: copied, never read
    domain_t dst_port;    // destination domain; the source domain is header.sport
    struct_header header;

    // Addresses and direction.
    domain_t get_domain() const { return header.is_to_stub() ? dst_port : header.sport; }
    bool src_is_local() const { return src_ip == c_local_host; }
    bool src_is_remote() const { return !src_is_local(); }
    bool dst_is_local() const { return dst_ip == c_local_host; }
    bool dst_is_remote() const { return !dst_is_local(); }
    bool dst_is_broadcast() const { return dst_ip == c_broadcast_ip; }
    bool dst_is_broadcast_object() const {
        return header.did == c_broadcast_stub_id || header.did == c_broadcast_proxy_id;
    }

    void set_destination(const struct_node_addr& in_node, object_id_t in_id) {
        set_destination(in_node.ip, in_node.port, in_id);
    }
    void set_destination(const struct_server_addr& in_server, domain_t in_domain) {
        set_destination(in_server.ip, in_domain, in_server.obj_id);
    }
    void set_destination(const struct_client_addr& in_client) {
        set_destination(in_client.node_addr, in_client.obj_id);
    }
    void set_destination(ip_t in_ip, domain_t in_domain, object_id_t in_id) {
        dst_ip = in_ip;
        dst_port = in_domain;
        header.did = in_id;
    }
    void set_source(const struct_node_addr& in_node, object_id_t in_id) {
        set_source(in_node.ip, in_node.port, in_id);
    }
    void set_source(const struct_client_addr& in_client) { set_source(in_client.node_addr, in_client.obj_id); }
    void set_source(ip_t in_ip, domain_t in_domain, object_id_t in_id) {
        src_ip = in_ip;
        header.sport = in_domain;
        header.sid = in_id;
    }
    // Addresses this record as the reverse of in_other.
    void set_swap_address(const struct_packet& in_other);

    // Creation and time.
    void initialize_header(pksize_t in_size, msg_num_t in_num, msg_type_t in_type, msg_code_t in_code,
                           kova_err_t in_error) {
        header.init(in_size, in_num, in_type, in_code, in_error);
    }
    void initialize_packet(ip_t in_mct_if, Pimo::OS::vimra_clock_t in_clock, double in_limit);
    // On receipt from another host: the header's times become the record's.
    void determine_arrival_clock(Pimo::OS::vimra_clock_t in_clock);
    // Charges the time since the last stamp; true when the limit is spent.
    bool update_packet_time_and_return_timeout();
    bool is_timeout() const;

    // Switches in place. The backward ones exchange addresses and domains whether or
    // not the header switch applies; callers discard the record on false.
    bool backward_return_switch();
    bool backward_error_switch(kova_err_t in_error);
    bool forward_error_switch(kova_err_t in_error) { return header.forward_error_switch(in_error); }

    // Sizes and fields.
    pksize_t get_total_size() const { return header.size + static_cast<pksize_t>(sizeof(struct_packet)); }
    pksize_t get_packet_size() const { return header.size + static_cast<pksize_t>(sizeof(struct_header)); }
    static pksize_t get_header_size() { return sizeof(struct_header); }
    struct_header* get_header() { return &header; }
    const struct_header* get_header() const { return &header; }
    pksize_t get_data_size() const { return header.size; }
    void set_data_size(pksize_t in_size) { header.size = in_size; }
    byte_t* get_data() const { return p_data; }
    void set_data(byte_t* pin_data) { p_data = pin_data; }
    msg_type_t get_msg_type() const { return header.type; }
    object_id_t get_did() const { return header.did; }
    version_t get_version() const { return header.get_ver(); }
    bool is_right_version() const { return header.get_ver() == c_version; }
    ip_t get_mct_ip() const { return mct_if; }
    void set_mct_ip(ip_t in_ip) { mct_if = in_ip; }
    void set_src_ip(ip_t in_ip) { src_ip = in_ip; }
    void set_dst_ip(ip_t in_ip) { dst_ip = in_ip; }
    ip_t get_dst_ip() const { return dst_ip; }
    void set_src_port(domain_t in_domain) { header.sport = in_domain; }
    void set_dst_port(domain_t in_domain) { dst_port = in_domain; }
    domain_t get_dst_port() const { return dst_port; }

    // Type tests and changes.
    // The types that ask for an answer: signal, call and the three connects.
    bool is_request() const;
    // What becomes of a one-way packet that finds the queues of its receiving process at
    // their bound: events and broadcasts are dropped; of an information value or a command
    // only the newest counts, so it replaces the older one of its stream still queued; every
    // other packet (control packets, disconnects, shutdowns, replies) is kept.
    enum class enum_overflow : std::uint8_t { keep, drop, newest };
    enum_overflow get_overflow_rule() const;
    // The same stream: type, code, source and destination alike (one stub's values to one
    // node, one proxy's commands to its stub).
    bool is_same_stream(const struct_packet& in_other) const;
    // Bytes of packet memory its blocks hold, as the queues of a process count them: the
    // record, and with a payload the data block's record and the payload.
    std::size_t get_held_bytes() const {
        return sizeof(struct_packet) + (header.size != 0 ? sizeof(struct_packet) + header.size : 0);
    }
    bool is_information_udp() const { return header.type == c_mt_information_udp; }
    bool is_command_udp() const { return header.type == c_mt_command_udp; }
    bool is_signal_return() const { return header.type == c_mt_signal_return; }
    bool is_call_return() const { return header.type == c_mt_call_return; }
    bool is_signal_return_ack() const { return header.type == c_mt_signal_return_ack; }
    bool is_call_return_ack() const { return header.type == c_mt_call_return_ack; }
    bool is_heartbeat() const { return header.type == c_mt_null; }
    void set_swap_acktype();
    void set_control_type() { header.type = c_mt_ctrl; }
    void set_heartbeat_type() { header.type = c_mt_null; }
    void set_tcp_connected_from_client() { header.code = c_mccr_tcp_connected_from_client; }
    void set_tcp_disconnected_from_client() { header.code = c_mccr_tcp_disconnected_from_client; }
    void set_tcp_connected_to_server() { header.code = c_mccr_tcp_connected_to_server; }
    void set_tcp_disconnected_from_server() { header.code = c_mccr_tcp_disconnected_from_server; }

private:
    void swap_addresses();
};

static_assert(sizeof(struct_packet) == 72, "packet record is 72 bytes in every program");
static_assert(std::is_standard_layout<struct_packet>::value, "packet record layout");
static_assert(std::is_trivially_copyable<struct_packet>::value, "packet record is copied as bytes");
static_assert(offsetof(struct_packet, arrival_cpu_clock_counter) == 0, "arrival clock");
static_assert(offsetof(struct_packet, packet_limit_time) == 8, "limit");
static_assert(offsetof(struct_packet, packet_live_time) == 16, "live time");
static_assert(offsetof(struct_packet, p_data) == 24, "p_data");
static_assert(offsetof(struct_packet, mct_if) == 32, "mct_if");
static_assert(offsetof(struct_packet, src_ip) == 36, "src_ip");
static_assert(offsetof(struct_packet, dst_ip) == 40, "dst_ip");
static_assert(offsetof(struct_packet, dummy_port) == 44, "dummy_port");
static_assert(offsetof(struct_packet, dst_port) == 46, "dst_port");
static_assert(offsetof(struct_packet, header) == 48, "header");

}  // namespace Kova
