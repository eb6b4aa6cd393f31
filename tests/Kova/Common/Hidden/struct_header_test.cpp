#include "Kova/Common/Hidden/struct_header.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <map>

#include "Kova/Common/Hidden/struct_tcp_header.h"
#include "Kova/Common/Open/Kova/kova_const.h"

using namespace Kova;

namespace {

typedef std::array<unsigned char, 24> bytes24;

bytes24 bytes_of(const struct_header& in_header) {
    bytes24 out;
    std::memcpy(out.data(), &in_header, sizeof(in_header));
    return out;
}

struct_header make(msg_type_t in_type, object_id_t in_sid, object_id_t in_did) {
    struct_header h;
    h.init(100, 7, in_type, 0x1234, 0);
    h.sport = 7000;
    h.limit.word = 0x8020;
    h.time.word = 0x0000;
    h.sid = in_sid;
    h.did = in_did;
    return h;
}

}  // namespace

TEST(wire_header, bytes_field_by_field) {
    struct row {
        const char* what;
        version_t ver;
        priority_t prt;
        msg_type_t type;
        domain_t sport;
        std::uint16_t limit, time;
        msg_code_t code;
        object_id_t sid, did;
        msg_num_t num;
        kova_err_t error;
        pksize_t size;
        bytes24 expected;
    };
    const row rows[] = {
        {"call", 2, 0, c_mt_call, 7000, 0x8020, 0x801F, 0x0102, 0x8001, 0x0005, 0x0304, 0, 16,
         {0x02, 0x30, 0x58, 0x1B, 0x20, 0x80, 0x1F, 0x80, 0x02, 0x01, 0x01, 0x80, 0x05, 0x00, 0x04, 0x03,
          0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x00, 0x00}},
        {"error reply", 2, 0, c_mt_call_error_return, 0xFFFF, 0x0000, 0xFFFF, 0xABCD, 5, 0x8001, 0xFFFF,
         0x40000007, 0x01020304,
         {0x02, 0x32, 0xFF, 0xFF, 0x00, 0x00, 0xFF, 0xFF, 0xCD, 0xAB, 0x05, 0x00, 0x01, 0x80, 0xFF, 0xFF,
          0x07, 0x00, 0x00, 0x40, 0x04, 0x03, 0x02, 0x01}},
        // Priority takes the five high bits of byte 0, version the three low ones.
        {"all bits", 7, 31, 255, 1, 0xFFFE, 1, 0, 0, 0xFFFF, 1, 0xFFFFFFFF, 0xFFFFFFFF,
         {0xFF, 0xFF, 0x01, 0x00, 0xFE, 0xFF, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0x01, 0x00,
          0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}},
        {"priority only", 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
         {0x08, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.what);
        struct_header h;
        std::memset(static_cast<void*>(&h), 0xA5, sizeof(h));
        h.ver_prt = 0;
        h.set_ver(r.ver);
        h.set_prt(r.prt);
        h.type = r.type;
        h.sport = r.sport;
        h.limit.word = r.limit;
        h.time.word = r.time;
        h.code = r.code;
        h.sid = r.sid;
        h.did = r.did;
        h.num = r.num;
        h.error = r.error;
        h.size = r.size;
        EXPECT_EQ(r.expected, bytes_of(h));
        EXPECT_EQ(r.ver, h.get_ver());
        EXPECT_EQ(r.prt, h.get_prt());

        // Reading back from the bytes alone gives the same fields.
        struct_header back;
        std::memcpy(&back, r.expected.data(), 24);
        EXPECT_EQ(r.type, back.type);
        EXPECT_EQ(r.error, back.error);
        EXPECT_EQ(r.size, back.size);
        EXPECT_EQ(r.prt, back.get_prt());
    }
}

TEST(wire_header, set_ver_and_set_prt_keep_each_other) {
    struct_header h;
    h.ver_prt = 0;
    h.set_prt(31);
    h.set_ver(2);
    EXPECT_EQ(0xFA, h.ver_prt);
    h.set_prt(0);
    EXPECT_EQ(0x02, h.ver_prt);
    h.set_ver(9);  // only three bits fit
    EXPECT_EQ(1, h.get_ver());
}

TEST(wire_header, init_sets_five_fields_and_version_only) {
    struct_header h;
    std::memset(static_cast<void*>(&h), 0xA5, sizeof(h));
    h.init(42, 9, c_mt_signal, 0x77, 3);
    EXPECT_EQ(2, h.get_ver());
    EXPECT_EQ(0, h.get_prt());
    EXPECT_EQ(c_mt_signal, h.type);
    EXPECT_EQ(42u, h.size);
    EXPECT_EQ(9, h.num);
    EXPECT_EQ(0x77, h.code);
    EXPECT_EQ(3u, h.error);
    EXPECT_EQ(0xA5A5, h.sport);
    EXPECT_EQ(0xA5A5, h.limit.word);
    EXPECT_EQ(0xA5A5, h.time.word);
    EXPECT_EQ(0xA5A5, h.sid);
    EXPECT_EQ(0xA5A5, h.did);
}

TEST(wire_header, direction_predicates) {
    struct row {
        object_id_t sid, did;
        bool to_stub, from_stub, proxy_to_stub, stub_to_proxy;
    };
    const row rows[] = {
        {0x8001, 5, true, false, true, false},
        {0xFFFE, 0x7FFE, true, false, true, false},
        {5, 0x8001, false, true, false, true},
        {1, 0xFFFE, false, true, false, true},
        {0x8001, 0, true, false, false, false},       // broadcast stub id
        {5, 0xFFFF, false, true, false, false},       // broadcast proxy id
        {0, 0x8001, false, true, false, false},       // stub id 0 is not ordinary
        {0xFFFF, 5, true, false, false, false},
        {0x8000, 5, true, false, false, false},       // 0x8000 is neither ordinary
        {0x7FFF, 0x8001, false, true, false, false},
        {3, 4, true, true, false, false},
        {0x8003, 0x8004, false, false, false, false},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(testing::Message() << std::hex << r.sid << "->" << r.did);
        struct_header h = make(c_mt_call, r.sid, r.did);
        EXPECT_EQ(r.to_stub, h.is_to_stub());
        EXPECT_EQ(r.from_stub, h.is_from_stub());
        EXPECT_EQ(r.proxy_to_stub, h.is_from_proxy_to_stub());
        EXPECT_EQ(r.stub_to_proxy, h.is_from_stub_to_proxy());
    }
}

namespace {

// One switch applied to a copy; an entry of -1 means "not in the table".
struct switch_row {
    int br, be, fe;
    bool be_no_limit;
};

const std::map<int, switch_row>& switch_table() {
    static const std::map<int, switch_row> t = {
        {c_mt_qos, {4, 5, -1, false}},
        {c_mt_qos_return, {-1, -1, 5, false}},
        {c_mt_signal, {33, 34, 35, false}},
        {c_mt_signal_return, {-1, 35, 34, true}},
        {c_mt_call, {49, 50, 51, false}},
        {c_mt_call_return, {-1, 51, 50, true}},
        {c_mt_event_connect, {65, 66, 67, false}},
        {c_mt_event_confirm, {-1, 67, 66, true}},
        {c_mt_command_connect, {82, 83, 84, false}},
        {c_mt_command_confirm, {-1, 84, 83, true}},
        {c_mt_information_tcp_connect, {97, 98, 100, false}},
        {c_mt_information_tcp_confirm, {-1, 100, 98, true}},
        {c_mt_information_udp_connect, {114, 115, 117, false}},
        {c_mt_information_udp_confirm, {-1, 117, 115, true}},
    };
    return t;
}

}  // namespace

// Applies one switch to a header of every type: types outside the switch's column
// must come back false with all 24 bytes untouched; the others go to in_check.
template <typename Apply, typename Check>
void sweep_types(int switch_row::*in_column, Apply in_apply, Check in_check) {
    for (int type = 0; type < 256; ++type) {
        SCOPED_TRACE(type);
        auto it = switch_table().find(type);
        const int want = it == switch_table().end() ? -1 : it->second.*in_column;
        struct_header h = make(static_cast<msg_type_t>(type), 0x8001, 5);
        const bytes24 before = bytes_of(h);
        const bool applied = in_apply(h);
        ASSERT_EQ(want >= 0, applied);
        if (!applied) {
            EXPECT_EQ(before, bytes_of(h));
            continue;
        }
        EXPECT_EQ(want, h.type);
        EXPECT_EQ(0x1234, h.code);
        EXPECT_EQ(7, h.num);
        in_check(h, type, it->second);
    }
}

TEST(header_switch, backward_return_over_all_types) {
    sweep_types(
        &switch_row::br, [](struct_header& h) { return h.backward_return_switch(); },
        [](const struct_header& h, int type, const switch_row&) {
            EXPECT_EQ(5, h.sid);
            EXPECT_EQ(0x8001, h.did);
            EXPECT_EQ(type == c_mt_signal ? 0u : 100u, h.size);  // only the signal reply drops its payload
            EXPECT_EQ(0u, h.error);
            EXPECT_EQ(0x8020, h.limit.word);
        });
}

TEST(header_switch, backward_error_over_all_types) {
    sweep_types(
        &switch_row::be, [](struct_header& h) { return h.backward_error_switch(9); },
        [](struct_header& h, int, const switch_row& row) {
            EXPECT_EQ(5, h.sid);
            EXPECT_EQ(0x8001, h.did);
            EXPECT_EQ(9u, h.error);
            EXPECT_EQ(0u, h.size);
            EXPECT_EQ(row.be_no_limit ? 0xFFFF : 0x8020, h.limit.word);
            // An error return is never turned into a second one.
            EXPECT_FALSE(h.backward_error_switch(1));
        });
}

TEST(header_switch, forward_error_over_all_types) {
    sweep_types(
        &switch_row::fe, [](struct_header& h) { return h.forward_error_switch(0x40000007); },
        [](const struct_header& h, int, const switch_row&) {
            EXPECT_EQ(0x8001, h.sid);  // ids and limit unchanged
            EXPECT_EQ(5, h.did);
            EXPECT_EQ(0x8020, h.limit.word);
            EXPECT_EQ(0x40000007u, h.error);
            EXPECT_EQ(0u, h.size);
        });
}

TEST(tcp_header, fresh_record_bytes) {
    struct_tcp_header t;
    EXPECT_EQ(1024u, struct_tcp_header::get_size());
    unsigned char bytes[1024];
    std::memcpy(bytes, &t, sizeof(bytes));
    EXPECT_EQ(0, std::memcmp(bytes, "I am vimraade. I wanna drink vimraade.", 38));
    for (int i = 38; i < 1024; ++i) ASSERT_EQ(0, bytes[i]) << i;
    EXPECT_EQ(0, t.get_port_of_sender());
    EXPECT_EQ(0, t.get_port_of_receiver());
}

TEST(tcp_header, ports_at_1020_and_1022_and_set_string_leaves_the_rest) {
    struct_tcp_header t;
    t.set_port_of_sender(0x1B58);    // 7000
    t.set_port_of_receiver(0xC351);  // 50001
    std::memset(t.dummy, 'x', sizeof(t.dummy));
    t.set_string();
    unsigned char bytes[1024];
    std::memcpy(bytes, &t, sizeof(bytes));
    EXPECT_EQ(0, std::memcmp(bytes, "I am vimraade. I wanna drink vimraade.", 39));
    EXPECT_EQ('x', bytes[39]);
    EXPECT_EQ('x', bytes[1019]);
    EXPECT_EQ(0x58, bytes[1020]);
    EXPECT_EQ(0x1B, bytes[1021]);
    EXPECT_EQ(0x51, bytes[1022]);
    EXPECT_EQ(0xC3, bytes[1023]);
    EXPECT_EQ(7000, t.get_port_of_sender());
    EXPECT_EQ(50001, t.get_port_of_receiver());
}
