#include "Kova/Center/INet_Relay/EPoll/epoll_tcp_close.h"

#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <vector>

#include "Kova/Center/INet_Relay/EPoll/epoll_tcp_connect.h"
#include "Kova/Center/INet_Relay/EPoll/epoll_tcp_send.h"
#include "Kova/Center/Global/class_payload_buffers.h"
#include "Pimo/OS/Linux/class_locker.h"

namespace Kova {
namespace Center {
namespace INet_Relay {
namespace EPoll {

namespace {

using Pimo::OS::class_locker;

// Takes an established record out of its map under the map's lock; false when the map no longer
// holds it (withdrawn before).
bool withdraw(Pimo::OS::class_thread_lock& in_lock, establish_map_t& in_map, tcp_t* p) {
    class_locker lock(in_lock);
    return erase_if_holds(in_map, p);
}

void free_recv_token(tcp_t* p) {
    Global::class_payload_buffers::proc_free(get_header(p->recv_token.header_mm));
    free_token(p->recv_token);
}

}  // namespace

// The receive side is over: from now on only the send thread reaches the record and releases it.
// The caller has taken the record out of its map.
void end_receive(tcp_t* p) {
    bool release_here = false;
    {
        class_locker lock(p->send_queue_lock);
        p->recv_ended = true;
        // An outgoing connection is dropped at once; its queue becomes error returns.
        if (p->type == c_socket_client && p->socket >= 0) ::shutdown(p->socket, SHUT_RDWR);
        const bool was_empty = p->send_queue.empty();
        p->send_queue.push_back(Kova::struct_token());
        if (!p->send_state) {
            if (was_empty) {
                p->send_buf = nullptr;
                p->send_len = 0;
                p->header_send = true;
            }
            p->send_state = true;
            if (arm_or_report(epoll_tcp_send, EPOLL_CTL_MOD, c_mask_send, p, "epoll.epoll_tcp_send 요청 에러\n") != 0) {
                // Nothing is armed on the send side: nobody else can reach the record.
                p->send_state = false;
                release_here = true;
            }
        }
        // With send_state already true an event is armed; a peer that stops reading meets the
        // stalled-send limit of the timer, whose shut-down fires it.
    }
    if (release_here) delete_overlapped(p);
}

void end_connection(tcp_t* p) {
    if (p->type == c_socket_server)
        shutdown_server(p);
    else {
        unestablish_connect(p);
        close_client(p);
    }
}

// ---- accepted connections ----

void unestablish_accept(tcp_t* p) {
    if (withdraw(g_establish_server_map_lock, g_establish_server_map, p))
        eproc_send_disconnected_from_client_msg_to_center(p);
}

void shutdown_server(tcp_t* p) {
    unestablish_accept(p);
    end_receive(p);
}

int failed_server_init(tcp_t* p) {
    {
        class_locker lock(g_establish_server_map_lock);
        g_init_server_set.erase(p);
    }
    return delete_overlapped(p);
}

// ---- outgoing connections ----

void unestablish_connect(tcp_t* p) {
    if (withdraw(g_client_lock, g_establish_client_map, p)) eproc_send_disconnected_from_server_msg_to_center(p);
}

int failed_connect_init(tcp_t* p) {
    bool release = false;
    {
        class_locker lock(g_client_lock);
        erase_if_holds(g_connect_map, p);
        unregister_all(p->socket);
        if (p->socket >= 0) ::close(p->socket);
        p->socket = -1;
        p->recv_len = 0;
        p->send_len = 0;
        if (p->b_remove_client || g_connect_fail_map.count(p->remote_addr) != 0)
            release = true;
        else
            g_connect_fail_map.insert(std::make_pair(p->remote_addr, p));
    }
    if (release) delete_overlapped(p);
    return 0;
}

void close_client(tcp_t* p) {
    {
        class_locker lock(g_client_lock);
        // A newer record for the same center (a user came back meanwhile) keeps the key.
        if (!p->b_remove_client && g_connect_map.count(p->remote_addr) == 0 &&
            g_connect_fail_map.count(p->remote_addr) == 0) {
            tcp_t* fresh = new_tcp_record(-1, c_socket_init_client, Kova::struct_node_addr(), p->remote_addr);
            g_connect_fail_map.insert(std::make_pair(p->remote_addr, fresh));
        }
    }
    end_receive(p);
}

// ---- release ----

int delete_overlapped(tcp_t* p) {
    std::vector<Kova::struct_token> returns;
    free_recv_token(p);
    {
        class_locker lock(p->send_queue_lock);
        clear_send_q(p, returns);
        p->send_state = false;
        p->send_buf = nullptr;
        p->send_len = 0;
        unregister_all(p->socket);
        if (p->socket >= 0) ::close(p->socket);
        p->socket = -1;
    }
    {
        class_locker lock(p->ack_wait_q_lock);
        for (Kova::struct_token& t : p->ack_wait_q) free_token(t);
        p->ack_wait_q.clear();
    }
    forget_tcp_record(p);
    delete p;
    hand_over(returns);
    return 0;
}

void clear_establish_map(establish_map_t& in_map) {
    for (auto& entry : in_map) delete_overlapped(entry.second);
    in_map.clear();
}

void clear_connect_map(connect_map_t& in_map) { clear_establish_map(in_map); }

}  // namespace EPoll
}  // namespace INet_Relay
}  // namespace Center
}  // namespace Kova
