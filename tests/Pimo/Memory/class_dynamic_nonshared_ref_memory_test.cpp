#include "Pimo/Memory/class_dynamic_nonshared_ref_memory.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <future>
#include <set>
#include <thread>
#include <vector>

using namespace Pimo;
using namespace Pimo::Memory;
using namespace Pimo::OS;

namespace {

const char* const c_file = "ref_memory_test.cpp";

// The smallest concrete memory: the class leaves only the heap check to its subclass.
class process_memory : public class_dynamic_nonshared_ref_memory {
public:
    bool traverse_check(const mm_t&) override { return true; }
};

mm_t alloc(interface_memory& m, size_t size) {
    mm_t h = 0;
    EXPECT_EQ(m.eproc_alloc(h, size, c_file, __LINE__), c_vimra_success);
    return h;
}

byte_t pattern(mm_t h, size_t i) { return static_cast<byte_t>(h * 31 + i); }

}  // namespace

TEST(nonshared_ref_memory, every_handle_resolves_to_its_own_block) {
    process_memory m;
    interface_memory& im = m;
    std::vector<mm_t> handles;
    std::set<mm_t> distinct;
    std::set<void*> addresses;
    for (size_t i = 0; i < 600; ++i) {
        const size_t size = i % 3 == 0 ? 0 : i * 7;
        mm_t h = alloc(im, size);
        ASSERT_NE(h, 0u);
        ASSERT_TRUE(distinct.insert(h).second) << "handle given twice";
        byte_t* p = static_cast<byte_t*>(im.get_addr(h));
        ASSERT_NE(p, nullptr);
        ASSERT_TRUE(addresses.insert(p).second);
        EXPECT_EQ(im.get_mm(p), h);
        EXPECT_EQ(im.get_size(h), size);
        EXPECT_EQ(im.get_ref(h), 1u);
        EXPECT_TRUE(im.is_clean_memory(h));
        for (size_t k = 0; k < size; ++k) p[k] = pattern(h, k);
        handles.push_back(h);
    }
    // Release every other block; new blocks take handles back, the others keep theirs.
    for (size_t i = 0; i < handles.size(); i += 2) im.proc_free(handles[i], c_file, __LINE__);
    for (size_t i = 0; i < handles.size(); i += 2) {
        EXPECT_EQ(im.get_addr(handles[i]), nullptr);
        EXPECT_EQ(im.get_ref(handles[i]), 0u);
    }
    for (size_t i = 0; i < handles.size(); i += 2) {
        handles[i] = alloc(im, 40);
        byte_t* p = static_cast<byte_t*>(im.get_addr(handles[i]));
        for (size_t k = 0; k < 40; ++k) p[k] = pattern(handles[i], k);
    }
    for (mm_t h : handles) {
        const byte_t* p = static_cast<const byte_t*>(im.get_addr(h));
        ASSERT_NE(p, nullptr);
        ASSERT_EQ(im.get_mm(p), h);
        for (size_t k = 0; k < im.get_size(h); ++k) ASSERT_EQ(p[k], pattern(h, k)) << h;
    }
    for (mm_t h : handles) im.proc_free(h, c_file, __LINE__);
}

TEST(nonshared_ref_memory, references_and_handles_that_name_no_block) {
    process_memory m;
    interface_memory& im = m;
    mm_t h = alloc(im, 16);
    EXPECT_EQ(im.add_ref_get(h, c_file, __LINE__), 2u);
    EXPECT_EQ(im.safe_add_ref(h, c_file, __LINE__), 3u);
    EXPECT_EQ(im.get_ref(h), 3u);
    im.proc_free(h, c_file, __LINE__);
    im.proc_free(h, c_file, __LINE__);
    EXPECT_EQ(im.get_ref(h), 1u);
    EXPECT_NE(im.get_addr(h), nullptr);
    mm_t held = h;
    im.safe_free(held, c_file, __LINE__);
    EXPECT_EQ(held, 0u);
    EXPECT_EQ(im.get_ref(h), 0u);

    // 0, a released handle and one never given out: nothing to read or change.
    for (mm_t bad : {mm_t(0), h, mm_t(12345), mm_t(0xFFFFFFFF)}) {
        SCOPED_TRACE(bad);
        EXPECT_EQ(im.get_ref(bad), 0u);
        EXPECT_EQ(im.get_addr(bad), nullptr);
        EXPECT_EQ(im.get_size(bad), 0u);
        EXPECT_EQ(im.add_ref_get(bad, c_file, __LINE__), 0u);
        im.proc_free(bad, c_file, __LINE__);
    }
    mm_t zero = 0;
    im.safe_free(zero, c_file, __LINE__);
    EXPECT_EQ(im.safe_add_ref(zero, c_file, __LINE__), 0u);
    EXPECT_EQ(im.get_mm(nullptr), 0u);
}

