// The object core: ids, the announcement to the center, destroy (deferred from a
// callback too), refused pushes, and the incoming path's filter and error answers.
#include "Kova/Common/Open/Kova/kova_object.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <thread>

#include "Kova/Common/Open/Kova/kova_err.h"
#include "Kova/SDK/Interface/_kova_object.h"
#include "sdk_rig.h"

using namespace kova_sdk_test;

namespace {

class callback_object : public kova_object {
public:
    std::function<void()> on_connected;
    std::atomic<int> m_connected{0};
    void on_connected_tcp(node_addr_t const&) override {
        if (on_connected) on_connected();
        ++m_connected;
    }
};

packet_spec control(domain_t in_domain, object_id_t in_did, msg_code_t in_code) {
    return packet_spec{c_mt_ctrl, in_code, 0x8123, in_did, 0, in_domain, in_domain};
}

void expect_announcement(const struct_packet& in_p, msg_code_t in_code, domain_t in_domain, object_id_t in_id) {
    EXPECT_EQ(in_p.header.type, c_mt_ctrl);
    EXPECT_EQ(in_p.header.code, in_code);
    EXPECT_EQ(in_p.header.num, 0);
    EXPECT_EQ(in_p.header.size, 0);
    EXPECT_EQ(in_p.header.sid, in_id);
    EXPECT_EQ(in_p.header.sport, in_domain);
    EXPECT_EQ(in_p.header.did, c_broadcast_proxy_id);
    EXPECT_EQ(in_p.dst_ip, c_broadcast_ip);
    EXPECT_EQ(in_p.dst_port, in_domain);
    EXPECT_EQ(in_p.src_ip, c_local_host);
    EXPECT_EQ(in_p.get_data(), nullptr);
    EXPECT_EQ(in_p.header.error,
              in_code == c_mccr_object_destroy ? c_kova_err_object_is_not_exist : c_kova_err_none);
}

}  // namespace

TEST(kova_object, automatic_ids_announcement_and_destroy) {
    sdk_rig rig(2);
    const test_domain_scope d(1);
    const unsigned long before = rig.remain();
    {
        kova_object a, b;
        ASSERT_EQ(a.create(d, 0), c_kova_err_none);
        EXPECT_TRUE(a.is_created());
        EXPECT_EQ(a.get_object_id(), 0x7C00);
        // The create packet carries the process id in front of its payload.
        struct_token t;
        ASSERT_EQ(rig.m_center.eproc_receive_timeout(reinterpret_cast<Pimo::byte_t*>(&t), 5.0), 0);
        expect_announcement(*t.get_header_packet(), c_mccr_object_create, d, 0x7C00);
        std::uint32_t pid = 0;
        std::memcpy(&pid, t.get_data(), sizeof(pid));
        EXPECT_EQ(pid, static_cast<std::uint32_t>(getpid()));
        Common::Interface::safe_free_token(t, __FILE__, __LINE__);

        ASSERT_EQ(b.create(d, 0), c_kova_err_none);
        EXPECT_EQ(b.get_object_id(), 0x7C01);
        EXPECT_EQ(a.create(d, 0), c_kova_err_already_created);
        struct_packet p;
        ASSERT_TRUE(rig.center_receive(p));

        EXPECT_EQ(a._op->get_msg_num(), 1);
        a._op->seq_num = 0xFFFF;
        EXPECT_EQ(a._op->get_msg_num(), 0);

        EXPECT_EQ(a.destroy(), c_kova_err_none);
        EXPECT_FALSE(a.is_created());
        EXPECT_EQ(a.get_object_id(), 0);
        ASSERT_TRUE(rig.center_receive(p));
        expect_announcement(p, c_mccr_object_destroy, d, 0x7C00);
        EXPECT_EQ(a.destroy(), c_kova_err_is_not_created);
        // The search goes on after the last id handed out, not from the freed one.
        ASSERT_EQ(a.create(d, 0), c_kova_err_none);
        EXPECT_EQ(a.get_object_id(), 0x7C02);
    }
    struct_packet p;
    ASSERT_TRUE(rig.center_receive(p));  // create 0x7C02
    ASSERT_TRUE(rig.center_receive(p));  // the destructors' destroys
    ASSERT_TRUE(rig.center_receive(p));
    EXPECT_EQ(p.header.code, c_mccr_object_destroy);
    EXPECT_EQ(rig.remain(), before);
}

