#include "Kova/Common/Global/kova_send.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "Kova/Common/Global/kova_global.h"
#include "Kova/Common/Global/struct_debug_token.h"
#include "Kova/Common/Open/Kova/kova_err.h"
#include "Pimo/Memory/interface_memory.h"
#include "Pimo/OS/Linux/vimra_time.h"

namespace Kova {
namespace Common {
namespace Global {

namespace {

Pimo::OS::process_id_t own_process_id() {
    static const Pimo::OS::process_id_t s_pid = Pimo::OS::get_process_id();
    return s_pid;
}

}  // namespace

void kova_debug_send(char in_type, const struct_token& in_token, const char* in_file, int in_line,
                     const char* in_format, ...) {
    Interface::interface_debug_pipe* pipe = gp_debug_ipc;
    if (pipe == nullptr) return;

    // Zeroed whole: the record lands in a world-readable segment.
    struct_debug_token record;
    std::memset(static_cast<void*>(&record), 0, sizeof(record));
    record.type = in_type;
    record.pid = own_process_id();
    record.token = in_token;
    std::snprintf(record.doc, sizeof(record.doc), "%s - %d lines", in_file != nullptr ? in_file : "", in_line);
    va_list args;
    va_start(args, in_format);
    std::vsnprintf(record.str, sizeof(record.str), in_format, args);
    va_end(args);

    // The record holds the header block until the log has written it.
    record.token.data_mm = 0;
    if (record.token.header_mm != 0) {
        if (gp_memory != nullptr)
            gp_memory->safe_add_ref(record.token.header_mm, in_file, in_line);
        else
            record.token.header_mm = 0;  // no memory to hold it in: describe no block
    }
    const Pimo::OS::vimra_err_t sent = pipe->eproc_send(reinterpret_cast<const Pimo::byte_t*>(&record), 0);
    if (sent != Pimo::OS::c_vimra_success && gp_memory != nullptr)
        gp_memory->safe_free(record.token.header_mm, __FILE__, __LINE__);
}

kova_err_t send_kova_center(struct_token& in_token, size_t in_min) {
    Interface::interface_kova_pipe* pipe = gp_center_pipe;
    if (pipe == nullptr) return c_kova_err_center_shutdown;
    switch (pipe->eproc_send(reinterpret_cast<const Pimo::byte_t*>(&in_token), in_min)) {
    case Pimo::OS::c_vimra_success: return c_kova_success;
    case Pimo::OS::c_vimra_shutdown: return c_kova_err_center_shutdown;
    case Pimo::OS::c_vimra_busy: return c_kova_err_center_busy;
    default: return c_kova_err_unknown;
    }
}

}  // namespace Global
}  // namespace Common
}  // namespace Kova
