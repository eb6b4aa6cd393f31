#include "Kova/General_Common/Memory/class_kova_memory.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <string>

#include "Kova/Common/Global/kova_global.h"
#include "Kova/Common/Interface/kova_memory_interface.h"
#include "Kova/Common/Open/Kova/kova_err.h"
#include "Kova/General_Common/IPC/class_debug_ipc.h"
#include "test_process.h"

using namespace Kova;
using kova_test::child_process;

namespace {

class watching_memory : public General_Common::Memory::class_kova_memory {
public:
    std::atomic<bool> m_fired{false};

protected:
    void* on_destroy() override {
        m_fired = true;
        return nullptr;
    }
};

using kova_test::wait_until;

class kova_memory_fixture : public testing::Test {
protected:
    void SetUp() override {
        m_name = kova_test::unique_name("kovamem");
        m_mem_name = m_name + "_mem";
        m_dbg_name = m_name + "_dbg";
    }
    void TearDown() override {
        Common::Global::gp_memory = nullptr;
        kova_test::remove_shm_containing(m_name);
    }
    child_process start_service() {
        child_process c = kova_test::start_probe("probe_kova_memory", {"service", m_name});
        EXPECT_TRUE(c.wait_for_line("created 0 0"));
        return c;
    }

    std::string m_name, m_mem_name, m_dbg_name;
};

}  // namespace

TEST(kova_memory, name) { EXPECT_STREQ("kova_memory_manager", General_Common::Memory::class_kova_memory::str_name); }

TEST_F(kova_memory_fixture, open_needs_a_live_creator_and_create_is_exclusive) {
    watching_memory memory;
    EXPECT_NE(Pimo::OS::c_vimra_success, memory.eproc_open(m_mem_name.c_str()));
    EXPECT_FALSE(memory.is_live());

    child_process service = start_service();
    General_Common::Memory::class_kova_memory second;
    EXPECT_NE(Pimo::OS::c_vimra_success, second.eproc_create(1u << 20, m_mem_name.c_str()));
    // The failed creation left the first one intact.
    ASSERT_EQ(Pimo::OS::c_vimra_success, memory.eproc_open(m_mem_name.c_str()));
    EXPECT_TRUE(memory.is_live());
    memory.proc_close();
    EXPECT_FALSE(memory.is_live());
    service.send_line("exit");
    EXPECT_EQ(0, service.wait());
}

TEST_F(kova_memory_fixture, traces_reach_the_service_which_releases_their_headers) {
    child_process service = start_service();
    watching_memory memory;
    ASSERT_EQ(Pimo::OS::c_vimra_success, memory.eproc_open(m_mem_name.c_str()));
    General_Common::IPC::class_debug_ipc debug;
    ASSERT_EQ(Pimo::OS::c_vimra_success, debug.eproc_open(m_dbg_name.c_str()));
    Common::Global::gp_memory = &memory;
    const std::string me = std::to_string(getpid());

    struct_token t;
    ASSERT_EQ(c_kova_success, t.alloc_header(__FILE__, __LINE__));
    const std::string h = std::to_string(t.header_mm);
    service.send_line("log");
    EXPECT_TRUE(service.wait_for_line("record 0 A " + me + " 0 0 alloc header " + h));

    t.free(__FILE__, __LINE__);
    service.send_line("log");
    EXPECT_TRUE(service.wait_for_line("record 0 F " + me + " " + h + " 0 free header - " + h));
    service.send_line("log");
    EXPECT_TRUE(service.wait_for_line("record 0 F " + me + " 0 0 free data - 0"));
    // Once the service has logged it, the header block is back.
    EXPECT_EQ(0u, memory.get_alloc_count());

    debug.proc_close();
    memory.proc_close();
    service.send_line("exit");
    EXPECT_EQ(0, service.wait());
}

TEST_F(kova_memory_fixture, users_learn_that_the_service_is_gone) {
    child_process service = start_service();
    child_process user = kova_test::start_probe("probe_kova_memory", {"user", m_name});
    ASSERT_TRUE(user.wait_for_line("opened 0"));
    watching_memory memory;
    ASSERT_EQ(Pimo::OS::c_vimra_success, memory.eproc_open(m_mem_name.c_str()));

    service.send_line("die");
    EXPECT_EQ(0, service.wait());
    EXPECT_TRUE(wait_until(memory.m_fired, 10.0));
    EXPECT_FALSE(memory.is_live());
    // The default reaction ends the process at once with status -1.
    EXPECT_EQ(255, user.wait(10.0));
    memory.proc_close();
}
