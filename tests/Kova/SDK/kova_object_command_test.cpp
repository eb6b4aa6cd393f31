// The command stub: the handshake, commands and what on_sync learns of each, the clients'
// histories and reads, the ways a connection ends, the stub's disconnects and the destroy.
#include "Kova/Common/Open/Kova/kova_object_command.h"
#include "Kova/Common/Open/Kova/kova_object_event.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cfloat>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>

#include "Kova/Common/Open/Kova/kova_err.h"
#include "Kova/Common/Open/Kova/kova_history.h"
#include "Kova/SDK/Interface/_kova_object.h"
#include "stub_rig.h"

using namespace kova_sdk_test;

namespace {

constexpr msg_code_t c_code = 41;

// One on_sync as the application saw it.
struct seen_sync {
    client_addr_t client;
    sender_sync_model_t model;
    double elapsed, limit;
    bool has_data;
    std::string bytes;
};

class command_stub : public plain_recording_stub<kova_object_command> {
public:
    explicit command_stub(msg_code_t in_code = c_code) : plain_recording_stub(in_code) {}
    using kova_object_command::get_client_list;
    using kova_object_command::read;
    using kova_object_command::see_history;
    using kova_object_command::set_history_size;
    using kova_object_command::set_sync;

    std::vector<seen_sync> syncs() { return m_syncs.items(); }
    bool wait_syncs(std::size_t in_n) { return m_syncs.wait_size(in_n); }
    // Run inside on_sync, on the listener.
    std::function<void()> during_sync;

private:
    void on_sync(const client_addr_t& in_client, const sender_sync_model_t& in_model, const double& in_elapsed,
                 const double& in_limit, const void* pin_buffer, pksize_t in_size) override {
        seen_sync s{in_client, in_model, in_elapsed, in_limit, pin_buffer != nullptr, {}};
        if (pin_buffer) s.bytes.assign(static_cast<const char*>(pin_buffer), in_size);
        if (during_sync) during_sync();
        m_syncs.add(s);
    }
    locked_list<seen_sync> m_syncs;
};

// The bytes sdk_rig::make puts into a payload of in_size.
std::string payload_of(std::size_t in_size) {
    std::string out(in_size, '\0');
    for (std::size_t i = 0; i < in_size; ++i) out[i] = static_cast<char>(i);
    return out;
}

struct command_fixture : stub_fixture<command_stub> {
    explicit command_fixture(int in_test, unsigned in_center_depth = 16)
        : stub_fixture(in_test, c_code, in_center_depth) {}

    // A command of in_size bytes as a proxy sends it: with no limit when posted, with its
    // period plus a microsecond a byte on a timer.
    packet_spec command(ip_t in_ip, object_id_t in_proxy, std::size_t in_size, double in_limit = DBL_MAX,
                        msg_type_t in_type = c_mt_command_tcp) {
        packet_spec s = from(in_type, in_ip, in_proxy);
        s.payload = in_size;
        s.limit = in_limit;
        return s;
    }
    // Pushes a command and waits until the listener has handled it (by the one that
    // follows it reaching on_sync or the log: a listener takes them in order).
    void deliver(const packet_spec& in_command) {
        const std::size_t n = stub.syncs().size();
        rig.push_listen(in_command);
        // A command of a client that is not connected gives no sign: a marker command of a
        // connected one follows it on the same queue.
        rig.push_listen(command(c_node_b, c_p3, 1));
        ASSERT_TRUE(stub.wait_syncs(n + 1));
    }
    // The sizes of a client's history, newest first.
    std::vector<pksize_t> history(const client_addr_t& in_client, kova_size_t in_count = 100) {
        kova_history h(stub.see_history(in_client, in_count));
        std::vector<pksize_t> sizes;
        for (std::size_t i = 0; i < h.size(); ++i) sizes.push_back(h[i].size);
        return sizes;
    }
};

}  // namespace

