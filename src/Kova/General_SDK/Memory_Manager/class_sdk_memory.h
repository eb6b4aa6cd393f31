// The host's packet memory as the SDK sees it: the process's gp_memory while it
// exists, watching the service that created it.
#pragma once

#include "Kova/General_Common/Memory/class_kova_memory.h"

namespace Kova {
namespace SDK {
namespace Memory_Manager {

class class_sdk_memory : public General_Common::Memory::class_kova_memory {
public:
    // Opens the memory; the process ends if it cannot.
    explicit class_sdk_memory(const char* in_name = str_name);
    // Clears gp_memory first, so that a late free does nothing instead of touching
    // memory that is no longer mapped.
    ~class_sdk_memory() override;

protected:
    // The service has gone: the application ends at once.
    void* on_destroy() override;
};

}  // namespace Memory_Manager
}  // namespace SDK
}  // namespace Kova
