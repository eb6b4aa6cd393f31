#include "Pimo/Memory/class_dynamic_shared_memory_pool.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "Pimo/Memory/class_dynamic_shared_ref_memory.h"
#include "heap_model.h"
#include "heap_probe.h"
#include "test_process.h"

using namespace Pimo;
using namespace Pimo::Memory;
using kova_test::heap_probe;

namespace {

const char* const c_file = "pool_test.cpp";
const u_int32_t c_size = 1 << 20;

class pool_fixture : public ::testing::Test {
protected:
    void SetUp() override { m_name = kova_test::unique_name("pool"); }
    void TearDown() override { kova_test::remove_shm_containing(m_name); }
    const char* name() const { return m_name.c_str(); }

    // The creator's view, as the test process sees it.
    void expect_consistent(class_dynamic_shared_memory_pool& in_pool) {
        kova_test::expect_heap_consistent(*in_pool.get_heap(), static_cast<byte_t*>(in_pool.get_addr(0)), c_size);
    }
    std::vector<kova_test::block_view> blocks(class_dynamic_shared_memory_pool& in_pool) {
        bool exact = false;
        auto bs = kova_test::heap_blocks(static_cast<byte_t*>(in_pool.get_addr(0)), c_size, &exact);
        EXPECT_TRUE(exact);
        return bs;
    }
    static std::string n(unsigned in_v) { return std::to_string(in_v); }

    std::string m_name;
};

bool shm_exists_containing(const std::string& in_fragment) {
    std::string cmd = "ls /dev/shm | grep -q -- '" + in_fragment + "'";
    return std::system(cmd.c_str()) == 0;
}

}  // namespace

TEST_F(pool_fixture, creation_and_opening_results) {
    class_dynamic_shared_memory_pool opener;
    class_dynamic_shared_ref_memory ref_opener;
    EXPECT_EQ(opener.eproc_open(name()), OS::c_vimra_not_created);
    EXPECT_EQ(ref_opener.eproc_open(name()), OS::c_vimra_unknown);

    class_dynamic_shared_memory_pool creator;
    ASSERT_EQ(creator.eproc_create(name(), c_size), OS::c_vimra_success);
    EXPECT_EQ(creator.get_remain(), c_size - 512);
    EXPECT_EQ(creator.get_alloc_count(), 0u);
    EXPECT_EQ(creator.get_refer_count(), 0u);
    EXPECT_EQ(creator.get_reset_count(), 1u);

    class_dynamic_shared_memory_pool second;
    class_dynamic_shared_ref_memory ref_second;
    EXPECT_EQ(second.eproc_create(name(), c_size), OS::c_vimra_already_exists);
    EXPECT_EQ(ref_second.eproc_create(name(), c_size), OS::c_vimra_unknown);

    ASSERT_EQ(opener.eproc_open(name()), OS::c_vimra_success);
    ASSERT_EQ(ref_opener.eproc_open(name()), OS::c_vimra_success);
    EXPECT_EQ(opener.get_reset_count(), 1u);
    EXPECT_EQ(ref_opener.get_remain(), c_size - 512ul);
    // One heap, two mappings: a block allocated through one is seen through the other.
    mm_t mm = 0;
    ASSERT_EQ(opener.eproc_alloc(mm, 100, c_file, 1), OS::c_vimra_success);
    EXPECT_EQ(ref_opener.get_ref(mm), 1u);
    EXPECT_EQ(creator.get_alloc_count(), 1u);
    ref_opener.proc_free(mm, c_file, 2);
    EXPECT_EQ(creator.get_alloc_count(), 0u);

    ref_opener.proc_close();
    opener.proc_close();
    EXPECT_EQ(opener.get_heap(), nullptr);
    creator.proc_destroy();
    EXPECT_EQ(creator.get_heap(), nullptr);
}

