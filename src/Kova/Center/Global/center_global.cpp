#include "Kova/Center/Global/center_global.h"

namespace Kova {
namespace Center {
namespace Global {

Interface::interface_center_object_manager* gp_object_manager = nullptr;
Interface::interface_center_network* gp_center_network = nullptr;

}  // namespace Global
}  // namespace Center
}  // namespace Kova
