// The host boundary: a packet from the network speaks only for the host it came from, with the
// identity of its TCP connection or the sender of its datagram. Real service, centers and
// applications on two private hosts joined by veth; hostile peers speak the wire format from
// host A itself and from host B, forging the shutdowns of the connection kinds for subscribers
// of both hosts and connects for a node that does not exist.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "sdk_end_to_end.h"

using kova_test::child_process;
using kova_test::lines_of;
using kova_test::probe_app;
using kova_test::words;

namespace {

const std::string c_domain = "7640";
const std::string c_ip_a = "10.231.70.1";
const std::string c_ip_b = "10.231.70.2";

// A peer that speaks the wire format. Each spec is "type,code,sport,sid,did" (decimal, or hex
// with 0x); every packet carries number 0, which no stub takes for a repeat.
//   udp <to> <port> <spec>...   one datagram each, then "sent"
//   tcp <to> <port> <spec>...   an init record; "refused" when the center closes instead of
//                               answering with its own; else the packets, "port <its port>"
//                               and "sent", then "got <type> <code> <did>" for each header
//                               that comes back, until its input closes
const char* const c_forger = R"PY(
import socket, struct, sys, threading
how, to, port = sys.argv[1], sys.argv[2], int(sys.argv[3])
def packet(spec):
    t, c, sport, sid, did = (int(x, 0) for x in spec.split(','))
    size = 4 if t == 16 else 0
    return struct.pack('<BBHHHHHHHII', 2, t, sport, 0xFFFF, 0, c, sid, did, 0, 0, size) + b'\0' * size
packets = [packet(s) for s in sys.argv[4:]]
def say(t): print(t, flush=True)
if how == 'udp':
    u = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    for p in packets: u.sendto(p, (to, port))
    say('sent')
    sys.exit(0)
s = socket.create_connection((to, port), timeout=10)
def recv_exact(n):
    b = b''
    while len(b) < n:
        c = s.recv(n - len(b))
        if not c: raise EOFError()
        b += c
    return b
try:
    s.sendall(b'\0' * 1020 + struct.pack('<HH', s.getsockname()[1], port))
    recv_exact(1024)
except (EOFError, OSError):
    say('refused')
    sys.exit(0)
for p in packets: s.sendall(p)
say('port %d' % s.getsockname()[1])
say('sent')
def drain():
    try:
        while True:
            h = struct.unpack('<BBHHHHHHHII', recv_exact(24))
            if h[10]: recv_exact(h[10])
            if h[1] != 0: say('got %d %d %d' % (h[1], h[5], h[7]))
    except (EOFError, OSError):
        pass
threading.Thread(target=drain, daemon=True).start()
sys.stdin.read()
s.close()
)PY";

// Stub ids and codes of the three connection kinds, and the broadcast code of the fence.
const std::string c_event_stub = "5", c_event_code = "300", c_broadcast_code = "301";
const std::string c_command_stub = "6", c_command_code = "400";
const std::string c_information_stub = "7", c_information_code = "500";

// A watched host whose keeper (an event stub, id 99) keeps the domain's center.
class boundary_host : public kova_test::kept_host {
public:
    boundary_host() : kept_host("probe_event_app", "MEMSIZE=67108864\n") {}
    void start() { ASSERT_TRUE(kept_host::start("stub keeper " + c_domain + " 99 1 2", "stub keeper 0x0 99")); }
    // The keeper's proxy of the other host's keeper: the centers' connection is there before
    // the case and after it.
    void link_to(const std::string& in_ip) {
        const size_t from = keeper().mark();
        keeper().send("bproxy link " + c_domain + " " + in_ip + " 99 2");
        ASSERT_EQ("on_object_create link", keeper().wait("on_object_create link", 20.0, from))
            << keeper().child().output();
    }
};

class host_boundary_hosts : public testing::Test {
protected:
    void SetUp() override {
        REQUIRE_PRIVATE_HOSTS();
        ASSERT_NO_FATAL_FAILURE(a.start());
        ASSERT_NO_FATAL_FAILURE(b.start());
        ASSERT_TRUE(kova_test::join_hosts(a.host(), b.host(), c_ip_a, c_ip_b));
        ASSERT_TRUE(kova_test::add_default_route(a.host()));  // the stub's values leave by multicast
        ASSERT_TRUE(kova_test::add_default_route(b.host()));
        ASSERT_NO_FATAL_FAILURE(b.link_to(c_ip_a));
        // Each datagram receive keeps a header block for the next datagram: count it in.
        for (auto& to : {std::make_pair(&b, c_ip_a), std::make_pair(&a, c_ip_b)}) {
            child_process warm = forge(*to.first, "udp", to.second, {"16,2," + c_domain + ",99,65535"});
            ASSERT_TRUE(warm.wait_for_line("sent")) << warm.output();
        }
        a.settle();
        b.settle();
    }
    child_process forge(boundary_host& in_from, const std::string& in_how, const std::string& in_to,
                        const std::vector<std::string>& in_specs) {
        std::vector<std::string> argv{"/usr/bin/python3", "-c", c_forger, in_how, in_to, c_domain};
        argv.insert(argv.end(), in_specs.begin(), in_specs.end());
        return in_from.host().spawn(argv);
    }
        boundary_host a, b;
};

