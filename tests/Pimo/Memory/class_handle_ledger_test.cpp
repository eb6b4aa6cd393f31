// The ledger of the blocks a process holds: what it records is what the process holds,
// whatever the order of its takes and releases; the blocks of a dead process come back by
// a sweep, once; nothing of a live process, of another memory or of a heap reset since is
// ever given back.
#include "Pimo/Memory/class_handle_ledger.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <map>
#include <random>
#include <string>

#include "heap_probe.h"
#include "test_process.h"

using namespace Pimo;
using namespace Pimo::Memory;
using kova_test::heap_probe;

namespace {

const char* const c_file = "ledger_test.cpp";
const u_int32_t c_size = 1 << 20;

class ledger_test : public ::testing::Test {
protected:
    void SetUp() override {
        m_name = kova_test::unique_name("ledger");
        ASSERT_EQ(pool.eproc_create(m_name.c_str(), c_size), OS::c_vimra_success);
    }
    void TearDown() override {
        pool.proc_destroy();
        kova_test::remove_shm_containing(m_name);
        for (int pid : m_probe_pids) kova_test::remove_shm_containing(ledger_name(pid));
    }
    static std::string ledger_name(int in_pid) { return class_handle_ledger::c_name_prefix + std::to_string(in_pid); }
    static bool ledger_exists(int in_pid) { return access(("/dev/shm/" + ledger_name(in_pid)).c_str(), F_OK) == 0; }
    // A probe with the memory open and a ledger of its own.
    void start(heap_probe& in_probe) {
        ASSERT_TRUE(in_probe.started());
        m_probe_pids.push_back(in_probe.pid());
        ASSERT_EQ(in_probe.ask("open " + m_name), "open 0\n");
        ASSERT_EQ(in_probe.ask("ledger"), "ledger 0\n");
    }
    static void kill_probe(heap_probe& in_probe) {
        ASSERT_EQ(kill(in_probe.pid(), SIGKILL), 0);
        in_probe.send("exit");
        in_probe.answer_arrives(10.0);  // its output ends: it is gone
    }
    static std::string n(unsigned in_v) { return std::to_string(in_v); }

