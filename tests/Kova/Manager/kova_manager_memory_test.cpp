// The memory commands against the host's packet memory, in private hosts: a probe creates the
// memory as the service would, with a small size.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "manager_test_support.h"
#include "private_host.h"
#include "test_process.h"

using namespace kova_test;

namespace {

const std::string c_head = "Kova General Manager - packet memory and center console\n\n";
const std::string c_prompt = "Kova Memory Manager> ";
const std::string c_not_running = "미들웨어 서비스 관리자가 동작하고 있지 않습니다.\n";
constexpr unsigned c_memsize = 65536;

std::string read_text(const std::string& in_path) {
    std::ifstream f(in_path, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

class manager_host : public ::testing::Test {
protected:
    void SetUp() override {
        std::string why;
        if (!private_host::available(&why)) GTEST_SKIP() << why;
        ASSERT_TRUE(m_host.start());
        char tmpl[] = "/tmp/kova_manager_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        m_dir = tmpl;
    }
    void TearDown() override {
        m_service.close_input();
        m_host.stop();
        if (!m_dir.empty()) std::system(("rm -rf '" + m_dir + "'").c_str());
    }

    void start_service() {
        m_service = m_host.spawn({probe_path("probe_manager_host"), "service", std::to_string(c_memsize)});
        ASSERT_TRUE(m_service.wait_for_line("ready 0", 20.0)) << m_service.output();
    }
    void service(const std::string& in_command, const std::string& in_answer) {
        m_service.send_line(in_command);
        ASSERT_TRUE(m_service.wait_for_line(in_answer, 20.0)) << in_command << ":\n" << m_service.output();
    }
    // The prompt fed with in_input in directory in_cwd; its output after the banner.
    std::string manager(const std::string& in_input, const std::string& in_cwd = "") {
        child_process c = m_host.spawn({manager_program()}, in_cwd.empty() ? m_dir : in_cwd);
        std::istringstream lines(in_input);
        for (std::string l; std::getline(lines, l);) c.send_line(l);
        c.close_input();
        EXPECT_EQ(c.wait(20.0), 0) << c.output();
        const std::string out = c.output();
        EXPECT_EQ(out.compare(0, c_head.size(), c_head), 0) << out;
        return out.size() >= c_head.size() ? out.substr(c_head.size()) : out;
    }
    std::string subdir(const std::string& in_name) {
        const std::string d = m_dir + "/" + in_name;
        mkdir(d.c_str(), 0755);
        return d;
    }

    private_host m_host;
    child_process m_service;
    std::string m_dir;
};

}  // namespace

TEST_F(manager_host, memory_commands_without_a_service_say_it_is_not_running) {
    std::string expected;
    for (const char* cmd : {"remain", "acount", "reset", "mem", "mm", "mmf"})
        expected += c_prompt + cmd + " \n" + c_not_running;
    EXPECT_EQ(manager("remain\nacount\nreset\nmem\nmm\nmmf\nexit\n"), expected + c_prompt);
    EXPECT_NE(access((m_dir + "/shared_memory.dump").c_str(), F_OK), 0);

    child_process one = m_host.spawn({manager_program(), "remain"});
    ASSERT_TRUE(one.wait_for_line("please enter key.", 20.0)) << one.output();
    one.send_line("");
    EXPECT_EQ(one.wait(20.0), 0);
    EXPECT_EQ(one.output(), c_head + "remain \n" + c_not_running + "please enter key.\n");
}

TEST_F(manager_host, counters_status_and_reset_of_a_running_memory) {
    start_service();
    const std::string fresh_counters = "reset_acount = 1, remain = 65024, alloc_count = 0, refer_count = 0\n";
    const std::string fresh_status = "T=65024,F=65024,L=1,P=1,X=false\n" + fresh_counters + "\n";
    EXPECT_EQ(manager("remain\nacount\nmem\n  mm\nexit\n"),
              c_prompt + "remain \nremain = 65024\n" + c_prompt + "acount \nacount = 0\n" + c_prompt + "mem \n" +
                  fresh_status + c_prompt + "mm \n" + fresh_status + c_prompt);

    service("header 1 3", "alloc 0");
    EXPECT_EQ(manager("acount\nremain\n"),
              c_prompt + "acount \nacount = 1\n" + c_prompt + "remain \nremain = 64688\n" + c_prompt);
    EXPECT_EQ(manager("reset\nmem\n"), c_prompt + "reset \n" + c_prompt + "mem \n" +
                                            "T=65024,F=65024,L=1,P=1,X=false\n"
                                            "reset_acount = 2, remain = 65024, alloc_count = 0, refer_count = 0\n\n" +
                                            c_prompt);
    service("counters", "reset_count 2 alloc_count 0");
}

TEST_F(manager_host, mmf_writes_the_dump_that_dd_analyses) {
    start_service();
    const std::string fresh = subdir("fresh");
    const std::string out = manager("mmf\ndd\n", fresh);
    struct stat st;
    ASSERT_EQ(stat((fresh + "/shared_memory.dump").c_str(), &st), 0);
    EXPECT_EQ(st.st_size, static_cast<off_t>(c_memsize));
    EXPECT_EQ(out.find(c_prompt + "mmf \nT=65024,F=65024\n"
                                  "reset_acount = 1, remain = 65024, alloc_count = 0, refer_count = 0\n\n" +
                       c_prompt + "dd \nshared_memory.dump analyze.\n"
                                  "free = 65024\nalloc = 0\nalloc_count = 0\nrefer_count = 0\nreset_count = 1\nblock 0x"),
              0u)
        << out;
    EXPECT_NE(out.find("  key=65024 -------------\nblock next = 0(allocated block)\nblock prev = 0\nblock ref = 0\n"
                       "block alloc_size=3452816845\n"),
              std::string::npos)
        << out;
    EXPECT_EQ(out.find("detected durty block"), std::string::npos) << out;
    EXPECT_NE(out.find("block_it overflow\nend block\n" + c_prompt), std::string::npos) << out;

    service("header 1 5", "alloc 0");
    service("data 100", "alloc 0");
    service("hurt", "hurt");
    const std::string used = subdir("used");
    const std::string dd = manager("mmf\ndd " + used + "/shared_memory.dump\n", used);
    EXPECT_NE(dd.find("alloc_count = 2\nrefer_count = 2\nreset_count = 1\n"), std::string::npos) << dd;
    EXPECT_NE(dd.find("block ref = 1\nblock alloc_size=72\nblock trailer = 01234567\nblock is for header\n"
                      "block src = 192.168.7.1:7200\nblock dst = 127.0.0.1:7100\nblock type = control\n"
                      "block code = 0005(c_mccr_process_destroy)\nblock pksize = 0\n"),
              std::string::npos)
        << dd;
    const size_t banner = dd.find("************************ detected durty block *****\nblock len.key = 184\n");
    const size_t data = dd.find("block alloc_size=172\nblock trailer = 2551234567\nblock is data , pk_size is about 100\n"
                                "block src = 192.168.7.1:7200\nblock dst = 127.0.0.1:7100\nblock type = call\n"
                                "block code = BEEF(ICD)\nblock pksize = 100\n");
    ASSERT_NE(banner, std::string::npos) << dd;
    ASSERT_NE(data, std::string::npos) << dd;
    EXPECT_LT(banner, data);
    EXPECT_NE(dd.find("block_it overflow\nend block\n"), std::string::npos) << dd;
}

TEST_F(manager_host, mmf_does_not_follow_a_symbolic_link) {
    start_service();
    const std::string target = m_dir + "/precious";
    std::ofstream(target) << "keep";
    ASSERT_EQ(symlink(target.c_str(), (m_dir + "/shared_memory.dump").c_str()), 0);
    EXPECT_EQ(manager("mmf\n"), c_prompt + "mmf \nT=65024,F=65024\n"
                                           "reset_acount = 1, remain = 65024, alloc_count = 0, refer_count = 0\n\n" +
                                    c_prompt);
    EXPECT_EQ(read_text(target), "keep");
    struct stat st;
    ASSERT_EQ(lstat((m_dir + "/shared_memory.dump").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
}
