// The pipe that carries packet tokens (center, listen and return pipes), as callers drive it.
#pragma once

#include "Pimo/IPC/interface_pipe.h"

namespace Kova {
namespace Common {
namespace Interface {

typedef Pimo::IPC::interface_pipe interface_kova_pipe;

}  // namespace Interface
}  // namespace Common
}  // namespace Kova
