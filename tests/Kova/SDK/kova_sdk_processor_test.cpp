// The processor: delivery at once or per serial queue, the serial models, answers for
// missing objects, broadcasts, delay tokens, the listener-aware lock and dispatch_message.
#include "Kova/SDK/SDK_Processor/kova_sdk_processor.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <future>
#include <map>
#include <thread>
#include <vector>

#include "Kova/Common/Global/kova_global.h"
#include "Kova/Common/Open/Kova/kova_err.h"
#include "Kova/Common/Open/Kova/kova_function.h"
#include "sdk_rig.h"

using namespace kova_sdk_test;

namespace {

constexpr domain_t c_domain = 4701;
constexpr object_id_t c_stub = 0x1234;
constexpr object_id_t c_proxy = 0x8123;

// The same numbering as every other test process uses, so that no two running tests share a domain.
domain_t test_domain() { return kova_sdk_test::test_domain(0); }

packet_spec call(msg_num_t in_num, msg_code_t in_code = 7, object_id_t in_did = c_stub) {
    return packet_spec{c_mt_call, in_code, c_proxy, in_did, in_num, test_domain(), test_domain()};
}

// Calls of in_code to the stub get a serial queue of their own.
void serialize_calls(msg_code_t in_code) {
    EXPECT_EQ(Kova::msg_processing_by_serial_alone(msg_addr_t(test_domain(), c_stub, in_code, c_transaction_call)),
              c_kova_success);
}

}  // namespace

TEST(kova_sdk_processor, serial_address_delivers_one_at_a_time_in_pipe_order) {
    sdk_rig rig(4);
    ASSERT_TRUE(rig.m_ok);
    test_object stub(test_domain(), c_stub);
    ASSERT_TRUE(rig.add(stub));
    serialize_calls(7);
    overlap_meter meter;
    stub.on_packet = [&](const delivery&) { meter.run(5); };
    const unsigned long before = rig.remain();
    for (msg_num_t n = 1; n <= 12; ++n) rig.push_listen(call(n));
    ASSERT_TRUE(stub.wait_count(12));
    EXPECT_EQ(meter.most.load(), 1);
    const std::vector<delivery> got = stub.got();
    for (std::size_t i = 0; i < got.size(); ++i) EXPECT_EQ(got[i].num, i + 1);
    EXPECT_TRUE(rig.wait_remain(before)) << "queued entries release their own references";
}

TEST(kova_sdk_processor, parallel_address_is_delivered_concurrently) {
    sdk_rig rig(4);
    ASSERT_TRUE(rig.m_ok);
    test_object stub(test_domain(), c_stub);
    ASSERT_TRUE(rig.add(stub));
    // Two callbacks that each wait for the other: only concurrent delivery lets both end.
    std::atomic<int> arrived{0};
    stub.on_packet = [&](const delivery&) {
        ++arrived;
        kova_test::wait_until([&] { return arrived.load() >= 2; }, 10.0);
    };
    rig.push_listen(call(1));
    rig.push_listen(call(2));
    ASSERT_TRUE(stub.wait_count(2));
    EXPECT_EQ(arrived.load(), 2);
}

TEST(kova_sdk_processor, serial_models_share_split_and_merge_queues) {
    sdk_rig rig(0);
    kova_sdk_processor& p = *rig.m_processor;
    const msg_addr_t a(1, 1, 1, 1), b(1, 1, 2, 1), c(1, 1, 3, 1), d(1, 1, 4, 1);
    Pimo::OS::class_write_locker lock(&p);

    p.msg_processing_by_serial_group(a, b);
    EXPECT_TRUE(p.same_queue(a, b));
    p.msg_processing_by_parallel(a);  // a leaves, b keeps its queue
    EXPECT_FALSE(p.has_queue(a));
    EXPECT_TRUE(p.has_queue(b));

    p.msg_processing_by_serial_group(c, d);
    p.msg_processing_by_serial_group(a, b);  // a joins b
    EXPECT_TRUE(p.same_queue(a, b));
    p.msg_processing_by_serial_group(b, c);  // two queues become one
    EXPECT_TRUE(p.same_queue(a, d));
    EXPECT_TRUE(p.same_queue(b, c));

    p.msg_processing_by_serial_alone(a);  // a gets its own, the others stay grouped
    EXPECT_TRUE(p.has_queue(a));
    EXPECT_FALSE(p.same_queue(a, b));
    EXPECT_TRUE(p.same_queue(b, d));
    for (const msg_addr_t& x : {a, b, c, d}) p.msg_processing_by_parallel(x);
    for (const msg_addr_t& x : {a, b, c, d}) EXPECT_FALSE(p.has_queue(x));
}

