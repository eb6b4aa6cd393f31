// The service's single instances of the host channels and the packet memory, and the
// paths it resolves against its own directory.
#pragma once

#include "Kova/General_Common/IPC/class_service_ipc.h"
#include "Kova/General_Common/Memory/class_kova_memory.h"
#include "Pimo/OS/Linux/pimo_typedef.h"

namespace Kova {
namespace General_Service {
namespace Global {

extern General_Common::IPC::class_service_ipc g_service_ipc;
extern General_Common::Memory::class_kova_memory g_kova_memory;

constexpr const char* c_str_ini_path = "../../etc/Kova/kova.ini";
constexpr const char* c_str_ini_section = "KOVA";
constexpr const char* c_str_log_directory = "../../var/log/Kova/";

constexpr Pimo::u_int32_t c_default_memory_size = 0x28000000;

// MEMSIZE of the service's ini file. The default stands for a missing file or key, a value that
// is not a decimal integer, and a size too small to hold a heap; the size is rounded down to
// a multiple of 8.
Pimo::u_int32_t get_memory_size(const char* in_ini_path);

}  // namespace Global
}  // namespace General_Service
}  // namespace Kova
