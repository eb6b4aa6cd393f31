// The handlers of one interaction kind by message code, in the core of a stub or of a
// proxy. The core does not own them. The map changes only under the processor's write
// lock, which excludes every listener, so listeners read it without a lock of its own.
#pragma once

#include <cstdio>
#include <map>

#include "Kova/Common/Hidden/struct_packet.h"
#include "Kova/Common/Interface/struct_token.h"
#include "Kova/SDK/SDK_Processor/kova_sdk_processor.h"
#include "Pimo/OS/Linux/class_locker.h"

namespace Kova {

template <typename handler_t>
class template_handler_map : public std::map<msg_code_t, handler_t*> {
public:
    // The two lines written to standard error when a code is offered twice; none when null.
    explicit template_handler_map(const char* in_first_line = nullptr, const char* in_second_line = nullptr)
        : mp_first_line(in_first_line), mp_second_line(in_second_line) {}

    // Takes the write lock. A code present already keeps its handler.
    void proc_add(msg_code_t in_code, handler_t* pin_handler) {
        SDK::SDK_Processor::class_processor_write_hold lock;
        proc_insert(in_code, pin_handler);
    }

    // Takes the write lock. Erases the code's entry only while it holds pin_handler: a
    // second handler of a code, never entered, leaves the first one in place as it goes.
    void proc_del(msg_code_t in_code, handler_t* pin_handler) {
        SDK::SDK_Processor::class_processor_write_hold lock;
        auto it = this->find(in_code);
        if (it != this->end() && it->second == pin_handler) this->erase(it);
    }

    // The caller holds the write lock. Every handler goes over to pout_to and in_repoint
    // points it at its new core, also one whose code pout_to serves already: its own
    // core is about to go.
    template <typename repoint_t>
    void proc_move_to(template_handler_map& pout_to, repoint_t in_repoint) {
        for (auto& entry : *this) {
            in_repoint(*entry.second);
            pout_to.proc_insert(entry.first, entry.second);
        }
        this->clear();
    }

    // Hands in_token to the handler of its code through in_entry; false when the code
    // has none.
    template <typename entry_t>
    bool proc_dispatch(struct_token const& in_token, entry_t in_entry) const {
        auto it = this->find(in_token.get_header_packet()->header.code);
        if (it == this->end()) return false;
        ((*it->second).*in_entry)(in_token);
        return true;
    }

private:
    void proc_insert(msg_code_t in_code, handler_t* pin_handler) {
        if (this->emplace(in_code, pin_handler).second || mp_first_line == nullptr) return;
        std::fputs(mp_first_line, stderr);
        std::fputs(mp_second_line, stderr);
    }

    const char* mp_first_line;
    const char* mp_second_line;
};

}  // namespace Kova