TEST(kova_object, explicit_ids_are_masked_and_broadcast_ids_refused) {
    sdk_rig rig(1, 64);
    const test_domain_scope d(2);
    struct row {
        object_id_t asked;
        kova_err_t result;
        object_id_t id;
    };
    const row rows[] = {
        {0x8005, c_kova_err_none, 0x0005},
        {0x0005, c_kova_err_already_used_id, 0},
        {0x8000, c_kova_err_already_used_id, 0},  // would be the broadcast stub id
        {0x7FFF, c_kova_err_none, 0x7FFF},
    };
    std::vector<std::unique_ptr<kova_object>> objects;
    for (const row& r : rows) {
        objects.emplace_back(new kova_object);
        EXPECT_EQ(objects.back()->create(d, r.asked), r.result) << std::hex << r.asked;
        if (r.result == c_kova_err_none) {
            EXPECT_EQ(objects.back()->get_object_id(), r.id);
        }
        EXPECT_EQ(objects.back()->is_created(), r.result == c_kova_err_none);
    }
    // 0x7FFF does not move the automatic search.
    kova_object automatic;
    ASSERT_EQ(automatic.create(d, 0), c_kova_err_none);
    EXPECT_EQ(automatic.get_object_id(), 0x7C00);
}

TEST(kova_object, full_center_pipe_is_retried_and_a_refused_push_is_no_creation) {
    sdk_rig rig(1, 1);
    const test_domain_scope d(3);
    const unsigned long before = rig.remain();
    rig.push(rig.m_center, rig.make(control(d, 1, c_mccr_run_object)));  // fills the pipe
    kova_object a;
    kova_err_t result = 1;
    std::thread creator([&] { result = a.create(d, 0); });
    struct_packet p;
    ASSERT_TRUE(rig.center_receive(p));  // the filler: room for the create
    creator.join();
    EXPECT_EQ(result, c_kova_err_none);
    ASSERT_TRUE(rig.center_receive(p));
    EXPECT_EQ(p.header.code, c_mccr_object_create);

    // A shut pipe refuses for good: no creation, the id and the blocks come back.
    rig.m_center.proc_shutdown();
    kova_object b;
    EXPECT_EQ(b.create(d, 0), c_kova_err_center_shutdown);
    EXPECT_FALSE(b.is_created());
    EXPECT_EQ(rig.m_objects->get_object(d, 0x7C01), nullptr);
    // The destroy ends the object here although the center cannot be told.
    EXPECT_EQ(a.destroy(), c_kova_err_none);
    EXPECT_FALSE(a.is_created());
    EXPECT_EQ(rig.m_objects->get_object(d, 0x7C00), nullptr);
    EXPECT_EQ(rig.remain(), before);
}

TEST(kova_object, destroy_in_a_callback_waits_for_the_end_of_the_packet) {
    sdk_rig rig(2);
    const test_domain_scope d(4);
    callback_object a;
    const object_id_t id = rig.create_announced(a, d);
    ASSERT_NE(id, 0);
    struct_packet p;
    std::atomic<bool> created_after{true};
    a.on_connected = [&] {
        EXPECT_EQ(a.destroy(), c_kova_err_none);
        created_after = a.is_created();
    };
    rig.push_listen(control(d, id, c_mccr_tcp_connected_from_client));
    ASSERT_TRUE(rig.center_receive(p));
    EXPECT_FALSE(created_after);
    EXPECT_EQ(a.m_connected, 1);  // the packet leaves after the callback
    expect_announcement(p, c_mccr_object_destroy, d, id);
    EXPECT_FALSE(a.is_created());
}

TEST(kova_object, recreate_in_a_callback_keeps_the_new_object) {
    sdk_rig rig(2);
    const test_domain_scope d(5);
    callback_object a;
    const object_id_t first = rig.create_announced(a, d);
    ASSERT_NE(first, 0);
    struct_packet p;
    a.on_connected = [&] {
        a.on_connected = nullptr;
        EXPECT_EQ(a.destroy(), c_kova_err_none);
        EXPECT_EQ(a.create(d, 0), c_kova_err_none);
    };
    const unsigned long before = rig.remain();
    rig.push_listen(control(d, first, c_mccr_tcp_connected_from_client));
    ASSERT_TRUE(rig.center_receive(p));
    EXPECT_EQ(p.header.code, c_mccr_object_destroy);
    EXPECT_EQ(p.header.sid, first);
    ASSERT_TRUE(rig.center_receive(p));
    EXPECT_EQ(p.header.code, c_mccr_object_create);
    const object_id_t second = p.header.sid;
    EXPECT_NE(second, first);
    // Another packet to the new object runs through the end of a packet again; the
    // listener frees both packets after the destroys of their ends.
    rig.push_listen(control(d, second, c_mccr_tcp_connected_from_client));
    EXPECT_TRUE(rig.wait_remain(before));
    EXPECT_FALSE(rig.center_receive(p, 0.5));
    EXPECT_TRUE(a.is_created());
    EXPECT_EQ(a.get_object_id(), second);
    EXPECT_EQ(a.m_connected, 2);
}

