// The process's single instances of the packet memory and the host channels it uses.
#pragma once

#include <atomic>
#include <cstddef>

#include "Kova/Common/Interface/interface_debug_pipe.h"
#include "Kova/Common/Interface/interface_kova_pipe.h"

namespace Pimo {
namespace Memory {
class interface_memory;
class class_handle_ledger;
}
}  // namespace Pimo

namespace Kova {
namespace Common {
namespace Global {

// Set by the center's and the SDK's memory objects; the SDK's clears it when it goes.
extern Pimo::Memory::interface_memory* gp_memory;
// Set and cleared by the debug channel object.
extern Interface::interface_debug_pipe* gp_debug_ipc;
// True while the debug channel this process opened comes with the service's word that no row is
// made of 'A' and 'F' records (LOG=no): they are then not sent. Set and cleared by the debug
// channel object.
extern std::atomic<bool> g_debug_block_traces_off;
// Set and cleared by the center's own center pipe.
extern Interface::interface_kova_pipe* gp_center_pipe;
// The record of the blocks this process holds, while it keeps one (centers and
// applications); the packet pipes tell it of the tokens that come and go.
extern Pimo::Memory::class_handle_ledger* gp_ledger;
// Bytes of the packet memory this process opened (0 until it has).
extern std::atomic<std::size_t> g_memory_capacity;

// What waits for one process is bounded by the packet memory it holds: the center's backlog
// for the process and the process's own queues of one-way packets hold at most this share
// each (a sixteenth of the memory, so an eighth in all, besides its listen pipe); 0 while the
// memory is not known: no bound by bytes then.
constexpr std::size_t c_process_share_divisor = 16;
inline std::size_t get_process_share() { return g_memory_capacity.load(std::memory_order_relaxed) / c_process_share_divisor; }

}  // namespace Global
}  // namespace Common
}  // namespace Kova
