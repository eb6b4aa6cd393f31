// Sending into the host channels of the calling process: trace records to the
// service's log and tokens into the center pipe.
#pragma once

#include <cstdarg>
#include <cstddef>

#include "Kova/Common/Global/struct_debug_token.h"
#include "Kova/Common/Interface/struct_token.h"
#include "Kova/Common/Open/Kova/kova_typedef.h"

namespace Kova {
namespace Common {
namespace Global {

// Sends a trace record of kind in_type about in_token to the service's log. The
// record takes its own reference to the token's header block; a record that cannot
// be queued is dropped. Without a debug channel, or for a kind nobody writes, nothing happens.
void kova_debug_send(char in_type, const struct_token& in_token, const char* in_file, int in_line,
                     const char* in_format, ...) __attribute__((format(printf, 5, 6)));
// False for 'A' and 'F' records once the service has published that it makes no row of them
// (LOG=no); every other kind, and every kind where nothing was published, is wanted.
bool is_debug_kind_wanted(char in_type);

// Trace records that go together (at most c_most): made one by one, queued in the debug channel
// in their order under one hold of its lock with one wake. A record holds a reference to its
// token's header block, either added for it or taken over from the caller; a record that is
// not queued (or not made: no channel, a kind nobody writes) gives it back. The references are
// added before the records are queued and given back afterwards, each group under one hold of
// the memory's lock, together with the caller's own releases (release_after).
class class_debug_records {
public:
    static constexpr std::size_t c_most = 2;

    class_debug_records() : m_count(0), m_adds(0), m_releases(0) {}
    class_debug_records(const class_debug_records&) = delete;
    class_debug_records& operator=(const class_debug_records&) = delete;

    // A record of in_type about in_token that adds its own reference to the header block.
    void add(char in_type, const struct_token& in_token, const char* in_file, int in_line, const char* in_format,
             ...) __attribute__((format(printf, 6, 7)));
    void add_v(char in_type, const struct_token& in_token, const char* in_file, int in_line, const char* in_format,
               va_list in_args);
    // A record that takes over the caller's reference to in_token's header block.
    void add_taking(char in_type, const struct_token& in_token, const char* in_file, int in_line,
                    const char* in_format, ...) __attribute__((format(printf, 6, 7)));
    // A reference of the caller's, released once the records are queued; at most c_most of them.
    void release_after(Pimo::Memory::mm_t in_mm);
    // Queues the records and releases what is to be released.
    void proc_send();

private:
    void make(char in_type, const struct_token& in_token, bool in_taking, const char* in_file, int in_line,
              const char* in_format, va_list in_args);

    // Laid end to end as the channel takes them.
    struct_debug_token m_records[c_most];
    bool m_adds_reference[c_most];
    const char* m_files[c_most];
    int m_lines[c_most];
    std::size_t m_count;
    std::size_t m_adds;  // records that add their own reference
    Pimo::Memory::mm_t m_released[2 * c_most];  // one per record at most, and the caller's
    std::size_t m_releases;
};

// Same parameters; sends nothing.
inline void kova_debug_not_send(char, const struct_token&, const char*, int, const char*, ...) {}

// Puts the token into gp_center_pipe (whole capacity, or refused once in_min tokens wait
// when in_min is not 0); on failure the caller still owns it.
// 0; c_kova_err_center_shutdown when the pipe is shut down, its center gone or there is no
// center pipe; c_kova_err_center_busy when full; c_kova_err_unknown otherwise.
kova_err_t send_kova_center(struct_token& in_token, size_t in_min = 0);

}  // namespace Global
}  // namespace Common
}  // namespace Kova
