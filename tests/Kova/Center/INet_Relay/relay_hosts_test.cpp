// The network relay in real processes on private hosts: two relays joined by veth, and hostile
// peers on another host and on the relay's own. Each relay runs in probe_relay, a center
// stand-in.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "private_host.h"
#include "test_process.h"

namespace {

using kova_test::child_process;
using kova_test::private_host;

#define REQUIRE_PRIVATE_HOSTS()                                  \
    do {                                                         \
        std::string why;                                         \
        if (!private_host::available(&why)) GTEST_SKIP() << why; \
    } while (0)

// Peers that speak the relay's wire format, run with python3 inside a host.
const char* const c_peer_script = R"PY(
import socket, struct, sys, time
H = '<BBHHHHHHHII'
def hdr(typ, size=0, ver=2, code=7, sid=0x8001, did=1):
    return struct.pack(H, ver, typ, 7000, 0, 0, code, sid, did, 1, 0, size)
def init_record(sender, receiver):
    return b'\0' * 1020 + struct.pack('<HH', sender, receiver)
def recv_exact(s, n):
    b = b''
    while len(b) < n:
        c = s.recv(n - len(b))
        if not c: raise EOFError()
        b += c
    return b
def wait_eof(s, limit=30):
    s.settimeout(limit)
    try:
        while s.recv(65536): pass
    except (ConnectionResetError, socket.timeout):
        pass
def handshake(port):
    s = socket.create_connection((HOST, port), timeout=10)
    s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    s.sendall(init_record(s.getsockname()[1], port))
    recv_exact(s, 1024)
    return s
def say(t): print(t, flush=True)
mode, port = sys.argv[1], int(sys.argv[2])
HOST = sys.argv[3] if len(sys.argv) > 3 else '127.0.0.1'  # the relay's host
if mode == 'handshake':
    handshake(port).close(); say('handshake ok')
elif mode == 'refused':
    try:
        handshake(port).close(); say('accepted')
    except (EOFError, OSError):
        say('refused')
elif mode == 'bigsize':
    s = handshake(port); s.sendall(hdr(48, 0xFFFFFFF0) + b'x' * 10); s.close(); say('done')
elif mode == 'badver':
    s = handshake(port); s.sendall(hdr(32, 0, ver=1)); wait_eof(s); say('closed')
elif mode == 'partial':
    s = socket.create_connection((HOST, port)); s.sendall(init_record(1, port)[:1000])
    t = time.time(); wait_eof(s); say('closed after %d' % int(time.time() - t))
elif mode == 'five':
    socks = [socket.socket() for _ in range(5)]
    for s in socks: s.setblocking(False); s.connect_ex((HOST, port))
    for s in socks:
        s.setblocking(True); s.settimeout(10); s.sendall(init_record(s.getsockname()[1], port)); recv_exact(s, 1024)
    say('five ok')
elif mode == 'reset':
    s = handshake(port); s.sendall(hdr(32)); s.settimeout(5); n = 0
    t = time.time()
    while n < 2 and time.time() - t < 5:
        if struct.unpack(H, recv_exact(s, 24))[1] == 0: n += 1
    s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack('ii', 1, 0)); s.close()
    say('reset after heartbeats %d' % n)
elif mode == 'noread':
    s = socket.socket(); s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
    s.connect((HOST, port)); s.sendall(init_record(s.getsockname()[1], port)); recv_exact(s, 1024)
    say('port %d' % s.getsockname()[1]); time.sleep(40)
elif mode == 'udp':
    u = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    for d in [b'', b'y' * 20, hdr(16, 10) + b'y' * 5, hdr(16, 2) + b'y' * 9, hdr(16, 3) + b'abc']:
        u.sendto(d, (HOST, port))
    say('udp sent')
elif mode == 'sources':  # <port> <group> <size> <source>...: one value each, of size + k bytes
    group, size = sys.argv[3], int(sys.argv[4])
    for k, src in enumerate(sys.argv[5:]):
        u = socket.socket(socket.AF_INET, socket.SOCK_DGRAM); u.bind((src, 0))
        n = size + k
        u.sendto(hdr(118, n) + bytes((i * 7 + 3) & 255 for i in range(n)), (group, port))
    say('sources sent')