TEST_F(pool_fixture, sizes_too_small_for_a_heap_are_refused) {
    class_dynamic_shared_memory_pool pool;
    EXPECT_EQ(pool.eproc_create(name(), 0), OS::c_vimra_unknown);
    EXPECT_EQ(pool.eproc_create(name(), 511), OS::c_vimra_unknown);
    EXPECT_EQ(pool.eproc_create(name(), c_heap_min_segment - 1), OS::c_vimra_unknown);
    EXPECT_FALSE(shm_exists_containing(m_name)) << "a refused creation left objects behind";
    EXPECT_EQ(pool.eproc_create(nullptr, c_size), OS::c_vimra_unknown);

    // The smallest heap: one block with room for the smallest capacity. Allocating there
    // still asks for a block header more than the capacity, so it is refused, not wrapped.
    ASSERT_EQ(pool.eproc_create(name(), c_heap_min_segment), OS::c_vimra_success);
    EXPECT_EQ(pool.get_remain(), 16u);
    mm_t mm = 0;
    EXPECT_EQ(pool.eproc_alloc(mm, 1, c_file, 1), OS::c_vimra_memory_empty);
    pool.proc_destroy();

    // A segment that somebody made too small for a heap cannot be opened as a pool.
    const std::string small = m_name + "_small";
    OS::class_process_lock lock;
    OS::class_shared_memory memory;
    ASSERT_EQ(lock.eproc_create_global(small, false), OS::c_vimra_success);
    ASSERT_EQ(memory.eproc_create(small, 100), OS::c_vimra_success);
    class_dynamic_shared_memory_pool opener;
    EXPECT_EQ(opener.eproc_open(small.c_str()), OS::c_vimra_unknown);
    EXPECT_EQ(opener.get_heap(), nullptr);
    memory.proc_destroy();
    lock.proc_destroy();
}

TEST_F(pool_fixture, allocation_results_and_the_safe_forms) {
    class_dynamic_shared_ref_memory memory;
    ASSERT_EQ(memory.eproc_create(name(), c_size), OS::c_vimra_success);
    interface_memory& m = memory;

    mm_t mm = 12345;
    // Sizes whose need does not fit 32 bits, or the heap, leave the handle as it was.
    for (size_t size : {size_t(0xFFFFFFFFu), size_t(0xFFFFFFF9u), (size_t(1) << 32) + 8, size_t(c_size),
                        ~size_t(0)}) {
        EXPECT_EQ(m.eproc_alloc(mm, size, c_file, 1), OS::c_vimra_memory_empty) << size;
        EXPECT_EQ(mm, 12345u);
    }
    EXPECT_EQ(m.eproc_alloc_2(mm, 8, c_size, c_file, 1), OS::c_vimra_memory_empty);
    EXPECT_EQ(m.eproc_alloc_2(mm, 8, (size_t(1) << 32) + 1, c_file, 1), OS::c_vimra_memory_empty);
    EXPECT_EQ(mm, 12345u);
    EXPECT_EQ(memory.get_remain(), c_size - 512ul);

    ASSERT_EQ(m.eproc_alloc_2(mm, 1000, 65535, c_file, 77), OS::c_vimra_success);
    EXPECT_EQ(m.get_size(mm), 1008u);
    EXPECT_EQ(m.get_mm(m.get_addr(mm)), mm);
    EXPECT_TRUE(m.is_clean_memory(mm));
    EXPECT_TRUE(m.traverse_check(mm));
    EXPECT_STREQ(reinterpret_cast<HEAP_BLOCK*>(static_cast<byte_t*>(m.get_addr(mm)) - 256)->str, "pool_test.cpp-77 lines");

    mm_t none = 0;
    EXPECT_EQ(m.safe_add_ref(none, c_file, 1), 0u);
    m.safe_free(none, c_file, 1);
    EXPECT_EQ(memory.get_refer_count(), 1ul);
    EXPECT_EQ(m.safe_add_ref(mm, c_file, 2), 2u);
    EXPECT_EQ(m.add_ref_get(mm, c_file, 3), 3u);
    EXPECT_EQ(m.get_ref(mm), 3u);
    mm_t held = mm;
    m.safe_free(held, c_file, 4);
    EXPECT_EQ(held, 0u);
    EXPECT_EQ(m.get_ref(mm), 2u);
    m.proc_free(mm, c_file, 5);
    m.proc_free(mm, c_file, 6);
    EXPECT_EQ(memory.get_alloc_count(), 0ul);
    EXPECT_EQ(memory.get_remain(), c_size - 512ul);
    memory.proc_destroy();
}

