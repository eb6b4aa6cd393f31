#include <gtest/gtest.h>

#include "Pimo/OS/Linux/class_mutex_semaphore.h"
#include "Pimo/OS/Linux/class_semaphore.h"
#include "named_test_support.h"

using namespace Pimo::OS;

namespace {

class semaphore : public kova_test::named_fixture {
protected:
    const char* tag() const override { return "sema"; }
};

// Stands in for a platform where the semaphore exists up to its waits: the lock is live and
// the counts are set, so a wait reaches the semaphore and fails there.
class live_lock_semaphore : public class_mutex_semaphore {
public:
    vimra_err_t make_live(const std::string& in_name, int64_t in_maxcount) {
        m_maxcount = in_maxcount;
        return m_lock.eproc_create_global(in_name, false);
    }
};

}  // namespace

TEST_F(semaphore, every_creation_opening_and_wait_fails) {
    class_semaphore s;
    EXPECT_EQ(s.eproc_create(4, 1), c_vimra_unknown);
    EXPECT_EQ(s.eproc_create_local(m_name, 4, 1), c_vimra_unknown);
    EXPECT_EQ(s.eproc_create_global(m_name, 4, 1), c_vimra_unknown);
    EXPECT_EQ(s.eproc_open_local(m_name), c_vimra_unknown);
    EXPECT_EQ(s.eproc_open_global(m_name), c_vimra_unknown);
    EXPECT_EQ(s.eproc_wait_try(), c_vimra_unknown);
    EXPECT_EQ(s.eproc_wait_timeout(0.01), c_vimra_unknown);
    s.proc_wait();
    s.proc_release(3);
    s.proc_close();
    s.proc_destroy();
}

TEST_F(semaphore, mutex_semaphore_creation_fails_and_gives_its_lock_back) {
    struct row { bool global; };
    for (const row r : {row{false}, row{true}}) {
        SCOPED_TRACE(r.global);
        class_mutex_semaphore ms;
        EXPECT_EQ(r.global ? ms.eproc_create_global(m_name, 3, 3) : ms.eproc_create_local(m_name, 3, 3),
                  c_vimra_unknown);
        // Nothing of it is left in this process: the lock's name can be created afresh.
        class_process_lock lk;
        EXPECT_EQ(r.global ? lk.eproc_create_global(m_name, false) : lk.eproc_create_local(m_name, false),
                  c_vimra_success);
        lk.proc_destroy();
    }
}

TEST_F(semaphore, mutex_semaphore_creation_reports_the_lock_failure) {
    class_process_lock holder;
    ASSERT_EQ(holder.eproc_create_global(m_name, false), c_vimra_success);
    class_mutex_semaphore ms;
    EXPECT_EQ(ms.eproc_create_global(m_name, 2, 2), c_vimra_already_exists);
    holder.proc_destroy();
}

TEST_F(semaphore, failed_wait_releases_the_process_lock) {
    live_lock_semaphore ms;
    ASSERT_EQ(ms.make_live(m_name, 3), c_vimra_success);
    class_process_lock other;
    ASSERT_EQ(other.eproc_open_global(m_name), c_vimra_success);
    struct row { const char* what; vimra_err_t (*wait)(live_lock_semaphore&); };
    const row rows[] = {
        {"try", [](live_lock_semaphore& m) { return m.eproc_wait_all_try(); }},
        {"timeout", [](live_lock_semaphore& m) { return m.eproc_wait_all_timeout(0.01); }},
        {"recursion try", [](live_lock_semaphore& m) { return m.eproc_wait_all_recursion_try(); }},
        {"recursion timeout", [](live_lock_semaphore& m) { return m.eproc_wait_all_recursion_timeout(0.01); }},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.what);
        EXPECT_EQ(r.wait(ms), c_vimra_unknown);
        // A separate opening of the same lock would be refused while the failed wait held it.
        EXPECT_EQ(other.eproc_wait_try(), c_vimra_success);
        other.proc_release();
    }
    ms.proc_wait_all();
    ms.proc_wait_all_recursion();
    EXPECT_EQ(other.eproc_wait_try(), c_vimra_success);
    other.proc_release();
    ms.proc_release_all();
    ms.proc_release_all_recursion();
    other.proc_close();
    ms.proc_destroy();
}
