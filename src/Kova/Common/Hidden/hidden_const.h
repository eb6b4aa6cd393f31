// Display names of message types and control codes, for logs and dump analysis.
#pragma once

#include "Kova/Common/Open/Kova/kova_typedef.h"

namespace Kova {

// Unnamed values come back as "0x%02x" text in a thread-local buffer of this
// function, valid until the same thread calls it again.
const char* get_type_str(msg_type_t in_type);
// The control-code constant's name; other values as "0x%04x" text in a
// thread-local buffer of this function.
const char* get_ctrl_code_str(msg_code_t in_code);

}  // namespace Kova