TEST(kova_object_command, handshake_as_the_proxy_receives_it) {
    command_fixture f(1);
    ASSERT_NE(f.id, 0);
    const unsigned long before = f.rig.remain();
    expect_handshakes(f, {
                             {"accepted", c_mt_command_connect, c_code, true, 0, c_mt_command_confirm, 0, true, 1},
                             {"refused", c_mt_command_connect, c_code, true, 7, c_mt_command_reject, 7, true, 1},
                             {"code without command handler", c_mt_command_connect, c_code + 1, true, 0,
                              c_mt_command_reject, c_kova_err_not_support_code, false, 1},
                         });
    // A client that connects again keeps its record and its history.
    f.stub.m_answer = 0;
    f.connect(c_node_b, c_p3);
    f.deliver(f.command(c_node_a, c_p1, 10));
    f.connect(c_node_a, c_p1);
    EXPECT_EQ(f.stub.get_client_count(), 2u);
    EXPECT_EQ(f.history(client_of(c_node_a, f.d, c_p1)), std::vector<pksize_t>{10});
    EXPECT_TRUE(f.stub.log().empty());
    ASSERT_EQ(f.stub.destroy(), c_kova_err_none);
    f.sent();
    EXPECT_TRUE(f.rig.wait_remain(before)) << "the histories go with the destroy";
}

TEST(kova_object_command, on_sync_learns_the_model_the_limit_and_the_bytes_of_each_command) {
    command_fixture f(2);
    ASSERT_NE(f.id, 0);
    const unsigned long before = f.rig.remain();
    f.connect(c_node_a, c_p1);
    f.connect(c_node_b, c_p3);
    const std::size_t capacity = sdk_rig::block_capacity(100);
    struct row {
        const char* name;
        std::size_t payload;
        double limit;
        msg_type_t type;
        long header_size;  // overrides the size field when not negative
        sender_sync_model_t model;
        double limit_low, limit_high;  // what on_sync sees
        bool has_data;
        std::size_t size;
    };
    const double infinite = struct_packet_time(4294967295.0).get_time();
    const row rows[] = {
        {"posted", 100, DBL_MAX, c_mt_command_tcp, -1, c_sender_sync_model_on_post, infinite, infinite, true, 100},
        {"by datagram, posted", 100, DBL_MAX, c_mt_command_udp, -1, c_sender_sync_model_on_post, infinite, infinite,
         true, 100},
        // 0.5 s and 100 microseconds, cut to the packet time's mantissa, less the way.
        {"on a timer", 100, 0.5001, c_mt_command_tcp, -1, c_sender_sync_model_on_timer, 0.45, 0.5, true, 100},
        {"no payload", 0, DBL_MAX, c_mt_command_tcp, -1, c_sender_sync_model_on_post, infinite, infinite, false, 0},
        {"a size that its block does not hold", 100, DBL_MAX, c_mt_command_tcp, 5000, c_sender_sync_model_on_post,
         infinite, infinite, true, capacity},
        {"a size without a block", 0, DBL_MAX, c_mt_command_tcp, 70, c_sender_sync_model_on_post, infinite, infinite,
         false, 0},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        const std::size_t n = f.stub.syncs().size();
        struct_token t = f.rig.make(f.command(c_node_a, c_p1, r.payload, r.limit, r.type));
        if (r.header_size >= 0) t.get_header_packet()->header.size = static_cast<pksize_t>(r.header_size);
        sdk_rig::push(f.rig.m_listen, t);
        ASSERT_TRUE(f.stub.wait_syncs(n + 1));
        const seen_sync s = f.stub.syncs().back();
        EXPECT_TRUE(same(s.client, client_of(c_node_a, f.d, c_p1)));
        EXPECT_EQ(s.model, r.model);
        EXPECT_GE(s.limit, r.limit_low);
        EXPECT_LE(s.limit, r.limit_high);
        EXPECT_GE(s.elapsed, 0.0);
        EXPECT_LT(s.elapsed, 1.0);
        EXPECT_EQ(s.has_data, r.has_data);
        EXPECT_EQ(s.bytes.size(), r.has_data ? r.size : 0u);
        // Beyond what the sender wrote the block holds whatever it held.
        if (r.has_data) {
            EXPECT_EQ(s.bytes.substr(0, r.payload), payload_of(r.payload));
        }
    }
    // A command of a client that is not connected, or of another code, reaches nobody.
    const std::size_t n = f.stub.syncs().size();
    f.deliver(f.command(c_node_a, c_stranger, 10));
    packet_spec other = f.command(c_node_a, c_p1, 10);
    other.code = c_code + 1;
    f.deliver(other);
    EXPECT_EQ(f.stub.syncs().size(), n + 2) << "the two markers alone";
    EXPECT_TRUE(f.history(client_of(c_node_a, f.d, c_stranger)).empty());
    EXPECT_TRUE(f.sent().empty()) << "commands are not answered";

    // Switched off: still kept, but no on_sync.
    f.stub.set_sync(false);
    f.rig.push_listen(f.command(c_node_a, c_p1, 33));
    ASSERT_TRUE(kova_test::wait_until(
        [&] { return f.history(client_of(c_node_a, f.d, c_p1)) == std::vector<pksize_t>{33}; }, 5.0));
    EXPECT_EQ(f.stub.syncs().size(), n + 2);
    ASSERT_EQ(f.stub.destroy(), c_kova_err_none);
    f.sent();
    EXPECT_TRUE(f.rig.wait_remain(before));
}

