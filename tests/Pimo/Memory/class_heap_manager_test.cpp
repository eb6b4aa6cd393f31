#include "Pimo/Memory/class_heap_manager.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "Pimo/OS/Linux/class_lock.h"
#include "heap_model.h"

using namespace Pimo;
using namespace Pimo::Memory;
using namespace kova_test;

namespace {

const char* const c_file = "heap_test.cpp";

// A heap over a plain buffer with a slack zone on both sides, so that pointers just outside
// the segment are real addresses.
class heap_fixture {
public:
    static constexpr size_t c_slack = 4096;
    explicit heap_fixture(u_int64_t in_size, bool in_init = true)
        : m_buf((in_size + 2 * c_slack) / 8 + 1, 0),
          m_heap(reinterpret_cast<byte_t*>(m_buf.data()) + c_slack, in_size, &m_lock, in_init) {}
    byte_t* base() { return reinterpret_cast<byte_t*>(m_buf.data()) + c_slack; }
    HEAP_HEADER* hdr() { return reinterpret_cast<HEAP_HEADER*>(base()); }
    HEAP_BLOCK* block_of(void* p) { return reinterpret_cast<HEAP_BLOCK*>(static_cast<byte_t*>(p) - 256); }
    class_heap_manager& heap() { return m_heap; }
    void* alloc(u_int32_t n) { return m_heap.alloc(n, c_file, 1); }

private:
    std::vector<u_int64_t> m_buf;
    OS::class_thread_lock m_lock;
    class_heap_manager m_heap;
};

std::vector<block_view> blocks(heap_fixture& f, u_int64_t in_size, bool* pout_exact) {
    return heap_blocks(f.base(), in_size, pout_exact);
}

void expect_consistent(heap_fixture& f, u_int64_t in_size) { expect_heap_consistent(f.heap(), f.base(), in_size); }

u_int32_t need_of(u_int32_t in_len) { return (in_len + 8 + 7) & ~7u; }

}  // namespace

TEST(heap_manager, fresh_heap_is_one_free_block_over_the_segment) {
    const u_int64_t size = 1 << 20;
    heap_fixture f(size);
    class_heap_manager& h = f.heap();
    EXPECT_EQ(h.GetMaximumSize(), size - 512);
    EXPECT_EQ(h.get_free_size(), size - 512);
    EXPECT_EQ(h.get_allocated_size(), 0u);
    EXPECT_EQ(h.get_reset_count(), 1u);
    EXPECT_EQ(f.hdr()->len, 256u);
    EXPECT_EQ(f.hdr()->ptr, 256u + 12);
    bool exact = false;
    auto bs = blocks(f, size, &exact);
    ASSERT_EQ(bs.size(), 1u);
    EXPECT_EQ(bs[0].cap, size - 512);
    expect_consistent(f, size);
    // An opener attaches without touching anything.
    class_heap_manager again(f.base(), size, nullptr, false);
    EXPECT_EQ(again.get_reset_count(), 1u);
    EXPECT_EQ(again.get_free_size(), size - 512);
}

TEST(heap_manager, rounding_guards_and_site_of_an_allocation) {
    struct {
        u_int32_t len, cap;
    } cases[] = {{0, 8}, {1, 16}, {7, 16}, {8, 16}, {9, 24}, {16, 24}, {72, 80}, {1000, 1008}};
    for (auto c : cases) {
        const u_int64_t size = 1 << 16;
        heap_fixture f(size);
        u_int32_t before = f.heap().get_free_size();
        byte_t* p = static_cast<byte_t*>(f.heap().alloc(c.len, "some/file.cpp", 321));
        ASSERT_NE(p, nullptr) << c.len;
        EXPECT_EQ(f.heap().get_size(p), c.cap) << c.len;
        EXPECT_EQ(before - f.heap().get_free_size(), c.cap + 256) << c.len;
        HEAP_BLOCK* b = f.block_of(p);
        EXPECT_EQ(b->alloc_size, c.len);
        EXPECT_EQ(b->ref, 1u);
        EXPECT_STREQ(b->str, "some/file.cpp-321 lines");
        for (int i = 0; i < 16; ++i) EXPECT_EQ(b->front[i], i);
        for (int i = 0; i < 8; ++i) EXPECT_EQ(p[c.len + i], i) << c.len;
        expect_consistent(f, size);
    }
}

