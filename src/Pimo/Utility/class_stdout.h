// Line writer to standard output, one whole line per call across threads.
#pragma once

#include "Pimo/OS/Linux/class_lock.h"

namespace Pimo {
namespace Utility {

class class_stdout {
public:
    class_stdout() : m_silent_state(true) {}

    // Writes the formatted text and a newline; texts beyond 1023 characters are cut there.
    // Returns the number of characters written before the newline.
    int operator()(const char* format, ...) __attribute__((format(printf, 2, 3)));
    void silence(bool silent_state) { m_silent_state = silent_state; }

private:
    Pimo::OS::class_thread_lock m_lock;
    bool m_silent_state;
};

extern class_stdout* gp_out;

}  // namespace Utility
}  // namespace Pimo