// One connection kind: its stub on host A, the packets that connect and shut down, and how a
// subscriber of it is made.
struct kind_spec {
    std::string probe;
    std::string stub_line, stub_made;  // makes the stub, and its answer
    std::string stub, id, code;
    std::string proxy;           // the probe's command that makes a proxy of this kind
    std::string tail_a, tail_b;  // what follows a subscriber's name in its connect command
    int connect, shutdown, udp_shutdown;  // types; udp_shutdown 0 when the kind has none
};

const kind_spec c_kinds[] = {
    {"probe_event_app", "stub s 7640 5 300 301", "stub s 0x0 5", "s", "5", "300", "eproxy", "5", "5", 64, 67, 0},
    {"probe_command_app", "stub c 7640 6 400", "stub c 0x0 6", "c", "6", "400", "proxy", "5", "5", 80, 84, 0},
    {"probe_information_app", "stub i 7640 7 500", "stub i 0x0 7", "i", "7", "500", "proxy", "tcp 5", "udp 5", 96,
     100, 117},
};

// A kind in a case: its stub, a subscriber on each host, and the subscribers as the stub
// knows them (ip:port:id).
struct kind_t : kind_spec {
    explicit kind_t(const kind_spec& in_spec) : kind_spec(in_spec) {}
    std::unique_ptr<probe_app> stub_app, app_a, app_b;
    std::string client_a, client_b;
};

const char* const c_subscriber_a = "pa";
const char* const c_subscriber_b = "pb";

