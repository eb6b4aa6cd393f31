// Records of the shared packet heap, laid out to the byte: other processes and the dump
// analyser read them in place.
#pragma once

#include <cstddef>
#include <type_traits>

#include "Pimo/Memory/memory_typedef.h"

namespace Pimo {
namespace Memory {

struct TREE_NODE {
    dword_t key;
    offset_t right;
    offset_t left;
};

struct HEAP_HEADER {
    block_ptr_t len;  // size tree root (a block's len node)
    offset_t ptr;     // address tree root (a block's ptr node, block + 12)
    dword_t free;
    dword_t alloc;
    dword_t refer_count;
    dword_t alloc_count;
    dword_t reset_count;
    byte_t lock_state;
    byte_t reserved[3];
    dword_t meta[2];
    byte_t front[216];
};

struct HEAP_BLOCK {
    TREE_NODE len;
    TREE_NODE ptr;
    block_ptr_t next;
    block_ptr_t prev;
    dword_t ref;
    dword_t alloc_size;
    char str[200];
    byte_t front[16];
};

constexpr u_int32_t c_heap_header_size = 256;
constexpr u_int32_t c_heap_block_size = 256;
// Offset of the first block; links below it mean none.
constexpr u_int32_t c_first_block = c_heap_header_size;
constexpr u_int32_t c_first_payload = c_first_block + c_heap_block_size;
constexpr u_int32_t c_front_guard_size = 16;
constexpr u_int32_t c_rear_guard_size = 8;
constexpr u_int32_t c_site_size = 200;
// The smallest segment worth a heap: the header and one block whose capacity holds the
// smallest allocation (1 byte and its rear guard, rounded). Below 512 the maximum would wrap.
constexpr u_int32_t c_heap_min_segment = c_first_payload + 16;

static_assert(std::is_standard_layout<TREE_NODE>::value, "TREE_NODE layout");
static_assert(sizeof(TREE_NODE) == 12, "TREE_NODE size");
static_assert(offsetof(TREE_NODE, key) == 0, "TREE_NODE.key");
static_assert(offsetof(TREE_NODE, right) == 4, "TREE_NODE.right");
static_assert(offsetof(TREE_NODE, left) == 8, "TREE_NODE.left");

static_assert(std::is_standard_layout<HEAP_HEADER>::value, "HEAP_HEADER layout");
static_assert(sizeof(HEAP_HEADER) == c_heap_header_size, "HEAP_HEADER size");
static_assert(offsetof(HEAP_HEADER, len) == 0, "HEAP_HEADER.len");
static_assert(offsetof(HEAP_HEADER, ptr) == 4, "HEAP_HEADER.ptr");
static_assert(offsetof(HEAP_HEADER, free) == 8, "HEAP_HEADER.free");
static_assert(offsetof(HEAP_HEADER, alloc) == 12, "HEAP_HEADER.alloc");
static_assert(offsetof(HEAP_HEADER, refer_count) == 16, "HEAP_HEADER.refer_count");
static_assert(offsetof(HEAP_HEADER, alloc_count) == 20, "HEAP_HEADER.alloc_count");
static_assert(offsetof(HEAP_HEADER, reset_count) == 24, "HEAP_HEADER.reset_count");
static_assert(offsetof(HEAP_HEADER, lock_state) == 28, "HEAP_HEADER.lock_state");
static_assert(offsetof(HEAP_HEADER, reserved) == 29, "HEAP_HEADER.reserved");
static_assert(offsetof(HEAP_HEADER, meta) == 32, "HEAP_HEADER.meta");
static_assert(offsetof(HEAP_HEADER, front) == 40, "HEAP_HEADER.front");

static_assert(std::is_standard_layout<HEAP_BLOCK>::value, "HEAP_BLOCK layout");
static_assert(sizeof(HEAP_BLOCK) == c_heap_block_size, "HEAP_BLOCK size");
static_assert(offsetof(HEAP_BLOCK, len) == 0, "HEAP_BLOCK.len");
static_assert(offsetof(HEAP_BLOCK, len) + offsetof(TREE_NODE, right) == 4, "HEAP_BLOCK.len.right");
static_assert(offsetof(HEAP_BLOCK, len) + offsetof(TREE_NODE, left) == 8, "HEAP_BLOCK.len.left");
static_assert(offsetof(HEAP_BLOCK, ptr) == 12, "HEAP_BLOCK.ptr");
static_assert(offsetof(HEAP_BLOCK, ptr) + offsetof(TREE_NODE, right) == 16, "HEAP_BLOCK.ptr.right");
static_assert(offsetof(HEAP_BLOCK, ptr) + offsetof(TREE_NODE, left) == 20, "HEAP_BLOCK.ptr.left");
static_assert(offsetof(HEAP_BLOCK, next) == 24, "HEAP_BLOCK.next");
static_assert(offsetof(HEAP_BLOCK, prev) == 28, "HEAP_BLOCK.prev");
static_assert(offsetof(HEAP_BLOCK, ref) == 32, "HEAP_BLOCK.ref");
static_assert(offsetof(HEAP_BLOCK, alloc_size) == 36, "HEAP_BLOCK.alloc_size");
static_assert(offsetof(HEAP_BLOCK, str) == 40, "HEAP_BLOCK.str");
static_assert(offsetof(HEAP_BLOCK, front) == 240, "HEAP_BLOCK.front");
// The site's terminating zero may fall on the first front guard byte.
static_assert(offsetof(HEAP_BLOCK, front) == offsetof(HEAP_BLOCK, str) + c_site_size, "site meets guard");

}  // namespace Memory
}  // namespace Pimo
