#include "Kova/Center/INet_Relay/EPoll/epoll_udp_method.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cfloat>
#include <cstring>
#include <string>

#include "Kova/Center/INet_Relay/EPoll/class_host_addresses.h"
#include "Kova/Center/INet_Relay/EPoll/class_membership_sockets.h"
#include "Kova/Center/INet_Relay/EPoll/class_newest_hold.h"
#include "Kova/Center/INet_Relay/EPoll/epoll_tcp_method.h"
#include "Kova/Common/Global/kova_global.h"
#include "Kova/Common/Global/kova_send.h"
#include "Kova/Common/Interface/kova_memory_interface.h"
#include "Kova/Common/Open/Kova/kova_const.h"
#include "Kova/General_Common/IPC/abstract_center_ipc.h"
#include "Pimo/OS/Linux/class_locker.h"
#include "Pimo/Utility/pimo_error_hook.h"

namespace Kova {
namespace Center {
namespace INet_Relay {
namespace EPoll {

namespace {

using Pimo::OS::class_locker;
using Pimo::Utility::print_error;

// What the center pipe refused of the received datagrams: the newest of each stream.
class_newest_hold g_udp_hold;
// While it holds some, how long the receive waits for the center pipe's room at a time before
// it looks at the socket again.
constexpr double c_hold_wait_s = 0.01;
// The UDP socket's receive buffer: several thousand datagrams of a burst.
constexpr int c_udp_receive_room = 8 * 1024 * 1024;

// One try into the center pipe, within the network's share of it.
class_newest_hold::enum_push push_center(Kova::struct_token& in_token) {
    switch (Kova::Common::Global::send_kova_center(in_token, Kova::General_Common::IPC::abstract_center_ipc::c_network_depth)) {
    case Kova::c_kova_success: return class_newest_hold::enum_push::taken;
    case Kova::c_kova_err_center_busy: return class_newest_hold::enum_push::busy;
    default: return class_newest_hold::enum_push::gone;
    }
}

struct_epoll_overlapped_ex* find_record(unsigned short in_port) {
    auto it = g_udp_map.find(in_port);
    return it == g_udp_map.end() ? nullptr : it->second;
}

// Takes the datagram at the head of the socket off, whatever its length.
void discard_datagram(SOCKET in_socket) {
    Kova::byte_t dummy;
    ::recv(in_socket, &dummy, sizeof(dummy), MSG_DONTWAIT | MSG_TRUNC);
}

// Takes the data block back from a datagram that will not become a packet; the header
// block stays for the next one.
void release_payload(struct_epoll_overlapped_ex* p) {
    Pimo::Memory::mm_t data = p->recv_token.data_mm;
    p->recv_token.reset_data();
    free_mm(data);
}

// Reads the datagram at the head of the socket into in_buf; pout_to gets the address it
// was sent to (0 when the socket does not tell).
ssize_t receive_datagram(SOCKET in_socket, void* in_buf, size_t in_len, sockaddr_in& pout_from, Kova::ip_t& pout_to) {
    iovec iov{in_buf, in_len};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo))];
    msghdr msg{};
    msg.msg_name = &pout_from;
    msg.msg_namelen = sizeof(pout_from);
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof(control);
    const ssize_t n = ::recvmsg(in_socket, &msg, MSG_DONTWAIT);
    pout_to = 0;
    if (n < 0) return n;
    for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
        if (c->cmsg_level != IPPROTO_IP || c->cmsg_type != IP_PKTINFO) continue;
        in_pktinfo info;
        std::memcpy(&info, CMSG_DATA(c), sizeof(info));
        pout_to = info.ipi_addr.s_addr;
    }
    return n;
}

// A broadcast to every host that this center sent itself, looped back: the relay handed
// its local copies out when it sent it.
bool is_own_broadcast(const Kova::struct_header& in_header, const sockaddr_in& in_from, Kova::ip_t in_to,
                      unsigned short in_port) {
    return in_header.type == Kova::c_mt_broadcast && in_to == Kova::c_broadcast_ip &&
           in_from.sin_family == AF_INET && in_from.sin_port == htons(in_port) &&
           class_host_addresses::is_this_host(in_from.sin_addr.s_addr);
}

// The memberships of the domain port: the center thread's alone.
class_membership_sockets g_memberships;

}  // namespace

