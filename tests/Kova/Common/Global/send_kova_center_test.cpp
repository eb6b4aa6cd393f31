#include "Kova/Common/Global/kova_send.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "Kova/Common/Global/kova_global.h"
#include "Kova/Common/Open/Kova/kova_err.h"

using namespace Kova;
using Pimo::OS::vimra_err_t;

namespace {

// A center pipe that answers every send with a chosen result and records what it got.
class scripted_pipe : public Pimo::IPC::interface_pipe {
public:
    vimra_err_t m_answer = Pimo::OS::c_vimra_success;
    std::vector<struct_token> m_sent;
    size_t m_last_min = 99;

    void proc_shutdown() override {}
    bool test_empty() override { return m_sent.empty(); }
    bool test_full() override { return false; }
    vimra_err_t eproc_push(const Pimo::byte_t*, size_t) override { return Pimo::OS::c_vimra_unknown; }
    vimra_err_t eproc_send(const Pimo::byte_t* in_elem, size_t in_min) override {
        m_last_min = in_min;
        if (m_answer == Pimo::OS::c_vimra_success) {
            struct_token t;
            std::memcpy(&t, in_elem, sizeof(t));
            m_sent.push_back(t);
        }
        return m_answer;
    }
    vimra_err_t eproc_receive(Pimo::byte_t*) override { return Pimo::OS::c_vimra_unknown; }
    vimra_err_t eproc_receive_timeout(Pimo::byte_t*, const double&) override { return Pimo::OS::c_vimra_unknown; }
    vimra_err_t eproc_pop(Pimo::byte_t*) override { return Pimo::OS::c_vimra_unknown; }
};

class send_kova_center_fixture : public testing::Test {
protected:
    void TearDown() override { Common::Global::gp_center_pipe = nullptr; }
    scripted_pipe m_pipe;
};

}  // namespace

TEST_F(send_kova_center_fixture, maps_pipe_results) {
    Common::Global::gp_center_pipe = &m_pipe;
    const struct {
        vimra_err_t pipe;
        kova_err_t want;
    } rows[] = {
        {Pimo::OS::c_vimra_success, c_kova_success},
        {Pimo::OS::c_vimra_shutdown, c_kova_err_center_shutdown},
        {Pimo::OS::c_vimra_busy, c_kova_err_center_busy},
        {Pimo::OS::c_vimra_unknown, c_kova_err_unknown},
        {Pimo::OS::c_vimra_timeout, c_kova_err_unknown},
        {Pimo::OS::c_vimra_not_created, c_kova_err_unknown},
    };
    for (const auto& r : rows) {
        m_pipe.m_answer = r.pipe;
        struct_token t;
        t.header_mm = 0x100;
        t.data_mm = 0x200;
        EXPECT_EQ(r.want, Common::Global::send_kova_center(t)) << r.pipe;
        EXPECT_EQ(0u, m_pipe.m_last_min);  // the pipe's whole capacity
        EXPECT_EQ(0x100u, t.header_mm);   // the caller keeps its token either way
        EXPECT_EQ(0x200u, t.data_mm);
    }
    ASSERT_EQ(1u, m_pipe.m_sent.size());
    EXPECT_EQ(0x100u, m_pipe.m_sent[0].header_mm);
    EXPECT_EQ(0x200u, m_pipe.m_sent[0].data_mm);
}

TEST_F(send_kova_center_fixture, no_center_pipe_is_a_shut_down_center) {
    Common::Global::gp_center_pipe = nullptr;
    struct_token t;
    t.header_mm = 0x100;
    EXPECT_EQ(c_kova_err_center_shutdown, Common::Global::send_kova_center(t));
    EXPECT_EQ(0x100u, t.header_mm);
}
