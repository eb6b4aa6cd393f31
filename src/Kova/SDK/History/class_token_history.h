// The live history of a command or information interface: packets, newest first, each
// held by a reference of its own to its header block and one to its data block. It has
// no lock: its owner's lock guards it.
#pragma once

#include <deque>

#include "Kova/Common/Interface/struct_token.h"
#include "Kova/Common/Open/Kova/kova_history.h"

namespace Kova {
namespace SDK {
namespace History {

class class_token_history {
public:
    class_token_history() {}
    ~class_token_history() { clear(); }
    class_token_history(const class_token_history&) = delete;
    class_token_history& operator=(const class_token_history&) = delete;

    // Keeps in_token in front with references of its own, then lets the oldest go
    // until at most in_depth are kept.
    void push(struct_token const& in_token, kova_size_t in_depth);
    // A new letter case with up to in_count of the newest, each with references of its
    // own; the caller owns it.
    letter_case_t see(kova_size_t in_count) const;
    void clear();
    std::size_t size() const { return m_tokens.size(); }

private:
    std::deque<struct_token> m_tokens;
};

// read() of the kinds with a history: copies the newest packet of in_letter_case (which
// it adopts) into pin_data, at most *pin_size bytes; a smaller value sets *pin_size to
// its size. c_kova_err_empty_history when there is none.
kova_err_t proc_read_newest(letter_case_t in_letter_case, void* pin_data, pksize_t* pin_size);

}  // namespace History
}  // namespace SDK
}  // namespace Kova