elif mode == 'hold':
    l = socket.socket(); l.bind(('0.0.0.0', port)); l.listen(); say('holding'); time.sleep(30)
elif mode == 'server':
    l = socket.socket(); l.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    l.bind(('0.0.0.0', port)); l.listen(); say('listening')
    c, a = l.accept(); init = recv_exact(c, 1024)
    c.sendall(init_record(port, a[1]))
    c.sendall(hdr(49, 5, sid=1, did=0x8001) + b'hello'); last = time.time()
    c.settimeout(5)
    while True:
        h = struct.unpack(H, recv_exact(c, 24))
        if h[1] == 52: break
    say('ack %d size %d' % (h[1], h[10]))
    n = 0; t = time.time()
    while n < 1 and time.time() - t < 2.5:
        if struct.unpack(H, recv_exact(c, 24))[1] == 0: n += 1
    say('heartbeats %s' % ('ok' if n >= 1 else 'none'))
    wait_eof(c); say('closed after %d' % int(time.time() - last))
    c2, a2 = l.accept(); recv_exact(c2, 1024); say('reaccepted')
)PY";

std::string write_script() {
    const std::string path = "/tmp/" + kova_test::unique_name("relay_peer") + ".py";
    std::ofstream(path) << c_peer_script;
    return path;
}

unsigned checksum_of_pattern(size_t in_size) {
    unsigned h = 2166136261u;
    for (size_t i = 0; i < in_size; ++i) h = (h ^ static_cast<unsigned char>(i * 7 + 3)) * 16777619u;
    return in_size ? h : 0u;
}

std::string pkt_line(unsigned in_type, size_t in_size) {
    return "pkt " + std::to_string(in_type) + " size " + std::to_string(in_size) + " data " +
           (in_size ? "1" : "0") + " sum " + std::to_string(checksum_of_pattern(in_size));
}

// The digits that follow in_prefix in in_text, or "" when there are none.
std::string number_after(const std::string& in_text, const std::string& in_prefix) {
    const size_t at = in_text.find(in_prefix);
    if (at == std::string::npos) return "";
    size_t end = at + in_prefix.size();
    while (end < in_text.size() && std::isdigit(static_cast<unsigned char>(in_text[end]))) ++end;
    return in_text.substr(at + in_prefix.size(), end - at - in_prefix.size());
}

// Waits until in_child has printed in_prefix followed by digits; returns them ("" on time-out).
std::string wait_for_number(child_process& in_child, const std::string& in_prefix) {
    std::string found;
    for (int i = 0; i < 200 && (found = number_after(in_child.output(), in_prefix)).empty(); ++i)
        in_child.wait_for_line("\x01", 0.1);  // a line never printed: just reads what came
    return found;
}

// The connection limit of the tests that wait for it: the relay's own 8 s shortened through its
// configuration file, so that no test waits it out.
constexpr int c_test_limit_s = 3;

// The peer saw its connection end within two seconds after the limit since it last sent (the
// timer looks once a second).
bool closed_at_the_silence_limit(const std::string& in_text) {
    const std::string seconds = number_after(in_text, "closed after ");
    return !seconds.empty() && std::stoi(seconds) >= c_test_limit_s && std::stoi(seconds) <= c_test_limit_s + 2;
}

class relay_hosts : public ::testing::Test {
protected:
    void TearDown() override {
        if (!m_script.empty()) std::remove(m_script.c_str());
        if (!m_config_root.empty()) {
            std::remove((m_config_root + "/Config/kova.ini").c_str());
            ::rmdir((m_config_root + "/Config").c_str());
            ::rmdir((m_config_root + "/run").c_str());
            ::rmdir(m_config_root.c_str());
        }
    }

