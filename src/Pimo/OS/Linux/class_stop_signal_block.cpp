#include "Pimo/OS/Linux/class_stop_signal_block.h"

#include <pthread.h>

namespace Pimo {
namespace OS {

class_stop_signal_block::class_stop_signal_block() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &set, &m_previous);
}

class_stop_signal_block::~class_stop_signal_block() { pthread_sigmask(SIG_SETMASK, &m_previous, nullptr); }

}  // namespace OS
}  // namespace Pimo
