// The pipe that carries debug records to the service's log, as senders drive it.
#pragma once

#include "Pimo/IPC/interface_pipe.h"

namespace Kova {
namespace Common {
namespace Interface {

typedef Pimo::IPC::interface_pipe interface_debug_pipe;

}  // namespace Interface
}  // namespace Common
}  // namespace Kova
