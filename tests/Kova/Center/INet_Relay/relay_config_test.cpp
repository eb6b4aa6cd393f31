// The relay's nine configuration keys: defaults without a file, yes/no and integer parsing,
// and a readable file that lacks a key.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "Kova/Center/INet_Relay/EPoll/epoll_global.h"
#include "Kova/Center/INet_Relay/inet_relay.h"
#include "test_process.h"

namespace {

using namespace Kova::Center::INet_Relay;
using namespace Kova::Center::INet_Relay::EPoll;

std::string write_ini(const std::string& in_auto, const std::string& in_backlog, bool in_with_linger_time = true,
                      const std::string& in_extra = "") {
    const std::string path = "/tmp/" + kova_test::unique_name("relay_ini") + ".ini";
    std::ofstream f(path);
    f << "[KOVA]\nAUTO_DISCONNECT=" << in_auto << "\nSERVER_SOCKET_REUSE=no\nSERVER_LISTEN_BACKLOG=" << in_backlog
      << "\nSERVER_LINGER_USE=yes\n";
    if (in_with_linger_time) f << "SERVER_LINGER_TIME=77\n";
    f << "SERVER_NAGLE_OFF_USE=NO\nCLIENT_LINGER_USE=Yes\nCLIENT_LINGER_TIME=88\nCLIENT_NAGLE_OFF_USE=off\n" << in_extra;
    return path;
}

TEST(relay_config, without_a_file_every_key_takes_its_default) {
    g_auto_disconnect = false;
    g_listen_backlog = 0;
    g_timeout_ms = 1;
    read_config("/nonexistent/Config/kova.ini");
    EXPECT_TRUE(g_auto_disconnect);
    EXPECT_TRUE(g_server_socket_reuse);
    EXPECT_EQ(g_listen_backlog, 5);
    EXPECT_FALSE(g_server_linger_use);
    EXPECT_EQ(g_server_linger_time, 1024);
    EXPECT_TRUE(g_server_nagle_off_use);
    EXPECT_FALSE(g_client_linger_use);
    EXPECT_EQ(g_client_linger_time, 1024);
    EXPECT_TRUE(g_client_nagle_off_use);
    EXPECT_EQ(g_timeout_ms, 8000u);
}

TEST(relay_config, a_yes_no_key_is_false_exactly_for_no_in_any_case) {
    const struct {
        const char* text;
        bool value;
    } cases[] = {{"no", false}, {"No", false}, {"NO", false}, {"yes", true}, {"false", true}, {"", true}, {"nope", true}};
    for (const auto& c : cases) {
        const std::string path = write_ini(c.text, "9");
        read_config(path.c_str());
        EXPECT_EQ(g_auto_disconnect, c.value) << "'" << c.text << "'";
        EXPECT_EQ(g_listen_backlog, 9);
        EXPECT_FALSE(g_server_socket_reuse);
        EXPECT_TRUE(g_server_linger_use);
        EXPECT_EQ(g_server_linger_time, 77);
        EXPECT_FALSE(g_server_nagle_off_use);
        EXPECT_TRUE(g_client_linger_use);
        EXPECT_EQ(g_client_linger_time, 88);
        EXPECT_TRUE(g_client_nagle_off_use) << "only \"no\" turns a key off";
        std::remove(path.c_str());
    }
}

TEST(relay_config, a_readable_file_with_a_missing_key_or_a_bad_number_fails) {
    const std::string missing = write_ini("yes", "5", false);
    EXPECT_ANY_THROW(read_config(missing.c_str()));
    std::remove(missing.c_str());
    const std::string bad = write_ini("yes", "five");
    EXPECT_ANY_THROW(read_config(bad.c_str()));
    std::remove(bad.c_str());
}

TEST(relay_config, the_connection_limit_is_8000_ms_unless_the_optional_key_sets_a_positive_number) {
    const struct {
        const char* line;  // "" leaves the key out
        bool fails;
        unsigned long limit;
    } cases[] = {{"", false, 8000},
                 {"CONNECTION_TIMEOUT_MS=2500\n", false, 2500},
                 {"CONNECTION_TIMEOUT_MS=0\n", true, 0},
                 {"CONNECTION_TIMEOUT_MS=-5\n", true, 0},
                 {"CONNECTION_TIMEOUT_MS=soon\n", true, 0}};
    for (const auto& c : cases) {
        g_timeout_ms = 1;
        const std::string path = write_ini("yes", "5", true, c.line);
        if (c.fails) {
            EXPECT_ANY_THROW(read_config(path.c_str())) << c.line;
        } else {
            read_config(path.c_str());
            EXPECT_EQ(g_timeout_ms, c.limit) << c.line;
        }
        std::remove(path.c_str());
    }
    g_timeout_ms = c_default_timeout_ms;
}

}  // namespace
