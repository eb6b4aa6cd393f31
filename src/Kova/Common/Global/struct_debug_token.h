// The 784-byte record sent to the service's log. It goes into a world-readable
// segment, so senders zero it whole before filling it.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "Kova/Common/Interface/struct_token.h"

namespace Kova {

struct struct_debug_token {
    static constexpr std::size_t c_doc_size = 256;
    static constexpr std::size_t c_str_size = 512;

    // 'A' alloc, 'F' free or added reference, 'C' control, 'K' stop, 'Z' reset; 'S' a mark
    // (class_debug_ipc), which makes no row
    char type;
    std::int32_t pid;        // sender's process id
    struct_token token;      // the record owns one reference to its header block; data_mm is 0
    char doc[c_doc_size];    // "%s - %d lines" of the caller's file and line
    char str[c_str_size];    // the message

    struct_debug_token() : token() {}
};

static_assert(sizeof(pid_t) == sizeof(std::int32_t), "process id is 32 bits");
static_assert(sizeof(struct_debug_token) == 784, "debug record is 784 bytes");
static_assert(std::is_standard_layout<struct_debug_token>::value, "debug record layout");
static_assert(std::is_trivially_copyable<struct_debug_token>::value, "debug record is copied as bytes");
static_assert(offsetof(struct_debug_token, type) == 0, "type");
static_assert(offsetof(struct_debug_token, pid) == 4, "pid");
static_assert(offsetof(struct_debug_token, token) == 8, "token");
static_assert(offsetof(struct_debug_token, doc) == 16, "doc");
static_assert(offsetof(struct_debug_token, str) == 272, "str");

}  // namespace Kova
