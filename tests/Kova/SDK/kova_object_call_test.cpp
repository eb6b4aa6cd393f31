// The call stub: replies and error replies as the requester receives them, what
// on_call is handed, lost returns and cancels, the attached form, and the serial
// queues of handlers that come and go.
#include "Kova/Common/Open/Kova/kova_object_call.h"
#include "Kova/Common/Open/Kova/kova_object_signal.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <cstring>

#include "Kova/Common/Open/Kova/kova_err.h"
#include "Kova/Common/Open/Kova/kova_function.h"
#include "Kova/SDK/Interface/_kova_object.h"
#include "Kova/SDK/Stub/Call/_kova_object_call.h"
#include "sdk_rig.h"

using namespace kova_sdk_test;

namespace {

constexpr object_id_t c_proxy = c_remote_proxy;
constexpr ip_t c_proxy_ip = c_remote_proxy_ip;
constexpr msg_code_t c_code = 9;

struct seen_call {
    client_addr_t client;
    const void* in_buf = nullptr;
    pksize_t in_size = 0;
    std::string in_data;  // copied: the payload is released after the call
    void* out_buf = nullptr;
    pksize_t out_size_at_entry = 0;
    double elapsed = -1;
    double limit = -1;
};

// Records what on_call is handed; body decides the answer.
class call_stub : public kova_object_call {
public:
    call_stub(msg_code_t in_code, pksize_t in_max) : kova_object_call(in_code, in_max) {}

    std::function<kova_err_t(void* pout_buf, pksize_t* pout_size)> body;
    seen_call seen;
    std::atomic<int> m_calls{0};
    std::atomic<int> m_cancels{0};
    std::atomic<kova_err_t> m_cancel_error{0};
    client_addr_t m_cancel_client;

private:
    kova_err_t on_call(client_addr_t const& in_client, void* pin_buf, pksize_t const& in_buf_size, void* pout_buf,
                       pksize_t* pout_buf_size, double const& in_elapsed, double const& in_limit) override {
        seen = seen_call{in_client, pin_buf, in_buf_size, std::string(), pout_buf, *pout_buf_size, in_elapsed, in_limit};
        if (pin_buf) seen.in_data.assign(static_cast<const char*>(pin_buf), in_buf_size);
        ++m_calls;
        return body ? body(pout_buf, pout_buf_size) : c_kova_err_none;
    }
    void on_call_cancel(client_addr_t const& in_client, kova_err_t const& in_error) override {
        m_cancel_client = in_client;
        m_cancel_error = in_error;
        ++m_cancels;
    }
};

packet_spec call_to(domain_t in_domain, object_id_t in_stub, msg_num_t in_num, std::size_t in_payload = 0,
                    msg_type_t in_type = c_mt_call, msg_code_t in_code = c_code) {
    return request_to(in_domain, in_stub, in_type, in_code, in_num, in_payload);
}

}  // namespace

