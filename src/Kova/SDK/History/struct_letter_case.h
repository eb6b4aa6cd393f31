// The inside of a history snapshot: its packets, newest first, each token holding one
// reference to its header block and one to its data block.
#pragma once

#include <vector>

#include "Kova/Common/Interface/struct_token.h"
#include "Kova/Common/Open/Kova/kova_history.h"

namespace Kova {

struct struct_letter_case {
    std::vector<struct_token> token_vect;
};

}  // namespace Kova
