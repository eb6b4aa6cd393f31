#include "Pimo/Memory/class_heap_memory.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "Pimo/Memory/class_locked_heap_memory.h"

using namespace Pimo;
using namespace Pimo::Memory;

namespace {

typedef class_heap_memory::heap_block_t heap_block_t;

// A region inside a larger buffer, so that pointers just outside it are real addresses.
class region {
public:
    static constexpr size_t c_slack = 4096;
    explicit region(size_t in_size) : m_size(in_size), m_buf((in_size + 2 * c_slack) / 8 + 1, 0) {}
    byte_t* base() { return reinterpret_cast<byte_t*>(m_buf.data()) + c_slack; }
    size_t size() const { return m_size; }

private:
    size_t m_size;
    std::vector<u_int64_t> m_buf;
};

struct block_view {
    size_t offset;
    size_t cap;
    u_int64_t ref;
};

// The tiling read from outside the heap; pout_exact says whether it ends at the region's end.
std::vector<block_view> blocks(region& r, bool* pout_exact) {
    std::vector<block_view> out;
    size_t pos = 40;
    while (pos + 72 <= r.size()) {
        const heap_block_t* b = reinterpret_cast<const heap_block_t*>(r.base() + pos);
        out.push_back({pos, static_cast<size_t>(b->len_node.key), b->ref});
        pos += 72 + static_cast<size_t>(b->len_node.key);
    }
    *pout_exact = pos == r.size();
    return out;
}

void expect_consistent(class_heap_memory& h, region& r) {
    bool exact = false;
    std::vector<block_view> bs = blocks(r, &exact);
    ASSERT_TRUE(exact) << "blocks do not tile the region";
    size_t free_sum = 0, free_blocks = 0, allocated = 0;
    for (size_t i = 0; i < bs.size(); ++i) {
        if (r.size() % 8 == 0) {
            ASSERT_EQ(bs[i].cap % 8, 0u) << "capacity at " << bs[i].offset;
        }
        if (bs[i].ref == 0) {
            ++free_blocks;
            free_sum += bs[i].cap;
            if (i + 1 < bs.size() && bs[i + 1].ref == 0) {
                ASSERT_EQ(i + 2, bs.size()) << "adjacent free blocks at " << bs[i].offset;
            }
        } else {
            ASSERT_EQ(bs[i].ref, 1u);
            ++allocated;
        }
    }
    ASSERT_EQ(h.get_free_size(), free_sum);
    ASSERT_EQ(h.get_free_size() + h.get_allocated_size(), h.get_maximum_size());
    ASSERT_EQ(h.get_alloc_count(), allocated);
    ASSERT_EQ(h.verify_ptr_tree(), free_blocks);
    ASSERT_EQ(h.verify_len_tree(), free_blocks);
}

size_t need_of(size_t in_len) { return (in_len + 8) & ~static_cast<size_t>(7); }

std::string status_of(size_t t, size_t f, size_t l, size_t p) {
    return "T=" + std::to_string(t) + ",F=" + std::to_string(f) + ",L=" + std::to_string(l) + ",P=" + std::to_string(p);
}

// Everything freed: one free block, or two when the last block went back after its neighbour.
std::string idle_status(class_heap_memory& h) {
    const size_t max = h.get_maximum_size();
    const size_t n = h.get_free_size() == max ? 1 : 2;
    EXPECT_EQ(h.get_free_size(), n == 1 ? max : max - 72);
    return status_of(max, h.get_free_size(), n, n);
}

}  // namespace

TEST(heap_memory, small_region_allocation_and_status) {
    region r(1000);
    class_heap_memory h;
    h.initialize(r.base(), r.size());
    EXPECT_EQ(h.get_maximum_size(), 888u);
    EXPECT_EQ(h.get_status(), status_of(888, 888, 1, 1));

    byte_t* p = static_cast<byte_t*>(h.alloc(1));
    ASSERT_EQ(p, r.base() + 112);
    EXPECT_EQ(h.get_size(p), 8u);
    EXPECT_EQ(h.get_free_size(), 808u);
    EXPECT_EQ(h.get_allocated_size(), 80u);
    EXPECT_EQ(h.get_alloc_count(), 1u);
    EXPECT_EQ(h.get_status(), status_of(888, 808, 1, 1));
    expect_consistent(h, r);
    // Rounding: the smallest multiple of 8 above the length.
    for (size_t len : {7u, 8u, 9u, 16u}) {
        void* q = h.alloc(len);
        ASSERT_NE(q, nullptr);
        EXPECT_EQ(h.get_size(q), need_of(len)) << len;
        h.free(q);
    }
    h.free(p);
    EXPECT_EQ(h.get_status(), status_of(888, 888, 1, 1));
    expect_consistent(h, r);
}