TEST(kova_object_call, replies_as_the_requester_receives_them) {
    sdk_rig rig(2);
    const test_domain_scope d(1);
    const char text[] = "0123456789abcdef";
    struct row {
        const char* name;
        pksize_t max_return_size;
        std::function<kova_err_t(void*, pksize_t*)> body;
        msg_code_t code;
        msg_type_t type;
        kova_err_t error;
        pksize_t size;
    };
    const row rows[] = {
        {"reply of 10 of 100", 100,
         [&](void* out, pksize_t* size) {
             std::memcpy(out, text, 10);
             *size = 10;
             return c_kova_err_none;
         },
         c_code, c_mt_call_return, c_kova_err_none, 10},
        {"untouched reply keeps max_return_size", 100, nullptr, c_code, c_mt_call_return, c_kova_err_none, 100},
        {"no reply block", 0, nullptr, c_code, c_mt_call_return, c_kova_err_none, 0},
        {"error result, no data", 100, [](void*, pksize_t*) { return kova_err_t(7); }, c_code,
         c_mt_call_error_return, 7, 0},
        {"reply larger than its block", 100,
         [](void*, pksize_t* size) {
             *size = 101;
             return c_kova_err_none;
         },
         c_code, c_mt_call_error_return, c_kova_err_too_big_size_call, 0},
        {"code not served", 100, nullptr, c_code + 1, c_mt_call_error_return, c_kova_err_not_support_code, 0},
    };
    const unsigned long before = rig.remain();
    msg_num_t num = 40;
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        call_stub stub(c_code, r.max_return_size);
        stub.body = r.body;
        const object_id_t id = rig.create_announced(stub, d);
        ASSERT_NE(id, 0);
        struct_token request = rig.make(call_to(d, id, ++num, 16, c_mt_call, r.code));
        std::memcpy(request.get_data(), text, 16);
        // A heap pointer of the requester's process must not travel on in the reply.
        request.get_header_packet()->set_data(reinterpret_cast<byte_t*>(0x1234));
        rig.push(rig.m_listen, request);

        received reply;
        ASSERT_TRUE(rig.center_receive(reply));
        const struct_packet& p = reply.packet;
        EXPECT_EQ(p.header.type, r.type);
        EXPECT_EQ(p.header.error, r.error);
        EXPECT_EQ(p.header.size, r.size);
        EXPECT_EQ(reply.has_data, r.size != 0);
        EXPECT_EQ(p.header.num, num);
        EXPECT_EQ(p.header.code, r.code);
        EXPECT_EQ(p.header.sid, id);
        EXPECT_EQ(p.header.did, c_proxy);
        EXPECT_EQ(p.src_ip, c_local_host);
        EXPECT_EQ(p.dst_ip, c_proxy_ip);
        EXPECT_EQ(p.dst_port, d);
        EXPECT_EQ(p.get_data(), nullptr);
        if (r.size == 10) {
            EXPECT_EQ(reply.data, std::string(text, 10));
        }
        EXPECT_EQ(stub.m_calls, r.code == c_code ? 1 : 0);
        if (r.code == c_code) {
            EXPECT_EQ(stub.seen.in_size, 16u);
            EXPECT_EQ(stub.seen.in_data, std::string(text, 16));
            EXPECT_EQ(stub.seen.out_buf == nullptr, r.max_return_size == 0);
            EXPECT_EQ(stub.seen.out_size_at_entry, r.max_return_size);
            EXPECT_EQ(stub.seen.client.node_addr.ip, c_proxy_ip);
            EXPECT_EQ(stub.seen.client.node_addr.port, d);
            EXPECT_EQ(stub.seen.client.obj_id, c_proxy);
            EXPECT_GE(stub.seen.elapsed, 0.0);
            EXPECT_GT(stub.seen.limit, 0.0);
            EXPECT_LE(stub.seen.limit, 10.0);
        }
        EXPECT_EQ(stub.m_cancels, 0);
        ASSERT_EQ(stub.destroy(), c_kova_err_none);
        struct_packet gone;
        ASSERT_TRUE(rig.center_receive(gone));
    }
    EXPECT_TRUE(rig.wait_remain(before));
}

TEST(kova_object_call, request_size_is_clamped_to_its_data_block) {
    sdk_rig rig(1);
    const test_domain_scope d(2);
    call_stub stub(c_code, 0);
    const object_id_t id = rig.create_announced(stub, d);
    ASSERT_NE(id, 0);
    struct row {
        std::size_t block;
        pksize_t header_size;
    };
    const row rows[] = {{0, 100}, {16, 100000}};
    msg_num_t num = 0;
    for (const row& r : rows) {
        SCOPED_TRACE(r.block);
        struct_token request = rig.make(call_to(d, id, ++num, r.block));
        request.get_header_packet()->header.size = r.header_size;
        const std::size_t capacity = r.block ? Common::Interface::get_data_size(request.data_mm) : 0;
        rig.push(rig.m_listen, request);
        struct_packet reply;
        ASSERT_TRUE(rig.center_receive(reply));
        EXPECT_EQ(reply.header.type, c_mt_call_return);
        EXPECT_EQ(stub.seen.in_size, capacity);
        EXPECT_EQ(stub.seen.in_buf == nullptr, r.block == 0);
    }
}

TEST(kova_object_call, a_request_still_queued_for_a_destroyed_object_is_not_answered) {
    sdk_rig rig(1);
    const test_domain_scope d(8);
    call_stub stub(c_code, 8);
    const object_id_t id = rig.create_announced(stub, d);
    ASSERT_NE(id, 0);
    const unsigned long before = rig.remain();
    ASSERT_EQ(stub.destroy(), c_kova_err_none);
    struct_packet gone;
    ASSERT_TRUE(rig.center_receive(gone));
    // What a serial queue hands the core after the destroy, as its drainer would.
    struct_token request = rig.make(call_to(d, id, 1, 4));
    rig.m_processor->proc_read_lock();
    stub._op->listener_processor(request);
    rig.m_processor->proc_read_unlock();
    Common::Interface::safe_free_token(request, __FILE__, __LINE__);
    EXPECT_EQ(stub.m_calls, 0);
    struct_packet reply;
    EXPECT_FALSE(rig.center_receive(reply, 0.2));
    EXPECT_TRUE(rig.wait_remain(before));
}