TEST(heap_manager, split_rule_at_its_boundaries) {
    // A heap whose only block has capacity need + diff, for an allocation of 1 byte (need 16).
    struct {
        u_int32_t diff;
        bool fits;
        bool split;
    } cases[] = {{0, false, false},  {255, false, false}, {256, true, false}, {263, true, false},
                 {264, true, true},  {265, true, true},   {272, true, true}};
    for (auto c : cases) {
        const u_int64_t size = 512 + 16 + c.diff;
        heap_fixture f(size);
        const u_int32_t cap = f.heap().get_free_size();
        ASSERT_EQ(cap, 16 + c.diff);
        void* p = f.alloc(1);
        ASSERT_EQ(p != nullptr, c.fits) << c.diff;
        if (!p) {
            EXPECT_EQ(f.heap().get_free_size(), cap);
            continue;
        }
        bool exact = false;
        auto bs = blocks(f, size, &exact);
        ASSERT_TRUE(exact);
        if (c.split) {
            ASSERT_EQ(bs.size(), 2u) << c.diff;
            EXPECT_EQ(f.heap().get_size(p), 16u);
            EXPECT_EQ(bs[1].cap, c.diff - 256);
            EXPECT_EQ(f.heap().get_free_size(), cap - 16 - 256);
        } else {
            ASSERT_EQ(bs.size(), 1u) << c.diff;
            EXPECT_EQ(f.heap().get_size(p), cap);
            EXPECT_EQ(f.heap().get_free_size(), 0u);
        }
        EXPECT_EQ(static_cast<u_int64_t>(f.heap().get_free_size()) + f.heap().get_allocated_size(),
                  f.heap().GetMaximumSize());
    }
}

TEST(heap_manager, reserve_of_alloc_2_refuses_before_the_block_runs_out) {
    const u_int64_t size = 1 << 20;
    heap_fixture f(size);
    const u_int32_t fr = f.heap().get_free_size();
    const u_int32_t need = need_of(100);
    EXPECT_EQ(f.heap().alloc_2(100, fr - need - 256 + 1, c_file, 1), nullptr);
    EXPECT_EQ(f.heap().get_free_size(), fr);
    EXPECT_EQ(f.heap().alloc_2(100, 0xFFFFFFFFu, c_file, 1), nullptr);
    EXPECT_NE(f.heap().alloc_2(100, fr - need - 256, c_file, 1), nullptr);
    // The reserve of the packet memory's data blocks.
    heap_fixture g(512 + 65535 + 256 + need_of(600) - 1);
    EXPECT_EQ(g.heap().alloc_2(600, 65535, c_file, 1), nullptr);
    EXPECT_NE(g.heap().alloc_2(8, 65535, c_file, 1), nullptr);
    expect_consistent(f, size);
}

TEST(heap_manager, sizes_whose_need_does_not_fit_are_refused) {
    const u_int64_t size = 1 << 20;
    heap_fixture f(size);
    const u_int32_t max = f.heap().GetMaximumSize();
    for (u_int32_t len : {0xFFFFFFFFu, 0xFFFFFFF8u, 0xFFFFFFF1u, 0xFFFFFFF0u, 0x80000000u, max, max - 256 - 8 + 1}) {
        EXPECT_EQ(f.alloc(len), nullptr) << len;
        EXPECT_EQ(f.heap().get_free_size(), max) << len;
    }
    // The largest that fits: need + 256 equal to what is free.
    void* p = f.alloc(max - 256 - 8);
    ASSERT_NE(p, nullptr);
    EXPECT_GE(f.heap().get_size(p), max - 256);
    expect_consistent(f, size);
}

TEST(heap_manager, equal_sizes_share_one_tree_node_and_its_list) {
    const u_int64_t size = 1 << 20;
    heap_fixture f(size);
    void* a = f.alloc(100);
    void* b = f.alloc(50);
    void* c = f.alloc(100);
    void* d = f.alloc(50);
    f.heap().free(a, c_file, 2);
    f.heap().free(c, c_file, 3);
    expect_consistent(f, size);
    EXPECT_EQ(f.heap().VerifyLenTree(), 3u);
    // The first freed stands in the tree; the second hangs behind it.
    HEAP_BLOCK* ab = f.block_of(a);
    HEAP_BLOCK* cb = f.block_of(c);
    EXPECT_EQ(cb->prev, f.heap().to_offset(ab));
    EXPECT_EQ(ab->next, f.heap().to_offset(cb));
    EXPECT_EQ(ab->prev, 0u);
    EXPECT_EQ(f.alloc(100), a);
    EXPECT_EQ(cb->prev, 0u);  // promoted into the tree
    expect_consistent(f, size);
    EXPECT_EQ(f.alloc(100), c);
    expect_consistent(f, size);
    (void)b;
    (void)d;
}