// Ends itself inside its callback: nothing may be left pointing at its core.
class self_deleting_object : public kova_object {
public:
    explicit self_deleting_object(std::atomic<bool>& pout_deleted) : m_deleted(pout_deleted) {}
    void on_connected_tcp(node_addr_t const&) override {
        destroy();
        std::atomic<bool>& deleted = m_deleted;
        delete this;
        deleted = true;
    }
    std::atomic<bool>& m_deleted;
};

TEST(kova_object, deleting_an_object_in_its_callback_leaves_nothing_behind) {
    sdk_rig rig(2);
    const test_domain_scope d(6);
    std::atomic<bool> deleted{false};
    self_deleting_object* a = new self_deleting_object(deleted);
    const object_id_t id = rig.create_announced(*a, d);
    ASSERT_NE(id, 0);
    struct_packet p;
    const unsigned long before = rig.remain();
    rig.push_listen(control(d, id, c_mccr_tcp_connected_from_client));
    ASSERT_TRUE(rig.center_receive(p));
    EXPECT_EQ(p.header.code, c_mccr_object_destroy);
    EXPECT_EQ(p.header.sid, id);
    // The end of the packet finds no deferred destroy of the freed core: no second destroy.
    EXPECT_TRUE(rig.wait_remain(before));
    EXPECT_FALSE(rig.center_receive(p, 0.5));
    EXPECT_TRUE(deleted);
    EXPECT_EQ(rig.m_objects->get_object(d, id), nullptr);
}

// Destroys itself in its callback, then holds the listener until told to go on; plain
// pointers only, so that a delete waiting for the callback frees nothing it still reads.
class held_destroy_object : public kova_object {
public:
    held_destroy_object(std::atomic<bool>* pin_marked, std::atomic<bool>* pin_go) : mp_marked(pin_marked), mp_go(pin_go) {}
    void on_connected_tcp(node_addr_t const&) override {
        std::atomic<bool>* go = mp_go;
        EXPECT_EQ(destroy(), c_kova_err_none);
        *mp_marked = true;
        while (!*go) Pimo::OS::msleep(1);
    }
    std::atomic<bool>* mp_marked;
    std::atomic<bool>* mp_go;
};

// A destroy marked in a callback is taken up by the listener at the end of its packet,
// while another thread may already be waiting to re-create or delete the object.
TEST(kova_object, a_deferred_destroy_never_hits_the_object_recreated_or_deleted_before_it_ran) {
    sdk_rig rig(1);
    const test_domain_scope d(9);
    for (const bool deleting : {true, false}) {
        for (int round = 0; round < 5; ++round) {
            SCOPED_TRACE(std::string(deleting ? "delete" : "recreate") + " round " + std::to_string(round));
            std::atomic<bool> marked{false}, go{false};
            held_destroy_object* a = new held_destroy_object(&marked, &go);
            const object_id_t id = rig.create_announced(*a, d);
            ASSERT_NE(id, 0);
            rig.push_listen(control(d, id, c_mccr_tcp_connected_from_client));
            ASSERT_TRUE(kova_test::wait_until([&] { return marked.load(); }, 5.0));
            // The other thread waits for the write lock while the callback still runs.
            std::atomic<pid_t> other_tid{0};
            std::thread other([&] {
                other_tid = kova_test::this_thread_id();
                if (deleting) delete a;
                else EXPECT_EQ(a->create(d, 0), c_kova_err_none);
            });
            EXPECT_TRUE(kova_test::wait_until([&] { return kova_test::is_thread_asleep(other_tid.load()); }, 5.0));
            go = true;
            other.join();
            struct_packet p;
            ASSERT_TRUE(rig.center_receive(p));
            EXPECT_EQ(p.header.code, c_mccr_object_destroy);
            EXPECT_EQ(p.header.sid, id);
            if (!deleting) {
                ASSERT_TRUE(rig.center_receive(p));
                EXPECT_EQ(p.header.code, c_mccr_object_create);
            }
            // Nothing more: the new object is not destroyed behind its owner's back.
            EXPECT_FALSE(rig.center_receive(p, 0.2)) << p.header.code;
            if (!deleting) {
                EXPECT_TRUE(a->is_created());
                delete a;
                ASSERT_TRUE(rig.center_receive(p));
            }
        }
    }
}

