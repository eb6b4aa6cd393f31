#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <thread>

#include "Pimo/Utility/pimo_ini_file.h"

using namespace Pimo::Utility;

namespace {

// One ini file in a directory of its own, removed afterwards.
class ini_file : public ::testing::Test {
protected:
    void SetUp() override {
        char dir[] = "/tmp/kova_ini_XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        m_dir = dir;
        m_path = m_dir + "/kova.ini";
        std::ofstream(m_path) << "[KOVA]\n"
                                 "MEMSIZE=1024\n"
                                 "NEGATIVE=-5\n"
                                 "HEX=0x28000000\n"
                                 "WORD=abc\n"
                                 "TRAILING=12abc\n"
                                 "EMPTY=\n"
                                 "LOG=No\n"
                                 "CAPS=TIME\n"
                                 "MIXED=YeS\n"
                                 "[OTHER]\n"
                                 "ONLY_HERE=7\n";
        m_bad = m_dir + "/bad.ini";
        std::ofstream(m_bad) << "[KOVA\nMEMSIZE=1\n";
    }
    void TearDown() override {
        unlink(m_path.c_str());
        unlink(m_bad.c_str());
        rmdir(m_dir.c_str());
    }
    std::string missing() const { return m_dir + "/absent.ini"; }

    std::string m_dir, m_path, m_bad;
};

}  // namespace

TEST_F(ini_file, integers_are_decimal_and_every_failure_yields_the_default) {
    struct row { std::string path; const char* key; int expected; };
    const row rows[] = {
        {m_path, "MEMSIZE", 1024},
        {m_path, "NEGATIVE", -5},
        {m_path, "ABSENT", 42},     // missing key
        {m_path, "ONLY_HERE", 42},  // present in another section only
        {m_path, "WORD", 42},       // not a number
        {m_path, "TRAILING", 42},
        {m_path, "EMPTY", 42},
        {m_path, "HEX", 42},        // hexadecimal is not read
        {missing(), "MEMSIZE", 42},
        {m_bad, "MEMSIZE", 42},     // not ini text
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.path + " " + r.key);
        EXPECT_EQ(get_integer_from_ini_file(r.path.c_str(), "KOVA", r.key, 42), r.expected);
    }
    EXPECT_EQ(get_integer_from_ini_file(m_path.c_str(), "OTHER", "ONLY_HERE", 0), 7);
}

TEST_F(ini_file, strings_come_lower_case_and_failures_give_the_default_unchanged) {
    struct row { std::string path; const char* key; const char* expected; };
    const row rows[] = {
        {m_path, "LOG", "no"},
        {m_path, "CAPS", "time"},
        {m_path, "MIXED", "yes"},
        {m_path, "EMPTY", ""},
        {m_path, "ABSENT", "No"},
        {missing(), "LOG", "No"},
        {m_bad, "LOG", "No"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.path + " " + r.key);
        EXPECT_STREQ(get_lwr_string_from_ini_file(r.path.c_str(), "KOVA", r.key, "No"), r.expected);
    }
}

TEST_F(ini_file, comparison_ignores_case_and_failures_count_as_yes) {
    struct row { std::string path; const char* key; const char* compare; bool expected; };
    const row rows[] = {
        {m_path, "LOG", "NO", true},
        {m_path, "LOG", "no", true},
        {m_path, "LOG", "yes", false},
        {m_path, "CAPS", "time", true},
        {m_path, "MIXED", "YES", true},
        {m_path, "ABSENT", "yes", true},
        {m_path, "ABSENT", "NO", false},
        {missing(), "LOG", "YES", true},
        {missing(), "LOG", "no", false},
        {m_bad, "LOG", "yes", true},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.path + " " + r.key + " " + r.compare);
        EXPECT_EQ(compare_from_ini_file(r.path.c_str(), "KOVA", r.key, r.compare), r.expected);
    }
}

TEST_F(ini_file, string_result_is_per_thread) {
    const char* mine = get_lwr_string_from_ini_file(m_path.c_str(), "KOVA", "CAPS", "");
    std::thread([this] { get_lwr_string_from_ini_file(m_path.c_str(), "KOVA", "LOG", ""); }).join();
    EXPECT_STREQ(mine, "time");
}
