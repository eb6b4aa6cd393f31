// Commands between real application processes through the real service and center: on one
// private host, and across two hosts joined by a veth pair. Every case ends with the
// applications finalised and the packet memory back where it was before them.
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "sdk_end_to_end.h"

using kova_test::child_process;
using kova_test::lines_of;
using kova_test::probe_app;
using kova_test::without_time;
using kova_test::words;

namespace {

const std::string c_domain = "7620";
const std::string c_ip_a = "10.231.19.1";
const std::string c_ip_b = "10.231.19.2";
// Stub 6 takes the commands of 400.
const std::string c_stub = "6";
const std::string c_code = "400";
// The infinite packet time, as on_sync prints the limit of a posted command.
const std::string c_posted_limit = "4290772992.000000";

// A watched host (see kept_host) whose keeper makes stub keeper (id 99, code 1).
class watched_host : public kova_test::kept_host {
public:
    watched_host() : kept_host("probe_command_app", "MEMSIZE=67108864\n") {}

    void start() {
        ASSERT_TRUE(kept_host::start("stub keeper " + c_domain + " 99 1", "stub keeper 0x0 99"));
        settle();
    }
    // The keeper connects a proxy to the other host's keeper and sends it one command as a
    // datagram, so that the centers' connection and what the other center keeps for
    // receiving datagrams are there before the case and after it.
    void link_to(const std::string& in_ip, watched_host& in_other) {
        const size_t from = keeper().mark();
        keeper().send("proxy link " + c_domain + " " + in_ip + " 99 1 auto");
        ASSERT_EQ("connect link 0x0 auto", keeper().wait("connect link ", 20.0, from)) << keeper().child().output();
        const size_t seen = in_other.keeper().mark();
        ASSERT_EQ("model link ok", keeper().command("model link 1 0 0"));
        ASSERT_EQ("post link 0x0", keeper().command("post link write 1 8"));
        ASSERT_FALSE(in_other.keeper().wait("on_sync keeper ", 10.0, seen).empty());
    }
};

class command_end_to_end : public testing::Test {
protected:
    // An application with the command stub s.
    static std::unique_ptr<probe_app> start_stub(watched_host& in_host) {
        std::unique_ptr<probe_app> a = in_host.app();
        EXPECT_TRUE(a);
        if (a) {
            EXPECT_EQ("stub s 0x0 " + c_stub, a->command("stub s " + c_domain + " " + c_stub + " " + c_code));
        }
        return a;
    }
    // A command proxy p of in_app bound to stub s on in_ip, once it knows the stub is there
    // (in_how "auto": it connects then); its id.
    static std::string bind(probe_app& in_app, const std::string& in_ip, const std::string& in_how = "") {
        const size_t from = in_app.mark();
        in_app.send("proxy p " + c_domain + " " + in_ip + " " + c_stub + " " + c_code + " " + in_how);
        const std::string answer = in_app.wait("proxy p ", 20.0, from);
        EXPECT_EQ(0u, answer.rfind("proxy p 0x0 ", 0)) << answer;
        EXPECT_EQ("on_object_create p", in_app.wait("on_object_create p", 10.0, from)) << in_app.child().output();
        return probe_app::id_of(answer);
    }
    static std::string connect(probe_app& in_app) {
        const size_t from = in_app.mark();
        in_app.send("connect p 5");
        return without_time(in_app.wait("connect p ", 10.0, from));
    }
    // Posts command in_k of in_size bytes; the on_sync line the stub printed for it, without
    // the time the command took.
    static std::string post(probe_app& in_proxy, probe_app& in_stub, const std::string& in_how, unsigned in_k,
                            unsigned in_size) {
        const size_t from = in_stub.mark();
        EXPECT_EQ("post p 0x0", in_proxy.command("post p " + in_how + " " + std::to_string(in_k) + " " +
                                                 std::to_string(in_size)));
        return without_time(in_stub.wait("on_sync s ", 10.0, from));
    }
    // The on_sync line of a posted command in_k of in_size bytes from in_client.
    static std::string posted(const std::string& in_client, unsigned in_k, unsigned in_size) {
        return "on_sync s " + in_client + " 0 " + c_posted_limit + " " + std::to_string(in_size) + " " +
               (in_size < 4 ? std::string("-") : std::to_string(in_k)) + " ok";
    }
    // Every application exits through its own finalize.
    static void finalise(std::vector<probe_app*> in_apps) {
        for (probe_app* a : in_apps) a->send("exit");
        for (probe_app* a : in_apps) EXPECT_EQ(0, a->child().wait(10.0)) << a->child().output();
    }
};

class command_one_host : public command_end_to_end {
protected:
    void SetUp() override {
        REQUIRE_PRIVATE_HOSTS();
        ASSERT_NO_FATAL_FAILURE(host.start());
        stub = start_stub(host);
        proxy = host.app();
        ASSERT_TRUE(stub && proxy);
    }
    // Binds and connects p; the client as the stub names it.
    std::string connected(const std::string& in_how = "") {
        const size_t from = stub->mark();
        const std::string id = bind(*proxy, "127.0.0.1", in_how);
        if (in_how == "auto") EXPECT_EQ("connect p 0x0 auto", proxy->wait("connect p ")) << proxy->child().output();
        else EXPECT_EQ("connect p 0x0", connect(*proxy));
        const std::string client = "127.0.0.1:" + c_domain + ":" + id;
        EXPECT_EQ("on_connect s " + client, stub->wait("on_connect s ", 10.0, from));
        return client;
    }