    // A working directory whose ../Config/kova.ini, read by the relay as a center reads it from
    // the service's directory, holds the defaults with the connection limit of c_test_limit_s.
    std::string short_limit_directory() {
        if (m_config_root.empty()) {
            m_config_root = "/tmp/" + kova_test::unique_name("relay_cfg");
            ::mkdir(m_config_root.c_str(), 0700);
            ::mkdir((m_config_root + "/Config").c_str(), 0700);
            ::mkdir((m_config_root + "/run").c_str(), 0700);
            std::ofstream(m_config_root + "/Config/kova.ini")
                << "[KOVA]\nAUTO_DISCONNECT=yes\nSERVER_SOCKET_REUSE=yes\nSERVER_LISTEN_BACKLOG=5\n"
                   "SERVER_LINGER_USE=no\nSERVER_LINGER_TIME=1024\nSERVER_NAGLE_OFF_USE=yes\nCLIENT_LINGER_USE=no\n"
                   "CLIENT_LINGER_TIME=1024\nCLIENT_NAGLE_OFF_USE=yes\nCONNECTION_TIMEOUT_MS="
                << c_test_limit_s * 1000 << "\n";
        }
        return m_config_root + "/run";
    }

    child_process start_relay(private_host& in_host, int in_domain, const std::string& in_tag = "mem",
                              const std::string& in_cwd = "/tmp") {
        child_process c = in_host.spawn({kova_test::probe_path("probe_relay"), kova_test::unique_name(in_tag),
                                         std::to_string(in_domain)},
                                        in_cwd);
        EXPECT_TRUE(c.wait_for_line("ready", 20)) << c.output();
        return c;
    }
    void quit(child_process& in_relay) {
        in_relay.send_line("quit");
        EXPECT_TRUE(in_relay.wait_for_line("final blocks 0", 20)) << in_relay.output();
        EXPECT_EQ(in_relay.wait(20), 0);
    }
    child_process peer(private_host& in_host, const std::vector<std::string>& in_args) {
        if (m_script.empty()) m_script = write_script();
        std::vector<std::string> argv{"/usr/bin/python3", m_script};
        argv.insert(argv.end(), in_args.begin(), in_args.end());
        return in_host.spawn(argv);
    }

    std::string m_script;
    std::string m_config_root;
};

TEST_F(relay_hosts, two_centers_connect_report_carry_packets_and_reconnect) {
    REQUIRE_PRIVATE_HOSTS();
    private_host a, b;
    ASSERT_TRUE(a.start());
    ASSERT_TRUE(b.start());
    ASSERT_TRUE(kova_test::join_hosts(a, b, "10.231.41.1", "10.231.41.2"));
    child_process ra = start_relay(a, 7301);
    child_process rb = start_relay(b, 7301);

    // Three local users of the remote center share one connection.
    for (int i = 0; i < 3; ++i) ra.send_line("connect 10.231.41.2 7301");
    ra.send_line("users 10.231.41.2 7301");
    ASSERT_TRUE(ra.wait_for_line("users 3"));
    ASSERT_TRUE(ra.wait_for_line("ctrl 8007 err 0", 10)) << ra.output();
    ASSERT_TRUE(rb.wait_for_line("ctrl 8005 err 0", 10)) << rb.output();
    ra.send_line("established");
    EXPECT_TRUE(ra.wait_for_line("established 1 0"));
    const std::string gate = wait_for_number(rb, "ctrl-detail 8005 src 10.231.41.1:");
    const std::string out_b = rb.output();
    ASSERT_FALSE(gate.empty()) << out_b;
    EXPECT_NE(out_b.find("ctrl-detail 8005 src 10.231.41.1:" + gate + " sid ffff dst 7301 did 0"), std::string::npos);
    ra.send_line("gate 10.231.41.2 7301");
    EXPECT_TRUE(ra.wait_for_line("gate " + gate)) << ra.output();

    // Packets both ways: header-only, 1 KiB, 60 KiB.
    for (size_t size : {0u, 1024u, 61440u}) {
        ra.send_line("tcp client 10.231.41.2 7301 48 " + std::to_string(size));
        EXPECT_TRUE(rb.wait_for_line(pkt_line(48, size))) << rb.output();
        rb.send_line("tcp server 10.231.41.1 " + gate + " 69 " + std::to_string(size));
        EXPECT_TRUE(ra.wait_for_line(pkt_line(69, size))) << ra.output();
    }

    // The last user leaving ends the connection for good.
    for (int i = 0; i < 3; ++i) ra.send_line("del 10.231.41.2 7301");
    ASSERT_TRUE(rb.wait_for_line("ctrl 8006 err 4000000e", 10)) << rb.output();
    ASSERT_TRUE(ra.wait_for_line("ctrl 8008 err 4000000e", 10)) << ra.output();
    ra.send_line("tcp client 10.231.41.2 7301 48 0");
    EXPECT_TRUE(ra.wait_for_line("sent -1"));
    ra.send_line("established");
    EXPECT_TRUE(ra.wait_for_line("established 0 0"));

    // A new user opens a new connection; when the remote center goes away it is withdrawn and
    // retried (the retries are seen coming back in the next test).
    ra.send_line("connect 10.231.41.2 7301");
    ASSERT_TRUE(ra.wait_for_line("ctrl 8007 err 0", 10)) << ra.output();
    ASSERT_TRUE(rb.wait_for_line("ctrl 8005 err 0", 10)) << rb.output();
    quit(rb);
    ASSERT_TRUE(ra.wait_for_line("ctrl 8008 err 4000000e", 10)) << ra.output();
    ra.send_line("users 10.231.41.2 7301");
    EXPECT_TRUE(ra.wait_for_line("users 1"));
    quit(ra);
}

