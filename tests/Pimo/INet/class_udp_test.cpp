#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <future>
#include <string>
#include <vector>

#include "Pimo/INet/class_udp.h"
#include "test_process.h"

using namespace Pimo::INet;
using Pimo::INet::UDP::class_udp;
using Pimo::OS::vimra_err_t;

namespace {

const unsigned long c_loopback = inet_addr(127, 0, 0, 1);

unsigned short port_of(const class_sock& in_sock) {
    sockaddr_in addr;
    socklen_t len = sizeof(addr);
    getsockname(in_sock.m_socket, reinterpret_cast<sockaddr*>(&addr), &len);
    return ntohs(addr.sin_port);
}

bool readable(const class_sock& in_sock, int in_timeout_ms = 5000) {
    pollfd p{in_sock.m_socket, POLLIN, 0};
    return poll(&p, 1, in_timeout_ms) == 1;
}

// One receive or peek into a buffer of in_capacity bytes pre-filled with 'x'.
struct datagram {
    vimra_err_t rc = Pimo::OS::c_vimra_unknown;
    unsigned long ip = 0;
    unsigned short port = 0;
    size_t len = 99;
    std::string buf;  // the whole buffer after the call
    std::string data() const { return buf.substr(0, len); }
};

datagram take(class_udp& in_udp, size_t in_capacity, bool in_peek = false) {
    datagram d;
    d.buf.assign(in_capacity, 'x');
    d.rc = in_peek ? in_udp.eproc_receive_peek(d.ip, d.port, d.len, &d.buf[0], in_capacity)
                   : in_udp.eproc_receive(d.ip, d.port, d.len, &d.buf[0], in_capacity);
    return d;
}

class udp_pair : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(m_rx.eproc_open(0), 0);
        ASSERT_EQ(m_tx.eproc_open(0), 0);
        m_rx_port = port_of(m_rx);
    }
    void TearDown() override {
        m_rx.proc_close();
        m_tx.proc_close();
    }
    void send(const std::string& in_text) {
        ASSERT_EQ(m_tx.eproc_send(c_loopback, m_rx_port, in_text.data(), in_text.size()), 0);
        ASSERT_TRUE(readable(m_rx));
    }
    class_udp m_rx, m_tx;
    unsigned short m_rx_port = 0;
};

}  // namespace

TEST_F(udp_pair, open_sets_broadcast_ttl_and_loop) {
    int broadcast = 0;
    socklen_t len = sizeof(broadcast);
    getsockopt(m_rx.m_socket, SOL_SOCKET, SO_BROADCAST, &broadcast, &len);
    unsigned char ttl = 0, loop = 0;
    socklen_t blen = 1;
    getsockopt(m_rx.m_socket, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, &blen);
    blen = 1;
    getsockopt(m_rx.m_socket, IPPROTO_IP, IP_MULTICAST_LOOP, &loop, &blen);
    EXPECT_EQ(broadcast, 1);
    EXPECT_EQ(ttl, 128);
    EXPECT_EQ(loop, 1);
    EXPECT_TRUE(m_rx.valid);
    EXPECT_TRUE(m_rx.is_valid());
}

TEST_F(udp_pair, datagram_arrives_with_sender_address_and_port) {
    send("hello over loopback");
    datagram d = take(m_rx, 64);
    ASSERT_EQ(d.rc, 0);
    EXPECT_EQ(d.data(), "hello over loopback");
    EXPECT_EQ(d.ip, c_loopback);
    EXPECT_EQ(d.port, port_of(m_tx));
}

TEST_F(udp_pair, empty_datagram_is_a_zero_byte_receive_not_a_shutdown) {
    send("");
    datagram peeked = take(m_rx, 16, true);
    EXPECT_EQ(peeked.rc, 0);
    EXPECT_EQ(peeked.len, 0u);
    datagram d = take(m_rx, 16);
    EXPECT_EQ(d.rc, 0);
    EXPECT_EQ(d.len, 0u);
    EXPECT_EQ(d.port, port_of(m_tx));
    EXPECT_TRUE(m_rx.valid);
}

