#include "Kova/General_Service/Global/kova_service_global.h"

#include "Pimo/Memory/heap_record.h"
#include "Pimo/Utility/pimo_ini_file.h"

namespace Kova {
namespace General_Service {
namespace Global {

General_Common::IPC::class_service_ipc g_service_ipc;
General_Common::Memory::class_kova_memory g_kova_memory;

Pimo::u_int32_t get_memory_size(const char* in_ini_path) {
    const int value = Pimo::Utility::get_integer_from_ini_file(in_ini_path, c_str_ini_section, "MEMSIZE",
                                                               static_cast<int>(c_default_memory_size));
    if (value <= 0) return c_default_memory_size;
    const Pimo::u_int32_t size = static_cast<Pimo::u_int32_t>(value) & ~static_cast<Pimo::u_int32_t>(7);
    if (size < Pimo::Memory::c_heap_min_segment) return c_default_memory_size;
    return size;
}

}  // namespace Global
}  // namespace General_Service
}  // namespace Kova
