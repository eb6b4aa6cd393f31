#include "Kova/Common/Open/Kova/kova_history.h"

#include "Kova/Common/Hidden/struct_packet.h"
#include "Kova/Common/Interface/kova_memory_interface.h"
#include "Kova/SDK/History/struct_letter_case.h"

namespace Kova {

using Common::Interface::safe_add_ref_mm;

kova_history::kova_history() : letter_case(nullptr) {}

kova_history::kova_history(letter_case_t in_letter_case) : letter_case(in_letter_case) {}

kova_history::kova_history(const kova_history& in_history) : letter_case(nullptr) { *this = in_history; }

kova_history::~kova_history() { clear(); }

kova_history& kova_history::operator=(letter_case_t in_letter_case) {
    // Clearing first would free the very letter case about to be adopted.
    if (in_letter_case == letter_case) return *this;
    clear();
    letter_case = in_letter_case;
    return *this;
}

kova_history& kova_history::operator=(const kova_history& in_history) {
    if (&in_history == this) return *this;
    clear();
    if (!in_history.letter_case) return *this;
    letter_case = new struct_letter_case(*in_history.letter_case);
    for (const struct_token& t : letter_case->token_vect) {
        safe_add_ref_mm(t.header_mm, __FILE__, __LINE__);
        safe_add_ref_mm(t.data_mm, __FILE__, __LINE__);
    }
    return *this;
}

kova_history::operator bool() const { return letter_case != nullptr; }

std::size_t kova_history::size() const { return letter_case ? letter_case->token_vect.size() : 0; }

bool kova_history::empty() const { return size() == 0; }

template_history_elem<void> kova_history::operator[](std::size_t in_index) const {
    template_history_elem<void> e;
    if (in_index >= size()) return e;
    const struct_token& t = letter_case->token_vect[in_index];
    const struct_packet* p = t.get_header_packet();
    if (!p) return e;
    e.clock = p->arrival_cpu_clock_counter;
    e.interval = p->header.limit.get_time();
    e.p_buffer = t.get_data();
    e.size = Common::Interface::get_payload_size(t);
    return e;
}

void kova_history::clear() {
    if (!letter_case) return;
    for (struct_token& t : letter_case->token_vect) Common::Interface::safe_free_token(t, __FILE__, __LINE__);
    delete letter_case;
    letter_case = nullptr;
}

template class template_history<int>;

}  // namespace Kova