TEST(heap_manager, freeing_merges_with_both_neighbours) {
    const u_int64_t size = 1 << 20;
    heap_fixture f(size);
    void* a = f.alloc(100);
    void* b = f.alloc(200);
    void* c = f.alloc(300);
    void* d = f.alloc(8);
    const u_int32_t cap = f.heap().get_size(a) + f.heap().get_size(b) + f.heap().get_size(c) + 512;
    f.heap().free(a, c_file, 1);
    f.heap().free(c, c_file, 1);
    f.heap().free(b, c_file, 1);
    expect_consistent(f, size);
    bool exact = false;
    auto bs = blocks(f, size, &exact);
    ASSERT_EQ(bs.size(), 3u);
    EXPECT_EQ(bs[0].ref, 0u);
    EXPECT_EQ(bs[0].cap, cap);
    EXPECT_EQ(bs[1].offset, f.heap().to_offset(d) - 256);
    // The merged block serves an allocation of its whole size.
    EXPECT_EQ(f.alloc(cap - 8), a);
    expect_consistent(f, size);
}

TEST(heap_manager, the_last_block_is_never_merged) {
    const u_int64_t size = 4096;
    heap_fixture f(size);
    void* x = f.alloc(100);
    void* y = f.alloc(f.heap().get_free_size() - 256 - 8);
    ASSERT_NE(y, nullptr);
    f.heap().free(x, c_file, 1);
    f.heap().free(y, c_file, 1);
    bool exact = false;
    auto bs = blocks(f, size, &exact);
    ASSERT_EQ(bs.size(), 2u);
    EXPECT_EQ(bs[0].ref + bs[1].ref, 0u);
    EXPECT_EQ(f.heap().VerifyPtrTree(), 2u);
    expect_consistent(f, size);
}

TEST(heap_manager, references_counts_and_reset) {
    const u_int64_t size = 1 << 16;
    heap_fixture f(size);
    void* p = f.alloc(10);
    void* q = f.alloc(10);
    EXPECT_EQ(f.heap().add_ref(p, c_file, 1), 2u);
    EXPECT_EQ(f.heap().get_ref(p), 2u);
    EXPECT_EQ(f.heap().get_refer_count(), 3u);
    f.heap().free(p, c_file, 1);
    EXPECT_EQ(f.heap().get_ref(p), 1u);
    EXPECT_EQ(f.heap().get_alloc_count(), 2u);
    f.heap().free(p, c_file, 1);
    EXPECT_EQ(f.heap().get_alloc_count(), 1u);
    EXPECT_EQ(f.heap().get_refer_count(), 1u);
    expect_consistent(f, size);
    (void)q;
    f.heap().reset();
    EXPECT_EQ(f.heap().get_reset_count(), 2u);
    EXPECT_EQ(f.heap().get_alloc_count(), 0u);
    EXPECT_EQ(f.heap().get_refer_count(), 0u);
    EXPECT_EQ(f.heap().get_free_size(), size - 512);
    expect_consistent(f, size);
}

TEST(heap_manager, pointers_that_name_no_block_are_never_read) {
    const u_int64_t size = 1 << 16;
    heap_fixture f(size);
    byte_t* b = f.base();
    // Below the first payload the header would lie before the first block (or the mapping).
    for (byte_t* p : {static_cast<byte_t*>(nullptr), b - 4096, b - 1, b, b + 8, b + 256, b + 511, b + size,
                      b + size + 100}) {
        EXPECT_EQ(f.heap().get_size(p), 0u);
        EXPECT_EQ(f.heap().add_ref(p, c_file, 1), 0u);
        EXPECT_EQ(f.heap().get_ref(p), 0u);
    }
    EXPECT_FALSE(f.heap().is_block_pointer(b + 511));
    EXPECT_TRUE(f.heap().is_block_pointer(b + 512));
    EXPECT_TRUE(f.heap().is_pointer(b));
    EXPECT_FALSE(f.heap().is_pointer(b + size));
    EXPECT_EQ(f.heap().to_pointer(255), nullptr);
    EXPECT_EQ(f.heap().to_pointer(256), b + 256);
    expect_consistent(f, size);
}

