#include "Kova/Center/INet_Relay/EPoll/epoll_thread.h"

#include <sys/epoll.h>
#include <sys/socket.h>

#include <cerrno>
#include <string>
#include <vector>

#include "Kova/Center/INet_Relay/EPoll/epoll_tcp_method.h"
#include "Kova/Center/INet_Relay/EPoll/epoll_udp_method.h"
#include "Kova/Common/Open/Kova/kova_err.h"
#include "Pimo/OS/Linux/class_locker.h"
#include "Pimo/Utility/pimo_error_hook.h"

namespace Kova {
namespace Center {
namespace INet_Relay {
namespace EPoll {

namespace {

using Pimo::OS::class_locker;
using Pimo::Utility::print_error;

void report_text(const char* in_entry, const char* in_text) {
    print_error(std::string(in_entry) + " catch_err : " + in_text + " errno:" + std::to_string(errno) + "\n");
}

// One event; false when the thread is to end.
bool wait_one(int in_set, epoll_event& out_event) {
    for (;;) {
        const int n = epoll_wait(in_set, &out_event, 1, -1);
        if (n == 1) return out_event.data.ptr != nullptr;
        if (n < 0 && errno == EINTR) continue;
        throw "epoll_wait";
    }
}

template <typename Dispatch>
void* run_loop(const char* in_entry, const char* in_other, int in_set, Dispatch in_dispatch) {
    try {
        epoll_event ev{};
        for (;;) {
            if (!wait_one(in_set, ev)) return nullptr;
            try {
                in_dispatch(ev);
            } catch (const char* text) {
                throw;
            } catch (...) {
                print_error(in_other);
            }
        }
    } catch (const char* text) {
        report_text(in_entry, text);
    }
    return nullptr;
}

bool older_than(Pimo::OS::vimra_clock_t in_clock, Pimo::OS::vimra_clock_t in_now) {
    return in_clock + g_timeout_ms < in_now;
}

}  // namespace

void* epoll_thread_tcp_init_entry(Pimo::OS::class_thread*) {
    return run_loop("epoll_thread_tcp_init_entry", "epoll_init_thread_entry catch: ", epoll_tcp_init,
                    [](epoll_event& ev) {
                        struct_epoll_overlapped* rec = static_cast<struct_epoll_overlapped*>(ev.data.ptr);
                        const unsigned flags = ev.events;
                        if (rec->type == c_socket_listener) {
                            if ((flags & (EPOLLERR | EPOLLHUP)) == 0) accept(rec);
                        } else if (rec->type == c_socket_init_client) {
                            tcp_t* p = static_cast<tcp_t*>(rec);
                            if (flags == 0x04 || flags == 0x14)
                                completed_connect(p);
                            else if (flags == 0x1C || ((flags & EPOLLHUP) && flags != 0x0C))
                                // Also the events of a timed-out connect re-armed for input
                                // and output, which would otherwise stay in the map for ever.
                                failed_connect(p);
                        }
                    });
}

void* epoll_thread_tcp_recv_entry(Pimo::OS::class_thread*) {
    return run_loop("epoll_thread_tcp_recv_entry", "epoll_recv_thread_entry catch: ", epoll_tcp_recv,
                    [](epoll_event& ev) { on_recv_event(static_cast<tcp_t*>(ev.data.ptr), ev.events); });
}

void* epoll_thread_tcp_send_entry(Pimo::OS::class_thread*) {
    return run_loop("epoll_thread_tcp_send_entry", "epoll_send_thread_entry catch: ", epoll_tcp_send,
                    [](epoll_event& ev) { on_send_event(static_cast<tcp_t*>(ev.data.ptr), ev.events); });
}

void* epoll_thread_udp_recv_entry(Pimo::OS::class_thread*) {
    return run_loop("epoll_thread_udp_recv_entry", "epoll_recv_thread_entry catch: ", epoll_udp_recv,
                    [](epoll_event& ev) {
                        struct_epoll_overlapped_ex* p = static_cast<struct_epoll_overlapped_ex*>(ev.data.ptr);
                        if (p->type == c_socket_udp && (ev.events & (EPOLLERR | EPOLLHUP)) == 0) recv_udp(p);
                    });
}

void* epoll_thread_udp_send_entry(Pimo::OS::class_thread*) {
    return run_loop("epoll_thread_udp_send_entry", "epoll_send_thread_entry catch: ", epoll_udp_send,
                    [](epoll_event& ev) {
                        struct_epoll_overlapped_ex* p = static_cast<struct_epoll_overlapped_ex*>(ev.data.ptr);
                        if (p->type == c_socket_udp && (ev.events & (EPOLLERR | EPOLLHUP)) == 0) send_udp(p);
                    });
}

void timer_cancel_connect(Pimo::OS::vimra_clock_t in_now) {
    class_locker lock(g_client_lock);
    for (auto& entry : g_connect_map) {
        tcp_t* p = entry.second;
        if (!older_than(p->send_clk, in_now) || p->socket < 0) continue;
        ::shutdown(p->socket, SHUT_RDWR);
        epoll_arm(epoll_tcp_init, EPOLL_CTL_MOD, p->socket, c_mask_connect_cancel, p);
    }
}

namespace {

// A connection whose queued data has not moved for too long: its peer stopped reading.
bool send_stalled(tcp_t* p, Pimo::OS::vimra_clock_t in_now) {
    class_locker lock(p->send_queue_lock);
    return !p->send_queue.empty() && older_than(p->send_progress_clk, in_now);
}

enum enum_timer_verdict { c_timer_keep, c_timer_heartbeat, c_timer_end };

// What the timer does with an established connection of either kind: it ends one whose sends
// have stalled, or, with AUTO_DISCONNECT, one silent for longer than the limit; it sends a
// heartbeat on one that has heard from its peer within the limit.
enum_timer_verdict judge(tcp_t* p, Pimo::OS::vimra_clock_t in_now) {
    if (send_stalled(p, in_now)) return c_timer_end;
    if (!older_than(p->recv_clk, in_now)) return c_timer_heartbeat;
    return g_auto_disconnect ? c_timer_end : c_timer_keep;
}

void heartbeat(tcp_t* p, Pimo::OS::vimra_clock_t in_now) {
    p->send_clk = in_now;
    request_send_hearbeat(p);
}

// The cancel returns of the returns still waiting for an acknowledgement.
void drain_ack_wait(tcp_t* p, std::vector<Kova::struct_token>& out_returns) {
    class_locker lock(p->ack_wait_q_lock);
    take_error_returns(p->ack_wait_q, Kova::c_kova_err_disconnected_tcp, out_returns);
}

}  // namespace

void timer_shutdown_server(Pimo::OS::vimra_clock_t in_now) {
    std::vector<Kova::struct_token> returns;
    {
        class_locker lock(g_establish_server_map_lock);
        std::vector<tcp_t*> listed;
        for (auto& entry : g_establish_server_map) {
            tcp_t* p = entry.second;
            const enum_timer_verdict verdict = judge(p, in_now);
            if (verdict == c_timer_heartbeat) heartbeat(p, in_now);
            if (verdict == c_timer_end) listed.push_back(p);
        }
        for (tcp_t* p : listed) {
            if (p->socket != -1) ::shutdown(p->socket, SHUT_RDWR);
            drain_ack_wait(p, returns);
        }
        // Accepted connections that have not finished their init records in time.
        for (tcp_t* p : g_init_server_set)
            if (older_than(p->create_clk, in_now) && p->socket != -1) ::shutdown(p->socket, SHUT_RDWR);
    }
    // Handed over with no lock held: the center thread takes the map lock to queue packets.
    hand_over(returns);
}

void timer_shutdown_client(Pimo::OS::vimra_clock_t in_now) {
    class_locker lock(g_client_lock);
    for (auto& entry : g_establish_client_map) {
        tcp_t* p = entry.second;
        const enum_timer_verdict verdict = judge(p, in_now);
        if (verdict == c_timer_heartbeat) heartbeat(p, in_now);
        // Outgoing connections keep no acknowledgement queue: the shut-down is all.
        if (verdict == c_timer_end && p->socket != -1) ::shutdown(p->socket, SHUT_RDWR);
    }
}

void timer_reconnect_client() {
    class_locker lock(g_client_lock);
    connect_map_t kept;
    connect_map_t pending;
    pending.swap(g_connect_fail_map);
    for (auto& entry : pending)
        if (request_connect(entry.second) != 0) kept.insert(entry);
    // Records that failed meanwhile on another path were put into the (now empty) map.
    for (auto& entry : g_connect_fail_map) kept.insert(entry);
    g_connect_fail_map.swap(kept);
}

void timer_inet(Pimo::OS::class_timer*) {
    const Pimo::OS::vimra_clock_t now = now_ms();
    timer_cancel_connect(now);
    timer_shutdown_server(now);
    timer_shutdown_client(now);
    timer_reconnect_client();
    if (g_accept_retry.exchange(false))
        for (auto& entry : g_listener_map) accept(entry.second);
}

}  // namespace EPoll
}  // namespace INet_Relay
}  // namespace Center
}  // namespace Kova