TEST(heap_memory, split_only_when_the_rest_holds_a_block) {
    // One free block of capacity need + extra: at 80 or more the rest becomes a block.
    struct row { size_t extra; bool split; };
    const row rows[] = {{79, false}, {80, true}, {72, false}, {88, true}};
    const size_t len = 100, need = need_of(len);
    for (const row& w : rows) {
        SCOPED_TRACE(w.extra);
        region r(112 + need + w.extra);
        class_heap_memory h;
        h.initialize(r.base(), r.size());
        void* p = h.alloc(len);
        ASSERT_NE(p, nullptr);
        EXPECT_EQ(h.get_size(p), w.split ? need : need + w.extra);
        EXPECT_EQ(h.get_free_size(), w.split ? w.extra - 72 : 0u);
        expect_consistent(h, r);
        h.free(p);
        expect_consistent(h, r);
        EXPECT_EQ(h.get_free_size(), h.get_maximum_size());
    }
}

TEST(heap_memory, refusals_and_pointers_that_name_no_block) {
    region r(4096);
    class_heap_memory h;
    h.initialize(r.base(), r.size());
    const size_t max = h.get_maximum_size();
    struct row { size_t len; const char* why; };
    const row rows[] = {
        {0, "empty"},
        {max, "need + 72 beyond the free bytes"},
        {max - 72, "need + 72 one step beyond"},
        {max + 1, "beyond the region"},
        {SIZE_MAX, "wraps to a need of 0"},
        {SIZE_MAX - 7, "wraps to a small need"},
    };
    for (const row& w : rows) EXPECT_EQ(h.alloc(w.len), nullptr) << w.why;
    EXPECT_NE(h.alloc(max - 80), nullptr) << "the largest that fits";
    h.reset();

    void* p = h.alloc(64);
    void* q = h.alloc(64);
    ASSERT_NE(q, nullptr);
    std::vector<byte_t> before(r.base() - 64, r.base() + r.size() + 64);
    // None of these is a payload: the heap and its surroundings stay as they were.
    for (byte_t* bad : {static_cast<byte_t*>(nullptr), r.base() - 8, r.base(), r.base() + 40, r.base() + 80,
                        r.base() + 111, r.base() + r.size(), r.base() + r.size() + 8}) {
        h.free(bad);
        EXPECT_EQ(h.get_size(bad), 0u);
    }
    EXPECT_EQ(std::memcmp(before.data(), r.base() - 64, before.size()), 0);
    h.free(p);
    std::vector<byte_t> once(r.base(), r.base() + r.size());
    h.free(p);  // twice: nothing changes
    EXPECT_EQ(std::memcmp(once.data(), r.base(), r.size()), 0);
    EXPECT_EQ(h.get_alloc_count(), 1u);
    expect_consistent(h, r);

    class_heap_memory tiny;
    tiny.initialize(r.base(), 100);  // no room for a header and one block header
    EXPECT_EQ(tiny.alloc(1), nullptr);
    tiny.free(r.base() + 50);
    EXPECT_EQ(tiny.get_maximum_size(), 0u);
}

TEST(heap_memory, equal_sizes_share_a_node_and_merging_joins_neighbours) {
    region r(8192);
    class_heap_memory h;
    h.initialize(r.base(), r.size());
    void* a[7];
    for (void*& p : a) ASSERT_NE(p = h.alloc(100), nullptr);
    // Free blocks 1, 3 and 5 of equal capacity: three free blocks besides the tail, one node.
    h.free(a[1]);
    h.free(a[3]);
    h.free(a[5]);
    expect_consistent(h, r);
    EXPECT_EQ(h.verify_len_tree(), 4u);
    // The same size comes from one of them, and the rest of its list stays reachable.
    void* b = h.alloc(100);
    EXPECT_TRUE(b == a[1] || b == a[3] || b == a[5]);
    expect_consistent(h, r);
    h.free(b);
    // Block 2 between the free 1 and 3 joins them into one.
    h.free(a[2]);
    expect_consistent(h, r);
    EXPECT_EQ(h.get_size(a[1]), 3 * 104u + 2 * 72u);
    EXPECT_EQ(h.verify_ptr_tree(), 3u);
    for (int i : {0, 4, 6}) h.free(a[i]);
    expect_consistent(h, r);
    EXPECT_EQ(h.get_free_size(), h.get_maximum_size());
    EXPECT_EQ(h.verify_ptr_tree(), 1u);
}

TEST(heap_memory, the_last_block_is_never_merged) {
    region r(4096);
    class_heap_memory h;
    h.initialize(r.base(), r.size());
    void* a = h.alloc(200);
    // The rest exactly: the last block is taken whole.
    const size_t rest = h.get_free_size();
    void* b = h.alloc(rest - 80);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(h.get_size(b), rest);
    EXPECT_EQ(h.get_free_size(), 0u);
    h.free(a);
    h.free(b);
    expect_consistent(h, r);
    EXPECT_EQ(h.get_free_size(), h.get_maximum_size() - 72);
    EXPECT_EQ(h.get_status(), status_of(h.get_maximum_size(), h.get_maximum_size() - 72, 2, 2));
}