TEST(kova_sdk_processor, grouped_addresses_are_delivered_strictly_in_turn) {
    sdk_rig rig(4);
    ASSERT_TRUE(rig.m_ok);
    test_object stub(test_domain(), c_stub);
    ASSERT_TRUE(rig.add(stub));
    EXPECT_EQ(Kova::msg_processing_by_serial_group(msg_addr_t(test_domain(), c_stub, 7, c_transaction_call),
                                                   msg_addr_t(test_domain(), c_stub, 8, c_transaction_call)),
              c_kova_success);
    overlap_meter meter;
    stub.on_packet = [&](const delivery&) { meter.run(3); };
    for (msg_num_t n = 1; n <= 10; ++n) rig.push_listen(call(n, n % 2 ? 7 : 8));
    ASSERT_TRUE(stub.wait_count(10));
    EXPECT_EQ(meter.most.load(), 1);
    const std::vector<delivery> got = stub.got();
    for (std::size_t i = 0; i < got.size(); ++i) EXPECT_EQ(got[i].num, i + 1);
}

// A serial queue whose drainer does not come back holds no more requests than a listen
// pipe would: beyond 16 a request is answered with busy node at once; other packets queue on.
TEST(kova_sdk_processor, a_serial_queue_refuses_requests_beyond_sixteen) {
    sdk_rig rig(4);
    ASSERT_TRUE(rig.m_ok);
    test_object stub(test_domain(), c_stub);
    ASSERT_TRUE(rig.add(stub));
    serialize_calls(7);
    std::atomic<bool> release{false};
    stub.on_packet = [&](const delivery& in_d) {
        while (in_d.num == 1 && !release) Pimo::OS::msleep(1);
    };
    const unsigned long before = rig.remain();
    rig.push_listen(call(1));
    ASSERT_TRUE(kova_test::wait_until([&] { return stub.got().empty() && rig.m_listen.test_empty(); }, 5.0));
    for (msg_num_t n = 2; n <= 19; ++n) {  // 16 wait behind the first, 2 are refused
        rig.push_listen(call(n));
        ASSERT_TRUE(kova_test::wait_until([&] { return rig.m_listen.test_empty(); }, 5.0));
    }
    packet_spec cancel = call(20);
    cancel.type = c_mt_call_cancel;  // not a request: queued all the same
    rig.push_listen(cancel);
    for (msg_num_t n : {18, 19}) {
        struct_packet got;
        ASSERT_TRUE(rig.center_receive(got));
        EXPECT_EQ(got.header.type, c_mt_call_error_return);
        EXPECT_EQ(got.header.error, c_kova_err_busy_node);
        EXPECT_EQ(got.header.num, n);
    }
    struct_packet none;
    EXPECT_FALSE(rig.center_receive(none, 0.2));
    release = true;
    ASSERT_TRUE(stub.wait_count(18));
    const std::vector<delivery> got = stub.got();
    EXPECT_EQ(got.back().type, c_mt_call_cancel);
    EXPECT_TRUE(rig.wait_remain(before));
}

TEST(kova_sdk_processor, missing_object_is_answered_with_its_error_type) {
    sdk_rig rig(2);
    ASSERT_TRUE(rig.m_ok);
    const unsigned long before = rig.remain();
    struct row {
        msg_type_t request;
        bool answered;
        msg_type_t answer;
    };
    for (const row& r : {row{c_mt_call, true, c_mt_call_error_return}, row{c_mt_signal, true, c_mt_signal_error_return},
                         row{c_mt_event_connect, true, c_mt_event_reject}, row{c_mt_event, false, 0}}) {
        packet_spec s = call(33);
        s.type = r.request;
        s.payload = 100;
        struct_token t = rig.make(s);
        // A heap pointer of the sender's process must not travel on in the answer.
        t.get_header_packet()->set_data(reinterpret_cast<byte_t*>(0x1234));
        sdk_rig::push(rig.m_listen, t);
        struct_packet got;
        if (!r.answered) {
            // The listener has freed it, having sent what it would send.
            EXPECT_TRUE(rig.wait_remain(before)) << int(r.request);
            EXPECT_FALSE(rig.center_receive(got, 0.3)) << int(r.request);
            continue;
        }
        ASSERT_TRUE(rig.center_receive(got)) << int(r.request);
        EXPECT_EQ(got.header.type, r.answer);
        EXPECT_EQ(got.header.error, c_kova_err_object_is_not_exist);
        EXPECT_EQ(got.header.sid, c_stub);  // addresses swapped
        EXPECT_EQ(got.header.did, c_proxy);
        EXPECT_EQ(got.header.size, 0u);
        EXPECT_EQ(got.get_data(), nullptr);
    }
    EXPECT_TRUE(rig.wait_remain(before));
}

