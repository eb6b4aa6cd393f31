// A model of the heap read from outside it: the tiling of the blocks and every invariant
// that the heap's records promise.
#pragma once

#include <gtest/gtest.h>

#include <vector>

#include "Pimo/Memory/class_heap_manager.h"

namespace kova_test {

using Pimo::u_int32_t;
using Pimo::u_int64_t;
using Pimo::Memory::class_heap_manager;
using Pimo::Memory::HEAP_BLOCK;
using Pimo::Memory::HEAP_HEADER;

struct block_view {
    u_int64_t offset;
    u_int32_t cap;
    u_int32_t ref;
};

// Walks the tiling from outside the heap: every block, and whether they tile exactly.
inline std::vector<block_view> heap_blocks(const Pimo::byte_t* pin_base, u_int64_t in_size, bool* pout_exact) {
    std::vector<block_view> out;
    u_int64_t pos = 256;
    while (pos + 256 <= in_size) {
        const HEAP_BLOCK* b = reinterpret_cast<const HEAP_BLOCK*>(pin_base + pos);
        out.push_back({pos, b->len.key, b->ref});
        pos += 256 + static_cast<u_int64_t>(b->len.key);
    }
    *pout_exact = pos == in_size;
    return out;
}

// Every invariant that the heap's own records promise.
inline void expect_heap_consistent(class_heap_manager& h, const Pimo::byte_t* pin_base, u_int64_t in_size) {
    bool exact = false;
    std::vector<block_view> bs = heap_blocks(pin_base, in_size, &exact);
    ASSERT_TRUE(exact) << "blocks do not tile the segment";
    u_int64_t free_sum = 0, refs = 0;
    size_t free_blocks = 0, allocated = 0;
    for (size_t i = 0; i < bs.size(); ++i) {
        ASSERT_EQ(bs[i].cap % 8, 0u) << "capacity at " << bs[i].offset;
        if (bs[i].ref == 0) {
            ++free_blocks;
            free_sum += bs[i].cap;
            // Two free neighbours arise only when the last block was freed beside a free one.
            if (i + 1 < bs.size() && bs[i + 1].ref == 0) {
                ASSERT_EQ(i + 2, bs.size()) << "adjacent free blocks at " << bs[i].offset;
            }
        } else {
            ++allocated;
            refs += bs[i].ref;
        }
    }
    ASSERT_EQ(h.get_free_size(), free_sum);
    ASSERT_EQ(static_cast<u_int64_t>(h.get_free_size()) + h.get_allocated_size(), h.GetMaximumSize());
    ASSERT_EQ(h.get_alloc_count(), allocated);
    ASSERT_EQ(h.get_refer_count(), refs);
    ASSERT_EQ(h.VerifyPtrTree(), free_blocks);
    ASSERT_EQ(h.VerifyLenTree(), free_blocks);
    ASSERT_EQ(reinterpret_cast<const HEAP_HEADER*>(pin_base)->lock_state, 0);
}

}  // namespace kova_test
