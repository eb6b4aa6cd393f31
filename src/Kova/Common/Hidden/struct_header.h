// The 24-byte header that precedes every payload on TCP, in UDP datagrams and in
// every header block. It travels in host byte order; nothing is converted.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "Kova/Common/Hidden/struct_packet_time.h"
#include "Kova/Common/Open/Kova/kova_typedef.h"

namespace Kova {

struct struct_header {
    // Byte 0: version in bits 0-2, priority in bits 3-7 (shifts, not bit fields).
    static constexpr std::uint8_t c_ver_mask = 0x07;
    static constexpr unsigned c_prt_shift = 3;
    static constexpr std::uint8_t c_prt_mask = 0x1F;

    std::uint8_t ver_prt;
    msg_type_t type;
    domain_t sport;  // source domain
    struct_packet_time limit;
    struct_packet_time time;
    msg_code_t code;
    object_id_t sid;
    object_id_t did;
    msg_num_t num;
    kova_err_t error;
    pksize_t size;

    version_t get_ver() const { return ver_prt & c_ver_mask; }
    priority_t get_prt() const { return (ver_prt >> c_prt_shift) & c_prt_mask; }
    void set_ver(version_t in_ver) {
        ver_prt = static_cast<std::uint8_t>((ver_prt & ~c_ver_mask) | (in_ver & c_ver_mask));
    }
    void set_prt(priority_t in_prt) {
        ver_prt = static_cast<std::uint8_t>((ver_prt & c_ver_mask) | (in_prt & c_prt_mask) << c_prt_shift);
    }

    // Version 2 and priority 0 plus the given fields; sport, limit, time, sid and did stay.
    void init(pksize_t in_size, msg_num_t in_num, msg_type_t in_type, msg_code_t in_code, kova_err_t in_error);

    bool is_to_stub() const { return did < 0x8000; }
    bool is_from_stub() const { return sid < 0x8000; }
    // Ordinary ids only: the broadcast ids 0 and 0xFFFF fail both.
    bool is_from_proxy_to_stub() const { return did >= 1 && did <= 0x7FFE && sid >= 0x8001 && sid <= 0xFFFE; }
    bool is_from_stub_to_proxy() const { return did >= 0x8001 && did <= 0xFFFE && sid >= 1 && sid <= 0x7FFE; }

    // Each returns false and changes nothing when the type is not in its table.
    bool backward_return_switch();
    bool backward_error_switch(kova_err_t in_error);
    bool forward_error_switch(kova_err_t in_error);

    void swap_ids() {
        const object_id_t id = sid;
        sid = did;
        did = id;
    }
};

static_assert(sizeof(struct_header) == 24, "wire header is 24 bytes");
static_assert(std::is_standard_layout<struct_header>::value, "wire header layout");
static_assert(std::is_trivially_copyable<struct_header>::value, "wire header is copied as bytes");
static_assert(offsetof(struct_header, ver_prt) == 0, "ver/prt");
static_assert(offsetof(struct_header, type) == 1, "type");
static_assert(offsetof(struct_header, sport) == 2, "sport");
static_assert(offsetof(struct_header, limit) == 4, "limit");
static_assert(offsetof(struct_header, time) == 6, "time");
static_assert(offsetof(struct_header, code) == 8, "code");
static_assert(offsetof(struct_header, sid) == 10, "sid");
static_assert(offsetof(struct_header, did) == 12, "did");
static_assert(offsetof(struct_header, num) == 14, "num");
static_assert(offsetof(struct_header, error) == 16, "error");
static_assert(offsetof(struct_header, size) == 20, "size");

}  // namespace Kova