TEST(kova_sdk_processor, full_center_pipe_does_not_hold_up_the_listeners) {
    // A center pipe of depth 1 that nobody reads: the first answer fills it.
    sdk_rig rig(1, 1);
    ASSERT_TRUE(rig.m_ok);
    test_object stub(test_domain(), c_stub);
    ASSERT_TRUE(rig.add(stub));
    rig.push_listen(call(1, 7, 0x2222));  // missing: fills the center pipe
    rig.push_listen(call(2, 7, 0x2222));  // missing: the pipe is full
    rig.push_listen(call(3));             // must still be delivered by the one listener
    EXPECT_TRUE(stub.wait_count(1, 3.0));
    // The held-back answer follows once the center reads again.
    struct_packet got;
    ASSERT_TRUE(rig.center_receive(got));
    EXPECT_EQ(got.header.num, 1);
    ASSERT_TRUE(rig.center_receive(got));
    EXPECT_EQ(got.header.num, 2);
}

TEST(kova_sdk_processor, broadcast_reaches_every_object_of_its_domain) {
    sdk_rig rig(3);
    ASSERT_TRUE(rig.m_ok);
    test_object a(test_domain(), 0x10), b(test_domain(), 0x11), other(static_cast<domain_t>(test_domain() + 1), 0x12);
    ASSERT_TRUE(rig.add(a));
    ASSERT_TRUE(rig.add(b));
    ASSERT_TRUE(rig.add(other));
    {
        Pimo::OS::class_write_locker lock(rig.m_processor);
        rig.m_processor->msg_processing_by_serial_alone(msg_addr_t(test_domain(), 0x11, 9, c_transaction_broadcast));
    }
    const unsigned long before = rig.remain();
    rig.push_listen(packet_spec{c_mt_broadcast, 9, c_proxy, c_broadcast_stub_id, 5, test_domain(), test_domain(),
                                c_local_host, 10.0, 64});
    EXPECT_TRUE(a.wait_count(1));
    EXPECT_TRUE(b.wait_count(1));
    EXPECT_TRUE(rig.wait_remain(before));
    EXPECT_TRUE(other.got().empty());
}

TEST(kova_sdk_processor, a_broadcast_skips_an_object_that_a_callback_before_it_took_out) {
    sdk_rig rig(2);
    ASSERT_TRUE(rig.m_ok);
    test_object first(test_domain(), 0x10), second(test_domain(), 0x11), third(test_domain(), 0x12);
    for (test_object* o : {&first, &second, &third}) ASSERT_TRUE(rig.add(*o));
    // As an application that destroys and deletes an object from a callback: the write
    // lock gives up the listener's read lock for the while.
    first.on_packet = [&](const delivery&) {
        Pimo::OS::class_write_locker lock(rig.m_processor);
        rig.m_objects->destroy_object(test_domain(), 0x11);
    };
    const unsigned long before = rig.remain();
    rig.push_listen(packet_spec{c_mt_broadcast, 9, c_proxy, c_broadcast_proxy_id, 5, test_domain(), test_domain()});
    ASSERT_TRUE(third.wait_count(1));
    EXPECT_EQ(first.got().size(), 1u);
    EXPECT_TRUE(second.got().empty());
    EXPECT_TRUE(rig.wait_remain(before));
}

TEST(kova_sdk_processor, delay_token_stands_every_listener_still) {
    sdk_rig rig(3);
    ASSERT_TRUE(rig.m_ok);
    test_object stub(test_domain(), c_stub);
    ASSERT_TRUE(rig.add(stub));
    struct_token zero;  // {0, 0}: ignored
    sdk_rig::push(rig.m_listen, zero);
    rig.push_listen(call(1));
    ASSERT_TRUE(stub.wait_count(1, 0.9));
    struct_token delay;
    delay.data_mm = 1;
    const double start = kova_test::now_s();
    sdk_rig::push(rig.m_listen, delay);
    rig.push_listen(call(2));
    ASSERT_TRUE(stub.wait_count(2, 5.0));
    EXPECT_GE(kova_test::now_s() - start, 0.95);
}