TEST(kova_object_command, each_client_keeps_its_latest_commands_up_to_the_history_size) {
    command_fixture f(3);
    ASSERT_NE(f.id, 0);
    const unsigned long before = f.rig.remain();
    const client_addr_t p1 = client_of(c_node_a, f.d, c_p1), p2 = client_of(c_node_a, f.d, c_p2);
    f.connect(c_node_a, c_p1);
    f.connect(c_node_a, c_p2);
    f.connect(c_node_b, c_p3);
    typedef std::vector<pksize_t> sizes;

    f.deliver(f.command(c_node_a, c_p1, 11));
    f.deliver(f.command(c_node_a, c_p1, 12));
    EXPECT_EQ(f.history(p1), sizes{12}) << "one kept at first: each replaces the one before";
    f.stub.set_history_size(5);
    for (pksize_t size : {13, 14, 15, 16, 17, 18}) f.deliver(f.command(c_node_a, c_p1, size));
    EXPECT_EQ(f.history(p1), (sizes{18, 17, 16, 15, 14}));
    EXPECT_EQ(f.history(p1, 2), (sizes{18, 17}));
    f.deliver(f.command(c_node_a, c_p2, 21));
    EXPECT_EQ(f.history(p2), sizes{21}) << "histories are per client";

    f.stub.set_history_size(2);
    EXPECT_EQ(f.history(p1).size(), 5u) << "cut at the client's next command";
    f.deliver(f.command(c_node_a, c_p1, 19));
    EXPECT_EQ(f.history(p1), (sizes{19, 18}));

    // The snapshot stays readable however the history moves on.
    kova_history snapshot(f.stub.see_history(p1, 1));
    f.stub.set_history_size(0);
    f.deliver(f.command(c_node_a, c_p1, 20));
    EXPECT_TRUE(f.history(p1).empty()) << "0 keeps nothing";
    ASSERT_EQ(snapshot.size(), 1u);
    EXPECT_EQ(snapshot[0].size, 19u);
    EXPECT_EQ(std::string(static_cast<const char*>(snapshot[0].p_buffer), 19), payload_of(19));
    char buf[8];
    pksize_t size = sizeof(buf);
    EXPECT_EQ(f.stub.read(p1, buf, &size), c_kova_err_empty_history) << "delivered, but not kept";
    snapshot.clear();
    ASSERT_EQ(f.stub.destroy(), c_kova_err_none);
    f.sent();
    EXPECT_TRUE(f.rig.wait_remain(before));
}

TEST(kova_object_command, read_copies_the_newest_command_within_the_buffer) {
    sdk_rig rig(1);
    command_stub stub;
    char buf[64];
    pksize_t size = sizeof(buf);
    const client_addr_t p1 = client_of(c_node_a, 1, c_p1);
    EXPECT_EQ(stub.read(p1, buf, &size), c_kova_err_is_not_created);
    EXPECT_EQ(stub.see_history(p1, 1), nullptr);
    EXPECT_EQ(stub.get_client_count(), 0u);

    command_fixture f(4);
    ASSERT_NE(f.id, 0);
    const unsigned long before = f.rig.remain();
    const client_addr_t a1 = client_of(c_node_a, f.d, c_p1);
    EXPECT_EQ(f.stub.read(a1, buf, &size), c_kova_err_empty_history) << "not connected";
    kova_history none(f.stub.see_history(a1, 5));
    EXPECT_TRUE(static_cast<bool>(none));
    EXPECT_TRUE(none.empty());
    f.connect(c_node_a, c_p1);
    f.connect(c_node_b, c_p3);
    EXPECT_EQ(f.stub.read(a1, buf, &size), c_kova_err_empty_history) << "no command yet";
    f.deliver(f.command(c_node_a, c_p1, 30));

    struct row {
        const char* name;
        bool data, size_ptr;
        pksize_t capacity;
        kova_err_t result;
        pksize_t size_after;
        std::size_t copied;
    };
    const row rows[] = {
        {"a larger buffer", true, true, 64, c_kova_err_none, 30, 30},
        {"an exact buffer", true, true, 30, c_kova_err_none, 30, 30},
        {"a smaller buffer", true, true, 10, c_kova_err_none, 10, 10},
        {"no room", true, true, 0, c_kova_err_none, 0, 0},
        {"no buffer", false, true, 10, c_kova_err_boundout_buffer, 10, 0},
        {"no buffer, no room", false, true, 0, c_kova_err_none, 0, 0},
        {"no size", true, false, 0, c_kova_err_boundout_buffer, 0, 0},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        std::memset(buf, '#', sizeof(buf));
        size = r.capacity;
        EXPECT_EQ(f.stub.read(a1, r.data ? buf : nullptr, r.size_ptr ? &size : nullptr), r.result);
        if (r.size_ptr) {
            EXPECT_EQ(size, r.size_after);
        }
        EXPECT_EQ(std::string(buf, r.copied), payload_of(r.copied));
        EXPECT_EQ(buf[r.copied], '#') << "nothing beyond";
    }
    ASSERT_EQ(f.stub.destroy(), c_kova_err_none);
    f.sent();
    EXPECT_TRUE(f.rig.wait_remain(before));
}