TEST_F(relay_hosts, the_connecting_side_acknowledges_returns_sends_heartbeats_and_ends_a_silent_peer) {
    REQUIRE_PRIVATE_HOSTS();
    private_host a, b;
    ASSERT_TRUE(a.start());
    ASSERT_TRUE(b.start());
    ASSERT_TRUE(kova_test::join_hosts(a, b, "10.231.42.1", "10.231.42.2"));
    child_process server = peer(b, {"server", "7302"});
    ASSERT_TRUE(server.wait_for_line("listening"));
    child_process ra = start_relay(a, 7302, "mem", short_limit_directory());
    ra.send_line("connect 10.231.42.2 7302");
    ASSERT_TRUE(ra.wait_for_line("ctrl 8007 err 0", 10));
    EXPECT_TRUE(server.wait_for_line("ack 52 size 0", 10)) << server.output();
    EXPECT_TRUE(ra.wait_for_line("pkt 49 size 5 data 1 sum 1335831723")) << ra.output();
    EXPECT_TRUE(server.wait_for_line("heartbeats ok", 10)) << server.output();
    // Silent for longer than the limit: the relay shuts the connection down, then reconnects.
    EXPECT_TRUE(server.wait_for_line("reaccepted", 25)) << server.output();
    EXPECT_TRUE(closed_at_the_silence_limit(server.output())) << server.output();
    EXPECT_TRUE(ra.wait_for_line("ctrl 8008 err 4000000e", 5)) << ra.output();
    quit(ra);
}