TEST(kova_sdk_processor, callbacks_create_and_destroy_objects_without_deadlock) {
    sdk_rig rig(2);
    ASSERT_TRUE(rig.m_ok);
    test_object stub(test_domain(), c_stub), made(test_domain(), 0x300), doomed(test_domain(), 0x301);
    ASSERT_TRUE(rig.add(stub));
    ASSERT_TRUE(rig.add(doomed));
    std::atomic<bool> created{false}, deferred_seen_after{false};
    stub.on_packet = [&](const delivery&) {
        ASSERT_TRUE(kova_sdk_processor::is_listen_thread());
        {
            // Object creation takes the write lock from inside the listener's read lock.
            Pimo::OS::class_write_locker lock(rig.m_processor);
            created = rig.add_locked(made);
        }
        rig.m_processor->add_destroy(&doomed);
        deferred_seen_after = doomed.m_destroyed.load() == 0;  // not yet: at the end of the packet
    };
    rig.push_listen(call(1));
    ASSERT_TRUE(stub.wait_count(1));
    kova_test::wait_until([&] { return doomed.m_destroyed.load() != 0; }, 5.0);
    EXPECT_TRUE(created.load());
    EXPECT_TRUE(deferred_seen_after.load());
    EXPECT_EQ(doomed.m_destroyed.load(), 1);
    Pimo::OS::class_read_locker lock(rig.m_processor);
    EXPECT_EQ(rig.m_objects->get_object(test_domain(), 0x301), nullptr);
    EXPECT_EQ(rig.m_objects->get_object(test_domain(), 0x300), &made);
}

TEST(kova_sdk_processor, queued_writer_does_not_block_a_listener_that_another_callback_waits_for) {
    sdk_rig rig(2);
    ASSERT_TRUE(rig.m_ok);
    test_object stub(test_domain(), c_stub);
    ASSERT_TRUE(rig.add(stub));
    std::atomic<bool> second_seen{false}, first_in{false};
    std::atomic<pid_t> writer_tid{0};
    stub.on_packet = [&](const delivery& d) {
        if (d.num != 1) {
            second_seen = true;
            return;
        }
        first_in = true;
        // Holding the read lock, wait until a writer queues (asleep on the lock), then for the next packet.
        kova_test::wait_until([&] { return kova_test::is_thread_asleep(writer_tid.load()); }, 10.0);
        rig.push_listen(call(2));
        kova_test::wait_until(second_seen, 10.0);
    };
    rig.push_listen(call(1));
    std::thread writer([&] {
        while (!first_in.load()) Pimo::OS::msleep(1);
        writer_tid = kova_test::this_thread_id();
        Pimo::OS::class_write_locker lock(rig.m_processor);
    });
    EXPECT_TRUE(stub.wait_count(2, 10.0));
    EXPECT_TRUE(second_seen.load());
    writer.join();
}

TEST(kova_sdk_processor, dispatch_message_delivers_on_the_calling_thread_and_counts_as_listener) {
    sdk_rig rig(0);
    ASSERT_TRUE(rig.m_ok);
    test_object stub(test_domain(), c_stub), made(test_domain(), 0x300);
    ASSERT_TRUE(rig.add(stub));
    const std::thread::id self = std::this_thread::get_id();
    bool on_self = false, created = false;
    stub.on_packet = [&](const delivery&) {
        on_self = std::this_thread::get_id() == self;
        Pimo::OS::class_write_locker lock(rig.m_processor);  // would deadlock if not a listener
        created = rig.add_locked(made);
    };
    rig.push_listen(call(1));
    EXPECT_TRUE(Kova::dispatch_message(5.0));
    EXPECT_TRUE(on_self);
    EXPECT_TRUE(created);
    EXPECT_TRUE(Kova::dispatch_message(0.05));  // a time-out is not the end
    rig.m_listen.proc_shutdown();
    EXPECT_FALSE(Kova::dispatch_message());
}

TEST(kova_sdk_processor, expired_and_unaddressable_packets_are_dropped_silently) {
    sdk_rig rig(1);
    ASSERT_TRUE(rig.m_ok);
    const unsigned long before = rig.remain();
    packet_spec expired = call(1, 7, 0x2222);
    expired.limit = 0.0;
    rig.push_listen(expired);
    packet_spec stub_to_stub{c_mt_call, 7, 0x10, 0x11, 2, test_domain(), test_domain()};
    stub_to_stub.payload = 10;
    rig.push_listen(stub_to_stub);
    EXPECT_TRUE(rig.wait_remain(before));
    struct_packet got;
    EXPECT_FALSE(rig.center_receive(got, 0.2));
}

