// What the processor and the registry need of an object's core: delivery of one
// packet and its destruction. The object core of stubs and proxies implements it.
#pragma once

#include "Kova/Common/Interface/struct_token.h"
#include "Kova/Common/Open/Kova/kova_typedef.h"
#include "Pimo/OS/Linux/vimra_err.h"

namespace Kova {
namespace SDK {
namespace Interface {

class interface_object_core {
public:
    virtual ~interface_object_core() {}
    // One packet on the calling thread; the core keeps the token only by adding references.
    virtual Pimo::OS::vimra_err_t listener_processor(struct_token& in_token) = 0;
    // Destruction left to the registry at shut-down; c_kova_err_center_busy asks for another try.
    virtual kova_err_t destroy() = 0;
    // Destruction of an object the application left behind, at the registry's shut-down.
    virtual kova_err_t destroy_left() { return destroy(); }
    // A destroy asked on a listener thread, carried out at the end of its packet.
    virtual kova_err_t destroy_force() = 0;
};

}  // namespace Interface
}  // namespace SDK
}  // namespace Kova
