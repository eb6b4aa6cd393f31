#include "Kova/Common/Hidden/multicast_group.h"

#include "Pimo/INet/pimo_inet.h"

namespace Kova {

ip_t get_multicast_group(object_id_t in_stub_id, msg_code_t in_code) {
    return static_cast<ip_t>(Pimo::INet::inet_addr(230, static_cast<unsigned char>(in_stub_id & 0xFF),
                                                   static_cast<unsigned char>(in_code >> 8),
                                                   static_cast<unsigned char>(in_code & 0xFF)));
}

}  // namespace Kova
