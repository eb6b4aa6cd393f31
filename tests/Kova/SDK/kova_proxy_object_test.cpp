// The proxy core: binding and the identity's announcements, the bound stub's liveness
// and the TCP link, duplicate handler codes, routing of proxy-bound packets, copies,
// and the registry's shut-down.
#include "Kova/Common/Open/Kova/kova_proxy_object.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>

#include "Kova/SDK/Interface/_kova_object.h"
#include "Kova/SDK/Interface/_kova_proxy_object.h"
#include "proxy_rig.h"

using namespace kova_sdk_test;

namespace {

constexpr ip_t c_ten_0_0_1 = 0x0100000Au;

struct counts {
    std::atomic<int> delivered{0};
    std::atomic<int> disconnected{0};
    std::atomic<int> shut{0};
    std::atomic<int> released{0};
};

class probe_event : public _kova_proxy_event_method {
public:
    probe_event(_kova_proxy_object* pin_pp, msg_code_t in_code, counts& in_counts)
        : _kova_proxy_event_method(pin_pp, in_code, c_integrated_interface), m(in_counts) {
        _pp->add_event(code, this);
    }
    ~probe_event() override { _pp->del_event(code, this); }
    void adapter_event(struct_token const&) override { ++m.delivered; }
    void adapter_disconnect(struct_token const&) override { ++m.disconnected; }
    void shutdown(bool in_send) override { m.shut += in_send ? 100 : 1; }
    counts& m;
};

class probe_information : public _kova_proxy_information_method {
public:
    probe_information(_kova_proxy_object* pin_pp, msg_code_t in_code, counts& in_counts)
        : _kova_proxy_information_method(pin_pp, in_code, c_integrated_interface), m(in_counts) {
        _pp->add_information(code, this);
    }
    ~probe_information() override { _pp->del_information(code, this); }
    void adapter_sync(struct_token const&) override { ++m.delivered; }
    void adapter_disconnect(struct_token const&) override { ++m.disconnected; }
    void shutdown(bool in_send) override { m.shut += in_send ? 100 : 1; }
    counts& m;
};

class probe_command : public _kova_proxy_command_method {
public:
    probe_command(_kova_proxy_object* pin_pp, msg_code_t in_code, counts& in_counts)
        : _kova_proxy_command_method(pin_pp, in_code, c_integrated_interface), m(in_counts) {
        _pp->add_command(code, this);
    }
    ~probe_command() override { _pp->del_command(code, this); }
    void adapter_disconnect(struct_token const&) override { ++m.disconnected; }
    void shutdown(bool in_send) override { m.shut += in_send ? 100 : 1; }
    void proc_release_command() override { ++m.released; }
    counts& m;
};

class probe_broadcast : public _kova_proxy_broadcast_method {
public:
    probe_broadcast(_kova_proxy_object* pin_pp, msg_code_t in_code, counts& in_counts)
        : _kova_proxy_broadcast_method(pin_pp, in_code, c_integrated_interface), m(in_counts) {
        _pp->add_broadcast(code, this);
    }
    ~probe_broadcast() override { _pp->del_broadcast(code, this); }
    void adapter_broadcast(struct_token const&) override { ++m.delivered; }
    counts& m;
};

// One handler of each receiving kind on a proxy.
struct probes {
    explicit probes(kova_proxy_object& in_proxy)
        : event(in_proxy._pp, 5, e), information(in_proxy._pp, 6, i), command(in_proxy._pp, 7, c),
          broadcast(in_proxy._pp, 8, b) {}
    counts e, i, c, b;
    probe_event event;
    probe_information information;
    probe_command command;
    probe_broadcast broadcast;
};

}  // namespace

