// Sending into the host channels of the calling process: trace records to the
// service's log and tokens into the center pipe.
#pragma once

#include <cstddef>

#include "Kova/Common/Interface/struct_token.h"
#include "Kova/Common/Open/Kova/kova_typedef.h"

namespace Kova {
namespace Common {
namespace Global {

// Sends a trace record of kind in_type about in_token to the service's log. The
// record takes its own reference to the token's header block; a record that cannot
// be queued is dropped. Without a debug channel nothing happens.
void kova_debug_send(char in_type, const struct_token& in_token, const char* in_file, int in_line,
                     const char* in_format, ...) __attribute__((format(printf, 5, 6)));
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