    std::string m_name;
    class_dynamic_shared_memory_pool pool;
    std::vector<int> m_probe_pids;
};

// Model-checked: after every allocation, added reference and release of a random walk over
// few and many blocks, the ledger records as many references as the model holds; its
// orderly end gives back exactly those, so the heap ends empty (one too many would be a
// double release, one too few a block left).
TEST_F(ledger_test, random_takes_and_releases_are_recorded_exactly) {
    class_handle_ledger ledger;
    ASSERT_EQ(ledger.eproc_create(pool), OS::c_vimra_success);
    std::map<mm_t, unsigned> held;
    unsigned total = 0;
    for (unsigned seed : {1u, 2u, 3u}) {
        std::mt19937 rng(seed);
        const unsigned most = seed == 1 ? 4 : 200;  // few blocks referenced often, or many
        for (int i = 0; i < 3000; ++i) {
            const unsigned what = rng() % 3;
            if (held.size() < most && (held.empty() || what == 0)) {
                mm_t mm = 0;
                if (pool.eproc_alloc(mm, 8 + rng() % 500, c_file, 1) != OS::c_vimra_success) continue;
                ++held[mm];
                ++total;
            } else if (!held.empty()) {
                auto it = held.begin();
                std::advance(it, rng() % held.size());
                if (what == 1) {
                    pool.add_ref_get(it->first, c_file, 2);
                    ++it->second;
                    ++total;
                } else {
                    pool.proc_free(it->first, c_file, 3);
                    --total;
                    if (--it->second == 0) held.erase(it);
                }
            }
            ASSERT_EQ(ledger.get_count(), total) << "seed " << seed << ", step " << i;
        }
    }
    EXPECT_NE(pool.get_alloc_count(), 0u);
    ledger.proc_close();
    EXPECT_EQ(pool.get_alloc_count(), 0u);
    EXPECT_EQ(pool.get_refer_count(), 0u);
}

TEST_F(ledger_test, a_dead_process_blocks_come_back_once_and_a_live_one_keeps_its_own) {
    heap_probe a, b;
    ASSERT_NO_FATAL_FAILURE(start(a));
    ASSERT_NO_FATAL_FAILURE(start(b));
    const unsigned x = a.alloc(100), y = a.alloc(100), z = a.alloc(3000), w = b.alloc(8);
    ASSERT_TRUE(x && y && z && w);
    EXPECT_EQ(a.ask("ref " + n(x)), "ref 2\n");
    EXPECT_EQ(b.ask("ref " + n(y)), "ref 2\n");  // b holds y too
    EXPECT_EQ(a.ask("recorded"), "recorded 4\n");
    EXPECT_EQ(b.ask("recorded"), "recorded 2\n");
    EXPECT_EQ(b.ask("sweep"), "") << "a lives: nothing of it goes back";
    EXPECT_EQ(pool.get_alloc_count(), 4u);

    ASSERT_NO_FATAL_FAILURE(kill_probe(a));
    EXPECT_EQ(b.ask("sweep"), "");
    EXPECT_EQ(pool.get_alloc_count(), 2u);
    EXPECT_EQ(pool.get_ref(y), 1u) << "b's reference stays";
    EXPECT_EQ(pool.get_ref(w), 1u);
    EXPECT_FALSE(ledger_exists(a.pid()));
    EXPECT_EQ(b.ask("sweep"), "");
    EXPECT_EQ(pool.get_alloc_count(), 2u) << "once";
    // b ends in order: what it still holds goes back with its ledger.
    EXPECT_EQ(b.ask("end"), "");
    EXPECT_EQ(pool.get_alloc_count(), 0u);
    EXPECT_FALSE(ledger_exists(b.pid()));
}

TEST_F(ledger_test, ledgers_of_another_memory_or_from_before_a_reset_give_nothing_back) {
    heap_probe a, c;
    ASSERT_NO_FATAL_FAILURE(start(a));
    ASSERT_TRUE(a.alloc(100));
    ASSERT_NO_FATAL_FAILURE(kill_probe(a));
    // Another memory's sweep leaves the ledger alone.
    class_dynamic_shared_memory_pool other;
    const std::string other_name = kova_test::unique_name("ledger_other");
    ASSERT_EQ(other.eproc_create(other_name.c_str(), c_size), OS::c_vimra_success);
    class_handle_ledger::proc_release_dead(other);
    other.proc_destroy();
    kova_test::remove_shm_containing(other_name);
    EXPECT_TRUE(ledger_exists(a.pid()));
    EXPECT_EQ(pool.get_alloc_count(), 1u);
    // The heap was reset since a recorded its block: the handle names something else now.
    pool.reset();
    mm_t mine = 0;
    ASSERT_EQ(pool.eproc_alloc(mine, 100, c_file, 4), OS::c_vimra_success);
    class_handle_ledger::proc_release_dead(pool);
    EXPECT_EQ(pool.get_ref(mine), 1u);
    EXPECT_FALSE(ledger_exists(a.pid()));
    // A memory made anew drops what a dead process recorded, without giving it back.
    ASSERT_NO_FATAL_FAILURE(start(c));
    EXPECT_EQ(c.ask("ref " + n(mine)), "ref 2\n");
    ASSERT_NO_FATAL_FAILURE(kill_probe(c));
    class_handle_ledger::proc_drop_dead(pool);
    EXPECT_EQ(pool.get_ref(mine), 2u);
    EXPECT_FALSE(ledger_exists(c.pid()));
}

// A process killed in the middle of a pipe's push or take, at each step from its ledger's
// first mark to its last change: whatever it carried comes back once, whoever sees it first
// (the sweep of the dead, the pipe's next holder, or a holder that keeps no ledger before
// both), and what the ring still holds reaches its reader whole. The victim also holds a
// second reference of the first block, which only the sweep gives back.
TEST_F(ledger_test, a_process_killed_inside_a_pipes_push_or_take_loses_nothing_and_frees_nothing_twice) {
    enum class first { sweep, pipe, foreign };
    struct step_case {
        const char* step;
        bool push;
    };
    const step_case steps[] = {{"leaving_first", true}, {"leaving", true},  {"left", true},
                               {"arriving_first", false}, {"arriving", false}, {"arrived", false}};
    for (const step_case& c : steps) {
        for (first f : {first::sweep, first::pipe, first::foreign}) {
            SCOPED_TRACE(std::string(c.step) + (f == first::sweep ? ", sweep first" : f == first::pipe ? ", pipe first"
                                                                                                       : ", foreign holder first"));
            const std::string pipe = m_name + "_pipe_" + c.step + std::to_string(static_cast<int>(f));
            heap_probe victim, survivor, foreign;
            ASSERT_NO_FATAL_FAILURE(start(victim));
            ASSERT_NO_FATAL_FAILURE(start(survivor));
            ASSERT_TRUE(foreign.started());
            ASSERT_EQ(foreign.ask("open " + m_name), "open 0\n");  // no ledger: it cannot settle
            ASSERT_EQ(survivor.ask("pipe create " + pipe), "pipe 0\n");
            ASSERT_EQ(victim.ask("pipe open " + pipe), "pipe 0\n");
            ASSERT_EQ(foreign.ask("pipe open " + pipe), "pipe 0\n");
            // The element's two blocks: the victim pushes its own, or takes the survivor's.
            heap_probe& owner = c.push ? victim : survivor;
            const unsigned x = owner.alloc(100), y = owner.alloc(3000);
            ASSERT_TRUE(x && y);
            EXPECT_EQ(victim.ask("ref " + n(c.push ? x : victim.alloc(8))), "ref 2\n");
            if (!c.push) {
                ASSERT_EQ(survivor.ask("push " + n(x) + " " + n(y)), "push 0\n");
            }

            ASSERT_EQ(victim.ask("die " + std::string(c.step)), "");
            victim.send(c.push ? "push " + n(x) + " " + n(y) : "take");
            ASSERT_EQ(victim.status(10.0), 128 + SIGKILL) << "killed at " << c.step;
            EXPECT_TRUE(ledger_exists(victim.pid()));

            if (f == first::foreign) {
                ASSERT_EQ(foreign.ask("push 0 0"), "push 0\n");  // moves the ring
            }
            if (f == first::sweep) {
                EXPECT_EQ(survivor.ask("sweep"), "");
            }
            // The reader takes what the ring holds, in order, and gives it back.
            std::vector<unsigned> read;
            for (;;) {
                const std::string got = survivor.ask("take");
                if (heap_probe::value(got, "take") != 0) break;
                read.push_back(static_cast<unsigned>(heap_probe::value(got, "take", 1)));
                read.push_back(static_cast<unsigned>(heap_probe::value(got, "take", 2)));
            }
            const bool in_ring = (c.push && std::string(c.step) == "left") || (!c.push && std::string(c.step) != "arrived");
            std::vector<unsigned> expected;
            if (in_ring) expected = {x, y};
            if (f == first::foreign) expected.insert(expected.end(), {0, 0});
            EXPECT_EQ(read, expected);
            for (unsigned mm : read) {
                if (mm != 0) {
                    EXPECT_EQ(survivor.ask("free " + n(mm)), "");
                }
            }
            if (f != first::sweep) {
                EXPECT_EQ(survivor.ask("sweep"), "");
            }

            EXPECT_EQ(pool.get_alloc_count(), 0u);
            EXPECT_EQ(pool.get_refer_count(), 0u);
            EXPECT_FALSE(ledger_exists(victim.pid()));
            EXPECT_EQ(survivor.ask("end"), "");
            foreign.send("exit");
            kova_test::remove_shm_containing(pipe);
        }
    }
}

}  // namespace