TEST(kova_object, a_copy_never_ends_the_core_it_shares) {
    sdk_rig rig(1);
    const test_domain_scope d(7);
    kova_object a;
    ASSERT_EQ(a.create(d, 0), c_kova_err_none);
    { kova_object copy(a); }
    EXPECT_TRUE(a.is_created());
}

TEST(kova_object, each_kind_keeps_the_first_handler_of_a_code_until_that_handler_leaves) {
    sdk_rig rig(1);
    kova_object a;
    _kova_object& c = *a._op;
    struct row {
        const char* kind;
        std::function<void(_kova_method*)> add;
        std::function<void(_kova_method*)> del;
        std::function<std::size_t()> size;
        std::function<_kova_method*()> first;
    };
    // The maps never touch their handlers: stand-ins do.
    _kova_method* one = reinterpret_cast<_kova_method*>(0x1000);
    _kova_method* two = reinterpret_cast<_kova_method*>(0x2000);
#define KIND(name, type)                                                                    \
    row {                                                                                   \
        #name, [&](_kova_method* h) { c.add_##name(3, reinterpret_cast<type*>(h)); },       \
            [&](_kova_method* h) { c.del_##name(3, reinterpret_cast<type*>(h)); },          \
            [&] { return c.name##_map.size(); },                                            \
            [&] { return reinterpret_cast<_kova_method*>(c.name##_map.at(3)); }             \
    }
    const row rows[] = {
        KIND(call, _kova_object_call),
        KIND(signal, _kova_object_signal),
        KIND(event, _kova_object_event),
        KIND(information, _kova_object_information),
        KIND(command, _kova_object_command),
        KIND(broadcast, _kova_object_broadcast),
    };
#undef KIND
    for (const row& r : rows) {
        SCOPED_TRACE(r.kind);
        testing::internal::CaptureStderr();
        r.add(one);
        r.add(two);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "");  // a stub says nothing
        EXPECT_EQ(r.size(), 1u);
        EXPECT_EQ(r.first(), one);
        r.del(two);
        EXPECT_EQ(r.size(), 1u);
        EXPECT_EQ(r.first(), one);
        r.del(one);
        EXPECT_EQ(r.size(), 0u);
    }
}

TEST(kova_object, incoming_filter_and_error_answer_for_a_missing_code) {
    sdk_rig rig(1);
    const test_domain_scope d(8);
    kova_object a;
    const object_id_t id = rig.create_announced(a, d);
    ASSERT_NE(id, 0);
    struct_packet p;
    const unsigned long before = rig.remain();
    auto call = [&](msg_num_t in_num, msg_type_t in_type = c_mt_call) {
        packet_spec s{in_type, 9, 0x8123, id, in_num, d, d};
        s.src_ip = 0x0A00000Au;
        s.payload = 16;
        rig.push_listen(s);
    };
    // A repeat of the packet just accepted is dropped; after another one it is not.
    call(5);
    call(5);
    call(6);
    call(5);
    call(0, c_mt_call_cancel);  // a cancel for a missing code gets no answer
    call(0, c_mt_signal);
    std::vector<struct_packet> answers;
    while (rig.center_receive(p, answers.size() < 4 ? 5.0 : 0.5)) answers.push_back(p);
    ASSERT_EQ(answers.size(), 4u);
    const msg_num_t nums[] = {5, 6, 5, 0};
    for (std::size_t i = 0; i < answers.size(); ++i) {
        const struct_packet& q = answers[i];
        EXPECT_EQ(q.header.type, i < 3 ? c_mt_call_error_return : c_mt_signal_error_return);
        EXPECT_EQ(q.header.error, c_kova_err_not_support_code);
        EXPECT_EQ(q.header.num, nums[i]);
        EXPECT_EQ(q.header.size, 0);
        EXPECT_EQ(q.header.did, 0x8123);
        EXPECT_EQ(q.header.sid, id);
        EXPECT_EQ(q.dst_ip, 0x0A00000Au);
        EXPECT_EQ(q.src_ip, c_local_host);
    }
    EXPECT_TRUE(rig.wait_remain(before));
}