TEST(kova_proxy_object, create_binds_the_stub_and_announces_the_identity_to_it) {
    struct row {
        ip_t asked;
        ip_t stored;
    };
    const row rows[] = {
        {c_server_ip, c_local_host},
        {c_local_host, c_local_host},
        {0x0A0BFF7Fu, c_local_host},  // 127.255.11.10
        {c_ten_0_0_1, c_ten_0_0_1},
    };
    proxy_rig w(1);
    const unsigned long before = w.rig.remain();
    for (const row& r : rows) {
        SCOPED_TRACE(r.asked);
        kova_proxy_object proxy;
        EXPECT_FALSE(proxy.is_created());
        ASSERT_EQ(proxy.create(w.domain, r.asked, c_stub_id, 0), c_kova_err_none);
        EXPECT_TRUE(proxy.is_created());
        EXPECT_FALSE(proxy.is_live());
        EXPECT_FALSE(proxy.is_connected_tcp());
        const object_id_t id = proxy.get_local_object_id();
        EXPECT_GE(id, 0xC000);
        EXPECT_EQ(proxy.get_server_address().ip, r.stored);
        EXPECT_EQ(proxy.get_server_address().obj_id, c_stub_id);

        struct_packet p;
        std::vector<unsigned char> payload;
        ASSERT_TRUE(w.rig.center_receive(p, 5.0, &payload));
        EXPECT_EQ(p.header.type, c_mt_ctrl);
        EXPECT_EQ(p.header.code, c_mccr_object_request);
        EXPECT_EQ(p.dst_ip, r.stored);
        EXPECT_EQ(p.dst_port, w.domain);
        EXPECT_EQ(p.header.did, c_stub_id);
        EXPECT_EQ(p.header.sid, id);
        EXPECT_EQ(p.header.sport, w.domain);

        EXPECT_EQ(proxy.create(w.domain, r.asked, c_stub_id, 0), c_kova_err_already_created);
        EXPECT_EQ(proxy.destroy(), c_kova_err_none);
        ASSERT_TRUE(w.rig.center_receive(p));
        EXPECT_EQ(p.header.code, c_mccr_object_destroy);
        EXPECT_EQ(p.header.error, c_kova_err_object_is_not_exist);
        EXPECT_EQ(p.dst_ip, r.stored);
        EXPECT_EQ(p.header.did, c_stub_id);
        EXPECT_EQ(p.header.sid, id);
        EXPECT_EQ(proxy.get_server_address().ip, 0u);
        EXPECT_EQ(proxy.destroy(), c_kova_err_is_not_created);
    }
    EXPECT_EQ(w.rig.remain(), before);
}

TEST(kova_proxy_object, liveness_follows_the_stub_and_the_link_to_its_host) {
    proxy_rig w(2);
    recording<kova_proxy_object> proxy;
    probes handlers(proxy);
    const object_id_t id = w.create(proxy);
    ASSERT_NE(id, 0);
    auto settle = [&](std::size_t in_count) {
        return kova_test::wait_until([&] { return proxy.count() >= in_count; }, 5.0);
    };
    typedef std::vector<std::string> log_t;

    // Announcements of other objects or hosts change nothing; the control queue is
    // one at a time, so the connected callback after them shows they were handled.
    w.control(c_mccr_object_create, id, c_stub_id + 1);
    w.control(c_mccr_object_create, id, c_stub_id, c_ten_0_0_1);
    w.control(c_mccr_object_destroy, id);  // not live yet: nothing
    w.control(c_mccr_tcp_connected_to_server, id, c_stub_id, c_ten_0_0_1);
    w.control(c_mccr_tcp_connected_to_server, id, 0x7777);  // any object of the server's host
    ASSERT_TRUE(settle(1));
    EXPECT_EQ(proxy.log(), log_t({"connected"}));
    EXPECT_FALSE(proxy.is_live());
    EXPECT_TRUE(proxy.is_connected_tcp());
    EXPECT_EQ(handlers.e.disconnected, 0);

    w.control(c_mccr_object_create, id);
    w.control(c_mccr_object_create, id);  // a second announcement: no callback
    w.control(c_mccr_tcp_connected_to_server, id);  // called again although already up
    ASSERT_TRUE(settle(3));
    EXPECT_EQ(proxy.log(), log_t({"connected", "create", "connected"}));
    EXPECT_TRUE(proxy.is_live());

    // The lost link counts as the stub gone: every connection kind is told, then the callbacks.
    w.control(c_mccr_tcp_disconnected_from_server, id, 0x7777);
    ASSERT_TRUE(settle(5));
    EXPECT_EQ(proxy.log(), log_t({"connected", "create", "connected", "destroy", "disconnected"}));
    EXPECT_FALSE(proxy.is_live());
    EXPECT_FALSE(proxy.is_connected_tcp());
    EXPECT_EQ(handlers.e.disconnected, 1);
    EXPECT_EQ(handlers.i.disconnected, 1);
    EXPECT_EQ(handlers.c.disconnected, 1);

    // Back, then destroyed by its own announcement; a destroy while not live touches nothing.
    w.control(c_mccr_object_create, id);
    w.control(c_mccr_object_destroy, id);
    w.control(c_mccr_object_destroy, id);
    w.control(c_mccr_tcp_connected_to_server, id);
    ASSERT_TRUE(settle(8));
    EXPECT_EQ(proxy.log(), log_t({"connected", "create", "connected", "destroy", "disconnected", "create",
                                  "destroy", "connected"}));
    EXPECT_EQ(handlers.e.disconnected, 2);
    EXPECT_EQ(handlers.c.disconnected, 2);

    // The proxy's destroy drops every subscription locally, sending nothing for them.
    ASSERT_TRUE(w.make_live(proxy));
    EXPECT_EQ(proxy.destroy(), c_kova_err_none);
    EXPECT_FALSE(proxy.is_live());
    EXPECT_EQ(handlers.e.shut, 1);
    EXPECT_EQ(handlers.i.shut, 1);
    EXPECT_EQ(handlers.c.shut, 1);
    EXPECT_EQ(handlers.c.released, 1);
    struct_packet p;
    ASSERT_TRUE(w.rig.center_receive(p));
    EXPECT_EQ(p.header.code, c_mccr_object_destroy);
    EXPECT_FALSE(w.rig.center_receive(p, 0.2));
}

