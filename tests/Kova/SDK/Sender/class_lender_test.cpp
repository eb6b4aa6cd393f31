// Lending as state: one block per lender thread, posts checked against the lent size, other
// threads waiting (without the read lock) until the lender is done, the end of the object or
// a finalize ending their wait, and nothing lent freed by anyone but its lender.
#include "Kova/SDK/Sender/class_lender.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <thread>

#include "Kova/Common/Interface/kova_memory_interface.h"
#include "Kova/SDK/SDK_Processor/class_sdk_gate.h"
#include "../sdk_rig.h"

using namespace kova_sdk_test;
using Kova::SDK::Sender::class_lender;
using Pimo::OS::class_read_locker;

namespace {

const char c_boundout[] = "Kova SDK - Boundout Test Post";

// A thread that asks in_lender for a block under the read lock, as get_real does, and
// keeps what it got until told to cancel it.
class waiter {
public:
    waiter(sdk_rig& in_rig, class_lender& in_lender) {
        m_thread = std::thread([&] {
            m_tid = kova_test::this_thread_id();
            {
                class_read_locker lock(in_rig.m_processor);
                m_block = in_lender.eproc_lend(64);
            }
            m_returned = true;
            kova_test::wait_until(m_cancel, 30.0);
            in_lender.proc_cancel();
        });
    }
    ~waiter() {
        m_cancel = true;
        m_thread.join();
    }
    // Asleep inside eproc_lend: it waits.
    bool is_waiting() {
        return kova_test::wait_until([&] { return kova_test::is_thread_asleep(m_tid.load()); }, 5.0) && !m_returned;
    }
    bool returned() { return kova_test::wait_until(m_returned, 5.0); }
    void* block() const { return m_block; }

private:
    std::atomic<bool> m_returned{false}, m_cancel{false};
    std::atomic<pid_t> m_tid{0};
    void* m_block = nullptr;
    std::thread m_thread;
};

void* lend(sdk_rig& in_rig, class_lender& in_lender, pksize_t in_size) {
    class_read_locker lock(in_rig.m_processor);
    return in_lender.eproc_lend(in_size);
}

}  // namespace

TEST(class_lender, lends_one_block_to_a_thread_and_checks_its_posts_against_the_lent_size) {
    sdk_rig rig(1);
    ASSERT_TRUE(rig.m_ok);
    const unsigned long before = rig.remain();
    {
        class_lender lender;
        void* block = lend(rig, lender, 100);
        ASSERT_NE(block, nullptr);
        std::memset(block, 7, 100);
        EXPECT_EQ(lend(rig, lender, 100), nullptr) << "the lender asks again";

        Pimo::Memory::mm_t mm = 0;
        testing::internal::CaptureStdout();
        EXPECT_EQ(lender.eproc_check_post(101, c_boundout, mm), c_kova_err_too_big_size);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), c_boundout);
        EXPECT_EQ(mm, 0u);
        EXPECT_EQ(lender.eproc_check_post(100, c_boundout, mm), c_kova_err_none) << "still lent after a refusal";
        EXPECT_EQ(Common::Interface::get_data(mm), block);
        EXPECT_EQ(lender.eproc_check_post(0, c_boundout, mm), c_kova_err_none);

        // Another thread has nothing lent: it can neither post, take nor cancel this block.
        std::thread([&] {
            Pimo::Memory::mm_t other = 0;
            EXPECT_EQ(lender.eproc_check_post(10, c_boundout, other), c_kova_err_dont_get);
            EXPECT_EQ(lender.proc_hand_over(), 0u);
            lender.proc_cancel();
        }).join();
        EXPECT_EQ(static_cast<unsigned char*>(block)[99], 7) << "the block is still there";

        Pimo::Memory::mm_t taken = lender.proc_hand_over();
        EXPECT_EQ(taken, mm);
        EXPECT_EQ(lender.eproc_check_post(10, c_boundout, mm), c_kova_err_dont_get) << "handed over";
        EXPECT_EQ(lender.proc_hand_over(), 0u);
        Common::Interface::safe_free_mm(taken, __FILE__, __LINE__);
        EXPECT_EQ(taken, 0u);

        ASSERT_NE(lend(rig, lender, 10), nullptr) << "the next lending";
        lender.proc_cancel();
        lender.proc_cancel();
        EXPECT_EQ(rig.remain(), before);

        // A block the memory does not grant lends nothing, and leaves the turn free.
        EXPECT_EQ(lend(rig, lender, 64u << 20), nullptr);
        std::thread([&] {
            EXPECT_NE(lend(rig, lender, 10), nullptr);
            lender.proc_cancel();
        }).join();
        ASSERT_NE(lend(rig, lender, 10), nullptr) << "lent when the sender ends";
    }
    EXPECT_EQ(rig.remain(), before) << "the end of the sender frees a block still lent";
}

TEST(class_lender, another_thread_waits_until_the_lender_posts_or_cancels) {
    sdk_rig rig(1);
    ASSERT_TRUE(rig.m_ok);
    const unsigned long before = rig.remain();
    class_lender lender;
    for (bool post : {true, false}) {
        SCOPED_TRACE(post ? "posted" : "cancelled");
        ASSERT_NE(lend(rig, lender, 32), nullptr);
        {
            waiter w(rig, lender);
            EXPECT_TRUE(w.is_waiting());
            if (post) {
                Pimo::Memory::mm_t mm = lender.proc_hand_over();
                Common::Interface::safe_free_mm(mm, __FILE__, __LINE__);
            } else {
                lender.proc_cancel();
            }
            ASSERT_TRUE(w.returned());
            EXPECT_NE(w.block(), nullptr) << "its turn came";
            Pimo::Memory::mm_t mm = 0;
            EXPECT_EQ(lender.eproc_check_post(1, c_boundout, mm), c_kova_err_dont_get) << "the other thread lends now";
        }
        EXPECT_EQ(rig.remain(), before);
    }
}

TEST(class_lender, a_waiter_gives_up_the_read_lock_and_gives_up_at_the_end_or_at_finalize) {
    sdk_rig rig(1);
    ASSERT_TRUE(rig.m_ok);
    const unsigned long before = rig.remain();
    class_lender lender;
    struct row {
        const char* name;
        bool finalize;
    };
    for (const row& r : {row{"the object ends", false}, row{"the SDK finalises", true}}) {
        SCOPED_TRACE(r.name);
        void* block = lend(rig, lender, 48);
        ASSERT_NE(block, nullptr);
        {
            waiter w(rig, lender);
            EXPECT_TRUE(w.is_waiting());
            if (r.finalize) {
                Kova::SDK::SDK_Processor::g_sdk_gate.proc_close();
                EXPECT_TRUE(w.returned());
                Kova::SDK::SDK_Processor::g_sdk_gate.proc_open();
            } else {
                // The lender destroys the object: the write lock is free to take.
                Pimo::OS::class_write_locker lock(rig.m_processor);
                lender.proc_end();
            }
            ASSERT_TRUE(w.returned());
            EXPECT_EQ(w.block(), nullptr);
        }
        // The block stays with its lender, who may still be writing it.
        std::memset(block, 1, 48);
        Pimo::Memory::mm_t mm = 0;
        EXPECT_EQ(lender.eproc_check_post(48, c_boundout, mm), c_kova_err_none);
        lender.proc_cancel();
        EXPECT_EQ(rig.remain(), before);
    }
}
