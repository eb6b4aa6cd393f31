// The broadcast stub: what leaves for the center, the refusals, and a full center
// pipe that drops the datagram.
#include "Kova/Common/Open/Kova/kova_object_broadcast.h"

#include <gtest/gtest.h>

#include "Kova/Common/Open/Kova/kova_err.h"
#include "sdk_rig.h"

using namespace kova_sdk_test;

namespace {

constexpr msg_code_t c_code = 21;

class broadcast_stub : public kova_object_broadcast {
public:
    explicit broadcast_stub(msg_code_t in_code) : kova_object_broadcast(in_code) {}
    using kova_object_broadcast::broadcast;
};

}  // namespace

TEST(kova_object_broadcast, sends_or_refuses_by_size_and_state) {
    sdk_rig rig(1);
    const test_domain_scope d(1);
    broadcast_stub stub(c_code);
    const std::string payload(65001, 'b');
    const unsigned long before = rig.remain();
    EXPECT_EQ(stub.broadcast(payload.data(), 10), c_kova_err_is_not_created);
    const object_id_t id = rig.create_announced(stub, d);
    ASSERT_NE(id, 0);
    struct_packet p;

    struct row {
        const char* name;
        ip_t ip;  // 0: the every-host form
        const void* data;
        pksize_t size;
        kova_err_t result;
    };
    const row rows[] = {
        {"largest", 0, payload.data(), 65000, c_kova_err_none},
        {"one byte too many", 0, payload.data(), 65001, c_kova_err_too_big_size},
        {"header only", 0, nullptr, 0, c_kova_err_none},
        {"no data for its size", 0, nullptr, 10, c_kova_err_boundout_buffer},
        {"to one host", 0x0A000005u, payload.data(), 7, c_kova_err_none},
    };
    msg_num_t num = 0;
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        const kova_err_t result = r.ip ? stub.broadcast(r.ip, r.data, r.size) : stub.broadcast(r.data, r.size);
        EXPECT_EQ(result, r.result);
        received sent;
        if (r.result != c_kova_err_none) {
            EXPECT_FALSE(rig.center_receive(sent, 0.1));
            continue;
        }
        ASSERT_TRUE(rig.center_receive(sent));
        const struct_packet& q = sent.packet;
        EXPECT_EQ(q.header.type, c_mt_broadcast);
        EXPECT_EQ(q.header.code, c_code);
        EXPECT_EQ(q.header.num, ++num);
        EXPECT_EQ(q.header.error, c_kova_err_none);
        EXPECT_EQ(q.header.size, r.size);
        EXPECT_EQ(q.header.sid, id);
        EXPECT_EQ(q.header.sport, d);
        EXPECT_EQ(q.header.did, c_broadcast_proxy_id);
        EXPECT_EQ(q.dst_ip, r.ip ? r.ip : c_broadcast_ip);
        EXPECT_EQ(q.dst_port, d);
        EXPECT_EQ(q.src_ip, c_local_host);
        EXPECT_EQ(q.get_data(), nullptr);
        EXPECT_EQ(sent.has_data, r.size != 0);
        EXPECT_EQ(sent.data, std::string(payload.data(), r.size));
    }
    ASSERT_EQ(stub.destroy(), c_kova_err_none);
    ASSERT_TRUE(rig.center_receive(p));
    EXPECT_TRUE(rig.wait_remain(before));
}

TEST(kova_object_broadcast, full_center_pipe_drops_it_and_reports_success) {
    sdk_rig rig(1, 2);
    const test_domain_scope d(2);
    broadcast_stub stub(c_code);
    ASSERT_NE(rig.create_announced(stub, d), 0);
    struct_packet p;
    rig.fill_center();
    const unsigned long filled = rig.remain();
    EXPECT_EQ(stub.broadcast("abcd", 4), c_kova_err_none);
    EXPECT_EQ(rig.remain(), filled) << "the dropped broadcast's blocks are released";
    while (rig.center_receive(p, 0.1)) EXPECT_EQ(p.header.type, c_mt_ctrl) << "only the fillers";
    // A pipe that refuses for good loses it the same way.
    const unsigned long drained = rig.remain();
    rig.m_center.proc_shutdown();
    EXPECT_EQ(stub.broadcast("abcd", 4), c_kova_err_none);
    EXPECT_EQ(rig.remain(), drained);
}