TEST(kova_sdk_processor, public_functions_without_the_sdk_report_not_initialised) {
    const msg_addr_t a(1, 1, 1, 1);
    EXPECT_EQ(Kova::msg_processing_by_parallel(a), c_kova_err_not_initailize);
    EXPECT_EQ(Kova::msg_processing_by_serial_alone(a), c_kova_err_not_initailize);
    EXPECT_EQ(Kova::msg_processing_by_serial_group(a, a), c_kova_err_not_initailize);
    EXPECT_FALSE(Kova::dispatch_message(0.01));
    struct_token t;
    t.header_mm = 8;
    EXPECT_EQ(kova_sdk_processor::send_force(c_domain, t), -1);  // no center manager: nothing touched
}

TEST(kova_sdk_processor, send_force_retries_only_a_full_pipe_and_frees_what_it_gives_up) {
    sdk_rig rig(0, 1);
    ASSERT_TRUE(rig.m_ok);
    const unsigned long before = rig.remain();
    packet_spec s = call(1);
    s.payload = 32;
    int queued = 0;
    for (;;) {  // fill the center pipe
        struct_token t = rig.make(s);
        if (rig.m_center.eproc_send(reinterpret_cast<const Pimo::byte_t*>(&t), 0) != 0) {
            Common::Interface::safe_free_token(t, __FILE__, __LINE__);
            break;
        }
        ++queued;
    }
    ASSERT_GT(queued, 0);
    // Full: retried until the packet's limit is spent.
    s.limit = 0.3;
    struct_token timed = rig.make(s);
    const double start = kova_test::now_s();
    EXPECT_EQ(kova_sdk_processor::send_force(&rig.m_center, timed), Pimo::OS::c_vimra_timeout);
    EXPECT_GE(kova_test::now_s() - start, 0.25);
    // Shut down: no retry at all, even without a limit.
    rig.m_center.proc_shutdown();
    s.limit = 1e300;
    struct_token refused = rig.make(s);
    EXPECT_EQ(kova_sdk_processor::send_force(&rig.m_center, refused), Pimo::OS::c_vimra_shutdown);
    int left = 0;  // what was queued before is still there to take
    for (struct_token t; rig.m_center.eproc_pop(reinterpret_cast<Pimo::byte_t*>(&t)) == 0; ++left)
        Common::Interface::safe_free_token(t, __FILE__, __LINE__);
    EXPECT_EQ(left, queued);
    EXPECT_TRUE(rig.wait_remain(before)) << "what send_force gave up was freed";
}

// A bounded send: it waits for room while the pipe is full, is taken as soon as a place frees,
// and after its wait gives the token back to its caller untouched.
TEST(kova_sdk_processor, send_within_waits_for_room_up_to_its_wait_and_then_leaves_the_token_to_the_caller) {
    sdk_rig rig(0, 1);
    ASSERT_TRUE(rig.m_ok);
    const unsigned long before = rig.remain();
    rig.fill_center();
    packet_spec s = call(1);
    s.limit = 1e300;
    // Nobody takes: refused after the whole wait, the token still whole.
    struct_token kept = rig.make(s);
    const double start = kova_test::now_s();
    EXPECT_EQ(kova_sdk_processor::send_within(&rig.m_center, kept, 0.3), Pimo::OS::c_vimra_busy);
    EXPECT_GE(kova_test::now_s() - start, 0.25);
    ASSERT_TRUE(kept.has_header());
    Common::Interface::safe_free_token(kept, __FILE__, __LINE__);
    // A place frees while it waits: it goes in.
    struct_token sent = rig.make(s);
    std::future<int> r = std::async(std::launch::async, [&] { return kova_sdk_processor::send_within(&rig.m_center, sent, 10.0); });
    EXPECT_EQ(r.wait_for(std::chrono::milliseconds(150)), std::future_status::timeout) << "it waits while the pipe is full";
    struct_packet got;
    ASSERT_TRUE(rig.center_receive(got, 1.0));
    EXPECT_EQ(r.get(), 0);
    EXPECT_FALSE(sent.has_header()) << "the pipe has it";
    while (rig.center_receive(got, 0.0)) {
    }
    EXPECT_TRUE(rig.wait_remain(before));
}

TEST(kova_sdk_processor, a_callback_may_end_the_queue_it_is_drained_from) {
    sdk_rig rig(2);
    ASSERT_TRUE(rig.m_ok);
    test_object stub(test_domain(), c_stub);
    ASSERT_TRUE(rig.add(stub));
    const msg_addr_t addr(test_domain(), c_stub, 7, c_transaction_call);
    {
        Pimo::OS::class_write_locker lock(rig.m_processor);
        rig.m_processor->msg_processing_by_serial_alone(addr);
    }
    stub.on_packet = [&](const delivery& d) {
        if (d.num != 1) return;
        Kova::msg_processing_by_parallel(addr);  // the queue goes while it is drained
    };
    const unsigned long before = rig.remain();
    rig.push_listen(call(1));
    ASSERT_TRUE(stub.wait_count(1));
    rig.push_listen(call(2));  // now parallel
    EXPECT_TRUE(stub.wait_count(2));
    EXPECT_TRUE(rig.wait_remain(before));
    Pimo::OS::class_read_locker lock(rig.m_processor);
    EXPECT_FALSE(rig.m_processor->has_queue(addr));
}

