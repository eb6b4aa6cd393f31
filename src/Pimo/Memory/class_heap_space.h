// How the tree code of the shared heap reaches its nodes: links are offsets from the
// segment base, and nothing a link says is trusted by a walk.
#pragma once

#include <cstddef>

#include "Pimo/Memory/heap_record.h"
#include "Pimo/Memory/mem_print.h"

namespace Pimo {
namespace Memory {

class class_heap_space {
public:
    typedef offset_t link_t;
    typedef dword_t key_t;
    typedef TREE_NODE node_t;

    // in_node_offset: where the tree's node sits in a block (0 size tree, 12 address tree).
    class_heap_space(byte_t* pin_base, u_int64_t in_size, u_int32_t in_node_offset, size_t in_max_blocks)
        : mp_base(pin_base), m_size(in_size), m_node_offset(in_node_offset), m_max_blocks(in_max_blocks) {}

    static bool is_none(link_t in_link) { return in_link < c_first_block; }
    static link_t none() { return 0; }
    node_t* node(link_t in_link) const { return reinterpret_cast<node_t*>(mp_base + in_link); }
    HEAP_BLOCK* block_of(link_t in_link) const {
        return reinterpret_cast<HEAP_BLOCK*>(mp_base + (in_link - m_node_offset));
    }
    // The whole block header that the link names lies inside the segment.
    bool is_valid(link_t in_link) const {
        u_int64_t b = static_cast<u_int64_t>(in_link) - m_node_offset;
        return in_link >= c_first_block + m_node_offset && (in_link & 3) == 0 &&
               b + c_heap_block_size <= m_size;
    }
    link_t& next(link_t in_link) const { return block_of(in_link)->next; }
    link_t& prev(link_t in_link) const { return block_of(in_link)->prev; }
    size_t step_limit() const { return m_max_blocks; }
    [[noreturn]] void on_broken() const { mem_print("Memory Tree is not eq!", "kova"); }

private:
    byte_t* mp_base;
    u_int64_t m_size;
    u_int32_t m_node_offset;
    size_t m_max_blocks;
};

}  // namespace Memory
}  // namespace Pimo
