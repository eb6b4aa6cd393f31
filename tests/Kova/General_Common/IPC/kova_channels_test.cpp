#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <string>

#include "Kova/Common/Global/kova_global.h"
#include "Kova/Common/Global/kova_send.h"
#include "Kova/Common/Interface/struct_token.h"
#include "Kova/Common/Open/Kova/kova_err.h"
#include "Kova/General_Common/IPC/abstract_center_ipc.h"
#include "Kova/General_Common/IPC/class_debug_ipc.h"
#include "Kova/General_Common/IPC/class_process_listen_ipc.h"
#include "Kova/General_Common/IPC/class_process_return_ipc.h"
#include "Kova/General_Common/IPC/class_service_ipc.h"
#include "Kova/General_Common/IPC/kova_named_objects.h"
#include "Kova/General_Common/IPC/struct_service_token.h"
#include "Pimo/IPC/class_shared_pipe.h"
#include "test_process.h"

using namespace Kova;
using namespace Kova::General_Common::IPC;
using kova_test::child_process;
using Pimo::OS::vimra_err_t;

namespace {

// A domain of its own per test process, so that parallel tests never share a center pipe.
domain_t test_domain() {
    static std::atomic<int> counter{0};
    return static_cast<domain_t>(20000 + (getpid() * 7 + counter++) % 40000);
}

void remove_pipe(const std::string& in_name) {
    kova_test::remove_shm_containing(in_name + "pipe");
    kova_test::remove_shm_containing(in_name + "observer");
}

// A channel user that notes when the creator at the other end has gone.
template <typename Base>
class watching : public Base {
public:
    std::atomic<bool> m_fired{false};
    void* on_destroy() override {
        m_fired = true;
        return nullptr;
    }
};
typedef watching<abstract_center_ipc> watching_center_ipc;
typedef watching<class_process_listen_ipc> watching_listen_ipc;

using kova_test::wait_until;

struct_token token_of(std::uint32_t in_header, std::uint32_t in_data) {
    struct_token t;
    t.header_mm = in_header;
    t.data_mm = in_data;
    return t;
}

class center_pipe_fixture : public testing::Test {
protected:
    void SetUp() override {
        m_domain = test_domain();
        m_name = abstract_center_ipc::get_name(m_domain);
        remove_pipe(m_name);
    }
    void TearDown() override {
        Common::Global::gp_center_pipe = nullptr;
        remove_pipe(m_name);
    }
    child_process start_center() {
        child_process c = kova_test::start_probe("probe_kova_channels", {"center", std::to_string(m_domain)});
        EXPECT_TRUE(c.wait_for_line("created 0"));
        return c;
    }

    domain_t m_domain = 0;
    std::string m_name;
};

}  // namespace

TEST(channel_names, names_of_the_host_objects) {
    EXPECT_EQ("kova_center_ipc7000", abstract_center_ipc::get_name(7000));
    EXPECT_EQ("kova_process_listen_ipc_4242", class_process_listen_ipc::get_name(4242));
    EXPECT_EQ("kova_process_return_ipc4242", class_process_return_ipc::get_name(4242));
    EXPECT_EQ("Kova_Center_KILLER_7000", get_center_killer_name(7000));
    EXPECT_EQ("kova_object_7000_32769", get_object_lock_name(7000, 0x8001));
    EXPECT_STREQ("kova_service_ipc", class_service_ipc::str_name);
    EXPECT_STREQ("kova_debug_ipc", class_debug_ipc::str_name);
    EXPECT_STREQ("kova_center_ipc", abstract_center_ipc::str_name);
    EXPECT_STREQ("kova_process_listen_ipc", class_process_listen_ipc::c_str_name);
    EXPECT_STREQ("kova_process_return_ipc", class_process_return_ipc::c_str_name);
    EXPECT_EQ(32u, abstract_center_ipc::c_depth);
    EXPECT_EQ(16u, class_service_ipc::c_depth);
    EXPECT_EQ(65536u, class_debug_ipc::c_depth);
}