TEST(kova_sdk_processor, a_queue_released_while_its_entry_waits_is_kept_until_drained) {
    sdk_rig rig(1);
    ASSERT_TRUE(rig.m_ok);
    // a is delivered at once, before b's queue is drained; a's callback releases that queue.
    test_object a(test_domain(), 0x10), b(test_domain(), 0x11);
    ASSERT_TRUE(rig.add(a));
    ASSERT_TRUE(rig.add(b));
    const msg_addr_t b_addr(test_domain(), 0x11, 9, c_transaction_broadcast);
    {
        Pimo::OS::class_write_locker lock(rig.m_processor);
        rig.m_processor->msg_processing_by_serial_alone(b_addr);
    }
    a.on_packet = [&](const delivery&) { Kova::msg_processing_by_parallel(b_addr); };
    const unsigned long before = rig.remain();
    rig.push_listen(packet_spec{c_mt_broadcast, 9, c_proxy, c_broadcast_stub_id, 5, test_domain(), test_domain(),
                                c_local_host, 10.0, 64});
    EXPECT_TRUE(a.wait_count(1));
    EXPECT_TRUE(rig.wait_remain(before));
    EXPECT_TRUE(b.got().empty()) << "an address that left its queue takes nothing more from it";
    // The address is parallel now.
    rig.push_listen(packet_spec{c_mt_broadcast, 9, c_proxy, c_broadcast_stub_id, 6, test_domain(), test_domain()});
    EXPECT_TRUE(b.wait_count(1));
}

TEST(kova_sdk_processor, a_merge_in_a_callback_delivers_the_moved_entries_in_order) {
    sdk_rig rig(1);
    ASSERT_TRUE(rig.m_ok);
    test_object stub(test_domain(), c_stub);
    ASSERT_TRUE(rig.add(stub));
    const msg_addr_t a(test_domain(), c_stub, 7, c_transaction_call), b(test_domain(), c_stub, 8, c_transaction_call);
    {
        Pimo::OS::class_write_locker lock(rig.m_processor);
        rig.m_processor->msg_processing_by_serial_alone(a);
        rig.m_processor->msg_processing_by_serial_alone(b);
    }
    stub.on_packet = [&](const delivery& d) {
        if (d.num != 1) return;
        // 2 and 3 are queued behind this one; then b's queue goes into a's.
        EXPECT_TRUE(Kova::dispatch_message(5.0));
        EXPECT_TRUE(Kova::dispatch_message(5.0));
        EXPECT_EQ(stub.got().size(), 0u);
        Kova::msg_processing_by_serial_group(a, b);
    };
    const unsigned long before = rig.remain();
    for (msg_num_t n = 1; n <= 3; ++n) rig.push_listen(call(n, 8));
    ASSERT_TRUE(stub.wait_count(3, 5.0)) << "nothing else arrives to drain the moved entries";
    const std::vector<delivery> got = stub.got();
    for (std::size_t i = 0; i < got.size(); ++i) EXPECT_EQ(got[i].num, i + 1);
    EXPECT_TRUE(rig.wait_remain(before));
    Pimo::OS::class_read_locker lock(rig.m_processor);
    EXPECT_TRUE(rig.m_processor->same_queue(a, b));
}

TEST(kova_sdk_processor, its_end_leaves_a_queue_that_a_listener_still_holds_to_that_listener) {
    sdk_rig rig(0);
    ASSERT_TRUE(rig.m_ok);
    const unsigned long before = rig.remain();
    test_object stub(test_domain(), c_stub);
    const msg_addr_t addr(test_domain(), c_stub, 7, c_transaction_call);
    // A processor of its own, never started: the test plays the listener that queued.
    kova_sdk_processor* own = new kova_sdk_processor;
    own->msg_processing_by_serial_alone(addr);
    struct_token token = rig.make(call(1));
    kova_sdk_processor::enum_queueing result = kova_sdk_processor::enum_queueing::no_queue;
    class_thread_qbuffer* queue = own->qbuffering(addr, token, token.get_header_packet(), &stub, &result);
    ASSERT_NE(queue, nullptr);
    Common::Interface::safe_free_token(token, __FILE__, __LINE__);  // the listener's own reference
    delete own;
    // Still the listener's: its entry keeps its references until the hold goes.
    EXPECT_EQ(queue->size(), 1u);
    EXPECT_EQ(queue->m_ref, 0);
    EXPECT_NE(rig.remain(), before);
    EXPECT_EQ(class_thread_qbuffer::proc_release(queue, 0, 1), nullptr);
    EXPECT_TRUE(rig.wait_remain(before));
    EXPECT_TRUE(stub.got().empty()) << "a queue no address maps to delivers nothing";
}

