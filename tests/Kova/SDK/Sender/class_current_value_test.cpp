// The current value of a sender: a post takes effect whole or not at all, a write gives back
// the block it lent when its post fails, and the history keeps only what was sent.
#include "Kova/SDK/Sender/class_current_value.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>

#include "Kova/Common/Interface/kova_memory_interface.h"
#include "Kova/Common/Open/Kova/kova_history.h"
#include "../sdk_rig.h"

using namespace kova_sdk_test;
using Kova::SDK::Sender::class_current_value;
using Pimo::OS::class_locker;
using Pimo::OS::class_read_locker;

namespace {

const char c_boundout[] = "Kova SDK - Boundout Test Post";
const char c_dirty[] = "test post => durty memory\n";

void no_tick(void*, class_current_value::struct_settings const&) {}

struct value_fixture {
    value_fixture() : rig(1), value(c_boundout, c_dirty, 10.0, true, &no_tick, nullptr) {}

    // The calling thread lends a block, as get_real does, and writes in_text into it.
    Pimo::Memory::mm_t lend(const std::string& in_text) {
        class_read_locker lock(rig.m_processor);
        void* block = value.eproc_lend(static_cast<pksize_t>(in_text.size()));
        if (block == nullptr) return 0;
        std::memcpy(block, in_text.data(), in_text.size());
        return Common::Interface::get_data_mm(block);
    }
    // Posts the lent block; in_send stands for the owner's sending, which the value makes
    // with the block already current.
    kova_err_t post(const std::string& in_text, kova_err_t in_send_result) {
        const pksize_t size = static_cast<pksize_t>(in_text.size());
        return value.eproc_post(
            size,
            [&](struct_packet& pout_record, class_current_value::struct_settings const&) {
                pout_record.initialize_header(size, 0, c_mt_command_tcp, 1, c_kova_err_none);
            },
            [&] {
                m_sent_current = value.get_current();
                if (in_send_result == c_kova_err_none) value.proc_record_sent();
                return in_send_result;
            });
    }
    Pimo::Memory::mm_t current() {
        class_locker lock(value.get_lock());
        return value.get_current();
    }
    std::vector<std::string> history() {
        kova_history h(value.see_history(10));
        std::vector<std::string> out;
        for (std::size_t i = 0; i < h.size(); ++i)
            out.emplace_back(static_cast<const char*>(h[i].p_buffer), h[i].size);
        return out;
    }

    sdk_rig rig;
    class_current_value value;
    Pimo::Memory::mm_t m_sent_current = 0;
};

}  // namespace

TEST(class_current_value, a_post_takes_effect_whole_or_leaves_the_former_value_and_the_block_lent) {
    value_fixture f;
    ASSERT_TRUE(f.rig.m_ok);
    const unsigned long before = f.rig.remain();
    struct row {
        const char* name;
        kova_err_t send;
        kova_err_t result;
        bool takes;
    };
    const row rows[] = {
        {"sent", c_kova_err_none, c_kova_err_none, true},
        {"nobody to send to", c_kova_err_not_exist_sync_data, c_kova_err_none, true},
        {"the center pipe full", c_kova_err_center_busy, c_kova_err_center_busy, false},
        {"the owner gone meanwhile", c_kova_err_is_not_created, c_kova_err_is_not_created, false},
        {"no header block", c_kova_err_empty_kova_memory, c_kova_err_empty_kova_memory, false},
    };
    std::vector<std::string> sent;
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        const Pimo::Memory::mm_t former = f.current();
        const Pimo::Memory::mm_t block = f.lend(r.name);
        ASSERT_NE(block, 0u);
        EXPECT_EQ(f.post(r.name, r.send), r.result);
        EXPECT_EQ(f.m_sent_current, block) << "sent as the current value";
        EXPECT_EQ(f.current(), r.takes ? block : former);
        if (r.send == c_kova_err_none) sent.insert(sent.begin(), r.name);
        if (r.takes) {
            EXPECT_EQ(f.post(r.name, c_kova_err_none), c_kova_err_dont_get) << "handed over";
        } else {
            // Still lent to this thread: posted again once it can leave.
            EXPECT_EQ(f.post(r.name, c_kova_err_none), c_kova_err_none);
            EXPECT_EQ(f.current(), block);
            sent.insert(sent.begin(), r.name);
        }
    }
    f.value.set_history_size(10);
    EXPECT_EQ(f.history().size(), 1u) << "the size applies from the next sending";
    const Pimo::Memory::mm_t last = f.lend("last");
    ASSERT_EQ(f.post("last", c_kova_err_none), c_kova_err_none);
    sent.insert(sent.begin(), "last");
    sent.resize(2);
    EXPECT_EQ(f.history(), sent) << "only what was sent, newest first";
    EXPECT_EQ(f.current(), last);
    f.value.proc_release();
    EXPECT_EQ(f.current(), 0u);
    EXPECT_TRUE(f.history().empty());
    EXPECT_EQ(f.rig.remain(), before);
}

TEST(class_current_value, a_write_gives_back_the_block_it_lent_when_its_post_fails) {
    value_fixture f;
    ASSERT_TRUE(f.rig.m_ok);
    const unsigned long before = f.rig.remain();
    f.value.set_history_size(10);
    class_read_locker lock(f.rig.m_processor);
    struct row {
        const char* name;
        const char* data;
        pksize_t size;
        kova_err_t post;
        kova_err_t result;
        pksize_t posted;  // the size the post was asked for
    };
    const row rows[] = {
        {"posted", "abc", 3, c_kova_err_none, c_kova_err_none, 3},
        {"an empty value", nullptr, 0, c_kova_err_none, c_kova_err_none, 0},
        {"no data for its size", nullptr, 4, c_kova_err_none, c_kova_err_boundout_buffer, 0xFFFFFFFFu},
        {"the post fails", "abc", 3, c_kova_err_center_busy, c_kova_err_center_busy, 3},
        {"the owner gone", "abcd", 4, c_kova_err_is_not_created, c_kova_err_is_not_created, 4},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        pksize_t posted = 0xFFFFFFFFu;
        EXPECT_EQ(f.value.eproc_write(r.data, r.size,
                                      [&](pksize_t in_size) {
                                          posted = in_size;
                                          if (r.post != c_kova_err_none) return r.post;
                                          return f.post(std::string(r.data ? r.data : "", in_size), c_kova_err_none);
                                      }),
                  r.result);
        EXPECT_EQ(posted, r.posted);
        // Nothing is left lent: this thread lends again, and so does another one.
        void* again = f.value.eproc_lend(8);
        EXPECT_NE(again, nullptr);
        f.value.proc_cancel();
        std::thread([&] {
            class_read_locker other(f.rig.m_processor);
            EXPECT_NE(f.value.eproc_lend(8), nullptr);
            f.value.proc_cancel();
        }).join();
    }
    EXPECT_EQ(f.history(), (std::vector<std::string>{"", "abc"}));
    f.value.proc_release();
    EXPECT_EQ(f.rig.remain(), before);
}