TEST_F(pool_fixture, status_lines_count_the_free_blocks_of_both_trees) {
    class_dynamic_shared_memory_pool pool;
    ASSERT_EQ(pool.eproc_create(name(), c_size), OS::c_vimra_success);
    const std::string max = std::to_string(c_size - 512);

    testing::internal::CaptureStdout();
    std::string line = pool.get_status();
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(line, "T=" + max + ",F=" + max + ",L=1,P=1,X=false");
    EXPECT_EQ(out, line + "\nreset_acount = 1, remain = " + max + ", alloc_count = 0, refer_count = 0\n\n");

    mm_t a, b, c, d;
    ASSERT_EQ(pool.eproc_alloc(a, 100, c_file, 1), 0);
    ASSERT_EQ(pool.eproc_alloc(b, 50, c_file, 1), 0);
    testing::internal::CaptureStdout();
    line = pool.get_status();
    testing::internal::GetCapturedStdout();
    const std::string f2 = std::to_string(pool.get_remain());
    EXPECT_EQ(line, "T=" + max + ",F=" + f2 + ",L=1,P=1,X=false");

    ASSERT_EQ(pool.eproc_alloc(c, 100, c_file, 1), 0);
    ASSERT_EQ(pool.eproc_alloc(d, 50, c_file, 1), 0);
    pool.add_ref_get(d, c_file, 1);
    pool.proc_free(a, c_file, 1);
    pool.proc_free(c, c_file, 1);
    testing::internal::CaptureStdout();
    line = pool.get_status();
    out = testing::internal::GetCapturedStdout();
    const std::string f3 = std::to_string(pool.get_remain());
    // The two equal free blocks and the rest of the segment.
    EXPECT_EQ(line, "T=" + max + ",F=" + f3 + ",L=3,P=3,X=false");
    EXPECT_EQ(out, line + "\nreset_acount = 1, remain = " + f3 + ", alloc_count = 2, refer_count = 3\n\n");
    pool.proc_destroy();
}