TEST(channel_objects, debug_channel_publishes_itself_while_it_exists) {
    EXPECT_EQ(nullptr, Common::Global::gp_debug_ipc);
    {
        class_debug_ipc debug;
        EXPECT_EQ(&debug, Common::Global::gp_debug_ipc);
        // Never made live: every send is refused without touching a ring.
        const std::string absent = kova_test::unique_name("nodebug");
        EXPECT_EQ(Pimo::OS::c_vimra_not_created, debug.eproc_open(absent.c_str()));
        char record[784] = {};
        EXPECT_NE(Pimo::OS::c_vimra_success,
                  Common::Global::gp_debug_ipc->eproc_send(reinterpret_cast<const Pimo::byte_t*>(record), 0));
        debug.proc_close();
        kova_test::remove_shm_containing(absent);
    }
    EXPECT_EQ(nullptr, Common::Global::gp_debug_ipc);
}

// The service with LOG=no makes no row of 'A' and 'F' records and says so beside the channel;
// an opener then sends none of them. Every other kind, and everything where nothing is said (a
// service that does not publish the word), goes as before.
TEST(channel_objects, an_opener_sends_no_block_traces_where_the_creator_makes_no_rows_of_them) {
    struct row {
        const char* what;
        bool published, logged;
        bool block_traces_sent;
    } rows[] = {{"LOG=yes", true, true, true}, {"LOG=no", true, false, false}, {"no word", false, false, true}};
    for (const row& r : rows) {
        SCOPED_TRACE(r.what);
        const std::string name = kova_test::unique_name("dbgswitch");
        Pimo::IPC::class_shared_pipe unaware_creator;
        class_debug_ipc creator;
        if (r.published)
            ASSERT_EQ(Pimo::OS::c_vimra_success, creator.eproc_create(64, name.c_str(), r.logged));
        else
            ASSERT_EQ(Pimo::OS::c_vimra_success, unaware_creator.eproc_create(name.c_str(), 64, 784));
        {
            class_debug_ipc opener;
            ASSERT_EQ(Pimo::OS::c_vimra_success, opener.eproc_open(name.c_str()));
            for (char kind : {'A', 'F', 'C', 'K', 'Z'}) {
                const bool sent = kind == 'A' || kind == 'F' ? r.block_traces_sent : true;
                EXPECT_EQ(sent, Common::Global::is_debug_kind_wanted(kind)) << kind;
                Common::Global::kova_debug_send(kind, struct_token(), "f", 1, "t");
                EXPECT_EQ(sent ? 1u : 0u, opener.get_size()) << kind;
                char record[784];
                while (opener.eproc_pop(reinterpret_cast<Pimo::byte_t*>(record)) == Pimo::OS::c_vimra_success) {
                }
            }
            opener.proc_close();
            EXPECT_TRUE(Common::Global::is_debug_kind_wanted('F')) << "a closed channel leaves the word behind";
        }
        creator.proc_destroy();
        unaware_creator.proc_destroy();
        kova_test::remove_shm_containing(name);
    }
}

TEST_F(center_pipe_fixture, tokens_reach_the_center_and_results_map) {
    child_process center = start_center();
    watching_center_ipc pipe;
    ASSERT_EQ(Pimo::OS::c_vimra_success, pipe.eproc_open(m_domain));
    EXPECT_EQ(m_domain, pipe.domain);
    EXPECT_EQ(32u, pipe.get_capacity());
    EXPECT_EQ(8u, pipe.get_elem_size());
    Common::Global::gp_center_pipe = &pipe;

    struct_token t = token_of(0x1000, 0x2000);
    ASSERT_EQ(c_kova_success, Common::Global::send_kova_center(t));
    center.send_line("recv");
    EXPECT_TRUE(center.wait_for_line("token 0 4096 8192"));

    // Full: busy, and the token stays with the caller.
    for (int i = 0; i < 32; ++i) ASSERT_EQ(c_kova_success, Common::Global::send_kova_center(t)) << i;
    EXPECT_EQ(c_kova_err_center_busy, Common::Global::send_kova_center(t));
    EXPECT_EQ(0x1000u, t.header_mm);

    // The center dies with its pipe full: once the watch has fired the center counts as shut down.
    center.send_line("die");
    EXPECT_EQ(0, center.wait());
    ASSERT_TRUE(wait_until(pipe.m_fired, 10.0));
    EXPECT_EQ(c_kova_err_center_shutdown, Common::Global::send_kova_center(t));
    pipe.proc_close();
}

TEST_F(center_pipe_fixture, shut_down_center_pipe) {
    child_process center = start_center();
    watching_center_ipc pipe;
    ASSERT_EQ(Pimo::OS::c_vimra_success, pipe.eproc_open(m_domain));
    Common::Global::gp_center_pipe = &pipe;
    center.send_line("shutdown");
    ASSERT_TRUE(center.wait_for_line("shutdown"));
    struct_token t = token_of(1, 0);
    EXPECT_EQ(c_kova_err_center_shutdown, Common::Global::send_kova_center(t));
    center.send_line("exit");
    EXPECT_EQ(0, center.wait());
    pipe.proc_close();
}

