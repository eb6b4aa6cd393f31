#include "Kova/Common/Global/kova_send.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "Kova/Common/Global/kova_global.h"
#include "Kova/Common/Global/struct_debug_token.h"
#include "Kova/Common/Open/Kova/kova_err.h"
#include "Pimo/Memory/class_memory_hold.h"
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

bool is_debug_kind_wanted(char in_type) {
    return (in_type != 'A' && in_type != 'F') || !g_debug_block_traces_off.load(std::memory_order_relaxed);
}

void class_debug_records::add(char in_type, const struct_token& in_token, const char* in_file, int in_line,
                              const char* in_format, ...) {
    va_list args;
    va_start(args, in_format);
    make(in_type, in_token, false, in_file, in_line, in_format, args);
    va_end(args);
}

void class_debug_records::add_v(char in_type, const struct_token& in_token, const char* in_file, int in_line,
                                const char* in_format, va_list in_args) {
    make(in_type, in_token, false, in_file, in_line, in_format, in_args);
}

void class_debug_records::add_taking(char in_type, const struct_token& in_token, const char* in_file, int in_line,
                                     const char* in_format, ...) {
    va_list args;
    va_start(args, in_format);
    make(in_type, in_token, true, in_file, in_line, in_format, args);
    va_end(args);
}

void class_debug_records::release_after(Pimo::Memory::mm_t in_mm) {
    if (in_mm != 0 && m_releases < sizeof m_released / sizeof m_released[0]) m_released[m_releases++] = in_mm;
}

void class_debug_records::make(char in_type, const struct_token& in_token, bool in_taking, const char* in_file,
                               int in_line, const char* in_format, va_list in_args) {
    if (gp_debug_ipc == nullptr || !is_debug_kind_wanted(in_type) || m_count == c_most) {
        // No record holds it: a reference handed over goes back with the releases.
        if (in_taking) release_after(in_token.header_mm);
        return;
    }
    // Zeroed whole: the record lands in a world-readable segment.
    struct_debug_token& record = m_records[m_count];
    std::memset(static_cast<void*>(&record), 0, sizeof(record));
    record.type = in_type;
    record.pid = own_process_id();
    record.token = in_token;
    std::snprintf(record.doc, sizeof(record.doc), "%s - %d lines", in_file != nullptr ? in_file : "", in_line);
    std::vsnprintf(record.str, sizeof(record.str), in_format, in_args);

    // The record holds the header block until the log has written it.
    record.token.data_mm = 0;
    const bool adds = !in_taking && record.token.header_mm != 0;
    if (adds && gp_memory == nullptr) record.token.header_mm = 0;  // no memory to hold it in: describe no block
    m_adds_reference[m_count] = adds && gp_memory != nullptr;
    m_adds += m_adds_reference[m_count] ? 1 : 0;
    m_files[m_count] = in_file;
    m_lines[m_count] = in_line;
    ++m_count;
}

void class_debug_records::proc_send() {
    Pimo::Memory::interface_memory* memory = gp_memory;
    if (m_adds != 0) {
        Pimo::Memory::class_memory_hold hold(memory, m_adds);
        for (std::size_t i = 0; i < m_count; ++i)
            if (m_adds_reference[i]) memory->safe_add_ref(m_records[i].token.header_mm, m_files[i], m_lines[i]);
    }
    std::size_t queued = 0;
    Interface::interface_debug_pipe* pipe = gp_debug_ipc;
    if (m_count != 0 && pipe != nullptr)
        pipe->eproc_send_n(reinterpret_cast<const Pimo::byte_t*>(m_records), sizeof(struct_debug_token), m_count, 0,
                           &queued);
    // What a record that did not go in would have held goes back, with the caller's releases.
    for (std::size_t i = queued; i < m_count; ++i) release_after(m_records[i].token.header_mm);
    if (m_releases == 0 || memory == nullptr) return;
    Pimo::Memory::class_memory_hold hold(memory, m_releases);
    for (std::size_t i = 0; i < m_releases; ++i) memory->safe_free(m_released[i], __FILE__, __LINE__);
    m_releases = 0;
}

void kova_debug_send(char in_type, const struct_token& in_token, const char* in_file, int in_line,
                     const char* in_format, ...) {
    if (gp_debug_ipc == nullptr || !is_debug_kind_wanted(in_type)) return;
    class_debug_records records;
    va_list args;
    va_start(args, in_format);
    records.add_v(in_type, in_token, in_file, in_line, in_format, args);
    va_end(args);
    records.proc_send();
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