// A queue whose drainer is held in a callback: the listeners go on taking from the listen pipe,
// so what waits in the queue is bounded, by count and by bytes, counted once per packet. Beyond
// the bound an event is dropped (and counted) while a value replaces the older one of its stream,
// so that every stream's newest value is delivered; the rest keep their order.
TEST(kova_sdk_processor, a_held_queue_keeps_one_way_packets_to_its_bound_and_every_newest_value) {
    struct row {
        const char* name;
        std::size_t payload;
        msg_num_t packets;  // more than the bound takes
        bool events;        // events, with a value of each stream every ten; else values alone
    };
    const row rows[] = {{"bytes", 1024, 3000, true},
                        {"count", 0, SDK::SDK_Processor::class_queue_charges::c_slots + 800, true},
                        // Each value beyond the bound takes the place of the one before it.
                        {"values alone", 1024, 6000, false}};
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        sdk_rig rig(2);
        ASSERT_TRUE(rig.m_ok);
        ASSERT_NE(Common::Global::get_process_share(), 0u);
        const domain_t d = test_domain();
        test_object proxy(d, c_proxy);
        ASSERT_TRUE(rig.add(proxy));
        const msg_addr_t events(d, c_proxy, 7, c_transaction_event), values_a(d, c_proxy, 8, c_transaction_information),
            values_b(d, c_proxy, 9, c_transaction_information);
        ASSERT_EQ(Kova::msg_processing_by_serial_group(events, values_a), c_kova_success);
        ASSERT_EQ(Kova::msg_processing_by_serial_group(events, values_b), c_kova_success);
        std::promise<void> go;
        std::shared_future<void> released = go.get_future().share();
        std::atomic<bool> first{true};
        proxy.on_packet = [&](const delivery&) {
            if (first.exchange(false)) released.wait();
        };
        const unsigned long before = rig.remain();
        auto from_stub = [&](msg_type_t in_type, msg_code_t in_code, object_id_t in_stub, msg_num_t in_num) {
            packet_spec s{in_type, in_code, in_stub, c_proxy, in_num, d, d};
            s.payload = r.payload;
            rig.push_listen_waiting(rig.make(s));
        };
        msg_num_t last_a = 0, last_b = 0, events_sent = 0;
        for (msg_num_t n = 1; n <= r.packets; ++n) {
            if (r.events) {
                from_stub(c_mt_event, 7, 5, n);
                ++events_sent;
            }
            if (r.events ? n % 10 == 0 : n % 2 == 0) from_stub(c_mt_information_tcp, 8, 5, last_a = n);
            if (r.events ? n % 10 == 5 : n % 2 == 1) from_stub(c_mt_information_tcp, 9, 6, last_b = n);
        }
        // Everything has left the listen pipe for the queue.
        ASSERT_TRUE(kova_test::wait_until([&] { return rig.m_listen.test_empty(); }, 20.0));
        const SDK::SDK_Processor::class_queue_charges& charges = rig.m_processor->get_charges();
        EXPECT_LE(charges.get_count(), SDK::SDK_Processor::class_queue_charges::c_slots);
        EXPECT_LE(charges.get_bytes(), Common::Global::get_process_share());
        // What is charged is what waits: beside it only the packet in the callback and, of each
        // stream, the newest when no older one of it was there to give up its place. (Where the
        // count binds, the blocks' own records make the bytes held more than the share.)
        if (r.payload != 0) {
            EXPECT_LE(before - rig.remain(), 2 * Common::Global::get_process_share()) << "memory held by the queue";
        }
        EXPECT_EQ(rig.m_processor->get_dropped_count() > 0, r.events);
        EXPECT_GT(rig.m_processor->get_replaced_count(), 0u);
        go.set_value();

        const std::size_t dropped = rig.m_processor->get_dropped_count();
        // At least the events kept and the newest value of each stream.
        ASSERT_TRUE(proxy.wait_count(events_sent - dropped + 2, 20.0));
        ASSERT_TRUE(rig.wait_remain(before)) << "every entry and its charge went";
        EXPECT_EQ(charges.get_count(), 0u);
        EXPECT_EQ(charges.get_bytes(), 0u);
        std::size_t delivered_events = 0;
        std::map<msg_code_t, msg_num_t> last;
        for (const delivery& got : proxy.got()) {
            if (got.type == c_mt_event) ++delivered_events;
            EXPECT_GT(got.num, last[got.code]) << "code " << got.code << " out of order";
            last[got.code] = got.num;
        }
        EXPECT_EQ(delivered_events + dropped, events_sent);
        EXPECT_EQ(last[8], last_a) << "the newest value of each stream comes";
        EXPECT_EQ(last[9], last_b);
    }
}

