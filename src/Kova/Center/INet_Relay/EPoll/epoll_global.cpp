#include "Kova/Center/INet_Relay/EPoll/epoll_global.h"

#include <arpa/inet.h>
#include <sys/epoll.h>

#include <algorithm>

#include "Kova/Center/Global/class_payload_buffers.h"
#include "Kova/Common/Global/kova_global.h"
#include "Kova/Common/Global/kova_send.h"
#include "Kova/Common/Open/Kova/kova_err.h"
#include "Kova/Common/Interface/kova_memory_interface.h"
#include "Kova/General_Common/IPC/abstract_center_ipc.h"
#include "Pimo/OS/Linux/class_locker.h"

namespace Kova {
namespace Center {
namespace INet_Relay {
namespace EPoll {

bool g_auto_disconnect = true;
bool g_server_socket_reuse = true;
int g_listen_backlog = 5;
bool g_server_linger_use = false;
int g_server_linger_time = 1024;
bool g_server_nagle_off_use = true;
bool g_client_linger_use = false;
int g_client_linger_time = 1024;
bool g_client_nagle_off_use = true;
Pimo::OS::vimra_clock_t g_timeout_ms = c_default_timeout_ms;

std::map<Kova::domain_t, int> g_server_map;
udp_map_t g_udp_map;
connect_map_t g_connect_map;
connect_map_t g_connect_fail_map;
establish_map_t g_establish_client_map;
establish_map_t g_establish_server_map;
server_map_t g_remote_server_map;
Pimo::OS::class_thread_lock g_client_lock;
Pimo::OS::class_thread_lock g_establish_server_map_lock;
std::set<struct_epoll_overlapped_tcp*> g_init_server_set;
std::map<Kova::domain_t, struct_epoll_overlapped*> g_listener_map;
std::atomic<bool> g_accept_retry(false);
std::set<struct_epoll_overlapped_tcp*> g_tcp_records;
Pimo::OS::class_thread_lock g_tcp_records_lock;

int epoll_tcp_init = -1;
int epoll_tcp_recv = -1;
int epoll_tcp_send = -1;
int epoll_udp_recv = -1;
int epoll_udp_send = -1;
Pimo::OS::class_thread epoll_thread_tcp_init;
Pimo::OS::class_thread epoll_thread_udp_recv;
Pimo::OS::class_thread epoll_thread_udp_send;
Pimo::OS::class_thread epoll_thread_tcp_recv[8];
Pimo::OS::class_thread epoll_thread_tcp_send[8];
Pimo::OS::class_timer inet_timer;
Kova::struct_token heartbeat_token;
Kova::packet_t* heartbeat_pkt = nullptr;

namespace Mem = Kova::Common::Interface;

Kova::packet_t* get_header(Pimo::Memory::mm_t in_mm) { return Mem::get_header(in_mm); }

Kova::byte_t* get_data(Pimo::Memory::mm_t in_mm) { return static_cast<Kova::byte_t*>(Mem::get_data(in_mm)); }

Kova::packet_t* get_data_packet(const Kova::struct_token& in_token) { return Mem::get_header(in_token.data_mm); }

void alloc_header_force(Kova::struct_token& in_token) { Mem::proc_alloc_header_force(in_token, __FILE__, __LINE__); }

bool alloc_data(Kova::struct_token& in_token, size_t in_size) {
    // Sizes come from the wire: nothing above the limit is ever asked of the memory.
    if (in_size > c_max_tcp_payload) return false;
    return Mem::eproc_alloc_data(in_token, in_size, __FILE__, __LINE__) == Kova::c_kova_success;
}

void free_token(Kova::struct_token& in_token) { Mem::safe_free_token(in_token, __FILE__, __LINE__); }

void free_mm(Pimo::Memory::mm_t& in_mm) { Mem::safe_free_mm(in_mm, __FILE__, __LINE__); }

void add_ref(Pimo::Memory::mm_t in_mm) { Mem::safe_add_ref_mm(in_mm, __FILE__, __LINE__); }

void alloc_error_return(const Kova::packet_t& in_pkt, Kova::kova_err_t in_error, Kova::struct_token& out_return) {
    Mem::proc_alloc_error_return(in_pkt, in_error, out_return, __FILE__, __LINE__);
}

int send_center(Kova::struct_token in_token, Kova::packet_t* pin_pkt) {
    bool waited = false;
    for (;;) {
        const Kova::kova_err_t err = Kova::Common::Global::send_kova_center(
            in_token, Kova::General_Common::IPC::abstract_center_ipc::c_network_depth);
        Kova::Common::Interface::interface_kova_pipe* pipe = Kova::Common::Global::gp_center_pipe;
        if (err == Kova::c_kova_success) {
            if (waited && pipe != nullptr) pipe->proc_pass_room();
            return 0;
        }
        if (err == Kova::c_kova_err_center_shutdown || pin_pkt == nullptr ||
            pin_pkt->update_packet_time_and_return_timeout()) {
            Global::class_payload_buffers::proc_free(get_header(in_token.header_mm));
            free_token(in_token);
            return -1;
        }
        // Until the center thread has taken some, never longer than the retry cadence.
        if (err == Kova::c_kova_err_center_busy && pipe != nullptr) {
            pipe->eproc_wait_room(std::min(c_center_retry_s, pin_pkt->packet_limit_time));
            waited = true;
        }
    }
}

void hand_over(std::vector<Kova::struct_token>& in_returns) {
    for (Kova::struct_token& t : in_returns) send_center(t, get_header(t.header_mm));
    in_returns.clear();
}

sockaddr_in make_addr(Kova::ip_t in_ip, Kova::domain_t in_port) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = in_ip;
    addr.sin_port = htons(in_port);
    return addr;
}

int epoll_arm(int in_set, int in_op, SOCKET in_socket, unsigned in_mask, void* pin_record) {
    epoll_event ev{};
    ev.events = in_mask;
    ev.data.ptr = pin_record;
    return epoll_ctl(in_set, in_op, in_socket, &ev) == 0 ? 0 : -1;
}

struct_epoll_overlapped_tcp* new_tcp_record(SOCKET in_socket, enum_socket_type in_type,
                                            const Kova::struct_node_addr& in_local,
                                            const Kova::struct_node_addr& in_remote) {
    struct_epoll_overlapped_tcp* p = new struct_epoll_overlapped_tcp(in_socket, in_type, in_local, in_remote);
    Pimo::OS::class_locker lock(g_tcp_records_lock);
    g_tcp_records.insert(p);
    return p;
}

void forget_tcp_record(struct_epoll_overlapped_tcp* pin_record) {
    Pimo::OS::class_locker lock(g_tcp_records_lock);
    g_tcp_records.erase(pin_record);
}

Pimo::OS::vimra_clock_t now_ms() { return Pimo::OS::vimra_clock(); }

}  // namespace EPoll
}  // namespace INet_Relay
}  // namespace Center
}  // namespace Kova