TEST(nonshared_ref_memory, alloc_2_ignores_the_reserve_and_no_memory_is_4) {
    process_memory m;
    mm_t h = 0;
    EXPECT_EQ(m.eproc_alloc_2(h, 100, ~static_cast<size_t>(0), c_file, __LINE__), c_vimra_success);
    EXPECT_EQ(m.get_size(h), 100u);
    mm_t kept = h;
    EXPECT_EQ(m.eproc_alloc(kept, ~static_cast<size_t>(0), c_file, __LINE__), c_vimra_memory_empty);
    EXPECT_EQ(kept, h) << "a refused allocation leaves the handle alone";
#if !defined(__SANITIZE_ADDRESS__)  // the address sanitizer aborts on an impossible allocation
    EXPECT_EQ(m.eproc_alloc(kept, static_cast<size_t>(1) << 62, c_file, __LINE__), c_vimra_memory_empty);
    EXPECT_EQ(kept, h);
#endif
    m.proc_free(h, c_file, __LINE__);
}

// Blocks still held when the memory goes are freed with it (the sanitizer build's leak check).
TEST(nonshared_ref_memory, blocks_still_held_go_with_the_memory) {
    process_memory m;
    for (int i = 0; i < 10; ++i) alloc(m, 100);
}

TEST(nonshared_ref_memory, stop_holds_every_other_thread_until_continue) {
    process_memory m;
    m.proc_stop();
    mm_t own = alloc(m, 8);  // the stopping thread goes on
    auto other = std::async(std::launch::async, [&] {
        mm_t h = 0;
        m.eproc_alloc(h, 8, c_file, __LINE__);
        return h;
    });
    EXPECT_EQ(other.wait_for(std::chrono::milliseconds(200)), std::future_status::timeout);
    m.proc_continue();
    ASSERT_EQ(other.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    mm_t h = other.get();
    EXPECT_NE(h, 0u);
    EXPECT_NE(h, own);
    m.proc_free(h, c_file, __LINE__);
    m.proc_free(own, c_file, __LINE__);
}

TEST(nonshared_ref_memory, several_threads_share_blocks_by_handle) {
    process_memory m;
    std::vector<mm_t> shared;
    for (int i = 0; i < 64; ++i) {
        mm_t h = alloc(m, 32);
        std::memset(m.get_addr(h), static_cast<int>(h & 0xFF), 32);
        shared.push_back(h);
    }
    std::atomic<bool> bad{false};
    std::vector<std::thread> ts;
    for (int t = 0; t < 4; ++t)
        ts.emplace_back([&, t] {
            std::vector<mm_t> mine;
            for (int i = 0; i < 5000; ++i) {
                mm_t s = shared[(i * 7 + t) % shared.size()];
                // A reference keeps a shared block alive while this thread reads it.
                if (m.add_ref_get(s, c_file, __LINE__) < 2) bad = true;
                const byte_t* p = static_cast<const byte_t*>(m.get_addr(s));
                if (!p || p[31] != static_cast<byte_t>(s & 0xFF) || m.get_mm(p) != s) bad = true;
                m.proc_free(s, c_file, __LINE__);
                mm_t h = 0;
                if (m.eproc_alloc(h, 24, c_file, __LINE__) != c_vimra_success) bad = true;
                std::memset(m.get_addr(h), static_cast<int>(h & 0xFF), 24);
                mine.push_back(h);
                if (mine.size() > 16) {
                    mm_t old = mine.front();
                    const byte_t* q = static_cast<const byte_t*>(m.get_addr(old));
                    if (!q || q[23] != static_cast<byte_t>(old & 0xFF)) bad = true;
                    m.proc_free(old, c_file, __LINE__);
                    mine.erase(mine.begin());
                }
            }
            for (mm_t h : mine) m.proc_free(h, c_file, __LINE__);
        });
    for (auto& t : ts) t.join();
    EXPECT_FALSE(bad.load());
    for (mm_t h : shared) {
        EXPECT_EQ(m.get_ref(h), 1u);
        m.proc_free(h, c_file, __LINE__);
    }
}