TEST(kova_object_call, cancels_and_lost_returns_reach_on_call_cancel) {
    sdk_rig rig(1, 2);
    const test_domain_scope d(3);
    call_stub stub(c_code, 8);
    const object_id_t id = rig.create_announced(stub, d);
    ASSERT_NE(id, 0);
    const unsigned long before = rig.remain();

    // A cancel from the client carries its own error; a cancel of another code is ignored.
    for (msg_code_t code : {msg_code_t(c_code + 1), c_code}) {
        struct_token cancel = rig.make(call_to(d, id, 0, 0, c_mt_call_cancel, code));
        cancel.get_header_packet()->header.error = c_kova_err_remote_timeout;
        rig.push(rig.m_listen, cancel);
    }
    ASSERT_TRUE(kova_test::wait_until([&] { return stub.m_cancels.load() == 1; }, 5.0));
    EXPECT_EQ(stub.m_cancel_error, c_kova_err_remote_timeout);
    EXPECT_EQ(stub.m_cancel_client.obj_id, c_proxy);
    EXPECT_EQ(stub.m_cancel_client.node_addr.ip, c_proxy_ip);

    // With the center pipe full until the request's time is spent, a lost return is
    // reported as a cancel; a lost error return is dropped without one.
    struct row {
        kova_err_t result;
        int cancels;
    };
    const row rows[] = {{c_kova_err_none, 2}, {7, 2}};
    msg_num_t num = 0;
    for (const row& r : rows) {
        SCOPED_TRACE(r.result);
        stub.body = [&](void*, pksize_t*) { return r.result; };
        rig.fill_center();
        const unsigned long filled = rig.remain();
        packet_spec s = call_to(d, id, ++num);
        s.limit = 0.3;
        const int calls = stub.m_calls;
        rig.push_listen(s);
        // The request is released once the send has given up and the stub has been told.
        ASSERT_TRUE(rig.wait_remain(filled));
        EXPECT_EQ(stub.m_calls, calls + 1);
        EXPECT_EQ(stub.m_cancels, r.cancels);
        EXPECT_EQ(stub.m_cancel_error, c_kova_err_center_busy);
        struct_packet p;
        while (rig.center_receive(p, 0.2)) EXPECT_EQ(p.header.type, c_mt_ctrl) << "only the fillers";
    }
    EXPECT_EQ(stub.m_cancel_error, c_kova_err_center_busy);
    EXPECT_TRUE(rig.wait_remain(before));
}

// Memory for the reply is waited for until the request's time is spent, but never longer
// than a bounded time: a request without limit must not hold its queue (and the memory the
// requests behind it hold) for ever. The caller then hears of the empty memory.
TEST(kova_object_call, no_memory_for_the_reply_calls_nothing_and_is_waited_for_a_bounded_time) {
    sdk_rig rig(1);
    const test_domain_scope d(4);
    call_stub stub(c_code, 64u << 20);  // larger than the whole packet memory
    const object_id_t id = rig.create_announced(stub, d);
    ASSERT_NE(id, 0);
    const unsigned long before = rig.remain();
    const struct {
        double limit;
        bool answered;
    } rows[] = {{0.3, false}, {DBL_MAX, true}};
    msg_num_t num = 0;
    for (const auto& row : rows) {
        packet_spec s = call_to(d, id, ++num);
        s.limit = row.limit;
        const double start = kova_test::now_s();
        rig.push_listen(s);
        struct_packet p;
        if (!row.answered) {
            EXPECT_FALSE(rig.center_receive(p, 1.0)) << "nothing once the limit is spent";
            continue;
        }
        ASSERT_TRUE(rig.center_receive(p, 5.0));
        EXPECT_EQ(p.header.type, c_mt_call_error_return);
        EXPECT_EQ(p.header.error, c_kova_err_empty_kova_memory);
        EXPECT_EQ(p.header.size, 0u);
        const double waited = kova_test::now_s() - start;
        EXPECT_GE(waited, 0.9);
        EXPECT_LT(waited, 3.0);
    }
    EXPECT_EQ(stub.m_calls, 0);
    EXPECT_TRUE(rig.wait_remain(before));
}

// Attaches without naming the virtual base: the base is built anew, and the
// interface must still end up on the given object.
class attached_call : public kova_object_call {
public:
    attached_call(msg_code_t in_code, kova_object const& in_object) : kova_object_call(in_code, 4, in_object) {}
    std::atomic<int> m_calls{0};

private:
    kova_err_t on_call(client_addr_t const&, void*, pksize_t const&, void*, pksize_t*, double const&,
                       double const&) override {
        ++m_calls;
        return c_kova_err_none;
    }
};