class host_boundary : public host_boundary_hosts {
protected:
    void SetUp() override {
        host_boundary_hosts::SetUp();
        if (HasFatalFailure() || IsSkipped()) return;
        for (const kind_spec& spec : c_kinds) kinds.emplace_back(spec);
        for (kind_t& k : kinds) {
            k.stub_app = a.app(k.probe);
            k.app_a = a.app(k.probe);
            k.app_b = b.app(k.probe);
            ASSERT_TRUE(k.stub_app && k.app_a && k.app_b);
            ASSERT_EQ(k.stub_made, k.stub_app->command(k.stub_line));
            ASSERT_NO_FATAL_FAILURE(subscribe(k, *k.app_a, c_subscriber_a, "127.0.0.1", k.tail_a));
            ASSERT_NO_FATAL_FAILURE(subscribe(k, *k.app_b, c_subscriber_b, c_ip_a, k.tail_b));
            k.client_a = client_seen(k, "127.0.0.1:");
            k.client_b = client_seen(k, c_ip_b + ":");
            ASSERT_EQ(0u, k.client_a.rfind("127.0.0.1:" + c_domain + ":", 0)) << k.stub_app->child().output();
            ASSERT_FALSE(k.client_b.empty()) << k.stub_app->child().output();
        }
    }
    void subscribe(kind_t& k, probe_app& in_app, const std::string& in_name, const std::string& in_ip,
                   const std::string& in_tail) {
        const size_t from = in_app.mark();
        in_app.send(k.proxy + " " + in_name + " " + c_domain + " " + in_ip + " " + k.id + " " + k.code);
        const std::string made = in_app.wait("proxy " + in_name + " ", 20.0, from);
        ASSERT_EQ(0u, made.rfind("proxy " + in_name + " 0x0 ", 0)) << made;
        ASSERT_EQ("on_object_create " + in_name, in_app.wait("on_object_create " + in_name, 20.0, from));
        const std::string connected = in_app.command("connect " + in_name + " " + in_tail);
        ASSERT_EQ(0u, connected.rfind("connect " + in_name + " 0x0", 0)) << connected;
    }
    // The client of the stub's on_connect lines that begins with in_prefix, once there is one.
    static std::string client_seen(kind_t& k, const std::string& in_prefix) {
        std::string found;
        kova_test::wait_until(
            [&] {
                k.stub_app->child().wait_for_line("\x01", 0.05);  // reads what has come
                for (const std::string& line : lines_of(k.stub_app->child().output(), "on_connect " + k.stub + " ")) {
                    const std::string who = words(line).back();
                    if (who.rfind(in_prefix, 0) == 0) found = who;
                }
                return !found.empty();
            },
            10.0);
        return found;
    }
    // Every subscriber of every kind is served once more (round in_round): an event, a
    // command, a value, each heard where it should be.
    void expect_all_served(int in_round) {
        const std::string n = std::to_string(in_round);
        kind_t& e = kinds[0];
        const size_t at_stub = e.stub_app->mark(), at_a = e.app_a->mark(), at_b = e.app_b->mark();
        ASSERT_EQ("expect pa ok", e.app_a->command("expect pa " + n + " 1 4"));
        ASSERT_EQ("expect pb ok", e.app_b->command("expect pb " + n + " 1 4"));
        e.stub_app->send("publish s " + n + " 1 4");
        EXPECT_EQ("published s 1 0", e.stub_app->wait("published s ", 10.0, at_stub));
        EXPECT_EQ("done pa 1 0 0", e.app_a->wait("done pa ", 10.0, at_a)) << e.app_a->child().output();
        EXPECT_EQ("done pb 1 0 0", e.app_b->wait("done pb ", 10.0, at_b)) << e.app_b->child().output();

        kind_t& c = kinds[1];
        for (bool on_a : {true, false}) {
            const std::string name = on_a ? c_subscriber_a : c_subscriber_b;
            const size_t from = c.stub_app->mark();
            EXPECT_EQ("post " + name + " 0x0", (on_a ? c.app_a : c.app_b)->command("post " + name + " write " + n + " 8"));
            const std::string heard =
                c.stub_app->wait("on_sync c " + (on_a ? c.client_a : c.client_b) + " ", 10.0, from);
            EXPECT_NE(std::string::npos, heard.find(" 8 " + n + " ok ")) << heard << c.stub_app->child().output();
        }

        kind_t& v = kinds[2];
        const size_t value_a = v.app_a->mark(), value_b = v.app_b->mark();
        EXPECT_EQ("write i 0x0", v.stub_app->command("write i v" + n));
        EXPECT_EQ("on_sync pa 0 v" + n, v.app_a->wait("on_sync pa ", 10.0, value_a));
        EXPECT_EQ("on_sync pb 0 v" + n, v.app_b->wait("on_sync pb ", 10.0, value_b));
    }
    // The shutdowns of this kind for both subscribers, claiming each one's own address.
    static std::vector<std::string> forged_shutdowns(const kind_t& k) {
        std::vector<std::string> specs;
        for (const std::string& who : {k.client_a, k.client_b}) {
            const size_t a = who.find(':'), z = who.rfind(':');
            const std::string port = who.substr(a + 1, z - a - 1), id = who.substr(z + 1);
            for (int type : {k.shutdown, k.udp_shutdown})
                if (type != 0) specs.push_back(std::to_string(type) + "," + k.code + "," + port + "," + id + "," + k.id);
        }
        return specs;
    }

    std::vector<kind_t> kinds;
};