TEST_F(pool_fixture, dump_is_the_raw_segment_in_the_working_directory) {
    class_dynamic_shared_memory_pool pool;
    ASSERT_EQ(pool.eproc_create(name(), c_size), OS::c_vimra_success);
    mm_t a;
    ASSERT_EQ(pool.eproc_alloc(a, 1000, c_file, 1), 0);
    std::memset(pool.get_addr(a), 0x5A, 1000);

    char dir[] = "/tmp/kova_dump_XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    char old[PATH_MAX];
    ASSERT_NE(getcwd(old, sizeof old), nullptr);
    ASSERT_EQ(chdir(dir), 0);
    // An older dump is replaced.
    { std::ofstream("shared_memory.dump") << "stale"; }
    testing::internal::CaptureStdout();
    std::string line = pool.get_status_forcefully();
    std::string out = testing::internal::GetCapturedStdout();
    std::ifstream in("shared_memory.dump", std::ios::binary);
    std::string dump((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(chdir(old), 0);
    unlink((std::string(dir) + "/shared_memory.dump").c_str());
    rmdir(dir);

    const std::string max = std::to_string(c_size - 512);
    const std::string fr = std::to_string(pool.get_remain());
    EXPECT_EQ(line, "T=" + max + ",F=" + fr);
    EXPECT_EQ(out, line + "\nreset_acount = 1, remain = " + fr + ", alloc_count = 1, refer_count = 1\n\n");
    ASSERT_EQ(dump.size(), c_size);
    EXPECT_EQ(std::memcmp(dump.data(), pool.get_addr(0), c_size), 0);
    HEAP_HEADER h;
    std::memcpy(&h, dump.data(), sizeof h);
    EXPECT_EQ(h.free, pool.get_remain());
    EXPECT_EQ(h.reset_count, 1u);
    EXPECT_EQ(h.lock_state, 0);
    pool.proc_destroy();
}

// The test process creates the memory; two probes open it, each with its own mapping.
class pool_with_probes : public pool_fixture {
protected:
    void SetUp() override {
        pool_fixture::SetUp();
        ASSERT_EQ(pool.eproc_create(name(), c_size), OS::c_vimra_success);
        ASSERT_TRUE(a.started() && b.started());
        ASSERT_EQ(a.ask("open " + m_name), "open 0\n");
        ASSERT_EQ(b.ask("open " + m_name), "open 0\n");
    }
    void TearDown() override {
        pool.proc_destroy();
        pool_fixture::TearDown();
    }

    class_dynamic_shared_memory_pool pool;
    heap_probe a, b;
};

// Blocks allocated, referenced and released by three processes on one named segment.
TEST_F(pool_with_probes, processes_share_one_heap_through_their_own_mappings) {

    const unsigned x = a.alloc(100), y = a.alloc(200), z = a.alloc(100), w = b.alloc(8);
    ASSERT_TRUE(x && y && z && w);
    EXPECT_EQ(b.ask("size " + n(x)), "size 112\n");
    EXPECT_STREQ(reinterpret_cast<HEAP_BLOCK*>(static_cast<byte_t*>(pool.get_addr(x)) - 256)->str,
                 "probe_heap.cpp-42 lines");
    // References cross processes with the handle.
    EXPECT_EQ(b.ask("ref " + n(x)), "ref 2\n");
    EXPECT_EQ(pool.get_ref(x), 2u);
    EXPECT_EQ(a.ask("free " + n(x)), "");
    EXPECT_EQ(b.ask("get_ref " + n(x)), "get_ref 1\n");
    expect_consistent(pool);

    // Equal sizes freed by different processes: one tree node and its list.
    EXPECT_EQ(b.ask("free " + n(x)), "");
    pool.proc_free(z, c_file, 1);
    EXPECT_EQ(pool.get_heap()->VerifyLenTree(), 3u);
    expect_consistent(pool);
    // Freeing the block between them merges all three.
    EXPECT_EQ(b.ask("free " + n(y)), "");
    auto bs = blocks(pool);
    ASSERT_EQ(bs.size(), 3u);
    EXPECT_EQ(bs[0].cap, 112u + 208 + 112 + 512);
    expect_consistent(pool);
    // Best fit takes the merged block for a size it holds exactly.
    EXPECT_EQ(b.alloc(112 + 208 + 112 + 512 - 8), x);
    // The reserve: refused in another process as soon as too little would stay free.
    const unsigned fr = pool.get_remain();
    EXPECT_EQ(a.ask("alloc 100 " + n(fr - 112 - 256 + 1)), "alloc 4 0\n");
    EXPECT_NE(a.alloc(100, fr - 112 - 256), 0u);
    expect_consistent(pool);
}

TEST_F(pool_with_probes, contending_processes_never_share_or_lose_a_block) {
    heap_probe c;
    ASSERT_TRUE(c.started());
    ASSERT_EQ(c.ask("open " + m_name), "open 0\n");
    // All three at once; each verifies its own payloads, so an overlap shows as a count.
    a.send("churn 3000 1");
    b.send("churn 3000 2");
    c.send("churn 3000 3");
    EXPECT_EQ(a.answer(60), "churn 0\n");
    EXPECT_EQ(b.answer(60), "churn 0\n");
    EXPECT_EQ(c.answer(60), "churn 0\n");
    EXPECT_EQ(pool.get_alloc_count(), 0u);
    expect_consistent(pool);
    // Everything merged back, but for a last block freed beside a free one.
    EXPECT_LE(blocks(pool).size(), 2u);
}

TEST_F(pool_with_probes, stop_pauses_every_other_process_until_continue) {
    EXPECT_EQ(a.ask("stop"), "");
    // The pausing thread itself goes on allocating.
    const unsigned mine = a.alloc(8);
    EXPECT_NE(mine, 0u);
    // The other process waits for the memory's lock.
    b.send("alloc 8");
    EXPECT_TRUE(kova_test::wait_until([&] { return kova_test::is_blocked_in(b.pid(), SYS_flock); }, 10.0));
    EXPECT_FALSE(b.answer_arrives(0.3)) << "allocation went through a pause";
    EXPECT_EQ(a.ask("continue"), "");
    EXPECT_TRUE(b.answer_arrives());
    EXPECT_EQ(pool.get_alloc_count(), 2u);
    expect_consistent(pool);
}

TEST_F(pool_with_probes, damage_by_one_process_ends_the_next_that_meets_it) {
    const unsigned x = a.alloc(10);
    // One byte past the asked size.
    EXPECT_EQ(a.ask("poke " + n(x) + " 10 255"), "");
    std::string out;
    EXPECT_EQ(b.fatal("alloc 8", &out), 255);
    EXPECT_EQ(out, "메모리 후방 손상\nprobe_heap.cpp-42 lines - " + b.pid_text() + "\n");
    // The reporter died inside the lock; the lock fell free with it and the heap is as it was.
    static_cast<byte_t*>(pool.get_addr(x))[10] = 0;
    mm_t mm = 0;
    EXPECT_EQ(pool.eproc_alloc(mm, 8, c_file, 1), OS::c_vimra_success);
    expect_consistent(pool);
    EXPECT_EQ(a.ask("free " + n(x)), "");

    // A reset drops every block at once: a later release of one ends its holder.
    a.alloc(10);
    const unsigned held = a.alloc(10);
    pool.reset();
    EXPECT_EQ(pool.get_reset_count(), 2u);
    EXPECT_EQ(a.fatal("free " + n(held), &out), 255);
    EXPECT_EQ(out, "this pointer is not memory block\nmm(" + n(held) + ") - " + a.pid_text() + "\n");
    // It too died inside the lock: the next operation goes through and clears the state byte.
    EXPECT_EQ(pool.eproc_alloc(mm, 8, c_file, 1), OS::c_vimra_success);
    expect_consistent(pool);
}
