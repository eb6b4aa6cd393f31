// Properties every kind of named object shares: modes, the creation mask, inheritance.
#include "Pimo/OS/Linux/named_object_protocol.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <thread>
#include <vector>

#include "Pimo/OS/Linux/class_event.h"
#include "Pimo/OS/Linux/class_process_lock.h"
#include "Pimo/OS/Linux/class_shared_memory.h"
#include "named_test_support.h"

using namespace Pimo::OS;

namespace {

class named_object : public kova_test::named_fixture {
protected:
    const char* tag() const override { return "nobj"; }
    void SetUp() override {
        named_fixture::SetUp();
        m_old_mask = umask(022);
    }
    void TearDown() override {
        umask(m_old_mask);
        named_fixture::TearDown();
    }
    static mode_t current_mask() {
        mode_t m = umask(0);
        umask(m);
        return m;
    }
    static int mode_of(const std::string& in_name) {
        struct stat st;
        if (stat(("/dev/shm/" + in_name).c_str(), &st) != 0) return -1;
        return st.st_mode & 07777;
    }
    mode_t m_old_mask = 0;
};

TEST_F(named_object, every_file_gets_exactly_0777_and_the_mask_is_restored) {
    class_process_lock lk;
    class_shared_memory mem;
    class_event ev;
    ASSERT_EQ(lk.eproc_create_local(m_name + "L", false), c_vimra_success);
    ASSERT_EQ(mem.eproc_create(m_name + "M", 64), c_vimra_success);
    ASSERT_EQ(ev.eproc_create_local(m_name + "E", false), c_vimra_success);
    for (const char* f : {"L_cr_lock", "L_create", "L_lock", "M_cr_lock", "M", "E_cr_lock", "E"})
        EXPECT_EQ(mode_of(m_name + f), 0777) << f;
    EXPECT_EQ(current_mask(), 022u);

    // Failed operations restore it as well.
    class_event absent;
    EXPECT_EQ(absent.eproc_open_local(m_name + "X"), c_vimra_unknown);
    class_process_lock second;
    EXPECT_EQ(second.eproc_create_local(m_name + "L", false), c_vimra_already_exists);
    EXPECT_EQ(current_mask(), 022u);
    ev.proc_destroy();
    mem.proc_destroy();
    lk.proc_destroy();
}

TEST_F(named_object, concurrent_creations_never_leave_the_mask_at_zero) {
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([this, t] {
            for (int i = 0; i < 150; ++i) {
                std::string n = m_name + "_" + std::to_string(t) + "_" + std::to_string(i % 3);
                class_process_lock lk;
                class_shared_memory mem;
                if (lk.eproc_create_local(n + "L", false) == c_vimra_success) lk.proc_destroy();
                if (mem.eproc_create(n + "M", 16) == c_vimra_success) mem.proc_destroy();
            }
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(current_mask(), 022u);
    EXPECT_EQ(mode_of(m_name + "_7_2M"), 0777);
}

TEST_F(named_object, descriptors_are_not_inherited_by_spawned_programs) {
    class_process_lock lk, lk_open;
    class_shared_memory mem, mem_open;
    class_event ev, ev_open;
    ASSERT_EQ(lk.eproc_create_local(m_name + "L", true), c_vimra_success);
    ASSERT_EQ(lk_open.eproc_open(m_name + "L", 0777), c_vimra_success);
    ASSERT_EQ(mem.eproc_create(m_name + "M", 64), c_vimra_success);
    ASSERT_EQ(mem_open.eproc_open(m_name + "M"), c_vimra_success);
    ASSERT_EQ(ev.eproc_create_local(m_name + "E", false), c_vimra_success);
    ASSERT_EQ(ev_open.eproc_open_local(m_name + "E"), c_vimra_success);

    // Here: each of our descriptors carries the flag...
    int ours = 0;
    for (int fd = 0; fd < 1024; ++fd) {
        char link[512] = {0};
        std::string p = "/proc/self/fd/" + std::to_string(fd);
        if (readlink(p.c_str(), link, sizeof link - 1) <= 0) continue;
        if (std::string(link).find(m_name) == std::string::npos) continue;
        ++ours;
        EXPECT_TRUE(fcntl(fd, F_GETFD) & FD_CLOEXEC) << link;
    }
    EXPECT_EQ(ours, 8) << "two lock files per lock, one segment per memory and event";
    // ...and a spawned program sees none of them.
    std::string out = run({"fds"});
    EXPECT_NE(out.find("end"), std::string::npos);
    EXPECT_EQ(out.find(m_name), std::string::npos) << out;

    ev_open.proc_close();
    ev.proc_destroy();
    mem_open.proc_close();
    mem.proc_destroy();
    lk_open.proc_close();
    lk.proc_destroy();
}

}  // namespace