TEST(kova_sdk_processor, an_end_of_peers_comes_behind_each_connection_queue_and_parks_the_queues_that_reach_it_first) {
    struct row {
        const char* name;
        bool command_queue_ends;  // the first command's callback takes its code's queue away
    };
    for (const row& r : {row{"delivered once, by the last queue to reach it", false},
                         row{"its entry dropped with a queue that ended", true}}) {
        SCOPED_TRACE(r.name);
        sdk_rig rig(0);
        ASSERT_TRUE(rig.m_ok);
        test_object stub(test_domain(), c_stub);
        ASSERT_TRUE(rig.add(stub));
        const msg_addr_t control(test_domain(), c_stub, c_mccr_object_destroy, c_transaction_object),
            create(test_domain(), c_stub, c_mccr_object_create, c_transaction_object),
            events(test_domain(), c_stub, 7, c_transaction_event), commands(test_domain(), c_stub, 8, c_transaction_command);
        {
            Pimo::OS::class_write_locker lock(rig.m_processor);
            rig.m_processor->msg_processing_by_serial_group(control, create);
            rig.m_processor->msg_processing_by_serial_alone(events);
            rig.m_processor->msg_processing_by_serial_alone(commands);
        }
        auto packet = [&](msg_type_t in_type, msg_code_t in_code, msg_num_t in_num) {
            return packet_spec{in_type, in_code, c_proxy, c_stub, in_num, test_domain(), test_domain()};
        };
        const unsigned long before = rig.remain();
        rig.push_listen(packet(c_mt_command_tcp, 8, 1));
        rig.push_listen(packet(c_mt_command_tcp, 8, 2));
        rig.push_listen(packet(c_mt_event_connect, 7, 3));
        rig.push_listen(packet(c_mt_ctrl, c_mccr_object_destroy, 4));  // the proxy's end
        rig.push_listen(packet(c_mt_event_connect, 7, 5));
        rig.push_listen(packet(c_mt_ctrl, c_mccr_object_create, 6));
        std::vector<msg_num_t> inside;
        stub.on_packet = [&](const delivery& d) {
            if (d.num != 1) return;
            // While the command queue is busy here, the rest arrives: the event before the end
            // goes at once; the end parks the control and the event queue; what follows it waits.
            for (int i = 0; i < 5; ++i) EXPECT_TRUE(Kova::dispatch_message(5.0));
            for (const delivery& g : stub.got()) inside.push_back(g.num);
            if (r.command_queue_ends) Kova::msg_processing_by_parallel(commands);
        };
        ASSERT_TRUE(Kova::dispatch_message(5.0));
        EXPECT_EQ(inside, std::vector<msg_num_t>{3});
        std::vector<msg_num_t> got;
        for (const delivery& g : stub.got()) got.push_back(g.num);
        if (!r.command_queue_ends) {
            ASSERT_EQ(got.size(), 6u);
            EXPECT_EQ(std::vector<msg_num_t>(got.begin(), got.begin() + 4), (std::vector<msg_num_t>{3, 1, 2, 4}));
            EXPECT_EQ(std::count(got.begin() + 4, got.end(), 5) + std::count(got.begin() + 4, got.end(), 6), 2)
                << "the parked queues go on after it";
        } else {
            // Nobody delivers the end; the parked queues are let go, and drained by what comes next.
            EXPECT_EQ(got, (std::vector<msg_num_t>{3, 1}));
            rig.push_listen(packet(c_mt_event_connect, 7, 7));
            rig.push_listen(packet(c_mt_ctrl, c_mccr_object_create, 8));
            ASSERT_TRUE(Kova::dispatch_message(5.0));
            ASSERT_TRUE(Kova::dispatch_message(5.0));
            got.clear();
            for (const delivery& g : stub.got()) got.push_back(g.num);
            EXPECT_EQ(got, (std::vector<msg_num_t>{3, 1, 5, 7, 6, 8}));
        }
        EXPECT_TRUE(rig.wait_remain(before));
    }
}