bool is_network_datagram(const Kova::struct_header& in_header, const sockaddr_in& in_from, unsigned short in_port) {
    if (in_header.type != Kova::c_mt_broadcast && in_header.type != Kova::c_mt_command_udp &&
        in_header.type != Kova::c_mt_information_udp)
        return false;
    if (in_from.sin_family != AF_INET) return false;
    const Kova::ip_t from = in_from.sin_addr.s_addr;
    if (!class_host_addresses::is_this_host(from)) return true;
    return !class_host_addresses::is_loopback(from) && in_from.sin_port == htons(in_port);
}

bool is_acceptable_datagram(const Kova::struct_header* pin_header, size_t in_length) {
    if (in_length < sizeof(Kova::struct_header)) return false;
    if (pin_header->get_ver() != Kova::c_version) return false;
    return static_cast<size_t>(pin_header->size) == in_length - sizeof(Kova::struct_header);
}

int udp_initialize(unsigned short in_port) {
    SOCKET s = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (s < 0) throw "udp socket 생성 에러";
    sockaddr_in addr = make_addr(0, in_port);
    if (::bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
        ::close(s);
        throw "udp bind 에러";
    }
    int one = 1;
    if (setsockopt(s, SOL_SOCKET, SO_BROADCAST, &one, sizeof(one)) != 0) {
        ::close(s);
        throw "udp 소켓 broadcast 옵션 변경 err";
    }
    unsigned char ttl = 128;
    if (setsockopt(s, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof(ttl)) != 0) {
        ::close(s);
        throw "udp 소 IP_MULTICAST_TTL 옵션 변 에러";
    }
    unsigned char loop = 1;
    if (setsockopt(s, IPPROTO_IP, IP_MULTICAST_LOOP, &loop, sizeof(loop)) != 0) {
        ::close(s);
        throw "udp 소 IP_MULTICAST_LOOP 옵션 변 에러";
    }
    // Every group the host has joined comes in here, whichever socket holds its membership.
    if (setsockopt(s, IPPROTO_IP, IP_MULTICAST_ALL, &one, sizeof(one)) != 0) {
        ::close(s);
        throw "udp IP_MULTICAST_ALL";
    }
    // Where each datagram was sent to: this center's own broadcasts come back to it.
    if (setsockopt(s, IPPROTO_IP, IP_PKTINFO, &one, sizeof(one)) != 0) print_error("IP_PKTINFO");
    // Room for a burst while the receive thread is not running: what the kernel cannot queue
    // is lost without a trace, and a posted value is sent only once. Past the host's limit
    // when the center may (it runs as root), else up to it.
    int room = c_udp_receive_room;
    if (setsockopt(s, SOL_SOCKET, SO_RCVBUFFORCE, &room, sizeof(room)) != 0 &&
        setsockopt(s, SOL_SOCKET, SO_RCVBUF, &room, sizeof(room)) != 0)
        print_error("SO_RCVBUF");
    struct_epoll_overlapped_ex* p = new struct_epoll_overlapped_ex(s, c_socket_udp, Kova::struct_node_addr(0, in_port));
    g_udp_map[in_port] = p;
    epoll_arm(epoll_udp_recv, EPOLL_CTL_ADD, s, c_mask_listen, p);
    return epoll_arm(epoll_udp_send, EPOLL_CTL_ADD, s, c_mask_udp_send_idle, p);
}

int udp_finalize() {
    g_memberships.proc_close();
    for (auto& entry : g_udp_map) {
        struct_epoll_overlapped_ex* p = entry.second;
        if (p->socket >= 0) ::close(p->socket);
        // Unlike the bare close, queued and half-received packets go back to the memory.
        for (Kova::struct_token& t : p->send_queue) free_token(t);
        free_token(p->recv_token);
        delete p;
    }
    g_udp_map.clear();
    g_udp_hold.proc_clear();
    return 0;
}

