// Process-wide state of the network relay: configuration, epoll sets, threads, timer,
// connection maps, the shared heartbeat packet, and the packet-memory helpers it uses.
#pragma once

#include <netinet/in.h>

#include <atomic>
#include <map>
#include <set>
#include <vector>

#include "Kova/Center/INet_Relay/EPoll/struct_epoll_overlapped.h"
#include "Kova/Common/Hidden/struct_packet.h"
#include "Pimo/Memory/memory_typedef.h"
#include "Pimo/OS/Linux/class_thread.h"
#include "Pimo/OS/Linux/class_timer.h"

namespace Kova {
namespace Center {
namespace INet_Relay {
namespace EPoll {

typedef std::map<Kova::domain_t, struct_epoll_overlapped_ex*> udp_map_t;
typedef std::map<Kova::struct_node_addr, struct_epoll_overlapped_tcp*> connect_map_t;
typedef connect_map_t establish_map_t;
typedef std::map<Kova::struct_node_addr, int> server_map_t;

// Registration masks.
constexpr unsigned c_mask_listen = 0x80000001u;        // EPOLLIN | EPOLLET
constexpr unsigned c_mask_send = 0xC0000004u;          // EPOLLOUT | EPOLLONESHOT | EPOLLET
constexpr unsigned c_mask_recv = 0x40000001u;          // EPOLLIN | EPOLLONESHOT
constexpr unsigned c_mask_connect_cancel = 0xC0000005u;  // EPOLLIN | EPOLLOUT | EPOLLONESHOT | EPOLLET
constexpr unsigned c_mask_udp_send_idle = 0x80000008u;  // EPOLLERR | EPOLLET

// Silence, connect, init record and stalled-send limit: c_default_timeout_ms unless the
// configuration's optional CONNECTION_TIMEOUT_MS sets another (tests shorten it). Set before the
// threads start, read by the timer.
constexpr Pimo::OS::vimra_clock_t c_default_timeout_ms = 8000;
extern Pimo::OS::vimra_clock_t g_timeout_ms;
// Largest payload a peer may announce on TCP. Anything above can never be a packet of this
// system (the packet memory could not hold it) and is discarded without an allocation.
constexpr size_t c_max_tcp_payload = 16u * 1024u * 1024u;
// Pieces (or datagrams) per event before the registration is re-armed, so that one busy socket
// cannot hold its thread.
constexpr int c_max_steps = 64;
// Largest datagram the UDP socket takes.
constexpr size_t c_max_datagram = 65535;

// Configuration ("../Config/kova.ini", section KOVA).
extern bool g_auto_disconnect;
extern bool g_server_socket_reuse;
extern int g_listen_backlog;
extern bool g_server_linger_use;
extern int g_server_linger_time;
extern bool g_server_nagle_off_use;
extern bool g_client_linger_use;
extern int g_client_linger_time;
extern bool g_client_nagle_off_use;

extern std::map<Kova::domain_t, int> g_server_map;
extern udp_map_t g_udp_map;
extern connect_map_t g_connect_map;
extern connect_map_t g_connect_fail_map;
extern establish_map_t g_establish_client_map;
extern establish_map_t g_establish_server_map;
extern server_map_t g_remote_server_map;
extern Pimo::OS::class_thread_lock g_client_lock;
extern Pimo::OS::class_thread_lock g_establish_server_map_lock;
// Accepted connections still exchanging init records (guarded by g_establish_server_map_lock):
// the timer closes those that take longer than g_timeout_ms.
extern std::set<struct_epoll_overlapped_tcp*> g_init_server_set;
// Listener records, so the timer can accept again after a descriptor shortage.
extern std::map<Kova::domain_t, struct_epoll_overlapped*> g_listener_map;
// Set by an accept refused for want of descriptors (init thread); the timer takes it with an
// exchange, so a refusal between its test and its reset is not lost.
extern std::atomic<bool> g_accept_retry;
// Every TCP record alive, whatever its stage, so that finalize leaves none behind.
extern std::set<struct_epoll_overlapped_tcp*> g_tcp_records;
extern Pimo::OS::class_thread_lock g_tcp_records_lock;
struct_epoll_overlapped_tcp* new_tcp_record(SOCKET in_socket, enum_socket_type in_type,
                                            const Kova::struct_node_addr& in_local,
                                            const Kova::struct_node_addr& in_remote);
void forget_tcp_record(struct_epoll_overlapped_tcp* pin_record);

extern int epoll_tcp_init;
extern int epoll_tcp_recv;
extern int epoll_tcp_send;
extern int epoll_udp_recv;
extern int epoll_udp_send;
extern Pimo::OS::class_thread epoll_thread_tcp_init;
extern Pimo::OS::class_thread epoll_thread_udp_recv;
extern Pimo::OS::class_thread epoll_thread_udp_send;
extern Pimo::OS::class_thread epoll_thread_tcp_recv[8];
extern Pimo::OS::class_thread epoll_thread_tcp_send[8];
extern Pimo::OS::class_timer inet_timer;
extern Kova::struct_token heartbeat_token;
extern Kova::packet_t* heartbeat_pkt;

// Packet memory (the protocol core's token functions, with this file's line in every trace).
Kova::packet_t* get_header(Pimo::Memory::mm_t in_mm);
Kova::byte_t* get_data(Pimo::Memory::mm_t in_mm);
// The 72-byte record area in front of a data block's payload.
Kova::packet_t* get_data_packet(const Kova::struct_token& in_token);
void alloc_header_force(Kova::struct_token& in_token);
// A data block for in_size payload bytes, granted only while 65535 bytes stay free.
bool alloc_data(Kova::struct_token& in_token, size_t in_size);
void free_token(Kova::struct_token& in_token);
void free_mm(Pimo::Memory::mm_t& in_mm);
void add_ref(Pimo::Memory::mm_t in_mm);
// The packet's error return in a new header block; out_return stays empty when it has none.
void alloc_error_return(const Kova::packet_t& in_pkt, Kova::kova_err_t in_error, Kova::struct_token& out_return);

// Hands a packet to the center pipe, waiting for room (at most c_center_retry_s at a time)
// while the pipe holds the network's share, until the packet's time is spent; 0, or -1 when
// it was released instead. Never call it while holding a lock that the center thread can take.
int send_center(Kova::struct_token in_token, Kova::packet_t* pin_pkt);
constexpr double c_center_retry_s = 0.1;
// Hands over, in order, the returns collected while locks were held; call it with none held.
void hand_over(std::vector<Kova::struct_token>& in_returns);

// An IPv4 socket address; the port in host byte order.
sockaddr_in make_addr(Kova::ip_t in_ip, Kova::domain_t in_port);

// epoll_ctl with in_op (add or modify) and the record as the data word; 0 or -1.
int epoll_arm(int in_set, int in_op, SOCKET in_socket, unsigned in_mask, void* pin_record);

Pimo::OS::vimra_clock_t now_ms();

}  // namespace EPoll
}  // namespace INet_Relay
}  // namespace Center
}  // namespace Kova