TEST(kova_object_command, the_client_list_goes_node_by_node_and_by_object_id) {
    command_fixture f(5);
    ASSERT_NE(f.id, 0);
    client_addr_t list[4];
    EXPECT_EQ(f.stub.get_client_list(list, 4), 0u);
    f.connect(c_node_b, c_p3);
    f.connect(c_node_a, c_p2);
    f.connect(c_node_a, c_p1);
    EXPECT_EQ(f.stub.get_client_count(), 3u);
    // Nodes by port, then by the ip word: node a's 10.0.0.10 is below node b's 10.0.0.11.
    const client_addr_t want[] = {client_of(c_node_a, f.d, c_p1), client_of(c_node_a, f.d, c_p2),
                                  client_of(c_node_b, f.d, c_p3)};
    ASSERT_EQ(f.stub.get_client_list(list, 4), 3u);
    for (int i = 0; i < 3; ++i) EXPECT_TRUE(same(list[i], want[i])) << i;
    client_addr_t two[2];
    EXPECT_EQ(f.stub.get_client_list(two, 2), 2u);
    EXPECT_TRUE(same(two[1], want[1]));
    EXPECT_EQ(f.stub.get_client_list(list, 0), 0u);
    EXPECT_EQ(f.stub.get_client_list(nullptr, 4), 0u) << "no buffer: nothing written";
    EXPECT_EQ(f.stub.get_client_count(), 3u);
    ASSERT_EQ(f.stub.destroy(), c_kova_err_none);
    EXPECT_EQ(f.stub.get_client_list(list, 4), 0u);
}

TEST(kova_object_command, what_on_shutdown_learns_of_each_end) {
    command_fixture f(6);
    ASSERT_NE(f.id, 0);
    const unsigned long before = f.rig.remain();
    f.connect(c_node_a, c_p1);
    f.connect(c_node_a, c_p2);
    f.connect(c_node_b, c_p3);
    f.connect(c_node_b, c_p1);
    for (object_id_t p : {c_p1, c_p2}) f.deliver(f.command(c_node_a, p, 10));
    expect_every_end_heard(f, c_mt_command_shutdown, c_mt_command_shutdown, {c_p1, c_p3});
    EXPECT_TRUE(f.rig.wait_remain(before)) << "the histories went with their clients";
    // Gone clients' commands reach nobody.
    f.connect(c_node_b, c_p3);
    const std::size_t n = f.stub.syncs().size();
    f.deliver(f.command(c_node_a, c_p1, 5));
    EXPECT_EQ(f.stub.syncs().size(), n + 1) << "the marker alone";
    ASSERT_EQ(f.stub.destroy(), c_kova_err_none);
    f.sent();
    EXPECT_TRUE(f.rig.wait_remain(before));
}

TEST(kova_object_command, an_answer_that_never_leaves_takes_the_connection_back) {
    command_fixture f(7, 2);
    ASSERT_NE(f.id, 0);
    expect_unsent_answers_take_the_client_back(f, {{"confirm, full pipe", false, c_mt_command_connect, 0},
                                                   {"reject, full pipe", false, c_mt_command_connect, 7},
                                                   {"confirm, shut pipe", true, c_mt_command_connect, 0}});
}

TEST(kova_object_command, the_stubs_disconnects_reach_what_they_name_and_call_no_on_shutdown) {
    command_fixture f(8);
    ASSERT_NE(f.id, 0);
    expect_the_stubs_disconnects_reach_what_they_name(f, [&] {
        f.connect(c_node_a, c_p1);
        f.connect(c_node_a, c_p2);
        f.connect(c_node_b, c_p3);
        f.deliver(f.command(c_node_a, c_p1, 10));
    });
}

