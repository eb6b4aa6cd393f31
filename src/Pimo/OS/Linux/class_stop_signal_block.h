// Blocks the process's stop signals (SIGINT, SIGTERM) in the calling thread for its life.
// A thread created meanwhile inherits the block from its first instruction, so a stop signal
// can never run its handler on a library thread (not even before the thread's entry runs):
// the handler may free what that thread is about to use. The application's own threads take
// them instead.
#pragma once

#include <signal.h>

namespace Pimo {
namespace OS {

class class_stop_signal_block {
public:
    class_stop_signal_block();
    ~class_stop_signal_block();
    class_stop_signal_block(const class_stop_signal_block&) = delete;
    class_stop_signal_block& operator=(const class_stop_signal_block&) = delete;

private:
    sigset_t m_previous;
};

}  // namespace OS
}  // namespace Pimo
