// The 8-byte handle of a packet that travels through every packet pipe: the
// header block and the data block in the shared packet memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

namespace Kova {

struct struct_token {
    std::uint32_t header_mm;  // 0: no header block
    std::uint32_t data_mm;    // 0: no data block; without a header, seconds to sleep

    struct_token() : header_mm(0), data_mm(0) {}

    bool has_header() const { return header_mm != 0; }
    bool has_data() const { return data_mm != 0; }
    // Forget the handles; nothing is released.
    void reset() { header_mm = data_mm = 0; }
    void reset_data() { data_mm = 0; }
};

static_assert(sizeof(struct_token) == 8, "token is 8 bytes in every pipe");
static_assert(std::is_trivially_copyable<struct_token>::value, "token is copied as bytes");
static_assert(offsetof(struct_token, header_mm) == 0 && offsetof(struct_token, data_mm) == 4, "token layout");

}  // namespace Kova
