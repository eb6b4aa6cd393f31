// UDP socket: addresses in network byte order, ports in host byte order.
#pragma once

#include <atomic>
#include <cstddef>

#include "Pimo/INet/class_sock.h"

namespace Pimo {
namespace INet {
namespace UDP {

class class_udp : public class_sock {
public:
    class_udp() : valid(false) {}

    // Broadcast allowed, bound to in_port on every address, multicast TTL 128 and loop-back on.
    Pimo::OS::vimra_err_t eproc_open(const unsigned short& in_port);
    // 0 when all in_len bytes went out as one datagram, else -1.
    Pimo::OS::vimra_err_t eproc_send(const unsigned long& in_ip, const unsigned short& in_port, const void* pin_buf,
                                     const size_t& in_len);
    // One datagram of at most in_len bytes; an empty datagram is a receive of 0 bytes.
    // 5 once the socket is shut down, -1 when the receive fails.
    Pimo::OS::vimra_err_t eproc_receive(unsigned long& out_from_ip, unsigned short& out_from_port, size_t& out_len,
                                        void* pin_buf, const size_t& in_len);
    // Like eproc_receive but leaves the datagram queued; every failure is 5.
    Pimo::OS::vimra_err_t eproc_receive_peek(unsigned long& out_from_ip, unsigned short& out_from_port,
                                             size_t& out_len, void* pin_buf, const size_t& in_len);
    // Stops receiving; a receiver blocked in another thread returns 5.
    void proc_shutdown();

    // Join or leave in_ip on the address of "eth0", or on the routed interface without one.
    void proc_add_membership(const unsigned long& in_ip);
    void proc_drop_membership(const unsigned long& in_ip);
    // Interface of outgoing multicast, by its address.
    void proc_set_multicast_if(const unsigned long& multicast_if);

    std::atomic<bool> valid;

private:
    Pimo::OS::vimra_err_t receive(int in_flags, unsigned long& out_from_ip, unsigned short& out_from_port,
                                  size_t& out_len, void* pin_buf, const size_t& in_len, bool& out_failed);
    void set_membership(int in_option, const unsigned long& in_ip);
};

}  // namespace UDP
}  // namespace INet
}  // namespace Pimo
