// The center process's single instances that the relay reaches by pointer.
#pragma once
#include "Kova/Center/Interface/interface_center_network.h"
#include "Kova/Center/Interface/interface_center_object_manager.h"

namespace Kova {
namespace Center {
namespace Global {

// Set by the registry's constructor, cleared by its destructor.
extern Interface::interface_center_object_manager* gp_object_manager;
// Set by the relay control before the network starts; null means no network.
extern Interface::interface_center_network* gp_center_network;

}  // namespace Global
}  // namespace Center
}  // namespace Kova