// The same, naming the virtual base as the attached forms expect.
class attached_call_named : public attached_call {
public:
    attached_call_named(msg_code_t in_code, kova_object const& in_object)
        : kova_object(in_object), attached_call(in_code, in_object) {}
};

template <typename attached_t>
void attached_serves_under_the_given_object(int in_test) {
    attached_owner o(in_test);
    sdk_rig& rig = o.rig;
    const test_domain_scope& d = o.d;
    kova_object& owner = o.owner;
    const object_id_t id = o.id;
    ASSERT_NE(id, 0);
    attached_t* attached = new attached_t(c_code, owner);
    EXPECT_EQ(attached->_op, owner._op);
    EXPECT_EQ(attached->get_object_id(), id);
    EXPECT_TRUE(attached->is_created());
    rig.push_listen(call_to(d, id, 1));
    struct_packet reply;
    ASSERT_TRUE(rig.center_receive(reply));
    EXPECT_EQ(reply.header.type, c_mt_call_return);
    EXPECT_EQ(reply.header.sid, id);
    EXPECT_EQ(attached->m_calls, 1);

    // Ending the attached interface destroys the object it is attached to; the core stays.
    delete attached;
    EXPECT_FALSE(owner.is_created());
    ASSERT_TRUE(rig.center_receive(reply));
    EXPECT_EQ(reply.header.code, c_mccr_object_destroy);
    EXPECT_EQ(reply.header.sid, id);
    EXPECT_TRUE(owner._op->call_map.empty());
    ASSERT_EQ(owner.create(d, id), c_kova_err_none);
    ASSERT_TRUE(rig.center_receive(reply));
    rig.push_listen(call_to(d, id, 2));  // no handler any more
    ASSERT_TRUE(rig.center_receive(reply));
    EXPECT_EQ(reply.header.error, c_kova_err_not_support_code);
    ASSERT_EQ(owner.destroy(), c_kova_err_none);
    ASSERT_TRUE(rig.center_receive(reply));
    EXPECT_TRUE(rig.wait_remain(o.before));
}

TEST(kova_object_call, attached_form_serves_under_the_given_object_without_naming_the_base) {
    attached_serves_under_the_given_object<attached_call>(5);
}

TEST(kova_object_call, attached_form_serves_under_the_given_object_naming_the_base) {
    attached_serves_under_the_given_object<attached_call_named>(6);
}

// An integrated call built before an attached signal: the call was made on the fresh
// core that the signal drops, and must come along to the given object.
class call_then_attached_signal : public kova_object_call, public kova_object_signal {
public:
    explicit call_then_attached_signal(kova_object const& in_object)
        : kova_object_call(c_code, 4), kova_object_signal(c_code + 1, in_object, nullptr) {}
    std::atomic<int> m_calls{0};

private:
    kova_err_t on_call(client_addr_t const&, void*, pksize_t const&, void*, pksize_t*, double const&,
                       double const&) override {
        ++m_calls;
        return c_kova_err_none;
    }
};

TEST(kova_object_call, an_attached_kind_takes_the_handlers_built_before_it_along) {
    sdk_rig rig(1);
    const test_domain_scope d(9);
    const unsigned long before = rig.remain();
    kova_object owner;
    const object_id_t id = rig.create_announced(owner, d);
    ASSERT_NE(id, 0);
    {
        call_then_attached_signal both(owner);
        EXPECT_EQ(both._op, owner._op);
        EXPECT_EQ(owner._op->call_map.count(c_code), 1u);
        EXPECT_EQ(owner._op->signal_map.count(c_code + 1), 1u);
        rig.push_listen(call_to(d, id, 1));
        struct_packet reply;
        ASSERT_TRUE(rig.center_receive(reply));
        EXPECT_EQ(reply.header.type, c_mt_call_return);
        EXPECT_EQ(both.m_calls, 1);
        // Ending it destroys the object it is attached to.
    }
    struct_packet gone;
    ASSERT_TRUE(rig.center_receive(gone));
    EXPECT_EQ(gone.header.code, c_mccr_object_destroy);
    EXPECT_TRUE(owner._op->call_map.empty());
    EXPECT_TRUE(owner._op->signal_map.empty());
    EXPECT_TRUE(rig.wait_remain(before));
}

