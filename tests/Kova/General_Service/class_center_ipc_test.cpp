// The service's watcher of a center, against a real center pipe whose creator goes away while
// the service channel is full.
#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>

#include "Kova/General_Common/IPC/abstract_center_ipc.h"
#include "Kova/General_Common/IPC/class_service_ipc.h"
#include "Kova/General_Common/IPC/struct_service_token.h"
#include "Kova/General_Service/IPC/class_center_ipc.h"
#include "test_process.h"

using namespace Kova;
using namespace Kova::General_Common::IPC;
using Kova::General_Service::IPC::class_center_ipc;
using kova_test::child_process;

namespace {

// Center pipes have host-wide names: a domain of this test run, cleared before and after.
domain_t test_domain() {
    static std::atomic<int> counter{0};
    return static_cast<domain_t>(20000 + (getpid() * 11 + counter++) % 40000);
}

// The service channel, counting the sends it refused for want of room.
class counting_service_ipc : public class_service_ipc {
public:
    Pimo::OS::vimra_err_t eproc_send(const Pimo::byte_t* in_elem, size_t in_min) override {
        const Pimo::OS::vimra_err_t r = class_service_ipc::eproc_send(in_elem, in_min);
        if (r == Pimo::OS::c_vimra_busy) ++m_refused;
        return r;
    }
    std::atomic<int> m_refused{0};
};

class full_service_channel : public testing::Test {
protected:
    void SetUp() override {
        m_domain = test_domain();
        clear();
        ASSERT_EQ(m_service.eproc_create(class_service_ipc::c_depth, m_name.c_str()), 0);
        m_center = kova_test::start_probe("probe_kova_channels", {"center", std::to_string(m_domain)});
        ASSERT_TRUE(m_center.wait_for_line("created 0"));
        ASSERT_EQ(m_watcher.eproc_open(m_domain), 0);
        const struct_service_token filler{1, 9};
        while (m_service.eproc_send(reinterpret_cast<const Pimo::byte_t*>(&filler), 0) == 0) ++m_fillers;
        ASSERT_GT(m_fillers, 0);
        m_service.m_refused = 0;
    }
    void TearDown() override {
        m_watcher.proc_close();
        m_service.proc_destroy();
        clear();
    }
    void clear() {
        const std::string center = abstract_center_ipc::get_name(m_domain);
        kova_test::remove_shm_containing(center + "pipe");
        kova_test::remove_shm_containing(center + "observer");
        kova_test::remove_shm_containing(m_name);
    }
    struct_service_token take() {
        struct_service_token t{0, 0};
        EXPECT_EQ(m_service.eproc_receive_timeout(reinterpret_cast<Pimo::byte_t*>(&t), 10.0), 0);
        return t;
    }

    domain_t m_domain = 0;
    std::string m_name = kova_test::unique_name("svc");
    counting_service_ipc m_service;
    class_center_ipc m_watcher{&m_service};
    child_process m_center;
    int m_fillers = 0;
};

}  // namespace

TEST_F(full_service_channel, the_gone_notice_waits_for_room_instead_of_being_lost) {
    m_center.send_line("die");
    ASSERT_EQ(m_center.wait(), 0);
    // The watcher, which tries once a second, has fired and met the full channel.
    ASSERT_TRUE(kova_test::wait_until([&] { return m_service.m_refused > 0; }, 10.0));
    EXPECT_EQ(take().msg, 9);
    for (int i = 1; i < m_fillers; ++i) EXPECT_EQ(take().msg, 9);
    const struct_service_token notice = take();
    EXPECT_EQ(notice.domain, m_domain);
    EXPECT_EQ(notice.msg, struct_service_token::c_msg_center_gone);
}

TEST_F(full_service_channel, closing_a_watcher_that_fired_stops_its_retries_and_joins_it) {
    m_center.send_line("die");
    ASSERT_EQ(m_center.wait(), 0);
    ASSERT_TRUE(kova_test::wait_until([&] { return m_service.m_refused > 0; }, 10.0));
    const double start = kova_test::now_s();
    m_watcher.proc_close();
    EXPECT_LT(kova_test::now_s() - start, 1.0);
    // Nothing was squeezed in after the close.
    for (int i = 0; i < m_fillers; ++i) EXPECT_EQ(take().msg, 9);
    EXPECT_TRUE(m_service.test_empty());
}
