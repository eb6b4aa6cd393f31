// The 8-byte handle of a packet that travels through every packet pipe: the
// header block and the data block in the shared packet memory. Whoever holds a
// token owns one reference to each block it names.
#pragma once

#include <cstddef>
#include <type_traits>

#include "Kova/Common/Open/Kova/kova_typedef.h"
#include "Pimo/Memory/interface_memory.h"

namespace Kova {

struct struct_packet;

struct struct_token {
    Pimo::Memory::mm_t header_mm;  // 0: no header block
    Pimo::Memory::mm_t data_mm;    // 0: no data block; without a header, seconds to sleep

    struct_token() : header_mm(0), data_mm(0) {}

    bool has_header() const { return header_mm != 0; }
    bool has_data() const { return data_mm != 0; }
    // Forget the handles; nothing is released.
    void reset() { header_mm = data_mm = 0; }
    void reset_data() { data_mm = 0; }

    // Copy a handle of another token; no reference is added.
    void set_header(const struct_token& in_token, const char* in_file, int in_line);
    void set_data(const struct_token& in_token, const char* in_file, int in_line);

    Pimo::Memory::ref_count_t ref_header(const char* in_file, int in_line);
    Pimo::Memory::ref_count_t ref_data(const char* in_file, int in_line);
    void free(const char* in_file, int in_line);
    void free_header(const char* in_file, int in_line);
    void free_data(const char* in_file, int in_line);

    // The record in the header block, or the data block's record area; null without one.
    struct_packet* get_header_packet() const;
    struct_packet* get_data_packet() const;
    // The payload; null without a data block.
    void* get_data() const;

    void alloc_header_force(const char* in_file, int in_line);
    kova_err_t alloc_header(const char* in_file, int in_line);
    kova_err_t alloc_data(std::size_t in_size, const char* in_file, int in_line);
};

static_assert(sizeof(struct_token) == 8, "token is 8 bytes in every pipe");
static_assert(std::is_trivially_copyable<struct_token>::value, "token is copied as bytes");
static_assert(offsetof(struct_token, header_mm) == 0 && offsetof(struct_token, data_mm) == 4, "token layout");

}  // namespace Kova
