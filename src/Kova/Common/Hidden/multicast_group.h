// The multicast group of an information stub's code: its UDP values go there, and the
// center of every host with a UDP subscriber joins it for the stub's host as source.
#pragma once

#include "Kova/Common/Open/Kova/kova_typedef.h"

namespace Kova {

// 230.(stub id & 0xFF).(code >> 8).(code & 0xFF), as stored (network order).
ip_t get_multicast_group(object_id_t in_stub_id, msg_code_t in_code);

}  // namespace Kova