TEST_F(relay_hosts, hostile_peers_leave_the_center_alive_consistent_and_open_to_a_fresh_handshake) {
    REQUIRE_PRIVATE_HOSTS();
    private_host h, x;
    ASSERT_TRUE(h.start());
    ASSERT_TRUE(x.start());
    ASSERT_TRUE(kova_test::join_hosts(h, x, "10.231.44.1", "10.231.44.2"));
    const std::string relay_ip = "10.231.44.1";
    child_process relay = start_relay(h, 7303, "mem", short_limit_directory());
    // The datagram receive keeps one header block for the next datagram: count it in.
    child_process warm = peer(x, {"udp", "7303", relay_ip});
    ASSERT_TRUE(relay.wait_for_line("pkt 16 size 3 data 1 sum 440920331")) << relay.output();
    relay.send_line("baseline");
    ASSERT_TRUE(relay.wait_for_line("baseline set"));

    struct case_t {
        const char* mode;
        const char* expect;
    };
    const case_t cases[] = {
        {"bigsize", "done"},
        {"badver", "closed"},
        {"five", "five ok"},
        {"reset", "reset after heartbeats 2"},
        {"udp", "udp sent"},
    };
    for (const case_t& c : cases) {
        child_process p = peer(x, {c.mode, "7303", relay_ip});
        EXPECT_TRUE(p.wait_for_line(c.expect, 20)) << c.mode << ": " << p.output();
        EXPECT_EQ(p.wait(20), 0) << c.mode;
        if (std::string(c.mode) == "udp") {
            // Only the one datagram whose length matches its header gets through.
            EXPECT_TRUE(relay.wait_for_line("pkt 16 size 3 data 1 sum 440920331")) << relay.output();
            EXPECT_EQ(relay.output().find("pkt 16 size 10"), std::string::npos);
            EXPECT_EQ(relay.output().find("pkt 16 size 2"), std::string::npos);
        }
        relay.send_line("ping");
        EXPECT_TRUE(relay.wait_for_line("pong")) << c.mode;
        relay.send_line("check_baseline");
        EXPECT_TRUE(relay.wait_for_line("baseline ok", 20)) << c.mode << ": " << relay.output();
        child_process fresh = peer(x, {"handshake", "7303", relay_ip});
        EXPECT_TRUE(fresh.wait_for_line("handshake ok", 20)) << c.mode;
        EXPECT_EQ(fresh.wait(20), 0);
        relay.send_line("check_baseline");
        EXPECT_TRUE(relay.wait_for_line("baseline ok", 20)) << c.mode << ": " << relay.output();
    }

    // A peer on the relay's own host is no center of another host: its connection is closed at
    // once, by the loopback or by the host's own address, and its datagrams are dropped. The
    // valid datagram the other host sends behind them is the only one that comes in.
    const size_t heard = relay.output().size();
    for (const char* to : {"127.0.0.1", "10.231.44.1"}) {
        child_process local = peer(h, {"refused", "7303", to});
        EXPECT_TRUE(local.wait_for_line("refused", 20)) << to << ": " << local.output();
        child_process datagrams = peer(h, {"udp", "7303", to});
        EXPECT_TRUE(datagrams.wait_for_line("udp sent", 20)) << to;
    }
    child_process remote = peer(x, {"udp", "7303", relay_ip});
    EXPECT_TRUE(relay.wait_for_line("pkt 16 size 3 data 1 sum 440920331")) << relay.output();
    relay.send_line("ping");
    EXPECT_TRUE(relay.wait_for_line("pong"));
    const std::string since = relay.output().substr(heard);
    EXPECT_EQ(std::string::npos, since.find("ctrl 8005")) << since;
    EXPECT_EQ(since.find("pkt "), since.rfind("pkt ")) << since;
    relay.send_line("check_baseline");
    EXPECT_TRUE(relay.wait_for_line("baseline ok", 20)) << relay.output();

    // An init record that stops after 1000 bytes is closed at the init deadline, and a peer
    // that stops reading neither freezes the center nor keeps its queue: both in one wait.
    child_process partial = peer(x, {"partial", "7303", relay_ip});
    child_process noread = peer(x, {"noread", "7303", relay_ip});
    const std::string port = wait_for_number(noread, "port ");
    ASSERT_FALSE(port.empty()) << noread.output();
    relay.send_line("tcp server 10.231.44.2 " + port + " 69 60000 200");
    EXPECT_TRUE(relay.wait_for_line("sent 0", 5)) << "queueing never waits on the peer: " << relay.output();
    relay.send_line("ping");
    EXPECT_TRUE(relay.wait_for_line("pong", 5));
    EXPECT_EQ(partial.wait(25), 0);
    EXPECT_TRUE(closed_at_the_silence_limit(partial.output())) << partial.output();
    const std::string ended = "ctrl 8006 err 4000000e";
    EXPECT_TRUE(relay.wait_for_line(ended, 20)) << relay.output();
    noread.kill_now();
    relay.send_line("check_baseline");
    EXPECT_TRUE(relay.wait_for_line("baseline ok", 20)) << relay.output();
    child_process fresh = peer(x, {"handshake", "7303", relay_ip});
    EXPECT_TRUE(fresh.wait_for_line("handshake ok", 20));
    quit(relay);
}

