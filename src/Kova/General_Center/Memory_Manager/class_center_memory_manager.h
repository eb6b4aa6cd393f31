// The center's view of the host's packet memory: when the service is gone, the
// center's stop event is set so that it tears down in order.
#pragma once
#include "Kova/General_Common/Memory/class_kova_memory.h"
#include "Pimo/OS/Linux/class_event.h"

namespace Kova {
namespace General_Center {
namespace Memory_Manager {

class class_center_memory_manager : public Kova::General_Common::Memory::class_kova_memory {
public:
    Pimo::OS::class_event* mp_event;

    // Publishes itself as gp_memory, then opens the memory, retrying every 0.1 s until
    // it exists. in_name is the host's memory; another name keeps a test off a live host's.
    explicit class_center_memory_manager(Pimo::OS::class_event* pin_event, const char* in_name = str_name);
    ~class_center_memory_manager() override;

protected:
    void* on_destroy() override;
};

}  // namespace Memory_Manager
}  // namespace General_Center
}  // namespace Kova