int send_udp(struct_epoll_overlapped_ex* p) {
    for (int step = 0; step < c_max_steps; ++step) {
        Kova::struct_token token;
        {
            class_locker lock(p->send_queue_lock);
            // An output event with nothing queued is not an error: the thread goes on.
            if (p->send_queue.empty()) return 0;
            token = p->send_queue.front();
        }
        Kova::packet_t* pkt = get_header(token.header_mm);
        pkt->update_packet_time_and_return_timeout();
        if (pkt->is_information_udp()) set_multicast_if(pkt->mct_if, p->local_addr.port);
        // The header from this token's own header block and the payload from the data block
        // in one datagram. The data block is shared (its sender may be writing its record
        // area for the next transmission at this moment): nothing is written into it.
        // Never announce a payload that is not sent.
        pkt->set_data_size(Kova::Common::Interface::get_payload_size(token));
        iovec iov[2];
        iov[0].iov_base = &pkt->header;
        iov[0].iov_len = sizeof(Kova::struct_header);
        iov[1].iov_base = get_data(token.data_mm);
        iov[1].iov_len = pkt->header.size;
        sockaddr_in to = make_addr(pkt->dst_ip, p->local_addr.port);
        msghdr msg{};
        msg.msg_name = &to;
        msg.msg_namelen = sizeof(to);
        msg.msg_iov = iov;
        msg.msg_iovlen = pkt->header.size != 0 ? 2 : 1;
        const ssize_t n = ::sendmsg(p->socket, &msg, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;  // kept at the front
        if (n < 1) print_error("sent err : " + std::to_string(errno));
        {
            class_locker lock(p->send_queue_lock);
            p->send_queue.pop_front();
        }
        free_token(token);
    }
    class_locker lock(p->send_queue_lock);
    if (!p->send_queue.empty()) epoll_arm(epoll_udp_send, EPOLL_CTL_MOD, p->socket, c_mask_send, p);
    return 0;
}

int recv_udp(struct_epoll_overlapped_ex* p) {
    for (int step = 0;; ++step) {
        if (step >= c_max_steps) {
            // The socket is read on at the next event, unless something is held: nothing would
            // come to send it then.
            if (g_udp_hold.empty()) break;
            step = 0;
        }
        if (!p->recv_token.has_header()) alloc_header_force(p->recv_token);
        Kova::packet_t* pkt = get_header(p->recv_token.header_mm);
        pkt->initialize_packet(0, 0, DBL_MAX);
        pkt->set_source(0, 0, 0);
        pkt->set_destination(Kova::c_local_host, p->local_addr.port, 0);
        pkt->p_data = nullptr;
        p->recv_buf = reinterpret_cast<Kova::byte_t*>(&pkt->header);
        p->recv_len = sizeof(Kova::struct_header);
        // The peek tells the datagram's whole length and its sender, so a short or long one, or
        // one that may not come in, is known before anything is allocated for it.
        sockaddr_in sender{};
        socklen_t sender_len = sizeof(sender);
        const ssize_t whole = ::recvfrom(p->socket, p->recv_buf, p->recv_len, MSG_PEEK | MSG_TRUNC | MSG_DONTWAIT,
                                         reinterpret_cast<sockaddr*>(&sender), &sender_len);
        if (whole < 0) {
            if (errno == EINTR) continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK) {
                print_error("send_size!= sent_size");
                break;
            }
            // Nothing more on the socket: what the center pipe refused goes as soon as it has
            // room, and the socket is looked at again meanwhile.
            if (g_udp_hold.empty()) break;
            Kova::Common::Interface::interface_kova_pipe* center = Kova::Common::Global::gp_center_pipe;
            if (center == nullptr) {
                g_udp_hold.proc_clear();
                break;
            }
            center->eproc_wait_room(c_hold_wait_s);
            g_udp_hold.proc_flush(push_center);
            step = 0;
            continue;
        }
        const size_t length = static_cast<size_t>(whole);
        if (length == 0) {  // an empty datagram: take it off, or it would block the ones behind it
            discard_datagram(p->socket);
            continue;
        }
        if (!is_acceptable_datagram(&pkt->header, length)) {
            discard_datagram(p->socket);
            print_error(length < sizeof(Kova::struct_header) || pkt->is_right_version() ? "recd_len!= recv_len"
                                                                                      : "! p_pkt->is_right_version()");
            continue;
        }
        if (!is_network_datagram(pkt->header, sender, p->local_addr.port)) {
            discard_datagram(p->socket);
            continue;
        }
        const size_t size = pkt->header.size;
        if (size != 0) {
            if (!alloc_data(p->recv_token, size)) {
                discard_datagram(p->socket);
                print_error("udp alloc_data");
                continue;
            }
            Kova::packet_t* dpkt = get_data_packet(p->recv_token);
            *dpkt = *pkt;
            p->recv_buf = reinterpret_cast<Kova::byte_t*>(&dpkt->header);
            p->recv_len = length;
        }
        sockaddr_in from{};
        Kova::ip_t to = 0;
        const ssize_t n = receive_datagram(p->socket, p->recv_buf, p->recv_len, from, to);
        if (n < 0 || static_cast<size_t>(n) != p->recv_len) {
            print_error("recd_len!= recv_len");
            release_payload(p);
            if (n < 0 && errno != EINTR) break;
            continue;
        }
        if (is_own_broadcast(pkt->header, from, to, p->local_addr.port)) {
            release_payload(p);
            continue;
        }
        pkt->determine_arrival_clock(Pimo::OS::vimra_cpu_clock());
        pkt->src_ip = from.sin_family == AF_INET ? from.sin_addr.s_addr : 0;
        pkt->mct_if = Kova::c_local_host;
        send_center_from_udp(p->recv_token, pkt);
        p->recv_token.reset();
    }
    // Re-armed on every path, so the datagrams behind a bad one are still reported.
    return epoll_arm(epoll_udp_recv, EPOLL_CTL_MOD, p->socket, c_mask_listen, p);
}

