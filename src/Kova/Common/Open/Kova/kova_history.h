// Snapshots of the packets a command or information interface kept: a history owns
// one reference to each block of its snapshot, so its elements stay readable however
// the live history moves on, until the history is cleared or destroyed.
#pragma once

#include <cstddef>

#include "kova_api.h"
#include "kova_typedef.h"

namespace Kova {

// The snapshot itself; what it holds is the SDK's business.
struct struct_letter_case;
typedef struct_letter_case* letter_case_t;

// One packet of a history. All fields 0 for an element that is not there.
template <typename T>
struct template_history_elem {
    T* p_buffer;          // the payload in the packet memory; null without one
    pksize_t size;        // payload bytes, never more than the block holds
    double interval;      // the packet's time limit in seconds
    kova_clock_t clock;   // arrival clock, ticks of the SDK's cpu clock

    template_history_elem() : p_buffer(nullptr), size(0), interval(0.0), clock(0) {}
};

class KOVA_API kova_history {
public:
    kova_history();
    // Adopts in_letter_case: the history owns it and its references from now on.
    kova_history(letter_case_t in_letter_case);
    // A deep copy: the same packets, with references of its own.
    kova_history(const kova_history& in_history);
    ~kova_history();

    // Adopting the letter case held already changes nothing.
    kova_history& operator=(letter_case_t in_letter_case);
    kova_history& operator=(const kova_history& in_history);

    // A letter case is held (possibly one without packets).
    explicit operator bool() const;
    std::size_t size() const;
    bool empty() const;
    // Element 0 is the newest.
    template_history_elem<void> operator[](std::size_t in_index) const;
    void clear();

    letter_case_t letter_case;
};

template <typename T>
class KOVA_API template_history : public kova_history {
public:
    template_history() {}
    template_history(letter_case_t in_letter_case) : kova_history(in_letter_case) {}
    template_history(const template_history& in_history) : kova_history(in_history) {}

    template_history& operator=(letter_case_t in_letter_case) {
        kova_history::operator=(in_letter_case);
        return *this;
    }
    template_history& operator=(const template_history& in_history) {
        kova_history::operator=(in_history);
        return *this;
    }

    template_history_elem<T> operator[](std::size_t in_index) const {
        const template_history_elem<void> e = kova_history::operator[](in_index);
        template_history_elem<T> typed;
        typed.p_buffer = static_cast<T*>(e.p_buffer);
        typed.size = e.size;
        typed.interval = e.interval;
        typed.clock = e.clock;
        return typed;
    }
};

// The library carries this form.
extern template class template_history<int>;

}  // namespace Kova