TEST(kova_proxy_object, proxy_bound_packets_come_only_from_the_bound_stub_and_broadcasts_from_anyone) {
    proxy_rig w(3);
    kova_proxy_object proxy;
    probes handlers(proxy);
    const object_id_t id = w.create(proxy);
    ASSERT_NE(id, 0);
    struct row {
        msg_type_t type;
        msg_code_t code;
        object_id_t sid;
        ip_t ip;
        counts* target;  // whose count rises
        bool disconnect;
    };
    const object_id_t other = c_stub_id + 1;
    const row rows[] = {
        {c_mt_event, 5, c_stub_id, c_local_host, &handlers.e, false},
        {c_mt_event, 5, other, c_local_host, nullptr, false},
        {c_mt_event, 5, c_stub_id, c_ten_0_0_1, nullptr, false},
        {c_mt_event, 9, c_stub_id, c_local_host, nullptr, false},  // no handler for the code
        {c_mt_event_disconnect, 5, c_stub_id, c_local_host, &handlers.e, true},
        {c_mt_information_tcp, 6, c_stub_id, c_local_host, &handlers.i, false},
        {c_mt_information_udp, 6, c_stub_id, c_local_host, &handlers.i, false},
        {c_mt_information_tcp_disconnect, 6, c_stub_id, c_local_host, &handlers.i, true},
        {c_mt_information_udp_disconnect, 6, other, c_local_host, nullptr, true},
        {c_mt_command_disconnect, 7, c_stub_id, c_local_host, &handlers.c, true},
        {c_mt_broadcast, 8, other, c_ten_0_0_1, &handlers.b, false},
        {c_mt_broadcast, 8, c_stub_id, c_local_host, &handlers.b, false},
        {c_mt_call_return, 5, c_stub_id, c_local_host, nullptr, false},  // replies never take this road
    };
    int delivered[4] = {0, 0, 0, 0};
    int disconnected[4] = {0, 0, 0, 0};
    counts* all[4] = {&handlers.e, &handlers.i, &handlers.c, &handlers.b};
    const unsigned long before = w.rig.remain();
    msg_num_t num = 1;
    for (const row& r : rows) {
        w.rig.push_listen(w.from_stub(r.type, r.code, id, num++, r.sid, r.ip));
        for (int k = 0; k < 4; ++k)
            if (all[k] == r.target) ++(r.disconnect ? disconnected[k] : delivered[k]);
    }
    ASSERT_TRUE(w.rig.wait_remain(before));
    for (int k = 0; k < 4; ++k) {
        SCOPED_TRACE(k);
        EXPECT_EQ(all[k]->delivered, delivered[k]);
        EXPECT_EQ(all[k]->disconnected, disconnected[k]);
    }
}