    watched_host host;
    std::unique_ptr<probe_app> stub, proxy;
};

TEST_F(command_one_host, posted_commands_arrive_in_order_with_their_bytes_and_the_stub_keeps_the_last_three) {
    ASSERT_EQ("history s ok", stub->command("history s 3"));
    const std::string client = connected();
    const unsigned sizes[] = {0, 1, 3, 4, 100, 1024, 4096, 30000, 60000, 65000, 7, 12345};
    const char* ways[] = {"write", "real", "stage"};
    std::vector<std::string> seen;
    for (unsigned k = 0; k < 50; ++k) {
        const unsigned size = sizes[k % 12];
        SCOPED_TRACE(std::to_string(k) + " of " + std::to_string(size) + " bytes by " + ways[k % 3]);
        ASSERT_EQ(posted(client, k, size), post(*proxy, *stub, ways[k % 3], k, size));
    }
    // Exactly one on_sync a post, and nothing else.
    EXPECT_EQ(50u, lines_of(stub->child().output(), "on_sync s ").size());
    // The last three, newest first: 49 of 1 byte, 48 of none, 47 of 12345 bytes.
    EXPECT_EQ("seen s 3 -:1,-:0,47:12345", stub->command("seen s " + client + " 10"));

    // Many in flight on the code at once: the stub takes a millisecond over each, the proxy
    // posts them as fast as the center takes them. Each arrives once, in order.
    ASSERT_EQ("slow s ok", stub->command("slow s 1000"));
    const size_t from = stub->mark();
    ASSERT_EQ(0u, proxy->command("burst p 100 60 64 again", 60.0).rfind("burst p 60 ", 0));
    ASSERT_FALSE(stub->wait("on_sync s " + client + " 0 " + c_posted_limit + " 64 159 ok", 30.0, from).empty());
    std::vector<std::string> numbers;
    for (const std::string& line : lines_of(stub->child().output().substr(from), "on_sync s ")) numbers.push_back(words(line).at(6));
    std::vector<std::string> want;
    for (unsigned k = 100; k < 160; ++k) want.push_back(std::to_string(k));
    EXPECT_EQ(want, numbers);
    EXPECT_EQ("seen s 3 159:64,158:64,157:64", stub->command("seen s " + client + " 10"));

    finalise({stub.get(), proxy.get()});
    EXPECT_TRUE(host.back_at_baseline()) << host.blocks() << ", before: " << host.baseline();
}

// A proxy that posts and ends at once: every command it posted reaches the stub before its
// end, and the stub hears that end once, whether the stub is idle or slow, and whether the
// proxy is destroyed, shut down first, or goes with its application's finalize.
TEST_F(command_one_host, a_proxy_that_ends_right_after_posting_loses_no_command_and_is_heard_once) {
    struct row {
        const char* name;
        unsigned sync_us;   // each on_sync of the stub
        unsigned commands;  // posted before the end
        const char* end;    // the proxy's commands that end it; "exit": its application ends
        const char* heard;  // the last error of on_shutdown
        int rounds;
    };
    const row rows[] = {
        {"an idle stub, one command, destroyed", 0, 1, "destroy", "0x2", 20},
        {"a slow stub, thirty commands, destroyed", 20000, 30, "destroy", "0x2", 2},
        {"a slow stub, shut down, then destroyed", 20000, 10, "shutdown destroy", "0x0", 3},
        {"a slow stub, the proxy's application finalised", 20000, 10, "exit", "0x2", 1},
    };
    unsigned k = 1000;
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        ASSERT_EQ("slow s ok", stub->command("slow s " + std::to_string(r.sync_us)));
        for (int round = 0; round < r.rounds; ++round) {
            SCOPED_TRACE(round);
            if (!proxy) {
                proxy = host.app();
                ASSERT_TRUE(proxy);
            }
            const std::string client = connected();
            const size_t from = stub->mark();
            const unsigned first = k;
            k += r.commands;
            ASSERT_EQ(0u, proxy->command("burst p " + std::to_string(first) + " " + std::to_string(r.commands) +
                                             " 8 again",
                                         60.0)
                              .rfind("burst p " + std::to_string(r.commands) + " ", 0));
            for (const std::string& end : words(r.end)) {
                if (end == "exit") {
                    EXPECT_EQ(0, proxy->exit());
                    proxy.reset();
                } else {
                    ASSERT_EQ(end + " p " + (end == "shutdown" ? "ok" : "0x0"), proxy->command(end + " p"));
                }
            }
            const std::string shutdown = "on_shutdown s " + std::string(r.heard) + " " + client;
            ASSERT_EQ(shutdown, stub->wait("on_shutdown s ", 20.0, from)) << stub->child().output().substr(from);
            ASSERT_EQ("quiet", stub->command("quiet"));
            const std::string out = stub->child().output().substr(from);
            std::vector<std::string> numbers;
            for (const std::string& line : lines_of(out.substr(0, out.find(shutdown)), "on_sync s " + client + " "))
                numbers.push_back(words(line).at(6));
            std::vector<std::string> want;
            for (unsigned n = first; n < k; ++n) want.push_back(std::to_string(n));
            EXPECT_EQ(want, numbers) << "every command before the end";
            EXPECT_EQ(1u, lines_of(out, "on_shutdown s ").size()) << out;
            EXPECT_TRUE(lines_of(out.substr(out.find(shutdown)), "on_sync s ").empty()) << out;
            EXPECT_EQ("clients s 0", stub->command("clients s"));
        }
    }
    finalise({stub.get()});
    if (proxy) finalise({proxy.get()});
    EXPECT_TRUE(host.back_at_baseline()) << host.blocks() << ", before: " << host.baseline();
}

