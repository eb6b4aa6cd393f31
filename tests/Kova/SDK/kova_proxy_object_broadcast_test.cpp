// The broadcast proxy: every broadcast of its code from any stub reaches each created
// proxy once, with the sender's address and what the data block holds; serial
// delivery; and the attached forms, which bring their handlers to the proxy they join.
#include "Kova/Common/Open/Kova/kova_proxy_object_broadcast.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <vector>

#include "Kova/Common/Interface/kova_memory_interface.h"
#include "Kova/Common/Open/Kova/kova_proxy_object_event.h"
#include "Kova/SDK/Interface/_kova_proxy_object.h"
#include "proxy_rig.h"

using namespace kova_sdk_test;

namespace {

constexpr msg_code_t c_code = 31;
constexpr ip_t c_ten_0_0_1 = 0x0100000Au;
constexpr ip_t c_ten_0_0_9 = 0x0900000Au;

struct seen_broadcast {
    server_addr_t server;
    bool has_data;
    std::vector<unsigned char> bytes;
    pksize_t size;
    double elapsed;
};

class broadcast_proxy : public kova_proxy_object_broadcast {
public:
    explicit broadcast_proxy(msg_code_t in_code) : kova_proxy_object_broadcast(in_code) {}
    broadcast_proxy(msg_code_t in_code, kova_proxy_object const& in_proxy)
        : kova_proxy_object_broadcast(in_code, in_proxy) {}
    std::vector<seen_broadcast> seen() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_seen;
    }
    // Runs inside on_broadcast, on the listener.
    std::function<void()> during;

protected:
    void on_broadcast(const struct_server_addr& in_server, void* pin_buf, const pksize_t& in_size,
                      const double& in_elapsed) override {
        seen_broadcast b{in_server, pin_buf != nullptr, {}, in_size, in_elapsed};
        const unsigned char* data = static_cast<const unsigned char*>(pin_buf);
        if (data) b.bytes.assign(data, data + in_size);
        if (during) during();
        std::lock_guard<std::mutex> lock(m_mutex);
        m_seen.push_back(b);
    }

private:
    std::mutex m_mutex;
    std::vector<seen_broadcast> m_seen;
};

// Creates in_proxy bound to in_stub at in_ip and takes its request off the center pipe.
bool create_bound(proxy_rig& w, kova_proxy_object& in_proxy, ip_t in_ip, object_id_t in_stub) {
    struct_packet p;
    return in_proxy.create(w.domain, in_ip, in_stub, 0) == c_kova_err_none && w.rig.center_receive(p) &&
           p.header.code == c_mccr_object_request;
}

// A broadcast of in_sid at in_ip, as a center hands it to the processes of the domain.
packet_spec broadcast(const proxy_rig& w, msg_num_t in_num, ip_t in_ip, object_id_t in_sid, std::size_t in_payload) {
    packet_spec s = w.from_stub(c_mt_broadcast, c_code, c_broadcast_proxy_id, in_num, in_sid, in_ip);
    s.payload = in_payload;
    s.limit = DBL_MAX;
    return s;
}

}  // namespace

TEST(kova_proxy_object_broadcast, each_created_proxy_of_the_code_hears_every_broadcast_once_whatever_it_is_bound_to) {
    proxy_rig w(1, 4);
    broadcast_proxy to_stub(c_code), to_other(c_code), to_remote(c_code), other_code(c_code + 1), not_created(c_code);
    ASSERT_TRUE(create_bound(w, to_stub, c_local_host, c_stub_id));
    ASSERT_TRUE(create_bound(w, to_other, c_local_host, 0x20));
    ASSERT_TRUE(create_bound(w, to_remote, c_ten_0_0_1, 0x30));
    ASSERT_TRUE(create_bound(w, other_code, c_local_host, c_stub_id));
    ASSERT_TRUE(w.make_live(to_stub));  // live or not makes no difference
    struct sender {
        ip_t ip;
        object_id_t sid;
        std::size_t payload;
    };
    const sender senders[] = {
        {c_local_host, c_stub_id, 10},  // the bound stub of one of them
        {c_local_host, 0x40, 0},        // another stub of this host, no payload
        {c_ten_0_0_9, 0x41, 300},       // a stub of another host
    };
    const unsigned long before = w.baseline;
    msg_num_t num = 0;
    for (const sender& s : senders) w.rig.push_listen(broadcast(w, ++num, s.ip, s.sid, s.payload));
    ASSERT_TRUE(w.rig.wait_remain(before));
    for (broadcast_proxy* p : {&to_stub, &to_other, &to_remote}) {
        const std::vector<seen_broadcast> seen = p->seen();
        ASSERT_EQ(seen.size(), 3u);
        for (std::size_t i = 0; i < seen.size(); ++i) {
            SCOPED_TRACE(i);
            EXPECT_EQ(seen[i].server.ip, senders[i].ip);
            EXPECT_EQ(seen[i].server.obj_id, senders[i].sid);
            EXPECT_EQ(seen[i].has_data, senders[i].payload != 0);
            EXPECT_EQ(seen[i].size, senders[i].payload);
            for (std::size_t b = 0; b < seen[i].bytes.size(); ++b)
                ASSERT_EQ(seen[i].bytes[b], static_cast<unsigned char>(b));
            EXPECT_GE(seen[i].elapsed, 0.0);
            EXPECT_LT(seen[i].elapsed, 1.0);
        }
    }
    EXPECT_TRUE(other_code.seen().empty());
    EXPECT_TRUE(not_created.seen().empty());
}