TEST_F(relay_hosts, datagrams_go_to_one_host_to_every_host_and_to_a_joined_source_specific_group) {
    REQUIRE_PRIVATE_HOSTS();
    private_host a, b;
    ASSERT_TRUE(a.start());
    ASSERT_TRUE(b.start());
    ASSERT_TRUE(kova_test::join_hosts(a, b, "10.231.43.1", "10.231.43.2"));
    // Broadcast and multicast need a route out of the veth.
    const std::vector<std::string> route{
        "/bin/sh", "-c", "ip route add default dev $(ip -o link show | awk -F': ' '$2 != \"lo\" {print $2}' | cut -d@ -f1)"};
    ASSERT_EQ(a.run(route), 0);
    ASSERT_EQ(b.run(route), 0);
    child_process ra = start_relay(a, 7304);
    child_process rb = start_relay(b, 7304);

    ra.send_line("udp 10.231.43.2 16 100");
    EXPECT_TRUE(ra.wait_for_line("udp 0"));
    EXPECT_TRUE(rb.wait_for_line(pkt_line(16, 100))) << rb.output();
    ra.send_line("udp 255.255.255.255 16 50");
    EXPECT_TRUE(rb.wait_for_line(pkt_line(16, 50))) << rb.output();
    // The sender's own broadcast comes back from its own address; its local copies went out
    // when it was sent, so it is dropped. One to its own address is the only copy: kept.
    // It comes back after the broadcast, so by then the broadcast would have been seen.
    ra.send_line("udp 10.231.43.1 16 9");
    EXPECT_TRUE(ra.wait_for_line(pkt_line(16, 9))) << ra.output();
    EXPECT_EQ(ra.output().find(pkt_line(16, 50)), std::string::npos) << ra.output();

    rb.send_line("join 230.1.0.7 10.231.43.2 10.231.43.1");
    ASSERT_TRUE(rb.wait_for_line("done join"));
    ra.send_line("udp 230.1.0.7 118 40");
    EXPECT_TRUE(rb.wait_for_line(pkt_line(118, 40))) << rb.output();
    rb.send_line("leave 230.1.0.7 10.231.43.2 10.231.43.1");
    ASSERT_TRUE(rb.wait_for_line("done leave"));
    ra.send_line("udp 230.1.0.7 118 41");
    ra.send_line("udp 10.231.43.2 16 5");
    EXPECT_TRUE(rb.wait_for_line(pkt_line(16, 5))) << rb.output();
    EXPECT_EQ(rb.output().find(pkt_line(118, 41)), std::string::npos) << "left the group";
    quit(ra);
    quit(rb);
}

