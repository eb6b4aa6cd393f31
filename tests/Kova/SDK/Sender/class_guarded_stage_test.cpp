// Guarded staging: the buffer and its guards, what a post writes and when it refuses, and
// callers on several threads.
#include "Kova/SDK/Sender/class_guarded_stage.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

using Kova::SDK::Sender::class_guarded_stage;

namespace {

const char c_dirty[] = "test::post => durty memory\n";

// Records what a post writes.
struct writer {
    std::vector<std::string> written;
    Kova::kova_err_t result = 0;
    Kova::kova_err_t operator()(const void* pin_data, Kova::pksize_t in_size) {
        written.emplace_back(static_cast<const char*>(pin_data), in_size);
        return result;
    }
};

Kova::kova_err_t post(class_guarded_stage& in_stage, Kova::pksize_t in_size, writer& in_writer) {
    return in_stage.eproc_post(in_size, [&](const void* d, Kova::pksize_t n) { return in_writer(d, n); });
}

}  // namespace

TEST(class_guarded_stage, hands_out_the_middle_of_a_guarded_buffer_and_posts_only_what_fits_and_is_clean) {
    class_guarded_stage stage(c_dirty);
    writer w;
    EXPECT_EQ(post(stage, 1, w), Kova::c_kova_err_dont_get) << "nothing staged";
    stage.proc_cancel();  // nothing to cancel

    char* p = static_cast<char*>(stage.eproc_get(8));
    ASSERT_NE(p, nullptr);
    for (int i = -8; i < 16; ++i) EXPECT_EQ(static_cast<unsigned char>(p[i]), 0xCD) << i;
    std::memcpy(p, "commands", 8);
    EXPECT_EQ(post(stage, 9, w), Kova::c_kova_err_too_big_size);
    EXPECT_TRUE(w.written.empty());
    w.result = 77;
    EXPECT_EQ(post(stage, 5, w), 77u) << "the write's own result";
    ASSERT_EQ(w.written.size(), 1u);
    EXPECT_EQ(w.written[0], "comma");
    EXPECT_EQ(post(stage, 5, w), Kova::c_kova_err_dont_get) << "a post ends the buffer";

    // A second get frees the first and stages its own size.
    ASSERT_NE(stage.eproc_get(100), nullptr);
    p = static_cast<char*>(stage.eproc_get(3));
    ASSERT_NE(p, nullptr);
    std::memcpy(p, "abc", 3);
    EXPECT_EQ(post(stage, 4, w), Kova::c_kova_err_too_big_size);
    w.result = 0;
    EXPECT_EQ(post(stage, 3, w), Kova::c_kova_err_none);
    EXPECT_EQ(w.written.back(), "abc");

    // Nothing at all.
    ASSERT_NE(stage.eproc_get(0), nullptr);
    EXPECT_EQ(post(stage, 0, w), Kova::c_kova_err_none);
    EXPECT_EQ(w.written.back(), "");
}

TEST(class_guarded_stage, a_changed_guard_refuses_the_post_once_and_keeps_the_buffer_until_cancel) {
    struct row {
        const char* name;
        int offset;  // from the middle third's start
    };
    const Kova::pksize_t size = 16;
    for (const row& r : {row{"the byte before", -1}, row{"the first byte of the buffer", -16},
                         row{"the byte after", 16}, row{"the last byte of the buffer", 31}}) {
        SCOPED_TRACE(r.name);
        class_guarded_stage stage(c_dirty);
        writer w;
        char* p = static_cast<char*>(stage.eproc_get(size));
        ASSERT_NE(p, nullptr);
        p[r.offset] = 0;
        testing::internal::CaptureStdout();
        EXPECT_EQ(post(stage, size, w), Kova::c_kova_err_durty_memory);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), c_dirty) << "said once";
        EXPECT_TRUE(w.written.empty());
        testing::internal::CaptureStdout();
        EXPECT_EQ(post(stage, 1, w), Kova::c_kova_err_durty_memory) << "the buffer stays";
        testing::internal::GetCapturedStdout();
        stage.proc_cancel();
        EXPECT_EQ(post(stage, 1, w), Kova::c_kova_err_dont_get);
        EXPECT_TRUE(w.written.empty());
    }
}

TEST(class_guarded_stage, callers_on_several_threads_each_post_a_whole_staged_buffer_or_are_refused) {
    // Gets, posts and cancels race; the middle a thread was handed may be freed by another
    // thread's get, so nobody writes into it here.
    class_guarded_stage stage(c_dirty);
    std::atomic<int> posted{0}, refused{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            const Kova::pksize_t size = static_cast<Kova::pksize_t>(64 + t);
            for (int i = 0; i < 2000; ++i) {
                EXPECT_NE(stage.eproc_get(size), nullptr);
                const Kova::kova_err_t r = stage.eproc_post(size, [&](const void* d, Kova::pksize_t n) {
                    const unsigned char* c = static_cast<const unsigned char*>(d);
                    for (Kova::pksize_t k = 0; k < n; ++k)
                        if (c[k] != 0xCD) return Kova::kova_err_t(1);
                    return Kova::kova_err_t(0);
                });
                if (r == Kova::c_kova_err_none) ++posted;
                else if (r == Kova::c_kova_err_dont_get || r == Kova::c_kova_err_too_big_size) ++refused;
                else ADD_FAILURE() << "result " << r;
                if (i % 7 == 0) stage.proc_cancel();
            }
        });
    }
    for (std::thread& t : threads) t.join();
    EXPECT_GT(posted.load(), 0);
    EXPECT_EQ(posted + refused, 4 * 2000);
}