TEST(kova_proxy_object_broadcast, on_broadcast_is_handed_no_more_than_the_data_block_holds) {
    proxy_rig w(2);
    broadcast_proxy proxy(c_code);
    ASSERT_NE(w.create(proxy), 0);
    const std::size_t block = sdk_rig::block_capacity(16);
    struct row {
        const char* name;
        std::size_t payload;
        long header_size;  // -1: the payload's
        bool has_data;
        std::size_t size;
    };
    const row rows[] = {
        {"as sent", 100, -1, true, 100},
        {"a size beyond the block", 16, 60000, true, block},
        {"a size without a block", 0, 100, false, 0},
    };
    const unsigned long before = w.baseline;
    msg_num_t num = 0;
    for (const row& r : rows) {
        struct_token t = w.rig.make(broadcast(w, ++num, c_ten_0_0_9, 0x41, r.payload));
        if (r.header_size >= 0) t.get_header_packet()->header.size = static_cast<pksize_t>(r.header_size);
        sdk_rig::push(w.rig.m_listen, t);
    }
    ASSERT_TRUE(w.rig.wait_remain(before));
    const std::vector<seen_broadcast> seen = proxy.seen();
    ASSERT_EQ(seen.size(), sizeof(rows) / sizeof(rows[0]));
    for (std::size_t i = 0; i < seen.size(); ++i) {
        SCOPED_TRACE(rows[i].name);
        EXPECT_EQ(seen[i].has_data, rows[i].has_data);
        EXPECT_EQ(seen[i].size, rows[i].size);
    }
}

TEST(kova_proxy_object_broadcast, broadcasts_of_one_code_reach_the_handler_one_at_a_time_in_arrival_order) {
    proxy_rig w(3, 4);
    broadcast_proxy proxy(c_code);
    ASSERT_NE(w.create(proxy), 0);
    overlap_meter meter;
    proxy.during = [&] { meter.run(2); };
    const unsigned long before = w.baseline;
    const std::size_t n = 40;
    for (std::size_t i = 1; i <= n; ++i) {
        const object_id_t sender = static_cast<object_id_t>(0x40 + i % 3);
        w.rig.push_listen_waiting(w.rig.make(broadcast(w, static_cast<msg_num_t>(i), c_local_host, sender, i)));
    }
    ASSERT_TRUE(kova_test::wait_until([&] { return proxy.seen().size() == n; }, 10.0));
    EXPECT_EQ(meter.most.load(), 1);
    const std::vector<seen_broadcast> seen = proxy.seen();
    for (std::size_t i = 0; i < n; ++i) EXPECT_EQ(seen[i].size, i + 1);
    EXPECT_TRUE(w.rig.wait_remain(before));
}

namespace {

// An event interface of its own proxy and a broadcast interface attached to another:
// the proxy it made goes, and the event handler moves along to the other.
class event_and_broadcast : public kova_proxy_object_event, public kova_proxy_object_broadcast {
public:
    event_and_broadcast(msg_code_t in_event, msg_code_t in_broadcast, kova_proxy_object const& in_proxy)
        : kova_proxy_object_event(in_event), kova_proxy_object_broadcast(in_broadcast, in_proxy) {}
    std::atomic<int> events{0}, broadcasts{0};

protected:
    void on_broadcast(const struct_server_addr&, void*, const pksize_t&, const double&) override { ++broadcasts; }

private:
    void on_event(const void*, const pksize_t&, const double&) override { ++events; }
};

}  // namespace

TEST(kova_proxy_object_broadcast, attached_kinds_bring_their_handlers_and_a_second_one_of_a_code_is_refused) {
    proxy_rig w(4);
    kova_proxy_object base;
    const msg_code_t event_code = 5;
    event_and_broadcast both(event_code, c_code, base);
    EXPECT_EQ(both._pp, base._pp);
    EXPECT_EQ(base._pp->event_map.count(event_code), 1u);
    EXPECT_EQ(base._pp->broadcast_map.count(c_code), 1u);

    testing::internal::CaptureStderr();
    broadcast_proxy second_broadcast(c_code, base);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "중복된 코드값의 프록시 데이터그램 삽입입니다.\n삽입된 데이터그램은 정상 동작하지 않을 가능성이 높습니다.\n");
    testing::internal::CaptureStderr();
    kova_proxy_object_event second_event(event_code, base);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "중복된 코드값의 프록시 이벤트 삽입입니다\n삽입된 이벤트는 정상 동작하지 않을 가능성이 높습니다\n");

    // Created after the handlers came: events and broadcasts reach the first ones.
    const object_id_t id = w.create(base);
    ASSERT_NE(id, 0);
    ASSERT_TRUE(w.make_live(base));
    return_object_t ro = both.async_connect(5.0);
    struct_packet request;
    ASSERT_TRUE(w.rig.center_receive(request));
    EXPECT_EQ(request.header.sid, id);
    EXPECT_EQ(request.header.code, event_code);
    w.answer(request, c_mt_event_confirm, 0);
    ASSERT_EQ(both.async_connect_return(ro, nullptr), c_kova_err_none);
    EXPECT_FALSE(second_event.is_connected());
    const unsigned long before = w.baseline;
    w.rig.push_listen(w.from_stub(c_mt_event, event_code, c_broadcast_proxy_id, 10));
    w.rig.push_listen(broadcast(w, 11, c_ten_0_0_9, 0x41, 8));
    ASSERT_TRUE(w.rig.wait_remain(before));
    EXPECT_EQ(both.events.load(), 1);
    EXPECT_EQ(both.broadcasts.load(), 1);
    EXPECT_TRUE(second_broadcast.seen().empty());
}