TEST(kova_object_command, the_client_table_is_free_while_disconnects_wait_for_the_center_pipe) {
    command_fixture f(12, 2);
    ASSERT_NE(f.id, 0);
    const unsigned long before = f.rig.remain();
    expect_the_table_is_free_while_pushes_wait(f, c_mt_command_disconnect, c_mt_command_disconnect);
    EXPECT_TRUE(f.destroy_to_baseline(before));
}

TEST(kova_object_command, on_sync_holds_no_lock_of_the_stub_that_other_threads_need) {
    command_fixture f(13);
    ASSERT_NE(f.id, 0);
    const unsigned long before = f.rig.remain();
    f.connect(c_node_a, c_p1);
    f.connect(c_node_b, c_p3);
    const client_addr_t p1 = client_of(c_node_a, f.d, c_p1);
    // The application's own lock: on_sync waits for it while another thread, holding it,
    // asks the stub for its clients and histories.
    std::mutex application;
    std::unique_lock<std::mutex> held(application);
    std::atomic<bool> in_sync{false};
    f.stub.during_sync = [&] {
        in_sync = true;
        std::lock_guard<std::mutex> wait(application);
    };
    f.rig.push_listen(f.command(c_node_a, c_p1, 10));
    ASSERT_TRUE(kova_test::wait_until(in_sync, 5.0));
    waiting_thread asks([&] {
        kova_history h(f.stub.see_history(p1, 5));
        char buf[16];
        pksize_t size = sizeof(buf);
        const bool read = f.stub.read(p1, buf, &size) == c_kova_err_none && size == 10;
        client_addr_t list[4];
        return static_cast<kova_err_t>(f.stub.get_client_count() * 100 + f.stub.get_client_list(list, 4) * 10 +
                                       (read && h.size() == 1 ? 1 : 0));
    });
    EXPECT_TRUE(kova_test::wait_until([&] { return asks.result() != waiting_thread::c_not_yet; }, 5.0))
        << "the stub's other thread waits for on_sync";
    held.unlock();
    EXPECT_EQ(asks.join(), 221u) << "two clients, both listed, the command kept and read";
    ASSERT_TRUE(f.stub.wait_syncs(1));
    f.stub.during_sync = nullptr;
    EXPECT_TRUE(f.destroy_to_baseline(before));
}

TEST(kova_object_command, a_destroy_forgets_every_client_and_history_without_telling_them) {
    struct row {
        const char* name;
        bool in_callback;  // destroyed from inside on_sync: carried out after the packet
    };
    for (const row& r : {row{"by the application", false}, row{"from a callback", true}}) {
        SCOPED_TRACE(r.name);
        command_fixture f(9);
        ASSERT_NE(f.id, 0);
        const unsigned long before = f.rig.remain();
        f.connect(c_node_a, c_p1);
        f.connect(c_node_b, c_p3);
        if (r.in_callback) {
            f.stub.during_sync = [&] { EXPECT_EQ(f.stub.destroy(), c_kova_err_none); };
            f.rig.push_listen(f.command(c_node_a, c_p1, 10));
            ASSERT_TRUE(f.stub.wait_syncs(1));
        } else {
            f.deliver(f.command(c_node_a, c_p1, 10));
            ASSERT_EQ(f.stub.destroy(), c_kova_err_none);
        }
        expect_a_destroy_forgets_every_client(f, before, r.in_callback, [&] {
            f.stub.during_sync = nullptr;
            EXPECT_TRUE(f.rig.wait_remain(before)) << "no history is left";
        });
    }
}

namespace {

// An integrated command built before an attached event: the command was made on the fresh
// core that the event drops, and must come along to the given object.
class command_then_attached_event : public kova_object_command, public kova_object_event {
public:
    command_then_attached_event(msg_code_t in_code, kova_object const& in_object)
        : kova_object_command(in_code), kova_object_event(in_code + 1, in_object) {}
    using kova_object_command::get_client_count;
};

}  // namespace

TEST(kova_object_command, attached_form_serves_under_the_given_object) {
    expect_attached_serves_under_the_given_object<kova_object_command, attached_stub<kova_object_command>>(10, c_code);
}

TEST(kova_object_command, an_attached_kind_takes_a_command_built_before_it_along) {
    expect_attached_serves_under_the_given_object<kova_object_command, command_then_attached_event>(11, c_code);
}