// More memberships than one socket may hold: one group from 12 sources (a socket takes 10),
// then 21 groups more (a socket takes 20). Every source of every group is heard.
TEST_F(relay_hosts, memberships_past_one_sockets_limits_bring_every_group_and_source) {
    REQUIRE_PRIVATE_HOSTS();
    private_host a, b;
    ASSERT_TRUE(a.start());
    ASSERT_TRUE(b.start());
    ASSERT_TRUE(kova_test::join_hosts(a, b, "10.231.46.1", "10.231.46.2"));
    const std::string link = "$(ip -o link show | awk -F': ' '$2 != \"lo\" {print $2}' | cut -d@ -f1)";
    ASSERT_EQ(a.run({"/bin/sh", "-c", "ip route add default dev " + link}), 0);
    std::vector<std::string> sources{"10.231.46.1"};
    for (int k = 11; k <= 21; ++k) {
        sources.push_back("10.231.46." + std::to_string(k));
        ASSERT_EQ(a.run({"/bin/sh", "-c", "ip addr add " + sources.back() + "/24 dev " + link}), 0);
    }
    child_process rb = start_relay(b, 7306);
    for (const std::string& source : sources) {
        rb.send_line("join 230.1.3.1 10.231.46.2 " + source);
        ASSERT_TRUE(rb.wait_for_line("done join")) << rb.output();
    }
    for (int g = 1; g <= 21; ++g) {
        rb.send_line("join 230.1.2." + std::to_string(g) + " 10.231.46.2 10.231.46.1");
        ASSERT_TRUE(rb.wait_for_line("done join")) << rb.output();
    }
    std::vector<std::string> from_sources{"sources", "7306", "230.1.3.1", "60"};
    from_sources.insert(from_sources.end(), sources.begin(), sources.end());
    child_process sender = peer(a, from_sources);
    EXPECT_TRUE(sender.wait_for_line("sources sent", 20)) << sender.output();
    for (size_t k = 0; k < sources.size(); ++k)
        EXPECT_TRUE(rb.wait_for_line(pkt_line(118, 60 + k))) << sources[k] << ": " << rb.output();
    child_process last = peer(a, {"sources", "7306", "230.1.2.21", "30", "10.231.46.1"});
    EXPECT_TRUE(last.wait_for_line("sources sent", 20)) << last.output();
    EXPECT_TRUE(rb.wait_for_line(pkt_line(118, 30))) << "the 21st group: " << rb.output();
    quit(rb);
}

TEST_F(relay_hosts, a_connection_refused_for_want_of_descriptors_is_accepted_on_a_later_tick) {
    REQUIRE_PRIVATE_HOSTS();
    private_host h, x;
    ASSERT_TRUE(h.start());
    ASSERT_TRUE(x.start());
    ASSERT_TRUE(kova_test::join_hosts(h, x, "10.231.45.1", "10.231.45.2"));
    child_process relay = start_relay(h, 7305);
    relay.send_line("fdlimit tight");
    relay.send_line("ping");
    ASSERT_TRUE(relay.wait_for_line("pong"));
    if (relay.output().find("fdlimit unsupported") != std::string::npos) {
        quit(relay);
        GTEST_SKIP() << "built with sanitizers";
    }
    ASSERT_NE(relay.output().find("done fdlimit"), std::string::npos);
    child_process waiting = peer(x, {"handshake", "7305", "10.231.45.1"});
    // The connection waits in the listener's queue (ss shows it as the listener's Recv-Q).
    EXPECT_TRUE(kova_test::wait_until(
        [&] {
            std::string out, state;
            h.run({"ss", "-Hltn", "sport = :7305"}, &out);
            std::istringstream line(out);
            int queued = 0;
            return line >> state >> queued && queued > 0;
        },
        10.0));
    // The listener is edge-triggered: the pending connection raises no new event of its own.
    EXPECT_FALSE(waiting.wait_for_line("handshake ok", 2.5));
    relay.send_line("fdlimit restore");
    ASSERT_TRUE(relay.wait_for_line("done fdlimit"));
    EXPECT_TRUE(waiting.wait_for_line("handshake ok", 10)) << waiting.output();
    EXPECT_TRUE(relay.wait_for_line("ctrl 8005 err 0", 10));
    quit(relay);
}

TEST_F(relay_hosts, a_domain_port_taken_by_another_program_fails_the_start_with_the_bind_error) {
    REQUIRE_PRIVATE_HOSTS();
    private_host h;
    ASSERT_TRUE(h.start());
    child_process holder = peer(h, {"hold", "7306"});
    ASSERT_TRUE(holder.wait_for_line("holding"));
    child_process relay = h.spawn({kova_test::probe_path("probe_relay"), kova_test::unique_name("mem"), "7306"}, "/tmp");
    EXPECT_TRUE(relay.wait_for_line("add_server 98", 20)) << relay.output();  // EADDRINUSE
    EXPECT_EQ(relay.wait(20), 4);
}

}  // namespace
