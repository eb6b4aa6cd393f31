// A command stub's record of one connected client: the commands it sent last.
#pragma once

#include "Kova/SDK/History/class_token_history.h"

namespace Kova {

struct struct_cmd_obj_map_data {
    // Newest first; each entry holds a reference to the command's header and data block.
    SDK::History::class_token_history history;
};

}  // namespace Kova