TEST_F(udp_pair, peek_zero_fills_and_leaves_the_datagram_queued) {
    send("abc");
    datagram peeked = take(m_rx, 8, true);
    ASSERT_EQ(peeked.rc, 0);
    EXPECT_EQ(peeked.buf, std::string("abc\0\0\0\0\0", 8));
    EXPECT_EQ(peeked.ip, c_loopback);
    datagram d = take(m_rx, 8);
    ASSERT_EQ(d.rc, 0);
    EXPECT_EQ(d.data(), "abc");
    EXPECT_EQ(d.buf.substr(3), "xxxxx");  // a plain receive leaves the rest alone
}

TEST_F(udp_pair, datagram_longer_than_the_buffer_is_cut_to_it) {
    send(std::string(100, 'q'));
    datagram d = take(m_rx, 10);
    ASSERT_EQ(d.rc, 0);
    EXPECT_EQ(d.data(), std::string(10, 'q'));
}

TEST_F(udp_pair, send_failures_are_minus_one) {
    std::vector<char> too_big(70000, 'z');
    EXPECT_EQ(m_tx.eproc_send(c_loopback, m_rx_port, too_big.data(), too_big.size()), -1);
    class_udp closed;
    EXPECT_EQ(closed.eproc_send(c_loopback, m_rx_port, "a", 1), -1);
}

TEST_F(udp_pair, shutdown_wakes_a_blocked_receiver_and_later_receives_are_shutdown) {
    std::atomic<pid_t> tid{0};
    auto blocked = std::async(std::launch::async, [this, &tid] {
        tid = kova_test::this_thread_id();
        return take(m_rx, 16).rc;
    });
    // Nothing signals "inside recvfrom": wait until the thread sleeps in the kernel.
    kova_test::wait_until([&] { return kova_test::is_thread_asleep(tid.load()); }, 5.0);
    EXPECT_EQ(blocked.wait_for(std::chrono::milliseconds(0)), std::future_status::timeout);
    m_rx.proc_shutdown();
    ASSERT_EQ(blocked.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_EQ(blocked.get(), Pimo::OS::c_vimra_shutdown);

    EXPECT_EQ(take(m_rx, 16).rc, Pimo::OS::c_vimra_shutdown);
    EXPECT_EQ(take(m_rx, 16, true).rc, Pimo::OS::c_vimra_shutdown);
    EXPECT_FALSE(m_rx.valid);
    EXPECT_TRUE(m_rx.is_valid());  // the descriptor stays until proc_close
}

TEST_F(udp_pair, queued_datagram_after_shutdown_is_not_delivered) {
    send("late");
    m_rx.proc_shutdown();
    EXPECT_EQ(take(m_rx, 16).rc, Pimo::OS::c_vimra_shutdown);
}

TEST_F(udp_pair, open_on_a_bound_port_fails_and_leaves_no_socket) {
    class_udp second;
    EXPECT_EQ(second.eproc_open(m_rx_port), -1);
    EXPECT_EQ(second.m_socket, -1);
    EXPECT_FALSE(second.valid);
}

TEST_F(udp_pair, multicast_interface_is_the_given_address) {
    m_tx.proc_set_multicast_if(c_loopback);
    in_addr iface;
    iface.s_addr = 0;
    socklen_t len = sizeof(iface);
    ASSERT_EQ(getsockopt(m_tx.m_socket, IPPROTO_IP, IP_MULTICAST_IF, &iface, &len), 0);
    EXPECT_EQ(iface.s_addr, c_loopback);
}

TEST(class_sock, close_forgets_the_descriptor) {
    class_udp udp;
    EXPECT_FALSE(udp.is_valid());
    ASSERT_EQ(udp.eproc_open(0), 0);
    EXPECT_TRUE(udp.is_valid());
    udp.proc_close();
    EXPECT_EQ(udp.m_socket, -1);
    EXPECT_FALSE(udp.is_valid());
    udp.proc_close();  // a second close is harmless
}