namespace {

// A seeded random run of allocations and releases against a model; in_check runs after
// every step. The payloads never overlap and keep what their owner wrote. Given the region
// (a heap no other thread uses), each allocation is also checked to be the best fit.
template <class Check>
void random_run(class_heap_memory& h, region* pin_region, unsigned in_seed, int in_steps, size_t in_live,
                Check in_check, size_t* pout_refused) {
    std::mt19937 rng(in_seed);
    const size_t sizes[] = {1, 7, 8, 9, 24, 72, 100, 255, 1000, 4000, 16000, 65536};
    struct live {
        size_t len;
        byte_t fill;
    };
    std::map<byte_t*, live> model;
    for (int step = 0; step < in_steps; ++step) {
        // Allocations win below in_live / 2 blocks, releases above.
        if (model.empty() || rng() % in_live >= model.size()) {
            const size_t len = sizes[rng() % (sizeof sizes / sizeof sizes[0])];
            size_t best_cap = SIZE_MAX;
            std::map<size_t, size_t> free_caps;
            if (pin_region) {
                bool exact = false;
                for (const block_view& b : blocks(*pin_region, &exact)) {
                    if (b.ref != 0) continue;
                    free_caps[b.offset] = b.cap;
                    if (b.cap >= need_of(len) && b.cap < best_cap) best_cap = b.cap;
                }
            }
            const bool room = h.get_free_size() >= need_of(len) + 72;
            byte_t* p = static_cast<byte_t*>(h.alloc(len));
            if (!p) {
                ++*pout_refused;
                if (pin_region) {
                    ASSERT_TRUE(!room || best_cap == SIZE_MAX) << "refused while a block fits";
                }
            } else {
                ASSERT_EQ(model.count(p), 0u);
                ASSERT_GE(h.get_size(p), need_of(len));
                if (pin_region) {
                    ASSERT_TRUE(room);
                    ASSERT_EQ(free_caps[p - 72 - pin_region->base()], best_cap) << "not the best fit";
                }
                byte_t fill = static_cast<byte_t>(rng());
                std::memset(p, fill, len);
                model[p] = {len, fill};
            }
        } else {
            auto it = model.begin();
            std::advance(it, rng() % model.size());
            for (size_t i = 0; i < it->second.len; ++i)
                ASSERT_EQ(it->first[i], it->second.fill) << "payload overwritten at step " << step;
            h.free(it->first);
            model.erase(it);
        }
        in_check(model.size());
        if (testing::Test::HasFatalFailure()) FAIL() << "at step " << step;
    }
    for (auto& m : model) h.free(m.first);
}

}  // namespace

TEST(heap_memory, random_sequence_keeps_every_invariant) {
    region r(1 << 20);
    class_heap_memory h;
    h.initialize(r.base(), r.size());
    size_t refused = 0;
    random_run(h, &r, 20261210, 40000, 300,
               [&](size_t in_live) {
                   expect_consistent(h, r);
                   ASSERT_EQ(h.get_alloc_count(), in_live);
               },
               &refused);
    EXPECT_GT(refused, 0u) << "the run never filled the heap";
    expect_consistent(h, r);
    EXPECT_EQ(h.get_alloc_count(), 0u);
}

// Heaps without the lock are independent of each other: one per thread, side by side.
TEST(heap_memory, unlocked_heaps_run_side_by_side_on_their_threads) {
    std::vector<std::thread> ts;
    for (int t = 0; t < 4; ++t)
        ts.emplace_back([t] {
            region r(256 << 10);
            class_heap_memory h;
            h.initialize(r.base(), r.size());
            size_t refused = 0;
            random_run(h, &r, 7 + t, 5000, 100,
                       [&](size_t in_live) {
                           expect_consistent(h, r);
                           ASSERT_EQ(h.get_alloc_count(), in_live);
                       },
                       &refused);
            expect_consistent(h, r);
            EXPECT_EQ(std::string(h.get_status()), idle_status(h));
        });
    for (auto& t : ts) t.join();
}

TEST(heap_memory, locked_heap_serves_several_threads) {
    region r(4 << 20);
    class_locked_heap_memory h;
    h.initialize(r.base(), r.size());
    std::vector<std::thread> ts;
    std::vector<size_t> refused(4, 0);
    std::vector<std::string> statuses(4);
    for (int t = 0; t < 4; ++t)
        ts.emplace_back([&, t] {
            random_run(h, nullptr, 100 + t, 20000, 60,
                       [&, n = 0](size_t) mutable {
                           // The status text is read under the lock while the others allocate.
                           if (++n % 101 == 0) h.get_status(statuses[t]);
                       },
                       &refused[t]);
        });
    for (auto& t : ts) t.join();
    expect_consistent(h, r);
    EXPECT_EQ(h.get_alloc_count(), 0u);
    std::string s;
    EXPECT_EQ(h.get_status(s), idle_status(h));
    EXPECT_EQ(s, h.get_status());
    h.reset();
    expect_consistent(h, r);
}
