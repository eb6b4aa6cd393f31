// Settings of the service's ini file: what a missing or unusable value falls back to.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "Kova/General_Service/Global/class_packet_log.h"
#include "Kova/General_Service/Global/kova_service_global.h"
#include "test_process.h"

using namespace Kova::General_Service::Global;

namespace {

class ini_file {
public:
    explicit ini_file(const std::string& in_text) : m_path("/tmp/" + kova_test::unique_name("kova.ini")) {
        std::ofstream(m_path) << in_text;
    }
    ~ini_file() { std::remove(m_path.c_str()); }
    const char* path() const { return m_path.c_str(); }

private:
    std::string m_path;
};

}  // namespace

TEST(service_settings, memory_size_falls_back_to_the_default_and_is_a_multiple_of_8) {
    struct {
        const char* text;
        unsigned expected;
    } cases[] = {
        {"[KOVA]\nMEMSIZE=16777216\n", 16777216u},
        {"[KOVA]\nMEMSIZE=16777223\n", 16777216u},      // rounded down
        {"[KOVA]\nLOG=yes\n", c_default_memory_size},    // no key
        {"[KOVA]\nMEMSIZE=big\n", c_default_memory_size},
        {"[KOVA]\nMEMSIZE=0x1000000\n", c_default_memory_size},  // decimal only
        {"[KOVA]\nMEMSIZE=-4096\n", c_default_memory_size},
        {"[KOVA]\nMEMSIZE=64\n", c_default_memory_size},          // no room for a heap
        {"[OTHER]\nMEMSIZE=16777216\n", c_default_memory_size},
        {"not an ini [file\n", c_default_memory_size},
    };
    for (const auto& c : cases) {
        ini_file f(c.text);
        EXPECT_EQ(get_memory_size(f.path()), c.expected) << c.text;
    }
    EXPECT_EQ(get_memory_size("/nonexistent/kova.ini"), 0x28000000u);
}

TEST(service_settings, log_settings_are_on_unless_they_say_no) {
    struct {
        const char* text;
        bool log, time, command, information;
    } cases[] = {
        {"[KOVA]\n", true, false, true, true},
        {"[KOVA]\nLOG=No\nCOMMAND_LOG=no\nINFORMATION_LOG=NO\n", false, false, false, false},
        {"[KOVA]\nLOG=TIME\nCOMMAND_LOG=false\nINFORMATION_LOG=\n", true, true, true, true},
        {"[KOVA]\nLOG=yes\nINFORMATION_LOG=no\n", true, false, true, false},
    };
    for (const auto& c : cases) {
        ini_file f(c.text);
        const struct_log_settings s = struct_log_settings::read(f.path());
        EXPECT_EQ(s.log, c.log) << c.text;
        EXPECT_EQ(s.time, c.time) << c.text;
        EXPECT_EQ(s.command, c.command) << c.text;
        EXPECT_EQ(s.information, c.information) << c.text;
    }
    const struct_log_settings none = struct_log_settings::read("/nonexistent/kova.ini");
    EXPECT_TRUE(none.log && !none.time && none.command && none.information);
}
