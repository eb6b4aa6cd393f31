// The five epoll threads and the one-second network timer.
#pragma once

#include "Kova/Center/INet_Relay/EPoll/epoll_global.h"

namespace Kova {
namespace Center {
namespace INet_Relay {
namespace EPoll {

void* epoll_thread_tcp_init_entry(Pimo::OS::class_thread* pin_thread);
void* epoll_thread_tcp_recv_entry(Pimo::OS::class_thread* pin_thread);
void* epoll_thread_tcp_send_entry(Pimo::OS::class_thread* pin_thread);
void* epoll_thread_udp_recv_entry(Pimo::OS::class_thread* pin_thread);
void* epoll_thread_udp_send_entry(Pimo::OS::class_thread* pin_thread);

void timer_inet(Pimo::OS::class_timer* pin_timer);
// The timer's steps, with the clock it read.
void timer_cancel_connect(Pimo::OS::vimra_clock_t in_now);
void timer_shutdown_server(Pimo::OS::vimra_clock_t in_now);
void timer_shutdown_client(Pimo::OS::vimra_clock_t in_now);
void timer_reconnect_client();

}  // namespace EPoll
}  // namespace INet_Relay
}  // namespace Center
}  // namespace Kova