// Posts as fast as write returns against a stub slower than them: those the center pipe
// refuses fail (the proxy knows which), and the stub ends holding the last one taken.
TEST_F(command_one_host, a_posting_burst_against_a_slower_stub_ends_with_the_stub_holding_the_last_post_taken) {
    const std::string client = connected();
    ASSERT_EQ("slow s ok", stub->command("slow s 200"));
    const std::vector<std::string> burst = words(proxy->command("burst p 1 3000 8", 120.0));
    ASSERT_EQ(6u, burst.size());
    EXPECT_EQ("0", burst[4]) << "a post fails only for want of room";
    ASSERT_NE("-", burst[5]);
    EXPECT_EQ(std::to_string(3000 - std::stoul(burst[3])), burst[2]) << "taken and refused are all";
    const std::string last = "seen s 1 " + burst[5] + ":8";
    EXPECT_TRUE(kova_test::wait_until([&] { return stub->command("seen s " + client + " 1") == last; }, 60.0))
        << stub->command("seen s " + client + " 1") << ", the proxy's last taken: " << burst[5];
    ASSERT_EQ("slow s ok", stub->command("slow s 0"));
    finalise({stub.get(), proxy.get()});
    EXPECT_TRUE(host.back_at_baseline()) << host.blocks() << ", before: " << host.baseline();
}