void set_multicast_if(const unsigned long& multicast_if, const unsigned short& in_port) {
    struct_epoll_overlapped_ex* p = find_record(in_port);
    if (!p) return;
    in_addr addr{};
    addr.s_addr = static_cast<Kova::ip_t>(multicast_if);
    if (setsockopt(p->socket, IPPROTO_IP, IP_MULTICAST_IF, &addr, sizeof(addr)) != 0) print_error("IP_MULTICAST_IF");
}

Kova::kova_err_t send_center_from_udp(Kova::struct_token token, Kova::packet_t*) {
    // Nothing overtakes what is held.
    g_udp_hold.proc_flush(push_center);
    if (g_udp_hold.empty()) {
        switch (push_center(token)) {
        case class_newest_hold::enum_push::taken: return Kova::c_kova_success;
        case class_newest_hold::enum_push::gone:
            free_token(token);
            return Kova::c_kova_err_center_shutdown;
        case class_newest_hold::enum_push::busy: break;
        }
    }
    // A value or command is kept as the newest of its stream; any other datagram is dropped.
    if (g_udp_hold.keep(token)) return Kova::c_kova_err_center_busy;
    free_token(token);
    return Kova::c_kova_err_center_busy;
}

}  // namespace EPoll

// ---- hand-off and membership, for the center thread ----

int send_udp(Kova::struct_token& in_token, Kova::struct_packet* pin_pkt) {
    using namespace EPoll;
    pin_pkt->update_packet_time_and_return_timeout();
    auto it = g_udp_map.find(pin_pkt->dst_port);
    if (it == g_udp_map.end()) return -1;
    struct_epoll_overlapped_ex* p = it->second;
    Pimo::OS::class_locker lock(p->send_queue_lock);
    const bool was_empty = p->send_queue.empty();
    p->send_queue.push_back(in_token);
    if (!was_empty) return 0;
    if (epoll_arm(epoll_udp_send, EPOLL_CTL_MOD, p->socket, c_mask_send, p) != 0) {
        p->send_queue.pop_back();
        Pimo::Utility::print_error("epoll.epoll_udp_send 요청 에러\n");
        return -1;
    }
    return 0;
}

int add_membership(const unsigned long& multicast_ip, const unsigned long& multicast_if,
                   const unsigned long& source_ip, const unsigned short& in_port) {
    using namespace EPoll;
    if (find_record(in_port) == nullptr) return -1;
    if (g_memberships.eproc_join(static_cast<Kova::ip_t>(multicast_ip), static_cast<Kova::ip_t>(multicast_if),
                                 static_cast<Kova::ip_t>(source_ip)) == 0)
        return 0;
    Pimo::Utility::print_error("add_membership");
    return -1;
}

void drop_membership(const unsigned long& multicast_ip, const unsigned long& multicast_if,
                     const unsigned long& source_ip, const unsigned short& in_port) {
    using namespace EPoll;
    if (find_record(in_port) == nullptr) return;
    g_memberships.proc_leave(static_cast<Kova::ip_t>(multicast_ip), static_cast<Kova::ip_t>(multicast_if),
                             static_cast<Kova::ip_t>(source_ip));
}

}  // namespace INet_Relay
}  // namespace Center
}  // namespace Kova