// A seeded random run of allocations, references and releases, checked against a model
// after every step: the heap's payloads never overlap and keep what their owner wrote.
TEST(heap_manager, random_sequence_keeps_every_invariant) {
    const u_int64_t size = 1 << 20;
    heap_fixture f(size);
    class_heap_manager& h = f.heap();
    std::mt19937 rng(20261210);
    const u_int32_t sizes[] = {0, 1, 7, 8, 9, 24, 72, 100, 255, 1000, 4000, 16000, 65536};
    struct live {
        u_int32_t len;
        u_int32_t ref;
        byte_t fill;
    };
    std::map<byte_t*, live> model;
    const int steps = 100000;
    int refused = 0;
    for (int step = 0; step < steps; ++step) {
        // Allocations win while few blocks live, so the set hovers around a few hundred blocks
        // and the big sizes still fill the heap now and then.
        unsigned op = rng() % 10;
        if (model.empty() || (op < 5 && rng() % 400 >= model.size())) {
            u_int32_t len = sizes[rng() % (sizeof sizes / sizeof sizes[0])];
            // Best fit: the smallest free block that holds the need.
            bool exact = false;
            u_int64_t best_cap = ~0ull;
            std::map<u_int64_t, u_int32_t> free_caps;
            for (const block_view& b : blocks(f, size, &exact)) {
                if (b.ref != 0) continue;
                free_caps[b.offset] = b.cap;
                if (b.cap >= need_of(len) && b.cap < best_cap) best_cap = b.cap;
            }
            const bool fits = best_cap != ~0ull;
            const bool room = h.get_free_size() >= need_of(len) + 256u;
            byte_t* p = static_cast<byte_t*>(h.alloc(len, c_file, step));
            if (!p) {
                ++refused;
                ASSERT_TRUE(!room || !fits) << "refused while a block fits";
            } else {
                ASSERT_TRUE(room);
                ASSERT_EQ(free_caps[h.to_offset(p) - 256u], best_cap) << "not the best fit";
                ASSERT_EQ(model.count(p), 0u);
                ASSERT_GE(h.get_size(p), len + 8);
                byte_t fill = static_cast<byte_t>(rng());
                std::memset(p, fill, len);
                model[p] = {len, 1, fill};
            }
        } else {
            auto it = model.begin();
            std::advance(it, rng() % model.size());
            byte_t* p = it->first;
            for (u_int32_t i = 0; i < it->second.len; ++i) ASSERT_EQ(p[i], it->second.fill) << "payload overwritten";
            if (op == 5) {
                ASSERT_EQ(h.add_ref(p, c_file, step), ++it->second.ref);
            } else {
                h.free(p, c_file, step);
                if (--it->second.ref == 0) model.erase(it);
                else ASSERT_EQ(h.get_ref(p), it->second.ref);
            }
        }
        // The full check on each step is the point of this test; it costs a walk of the blocks.
        expect_consistent(f, size);
        if (HasFatalFailure()) FAIL() << "at step " << step;
        ASSERT_EQ(h.get_alloc_count(), model.size());
    }
    EXPECT_GT(refused, 0) << "the run never filled the heap";
    while (!model.empty()) {
        auto it = model.begin();
        while (it->second.ref--) h.free(it->first, c_file, 0);
        model.erase(it);
    }
    expect_consistent(f, size);
    bool exact = false;
    EXPECT_EQ(blocks(f, size, &exact).size() <= 2, true);
}

TEST(heap_manager, threads_of_one_process_are_serialised_by_the_lock) {
    const u_int64_t size = 4 << 20;
    heap_fixture f(size);
    std::vector<std::thread> ts;
    for (int t = 0; t < 4; ++t)
        ts.emplace_back([&f, t] {
            std::vector<void*> mine;
            for (int i = 0; i < 2000; ++i) {
                void* p = f.heap().alloc(8 + (i * 13 + t) % 300, c_file, i);
                if (p) mine.push_back(p);
                if (mine.size() > 20) {
                    f.heap().free(mine.front(), c_file, i);
                    mine.erase(mine.begin());
                }
            }
            for (void* p : mine) f.heap().free(p, c_file, 0);
        });
    for (auto& t : ts) t.join();
    EXPECT_EQ(f.heap().get_alloc_count(), 0u);
    expect_consistent(f, size);
}