// A stub object with an event, a command and an information interface, and a proxy of the
// three kinds: the proxy's end reaches the interfaces in the order event, command,
// information, each once.
TEST_F(command_one_host, a_proxys_end_reaches_the_kinds_of_one_stub_in_the_order_event_command_information) {
    ASSERT_EQ("trio t 0x0 7", stub->command("trio t " + c_domain + " 7 401"));
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        const size_t asked = proxy->mark();
        proxy->send("trioproxy q " + c_domain + " 127.0.0.1 7 401");
        const std::string made = proxy->wait("trioproxy q ", 20.0, asked);
        ASSERT_EQ(0u, made.rfind("trioproxy q 0x0 ", 0)) << made;
        ASSERT_EQ("connect q 0x0 0x0 0x0", proxy->wait("connect q ", 20.0, asked)) << proxy->child().output();
        const std::string client = "127.0.0.1:" + c_domain + ":" + probe_app::id_of(made);
        const size_t from = stub->mark();
        ASSERT_EQ("destroy q 0x0", proxy->command("destroy q"));
        ASSERT_FALSE(stub->wait("on_shutdown t.information ", 20.0, from).empty()) << stub->child().output();
        ASSERT_EQ("quiet", stub->command("quiet"));
        const std::vector<std::string> want = {"on_shutdown t.event 0x2 " + client, "on_shutdown t.command 0x2 " + client,
                                               "on_shutdown t.information 0x2 " + client};
        EXPECT_EQ(want, lines_of(stub->child().output().substr(from), "on_shutdown "));
    }
    finalise({stub.get(), proxy.get()});
    EXPECT_TRUE(host.back_at_baseline()) << host.blocks() << ", before: " << host.baseline();
}

TEST_F(command_one_host, the_timer_model_repeats_the_current_command_every_interval_with_its_period_as_limit) {
    const std::string client = connected();
    ASSERT_EQ(posted(client, 1, 8), post(*proxy, *stub, "write", 1, 8));
    const size_t from = stub->mark();
    const double start = kova_test::now_s();
    ASSERT_EQ("model p ok", proxy->command("model p 0 1 0.1"));
    // Thirty ticks, at a fixed rate that never runs early: not before 2.8 s, nor many times later.
    EXPECT_TRUE(kova_test::wait_until(
        [&] {
            stub->mark();  // takes what has come
            return lines_of(stub->child().output().substr(from), "on_sync s ").size() >= 30;
        },
        30.0));
    const double ticked = kova_test::now_s() - start;
    EXPECT_GE(ticked, 2.8);
    EXPECT_LT(ticked, 15.0);
    ASSERT_EQ("model p ok", proxy->command("model p 0 0 0"));
    // Back in the posting model: the next post is the first command after the ticks, as the
    // one path from proxy to stub keeps their order.
    const std::string next = posted(client, 2, 8);
    ASSERT_EQ("post p 0x0", proxy->command("post p write 2 8"));
    ASSERT_EQ(next, without_time(stub->wait(next, 10.0, from)));
    const std::string out = stub->child().output();
    const std::vector<std::string> ticks = lines_of(out.substr(from, out.find(next, from) - from), "on_sync s ");
    EXPECT_GE(ticks.size(), 30u);
    for (const std::string& line : ticks) {
        const std::vector<std::string> w = words(line);
        ASSERT_EQ(9u, w.size()) << line;
        EXPECT_EQ(client, w[2]);
        EXPECT_EQ("1", w[3]) << "the timer model";
        // The limit is the interval less the transit, which a loaded host stretches: with the
        // time the command took added back it is within 10 % under the interval.
        const double limit = std::stod(w[4]), took = std::stod(w[8]);
        EXPECT_GT(limit, 0.0) << line;
        EXPECT_LE(limit, 0.1) << line;
        EXPECT_GE(limit + took, 0.09) << line;
        EXPECT_LE(limit + took, 0.1 + 0.001) << line;
        EXPECT_EQ("8 1 ok", w[5] + " " + w[6] + " " + w[7]);
    }
    // And nothing more comes by itself.
    const size_t after = out.find(next, from) + next.size();
    EXPECT_EQ("", stub->wait("on_sync s ", 0.5, after));

    finalise({stub.get(), proxy.get()});
    EXPECT_TRUE(host.back_at_baseline()) << host.blocks() << ", before: " << host.baseline();
}

