// The center's registry over real process pipes, and the process-destroy packet that a
// listen pipe's watcher makes when its application dies.
#include "Kova/General_Center/Object_Manager/class_object_manager.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstring>

#include "Kova/Center/Global/center_global.h"
#include "Kova/Common/Global/kova_global.h"
#include "Kova/Common/Hidden/struct_packet.h"
#include "Kova/Common/Interface/kova_memory_interface.h"
#include "Kova/Common/Open/Kova/kova_const.h"
#include "Kova/General_Common/IPC/class_process_listen_ipc.h"
#include "Pimo/Memory/class_dynamic_shared_ref_memory.h"
#include "test_process.h"

namespace {

using namespace Kova;
using namespace Kova::Common::Interface;
using Kova::General_Center::Object_Manager::class_object_manager;

constexpr domain_t c_domain = 7300;

class registry_test : public testing::Test {
protected:
    void SetUp() override {
        m_name = kova_test::unique_name("registry");
        ASSERT_EQ(0, m_memory.eproc_create((m_name + "_mem").c_str(), 1u << 20));
        Kova::Common::Global::gp_memory = &m_memory;
        ASSERT_EQ(0, m_center.eproc_create((m_name + "_center").c_str(), 32, sizeof(struct_token)));
        Kova::Common::Global::gp_center_pipe = &m_center;
        m_base = m_memory.get_alloc_count();
    }
    void TearDown() override {
        Kova::Common::Global::gp_center_pipe = nullptr;
        m_center.proc_destroy();
        Kova::Common::Global::gp_memory = nullptr;
        m_memory.proc_destroy();
        kova_test::remove_shm_containing(m_name);
    }
    // An application with its listen and return pipes.
    kova_test::child_process start_app() {
        kova_test::child_process app = kova_test::start_probe("probe_kova_channels", {"app"});
        EXPECT_TRUE(app.wait_for_line("created 0 0"));
        return app;
    }
    static void remove_pipes_of(pid_t in_pid) {
        kova_test::remove_shm_containing("kova_process_listen_ipc_" + std::to_string(in_pid));
        kova_test::remove_shm_containing("kova_process_return_ipc" + std::to_string(in_pid));
    }

