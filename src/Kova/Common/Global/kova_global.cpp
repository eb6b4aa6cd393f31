#include "Kova/Common/Global/kova_global.h"

namespace Kova {
namespace Common {
namespace Global {

Pimo::Memory::interface_memory* gp_memory = nullptr;
Interface::interface_debug_pipe* gp_debug_ipc = nullptr;
std::atomic<bool> g_debug_block_traces_off{false};
Interface::interface_kova_pipe* gp_center_pipe = nullptr;
Pimo::Memory::class_handle_ledger* gp_ledger = nullptr;
std::atomic<std::size_t> g_memory_capacity{0};

}  // namespace Global
}  // namespace Common
}  // namespace Kova
