#include "Kova/SDK/Interface/interface_center_manager.h"
#include "Kova/SDK/Interface/interface_sdk_object_manager.h"

namespace Kova {
namespace SDK {
namespace Interface {

std::atomic<interface_center_manager*> gp_center_manager{nullptr};
std::atomic<interface_sdk_object_manager*> gp_object_manager{nullptr};

}  // namespace Interface
}  // namespace SDK
}  // namespace Kova