TEST_F(command_one_host, a_killed_stub_ends_the_connection_and_its_successor_is_connected_again_and_ticked) {
    const std::string client = connected("auto");
    ASSERT_EQ(posted(client, 5, 16), post(*proxy, *stub, "real", 5, 16));
    ASSERT_EQ("model p ok", proxy->command("model p 0 1 0.1"));
    ASSERT_FALSE(stub->wait("on_sync s " + client + " 1 ", 5.0).empty());

    const size_t from = proxy->mark();
    const double killed = kova_test::now_s();
    stub->child().kill_now(SIGKILL);
    stub->child().wait(5.0);
    EXPECT_EQ("on_object_destroy p", proxy->wait("on_object_destroy p", 20.0, from)) << proxy->child().output();
    EXPECT_LT(kova_test::now_s() - killed, 10.0);
    const std::string out = proxy->child().output().substr(from);
    EXPECT_EQ((std::vector<std::string>{"on_disconnected p", "on_object_destroy p"}), kova_test::callbacks_of(out, "p"))
        << out;
    EXPECT_EQ("state p live=0 connected=0", proxy->command("state p"));

    // A new process serves the same stub: p connects again, and the ticks resume.
    const size_t again = proxy->mark();
    stub = start_stub(host);
    ASSERT_TRUE(stub);
    EXPECT_EQ("connect p 0x0 auto", proxy->wait("connect p ", 10.0, again)) << proxy->child().output();
    EXPECT_EQ("on_connect s " + client, stub->wait("on_connect s "));
    const std::string tick = stub->wait("on_sync s ", 5.0);
    EXPECT_EQ(0u, tick.rfind("on_sync s " + client + " 1 ", 0)) << tick;

    // The proxy's process killed: the stub hears that its object is gone.
    proxy->child().kill_now(SIGKILL);
    proxy->child().wait(5.0);
    EXPECT_EQ("on_shutdown s 0x2 " + client, stub->wait("on_shutdown s ", 5.0)) << stub->child().output();
    EXPECT_EQ("clients s 0", stub->command("clients s"));

    finalise({stub.get()});
    // What the killed processes held (the proxy's current command and its history entry, the
    // first stub's history entry) comes back once their deaths are seen.
    EXPECT_TRUE(host.back_at_baseline()) << host.blocks() << ", before: " << host.baseline();
}

