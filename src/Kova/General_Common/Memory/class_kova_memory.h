// The host's shared packet memory as this process sees it, watching its creator
// (the service): when the service is gone, on_destroy runs on the watcher thread.
#pragma once

#include "Pimo/Memory/class_dynamic_shared_ref_memory.h"
#include "Pimo/Observer/class_observer.h"

namespace Kova {
namespace General_Common {
namespace Memory {

class class_kova_memory : public Pimo::Memory::class_dynamic_shared_ref_memory,
                          private Pimo::Observer::class_observer {
public:
    static const char* const str_name;  // "kova_memory_manager"

    // The service's side. in_name is the host's memory; another name keeps a test off
    // a live host's memory. A failed watch destroys the memory again.
    Pimo::OS::vimra_err_t eproc_create(unsigned int in_size, const char* in_name = str_name);
    // A user's side: opens the memory, then watches its creator; a failed watch closes it again.
    Pimo::OS::vimra_err_t eproc_open(const char* in_name = str_name);
    void proc_close();
    void proc_destroy();

    using Pimo::Observer::class_observer::is_live;

protected:
    // The service is gone: end at once, without clean-up. Centers and the SDK override it.
    void* on_destroy() override;
};

}  // namespace Memory
}  // namespace General_Common
}  // namespace Kova