TEST(kova_object_call, unregist_releases_exactly_the_queues_regist_made) {
    sdk_rig rig(1);
    const test_domain_scope d(7);
    call_stub stub(c_code, 0);
    const object_id_t id = rig.create_announced(stub, d);
    ASSERT_NE(id, 0);
    const msg_addr_t removed(d, id, c_code, c_transaction_call);
    const msg_addr_t added(d, id, c_code + 1, c_transaction_call);
    const msg_addr_t control(d, id, c_mccr_object_destroy, c_transaction_object);
    // The application gives the later code a queue of its own before its handler comes.
    ASSERT_EQ(Kova::msg_processing_by_serial_alone(added), c_kova_success);
    _kova_object_call* later = new _kova_object_call(stub._op, &stub, c_code + 1, 0, c_integrated_interface);
    stub._op->del_call(c_code, stub._op->call_map.at(c_code));  // the created code's handler leaves before the destroy
    {
        Pimo::OS::class_read_locker lock(rig.m_processor);
        EXPECT_TRUE(rig.m_processor->has_queue(removed));
        EXPECT_TRUE(rig.m_processor->has_queue(control));
    }
    ASSERT_EQ(stub.destroy(), c_kova_err_none);
    {
        Pimo::OS::class_read_locker lock(rig.m_processor);
        EXPECT_FALSE(rig.m_processor->has_queue(removed));
        EXPECT_FALSE(rig.m_processor->has_queue(control));
        EXPECT_TRUE(rig.m_processor->has_queue(added)) << "not regist's to release";
    }
    ASSERT_EQ(Kova::msg_processing_by_parallel(added), c_kova_success);
    delete later;
}

TEST(kova_object_call, a_second_handler_of_a_code_going_leaves_the_first_serving_it) {
    sdk_rig rig(1);
    const test_domain_scope d(10);
    const unsigned long before = rig.remain();
    call_stub stub(c_code, 0);
    const object_id_t id = rig.create_announced(stub, d);
    ASSERT_NE(id, 0);
    _kova_object_call* const first = stub._op->call_map.at(c_code);
    // Never entered: the code is served already. Its end must not take the first's entry.
    delete new _kova_object_call(stub._op, &stub, c_code, 0, c_integrated_interface);
    EXPECT_EQ(stub._op->call_map.at(c_code), first);
    rig.push_listen(call_to(d, id, 1));
    struct_packet reply;
    ASSERT_TRUE(rig.center_receive(reply));
    EXPECT_EQ(reply.header.type, c_mt_call_return);
    EXPECT_EQ(stub.m_calls, 1);
    ASSERT_EQ(stub.destroy(), c_kova_err_none);
    ASSERT_TRUE(rig.center_receive(reply));
    EXPECT_TRUE(rig.wait_remain(before));
}

TEST(kova_object_call, deleting_an_object_drops_its_queued_deliveries) {
    sdk_rig rig(1);
    const test_domain_scope d(8);
    call_stub stub(c_code, 0);
    const object_id_t id = rig.create_announced(stub, d);
    ASSERT_NE(id, 0);
    kova_object* other = new kova_object;
    const object_id_t other_id = rig.create_announced(*other, d);
    ASSERT_NE(other_id, 0);
    // The application puts a code of the other object on the stub's queue: its
    // deliveries wait behind the stub's call, in a queue that outlives the other object.
    const msg_addr_t stub_addr(d, id, c_code, c_transaction_call), other_addr(d, other_id, c_code, c_transaction_call);
    ASSERT_EQ(Kova::msg_processing_by_serial_group(stub_addr, other_addr), c_kova_success);
    stub.body = [&](void*, pksize_t*) {
        EXPECT_TRUE(Kova::dispatch_message(5.0));  // queues the other object's call behind this one
        delete other;
        return c_kova_err_none;
    };
    const unsigned long before = rig.remain();
    rig.push_listen(call_to(d, id, 1));
    rig.push_listen(call_to(d, other_id, 2));
    std::vector<struct_packet> out;
    struct_packet p;
    while (rig.center_receive(p, out.size() < 2 ? 5.0 : 0.5)) out.push_back(p);
    ASSERT_EQ(out.size(), 2u) << "the destroy and the stub's reply; nothing for the deleted object";
    EXPECT_EQ(out[0].header.code, c_mccr_object_destroy);
    EXPECT_EQ(out[0].header.sid, other_id);
    EXPECT_EQ(out[1].header.type, c_mt_call_return);
    EXPECT_EQ(out[1].header.sid, id);
    EXPECT_TRUE(rig.wait_remain(before));
    ASSERT_EQ(Kova::msg_processing_by_parallel(other_addr), c_kova_success);
}