TEST_F(command_one_host, a_confirm_later_than_the_proxys_limit_leaves_no_ghost_client) {
    // The stubs answer after their proxies stopped waiting, fifty times in all: each stub
    // holds its on_connect until its proxy has reported the time-out. A stub takes its
    // connects one at a time: five stubs of their own codes hold theirs side by side, ten
    // rounds each. The limit only has to cover the request's way to the stub's listener,
    // which drops a request whose limit ran out before it took it.
    struct pair {
        std::string stub, proxy, id;
    };
    std::vector<pair> pairs = {{"s", "p", c_stub}};
    for (int k = 1; k <= 4; ++k) {
        const std::string id = std::to_string(10 + k);
        pairs.push_back({"s" + std::to_string(k), "p" + std::to_string(k), id});
        ASSERT_EQ("stub " + pairs.back().stub + " 0x0 " + id,
                  stub->command("stub " + pairs.back().stub + " " + c_domain + " " + id + " " + c_code));
    }
    for (const pair& sp : pairs) {
        const std::string answer =
            proxy->command("proxy " + sp.proxy + " " + c_domain + " 127.0.0.1 " + sp.id + " " + c_code);
        ASSERT_EQ(0u, answer.rfind("proxy " + sp.proxy + " 0x0 ", 0)) << answer;
        ASSERT_EQ("on_object_create " + sp.proxy, proxy->wait("on_object_create " + sp.proxy)) << proxy->child().output();
    }
    for (int round = 0; round < 10; ++round) {
        SCOPED_TRACE(round);
        const size_t from = stub->mark();
        const size_t asked = proxy->mark();
        for (const pair& sp : pairs) ASSERT_EQ("gate " + sp.stub + " ok", stub->command("gate " + sp.stub + " shut"));
        for (const pair& sp : pairs) proxy->send("connect " + sp.proxy + " 1");
        for (const pair& sp : pairs) {
            const std::string held = stub->wait("on_connect " + sp.stub + " ", 10.0, from);
            ASSERT_EQ(0u, held.rfind("on_connect " + sp.stub + " 127.0.0.1:" + c_domain + ":", 0))
                << held << "\n" << stub->child().output().substr(from) << "\n" << proxy->child().output().substr(asked);
        }
        for (const pair& sp : pairs)
            ASSERT_EQ("connect " + sp.proxy + " 0x40000000",
                      without_time(proxy->wait("connect " + sp.proxy + " ", 10.0, asked)));
        for (const pair& sp : pairs) ASSERT_EQ("gate " + sp.stub + " ok", stub->command("gate " + sp.stub + " open"));
        for (const pair& sp : pairs) {
            const std::string shut = stub->wait("on_shutdown " + sp.stub + " ", 10.0, from);
            ASSERT_EQ(0u, shut.rfind("on_shutdown " + sp.stub + " 0x9 127.0.0.1:" + c_domain + ":", 0))
                << shut << "; " << stub->command("clients " + sp.stub) << "\n"
                << stub->child().output().substr(from) << "\n"
                << proxy->child().output().substr(asked);
        }
    }
    for (const pair& sp : pairs) {
        EXPECT_EQ("clients " + sp.stub + " 0", stub->command("clients " + sp.stub));
        EXPECT_EQ("state " + sp.proxy + " live=1 connected=0", proxy->command("state " + sp.proxy));
    }

    finalise({stub.get(), proxy.get()});
    EXPECT_TRUE(host.back_at_baseline()) << host.blocks() << ", before: " << host.baseline();
}

// Stub s on host B, proxy p on host A.
class command_two_hosts : public command_end_to_end {
protected:
    void SetUp() override {
        REQUIRE_PRIVATE_HOSTS();
        ASSERT_NO_FATAL_FAILURE(a.start());
        ASSERT_NO_FATAL_FAILURE(b.start());
        ASSERT_TRUE(kova_test::join_hosts(a.host(), b.host(), c_ip_a, c_ip_b));
        ASSERT_NO_FATAL_FAILURE(a.link_to(c_ip_b, b));
        ASSERT_NO_FATAL_FAILURE(b.link_to(c_ip_a, a));
        a.settle();
        b.settle();
    }
    void expect_both_at_baseline() {
        EXPECT_TRUE(a.back_at_baseline()) << a.blocks() << " on A, before: " << a.baseline();
        EXPECT_TRUE(b.back_at_baseline()) << b.blocks() << " on B, before: " << b.baseline();
    }

    watched_host a, b;
};

TEST_F(command_two_hosts, commands_up_to_60000_bytes_cross_as_datagrams_and_larger_ones_by_tcp) {
    std::unique_ptr<probe_app> stub = start_stub(b), proxy = a.app();
    ASSERT_TRUE(stub && proxy);
    bind(*proxy, c_ip_b);
    EXPECT_EQ("connect p 0x0", connect(*proxy));
    const std::string connect_line = stub->wait("on_connect s ");
    ASSERT_EQ(0u, connect_line.rfind("on_connect s " + c_ip_a + ":", 0)) << connect_line;
    const std::string client = words(connect_line).at(2);
    ASSERT_EQ("model p ok", proxy->command("model p 1 0 0"));

    struct row {
        unsigned size;
        long datagrams;  // more that host B received
    };
    unsigned k = 10;
    for (const row& r : {row{100, 1}, row{60000, 1}, row{60001, 0}, row{8, 1}}) {
        SCOPED_TRACE(r.size);
        const long before = std::stol(words(stub->command("udp")).at(1));
        // The client in on_sync is the one that connected, whichever way the command came.
        EXPECT_EQ(posted(client, k, r.size), post(*proxy, *stub, "write", k, r.size));
        const long after = std::stol(words(stub->command("udp")).at(1));
        EXPECT_EQ(r.datagrams, after - before);
        ++k;
    }

    finalise({stub.get(), proxy.get()});
    expect_both_at_baseline();
}

}  // namespace
