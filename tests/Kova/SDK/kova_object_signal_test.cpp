// The signal stub: the acknowledgement and the sync function's answer, on_signal after
// the push, cancels, and an acknowledgement that cannot leave.
#include "Kova/Common/Open/Kova/kova_object_signal.h"

#include <gtest/gtest.h>

#include "Kova/Common/Open/Kova/kova_err.h"
#include "sdk_rig.h"

using namespace kova_sdk_test;

namespace {

constexpr object_id_t c_proxy = c_remote_proxy;
constexpr ip_t c_proxy_ip = c_remote_proxy_ip;
constexpr msg_code_t c_code = 11;

std::atomic<int> g_syncs{0};
std::atomic<kova_err_t> g_sync_result{0};
std::atomic<pksize_t> g_sync_size{0};

kova_err_t sync_answer(kova_object_signal*, client_addr_t const&, void*, pksize_t const& in_size, double const&,
                       double const&) {
    g_sync_size = in_size;
    ++g_syncs;
    return g_sync_result;
}

class signal_stub : public kova_object_signal {
public:
    explicit signal_stub(msg_code_t in_code) : kova_object_signal(in_code) {}
    signal_stub(msg_code_t in_code, kova_object const& in_object, on_signal_sync_t in_sync)
        : kova_object(in_object), kova_object_signal(in_code, in_object, in_sync) {}

    Pimo::IPC::interface_pipe* mp_center = nullptr;
    std::atomic<int> m_signals{0};
    std::atomic<bool> m_ack_was_out{false};
    std::atomic<int> m_cancels{0};
    std::atomic<kova_err_t> m_cancel_error{0};
    std::string m_data;
    pksize_t m_size = 0;
    bool m_null = false;
    client_addr_t m_client;

private:
    void on_signal(client_addr_t const& in_client, void* pin_buf, pksize_t const& in_size, double const&) override {
        m_ack_was_out = mp_center && !mp_center->test_empty();
        m_client = in_client;
        m_size = in_size;
        m_null = pin_buf == nullptr;
        m_data = pin_buf ? std::string(static_cast<const char*>(pin_buf), in_size) : std::string();
        ++m_signals;
    }
    void on_signal_cancel(client_addr_t const&, kova_err_t const& in_error) override {
        m_cancel_error = in_error;
        ++m_cancels;
    }
};

packet_spec signal_to(domain_t in_domain, object_id_t in_stub, msg_num_t in_num, std::size_t in_payload = 0,
                      msg_type_t in_type = c_mt_signal) {
    return request_to(in_domain, in_stub, in_type, c_code, in_num, in_payload);
}

}  // namespace

TEST(kova_object_signal, acknowledgement_then_on_signal) {
    sdk_rig rig(1);
    const test_domain_scope d(1);
    struct row {
        const char* name;
        on_signal_sync_t sync;  // null: the integrated form
        kova_err_t sync_result;
        msg_type_t type;
    };
    const row rows[] = {
        {"no sync function", nullptr, 0, c_mt_signal_return},
        {"sync answers 0", sync_answer, 0, c_mt_signal_return},
        {"sync answers 5", sync_answer, 5, c_mt_signal_error_return},
    };
    const unsigned long before = rig.remain();
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        kova_object owner;
        std::unique_ptr<signal_stub> stub(r.sync ? new signal_stub(c_code, owner, r.sync) : new signal_stub(c_code));
        stub->mp_center = &rig.m_center;
        g_syncs = 0;
        g_sync_result = r.sync_result;
        const object_id_t id = rig.create_announced(*stub, d);
        ASSERT_NE(id, 0);
        struct_packet p;

        struct_token signal = rig.make(signal_to(d, id, 3, 12));
        std::memcpy(signal.get_data(), "hello signal", 12);
        signal.get_header_packet()->set_data(reinterpret_cast<byte_t*>(0x1234));
        rig.push(rig.m_listen, signal);
        ASSERT_TRUE(kova_test::wait_until([&] { return stub->m_signals.load() == 1; }, 5.0));
        EXPECT_TRUE(stub->m_ack_was_out) << "on_signal runs after the acknowledgement left";
        EXPECT_EQ(stub->m_data, "hello signal");
        EXPECT_EQ(stub->m_client.obj_id, c_proxy);
        EXPECT_EQ(stub->m_client.node_addr.ip, c_proxy_ip);
        EXPECT_EQ(g_syncs, r.sync ? 1 : 0);
        if (r.sync) {
            EXPECT_EQ(g_sync_size, 12u);
        }

        received ack;
        ASSERT_TRUE(rig.center_receive(ack));
        EXPECT_EQ(ack.packet.header.type, r.type);
        EXPECT_EQ(ack.packet.header.error, r.sync_result);
        EXPECT_EQ(ack.packet.header.size, 0u);
        EXPECT_FALSE(ack.has_data);
        EXPECT_EQ(ack.packet.header.num, 3);
        EXPECT_EQ(ack.packet.header.sid, id);
        EXPECT_EQ(ack.packet.header.did, c_proxy);
        EXPECT_EQ(ack.packet.dst_ip, c_proxy_ip);
        EXPECT_EQ(ack.packet.get_data(), nullptr);

        stub.reset();  // the attached form destroys the owner, the integrated one itself
        EXPECT_FALSE(owner.is_created());
        ASSERT_TRUE(rig.center_receive(p));
        EXPECT_EQ(p.header.code, c_mccr_object_destroy);
    }
    EXPECT_TRUE(rig.wait_remain(before));
}

TEST(kova_object_signal, sizes_cancels_and_a_lost_acknowledgement) {
    sdk_rig rig(1, 2);
    const test_domain_scope d(2);
    signal_stub stub(c_code);
    const object_id_t id = rig.create_announced(stub, d);
    ASSERT_NE(id, 0);
    struct_packet p;
    const unsigned long before = rig.remain();

    // A size the request has no block for is handed on as 0.
    struct_token bare = rig.make(signal_to(d, id, 1));
    bare.get_header_packet()->header.size = 100;
    rig.push(rig.m_listen, bare);
    ASSERT_TRUE(kova_test::wait_until([&] { return stub.m_signals.load() == 1; }, 5.0));
    EXPECT_EQ(stub.m_size, 0u);
    EXPECT_TRUE(stub.m_null);
    ASSERT_TRUE(rig.center_receive(p));

    struct_token cancel = rig.make(signal_to(d, id, 0, 0, c_mt_signal_cancel));
    cancel.get_header_packet()->header.error = c_kova_err_remote_timeout;
    rig.push(rig.m_listen, cancel);
    ASSERT_TRUE(kova_test::wait_until([&] { return stub.m_cancels.load() == 1; }, 5.0));
    EXPECT_EQ(stub.m_cancel_error, c_kova_err_remote_timeout);

    // An acknowledgement that cannot leave in the signal's time: no on_signal.
    rig.fill_center();
    const unsigned long filled = rig.remain();
    packet_spec s = signal_to(d, id, 2);
    s.limit = 0.3;
    rig.push_listen(s);
    ASSERT_TRUE(rig.wait_remain(filled));  // the signal is released once the send gave up
    EXPECT_EQ(stub.m_signals, 1);
    while (rig.center_receive(p, 0.2)) EXPECT_EQ(p.header.type, c_mt_ctrl) << "only the fillers";
    EXPECT_TRUE(rig.wait_remain(before));
}