TEST(kova_proxy_object, duplicate_codes_warn_on_standard_error_and_keep_the_first_handler) {
    proxy_rig w(4);
    kova_proxy_object proxy;
    _kova_proxy_object& s = *proxy._pp;
    struct row {
        std::function<void(_kova_proxy_method*)> add;
        std::function<std::size_t()> size;
        std::function<_kova_proxy_method*()> first;
        std::function<void(_kova_proxy_method*)> del;
        const char* lines;
    };
    // The maps never touch their handlers: stand-ins do.
    _kova_proxy_method* one = reinterpret_cast<_kova_proxy_method*>(0x1000);
    _kova_proxy_method* two = reinterpret_cast<_kova_proxy_method*>(0x2000);
#define KIND(map, add_op, del_op, type)                                               \
    row {                                                                             \
        [&](_kova_proxy_method* h) { s.add_op(3, reinterpret_cast<type*>(h)); },      \
            [&] { return s.map.size(); },                                             \
            [&] { return reinterpret_cast<_kova_proxy_method*>(s.map.at(3)); },       \
            [&](_kova_proxy_method* h) { s.del_op(3, reinterpret_cast<type*>(h)); }, \
            nullptr                                                                   \
    }
    row rows[] = {
        KIND(call_map, add_call, del_call, _kova_proxy_object_call),
        KIND(signal_map, add_signal, del_signal, _kova_proxy_object_signal),
        KIND(event_map, add_event, del_event, _kova_proxy_event_method),
        KIND(information_map, add_information, del_information, _kova_proxy_information_method),
        KIND(command_map, add_command, del_command, _kova_proxy_command_method),
        KIND(broadcast_map, add_broadcast, del_broadcast, _kova_proxy_broadcast_method),
    };
#undef KIND
    rows[0].lines = "중복된 코드값의 프록시 콜 삽입입니다\n삽입된 콜은 정상 동작하지 않을 가능성이 높습니다\n";
    rows[1].lines =
        "중복된 코드값의 프록시 시그널 삽입입니다\n삽입된 시그널은 정상 동작하지 않을 가능성이 높습니다\n";
    rows[2].lines =
        "중복된 코드값의 프록시 이벤트 삽입입니다\n삽입된 이벤트는 정상 동작하지 않을 가능성이 높습니다\n";
    rows[3].lines = "중복된 코드값의 프록시 인포메이션 삽입입니다\n삽입된 인포메이션은 정상 동작하지 않을 "
                    "가능성이 높습니다\n";
    rows[4].lines =
        "중복된 코드값의 프록시 커맨드 삽입입니다.\n삽입된 커맨드는 정상 동작하지 않을 가능성이 높습니다.\n";
    rows[5].lines = "중복된 코드값의 프록시 데이터그램 삽입입니다.\n삽입된 데이터그램은 정상 동작하지 않을 "
                    "가능성이 높습니다.\n";
    for (row& r : rows) {
        SCOPED_TRACE(r.lines);
        testing::internal::CaptureStderr();
        r.add(one);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
        testing::internal::CaptureStderr();
        r.add(two);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), r.lines);
        EXPECT_EQ(r.size(), 1u);
        EXPECT_EQ(r.first(), one);
        // The refused handler going leaves the first one's entry alone.
        r.del(two);
        EXPECT_EQ(r.size(), 1u);
        EXPECT_EQ(r.first(), one);
        r.del(one);
        EXPECT_EQ(r.size(), 0u);
    }
}

TEST(kova_proxy_object, a_plain_copy_never_ends_the_proxy_it_shares) {
    proxy_rig w(5);
    kova_proxy_object proxy;
    const object_id_t id = w.create(proxy);
    ASSERT_NE(id, 0);
    {
        kova_proxy_object copy(proxy);
        EXPECT_EQ(copy.get_local_object_id(), id);
        EXPECT_EQ(copy._pp, proxy._pp);
    }
    EXPECT_TRUE(proxy.is_created());
    EXPECT_EQ(proxy.get_local_object_id(), id);
    struct_packet p;
    EXPECT_FALSE(w.rig.center_receive(p, 0.2));
}

TEST(kova_proxy_object, registry_shut_down_destroys_a_proxy_through_its_proxy) {
    std::unique_ptr<proxy_rig> w(new proxy_rig(6));
    kova_proxy_object proxy;
    probes handlers(proxy);
    ASSERT_NE(w->create(proxy), 0);
    ASSERT_TRUE(w->make_live(proxy));
    w.reset();  // finalising: the registry destroys what the application left
    EXPECT_FALSE(proxy.is_created());
    EXPECT_FALSE(proxy.is_live());
    EXPECT_EQ(handlers.e.shut, 1);
    EXPECT_EQ(handlers.i.shut, 1);
    EXPECT_EQ(handlers.c.released, 1);
}