    std::string m_name;
    Pimo::Memory::class_dynamic_shared_ref_memory m_memory;
    Pimo::IPC::class_shared_pipe m_center;
    unsigned long m_base = 0;
};

TEST_F(registry_test, objects_of_one_process_share_its_pipes_until_the_process_is_closed) {
    kova_test::child_process app = start_app();
    const int pid = app.pid();
    {
        class_object_manager registry(c_domain);
        EXPECT_EQ(&registry, Kova::Center::Global::gp_object_manager);
        ASSERT_TRUE(registry.open_object_pipe(5, pid));
        ASSERT_TRUE(registry.open_object_pipe(0x8001, pid));
        EXPECT_EQ(1, registry.get_process_count());
        EXPECT_EQ(registry.get_object_listen_pipe(5), registry.get_object_listen_pipe(0x8001));
        EXPECT_NE(nullptr, registry.get_object_return_pipe(5));
        std::vector<object_id_t> ids;
        registry.get_all_object_of_process(pid, ids);
        EXPECT_EQ((std::vector<object_id_t>{5, 0x8001}), ids);
        // Only a process that holds a proxy is where events go; a proxy registered again
        // counts once.
        const auto proxy_pipes = [&] {
            std::vector<Pimo::IPC::interface_pipe*> pipes;
            registry.get_proxy_listen_pipe(pipes);
            return pipes;
        };
        const std::vector<Pimo::IPC::interface_pipe*> app_pipe{registry.get_process_listen_pipe(pid)};
        EXPECT_EQ(app_pipe, proxy_pipes());
        ASSERT_TRUE(registry.open_object_pipe(0x8001, pid));
        EXPECT_TRUE(registry.close_object(5));
        EXPECT_EQ(app_pipe, proxy_pipes()) << "a stub's end leaves the proxy";
        EXPECT_TRUE(registry.close_object(0x8001));
        EXPECT_TRUE(proxy_pipes().empty()) << "the last proxy has gone";
        EXPECT_FALSE(registry.close_object(9));
        EXPECT_EQ(0, registry.get_pid(5));
        EXPECT_EQ(nullptr, registry.get_object_listen_pipe(5));
        EXPECT_NE(nullptr, registry.get_process_listen_pipe(pid));  // the pipes stay open
        // Tokens left in the pipes are released when the process is closed.
        struct_token t;
        proc_alloc_header_force(t, __FILE__, __LINE__);
        ASSERT_EQ(0, registry.get_process_listen_pipe(pid)->eproc_push(reinterpret_cast<Pimo::byte_t*>(&t), 0));
        EXPECT_TRUE(registry.close_process(pid));
        EXPECT_FALSE(registry.close_process(pid));
        EXPECT_EQ(0, registry.get_process_count());
        EXPECT_EQ(m_base, m_memory.get_alloc_count());
    }
    EXPECT_EQ(nullptr, Kova::Center::Global::gp_object_manager);
    app.send_line("exit");
    EXPECT_EQ(0, app.wait());
}

TEST_F(registry_test, a_process_without_a_return_pipe_is_not_registered) {
    const pid_t fake = getpid() + 1000000;
    Kova::General_Common::IPC::class_process_listen_ipc listen;
    ASSERT_EQ(0, listen.eproc_create(fake, 16));
    {
        class_object_manager registry(c_domain);
        EXPECT_FALSE(registry.open_object_pipe(5, fake));
        EXPECT_EQ(0, registry.get_process_count());
        EXPECT_EQ(0, registry.get_pid(5));
        EXPECT_FALSE(registry.close_object(5));
    }
    listen.proc_destroy();
    remove_pipes_of(fake);
}

TEST_F(registry_test, a_dead_process_yields_one_process_destroy_packet) {
    kova_test::child_process app = start_app();
    const int pid = app.pid();
    class_object_manager registry(c_domain);
    ASSERT_TRUE(registry.open_object_pipe(5, pid));
    app.send_line("die");
    EXPECT_EQ(0, app.wait());
    struct_token t;
    ASSERT_EQ(0, m_center.eproc_receive_timeout(reinterpret_cast<Pimo::byte_t*>(&t), 10.0));
    const struct_packet* p = get_header(t);
    EXPECT_EQ(c_mt_ctrl, p->header.type);
    EXPECT_EQ(c_mccr_process_destroy, p->header.code);
    EXPECT_EQ(4u, p->header.size);
    EXPECT_EQ(c_local_host, p->src_ip);
    EXPECT_EQ(0, p->header.sid);
    EXPECT_EQ(c_domain, p->header.sport);
    EXPECT_EQ(c_broadcast_ip, p->dst_ip);
    EXPECT_EQ(0xFFFF, p->header.did);
    EXPECT_EQ(c_domain, p->dst_port);
    std::int32_t dead = 0;
    std::memcpy(&dead, get_data(t), sizeof(dead));
    EXPECT_EQ(pid, dead);
    safe_free_token(t, __FILE__, __LINE__);
    // Closing the process joins its watcher: whatever it would send is in the pipe by then.
    EXPECT_TRUE(registry.close_process(pid));
    EXPECT_NE(0, m_center.eproc_receive_timeout(reinterpret_cast<Pimo::byte_t*>(&t), 0.0));  // exactly one
    remove_pipes_of(pid);
}

TEST_F(registry_test, the_packet_is_released_when_the_center_pipe_is_shut_down) {
    kova_test::child_process app = start_app();
    const int pid = app.pid();
    {
        class_object_manager registry(c_domain);
        ASSERT_TRUE(registry.open_object_pipe(5, pid));
        m_center.proc_shutdown();
        app.send_line("die");
        EXPECT_EQ(0, app.wait());
        auto* listen = static_cast<Kova::General_Center::IPC::class_process_listen_center_ipc*>(
            registry.get_process_listen_pipe(pid));
        EXPECT_TRUE(kova_test::wait_until([&] { return listen->is_gone(); }, 10.0));
    }  // closing the registry joins the watcher, fired or not
    EXPECT_EQ(m_base, m_memory.get_alloc_count());
    remove_pipes_of(pid);
}

}  // namespace