TEST_F(center_pipe_fixture, center_pipe_that_never_opened) {
    // Nobody created this domain's pipe: the open fails and sends are refused.
    watching_center_ipc pipe;
    EXPECT_EQ(Pimo::OS::c_vimra_not_created, pipe.eproc_open(m_domain));
    Common::Global::gp_center_pipe = &pipe;
    struct_token t = token_of(1, 2);
    EXPECT_EQ(c_kova_err_center_shutdown, Common::Global::send_kova_center(t));
    EXPECT_EQ(1u, t.header_mm);
    pipe.proc_close();

    // A second center of the same domain is refused while the first lives.
    child_process center = start_center();
    abstract_center_ipc second;
    EXPECT_EQ(Pimo::OS::c_vimra_already_exists, second.eproc_create(m_domain, abstract_center_ipc::c_depth));
    center.send_line("exit");
    EXPECT_EQ(0, center.wait());
}

TEST(process_pipes, center_writes_an_application_and_watches_it) {
    child_process app = kova_test::start_probe("probe_kova_channels", {"app"});
    ASSERT_TRUE(app.wait_for_line("created 0 0"));
    const Pimo::OS::process_id_t pid = app.pid();
    const std::string listen_name = class_process_listen_ipc::get_name(pid);
    const std::string return_name = class_process_return_ipc::get_name(pid);

    watching_listen_ipc listen;
    class_process_return_ipc ret;
    ASSERT_EQ(Pimo::OS::c_vimra_success, listen.eproc_open(pid));
    ASSERT_EQ(Pimo::OS::c_vimra_success, ret.eproc_open(pid));
    EXPECT_EQ(pid, listen.m_process_id);
    EXPECT_EQ(16u, listen.get_capacity());
    EXPECT_EQ(16u, ret.get_capacity());

    struct_token a = token_of(11, 12), b = token_of(21, 0);
    ASSERT_EQ(Pimo::OS::c_vimra_success, listen.eproc_send(reinterpret_cast<const Pimo::byte_t*>(&a), 0));
    ASSERT_EQ(Pimo::OS::c_vimra_success, ret.eproc_send(reinterpret_cast<const Pimo::byte_t*>(&b), 0));
    app.send_line("recv listen");
    EXPECT_TRUE(app.wait_for_line("token 0 11 12"));
    app.send_line("recv return");
    EXPECT_TRUE(app.wait_for_line("token 0 21 0"));

    // A push limited to 16 is refused at 16 queued tokens.
    for (int i = 0; i < 16; ++i)
        ASSERT_EQ(Pimo::OS::c_vimra_success, listen.eproc_push(reinterpret_cast<const Pimo::byte_t*>(&a), 16));
    EXPECT_EQ(Pimo::OS::c_vimra_busy, listen.eproc_push(reinterpret_cast<const Pimo::byte_t*>(&a), 16));

    app.kill_now();
    app.wait();
    EXPECT_TRUE(wait_until(listen.m_fired, 10.0));
    listen.proc_close();
    ret.proc_close();
    remove_pipe(listen_name);
    remove_pipe(return_name);
}

TEST(service_pipe, service_tokens_reach_the_service) {
    const std::string name = kova_test::unique_name("kova_service_ipc");
    child_process service = kova_test::start_probe("probe_kova_channels", {"service", name});
    ASSERT_TRUE(service.wait_for_line("created 0"));
    class_service_ipc pipe;
    ASSERT_EQ(Pimo::OS::c_vimra_success, pipe.eproc_open(name.c_str()));
    EXPECT_EQ(4u, pipe.get_elem_size());
    EXPECT_EQ(16u, pipe.get_capacity());
    struct_service_token s{};
    s.domain = 7000;
    s.msg = struct_service_token::c_msg_center_up;
    ASSERT_EQ(Pimo::OS::c_vimra_success, pipe.eproc_send(reinterpret_cast<const Pimo::byte_t*>(&s), 0));
    service.send_line("recv");
    EXPECT_TRUE(service.wait_for_line("service 0 7000 1"));
    service.send_line("exit");
    EXPECT_EQ(0, service.wait());
    pipe.proc_close();
    remove_pipe(name);
}