TEST_F(host_boundary, forged_shutdowns_change_nothing_and_a_made_up_node_is_the_connections_own) {
    std::vector<std::string> all;
    for (const kind_t& k : kinds)
        for (const std::string& spec : forged_shutdowns(k)) all.push_back(spec);
    ASSERT_EQ(8u, all.size());
    ASSERT_NO_FATAL_FAILURE(expect_all_served(1));

    // From host A itself, to the loopback and to A's address: datagrams, and raw connections,
    // which are refused before their first packet.
    for (const std::string& to : {std::string("127.0.0.1"), c_ip_a}) {
        child_process datagrams = forge(a, "udp", to, all);
        EXPECT_TRUE(datagrams.wait_for_line("sent")) << datagrams.output();
        child_process raw = forge(a, "tcp", to, all);
        EXPECT_TRUE(raw.wait_for_line("refused")) << to << ": " << raw.output();
    }
    // From host B: datagrams, a broadcast behind them that shows they have all been taken, and
    // a raw connection whose made-up connects (port 40000, id 0x9999) follow its shutdowns.
    std::vector<std::string> from_b = all;
    from_b.push_back("16,301," + c_domain + ",5,65535");
    const size_t fence_made = kinds[0].app_a->mark();
    kinds[0].app_a->send("bproxy fence " + c_domain + " 127.0.0.1 5 301");
    ASSERT_EQ(0u, kinds[0].app_a->wait("proxy fence ", 10.0, fence_made).rfind("proxy fence 0x0 ", 0));
    ASSERT_EQ("expect fence ok", kinds[0].app_a->command("expect fence 0 1 4"));
    child_process datagrams = forge(b, "udp", c_ip_a, from_b);
    EXPECT_TRUE(datagrams.wait_for_line("sent")) << datagrams.output();
    EXPECT_EQ("done fence 1 0 0", kinds[0].app_a->wait("done fence ", 10.0)) << kinds[0].app_a->child().output();
    std::vector<std::string> raw_specs = all;
    for (const kind_t& k : kinds) raw_specs.push_back(std::to_string(k.connect) + "," + k.code + ",40000,39321," + k.id);
    child_process raw = forge(b, "tcp", c_ip_a, raw_specs);
    const std::string port_line = raw.wait_for_prefix("port ", 10.0);
    ASSERT_FALSE(port_line.empty()) << raw.output();
    // The made-up client is the raw connection's: B's address and the port it comes from.
    const std::string made_up = c_ip_b + ":" + words(port_line)[1] + ":39321";
    for (kind_t& k : kinds) {
        const std::string connect = "on_connect " + k.stub + " " + (k.stub == "i" ? "1 " : "");
        EXPECT_EQ(connect + made_up, k.stub_app->wait(connect + c_ip_b + ":" + words(port_line)[1] + ":", 10.0))
            << k.stub_app->child().output();
    }

    ASSERT_NO_FATAL_FAILURE(expect_all_served(2));
    for (kind_t& k : kinds) {
        const std::string out = k.stub_app->child().output();
        EXPECT_EQ(std::string::npos, out.find(":40000:")) << out;
        // Nobody's subscription ended: not the victims', nor one of the raw connection's node.
        EXPECT_EQ(std::string::npos, out.find("on_shutdown ")) << out;
        for (probe_app* app : {k.app_a.get(), k.app_b.get()})
            EXPECT_EQ(std::string::npos, app->child().output().find("on_disconnected ")) << app->child().output();
    }
    EXPECT_EQ("clients s 3", kinds[0].stub_app->command("clients s"));
    EXPECT_EQ("clients c 3", kinds[1].stub_app->command("clients c"));
    EXPECT_EQ("count i 3", kinds[2].stub_app->command("count i"));

    // The raw connection ends: its node, and nobody else, is lost.
    raw.close_input();
    EXPECT_EQ(0, raw.wait(10.0));
    for (kind_t& k : kinds)
        EXPECT_EQ("on_shutdown " + k.stub + " 0x4000000e " + made_up,
                  k.stub_app->wait("on_shutdown " + k.stub + " 0x4000000e ", 10.0))
            << k.stub_app->child().output();
    ASSERT_NO_FATAL_FAILURE(expect_all_served(3));
    EXPECT_EQ("clients s 2", kinds[0].stub_app->command("clients s"));
    EXPECT_EQ("clients c 2", kinds[1].stub_app->command("clients c"));
    EXPECT_EQ("count i 2", kinds[2].stub_app->command("count i"));

    for (kind_t& k : kinds)
        for (probe_app* app : {k.stub_app.get(), k.app_a.get(), k.app_b.get()})
            EXPECT_EQ(0, app->exit(10.0)) << app->child().output();
    EXPECT_TRUE(a.back_at_baseline()) << a.blocks() << " on A, before: " << a.baseline();
    EXPECT_TRUE(b.back_at_baseline()) << b.blocks() << " on B, before: " << b.baseline();
}

// A proxy bound to a stub at its own host's address (not the loopback) is served through the
// center's connection to itself: the one connection from this host that is let in.
TEST_F(host_boundary_hosts, a_proxy_bound_to_a_stub_at_its_own_hosts_address_is_served_by_its_center) {
    std::unique_ptr<probe_app> stub = a.app("probe_event_app"), own = a.app("probe_event_app");
    ASSERT_TRUE(stub && own);
    ASSERT_EQ("stub s 0x0 5", stub->command("stub s " + c_domain + " 5 300 301"));
    const size_t from = own->mark();
    own->send("eproxy p " + c_domain + " " + c_ip_a + " 5 300 auto");
    EXPECT_EQ("connect p 0x0 auto", own->wait("connect p ", 20.0, from)) << own->child().output();
    EXPECT_EQ(0u, stub->wait("on_connect s ", 10.0).rfind("on_connect s " + c_ip_a + ":", 0)) << stub->child().output();
    EXPECT_EQ("expect p ok", own->command("expect p 0 3 4"));
    stub->send("publish s 0 3 4");
    EXPECT_EQ("done p 3 0 0", own->wait("done p ", 10.0)) << own->child().output();
    for (probe_app* app : {own.get(), stub.get()}) EXPECT_EQ(0, app->exit(10.0)) << app->child().output();
    EXPECT_TRUE(a.back_at_baseline()) << a.blocks() << ", before: " << a.baseline();
}

}  // namespace
