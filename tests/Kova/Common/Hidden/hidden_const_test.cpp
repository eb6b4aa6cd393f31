#include "Kova/Common/Hidden/hidden_const.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <string>
#include <thread>

#include "Kova/Common/Open/Kova/kova_const.h"

using namespace Kova;

namespace {

std::string hex(unsigned in_value, int in_digits) {
    char text[16];
    std::snprintf(text, sizeof(text), "0x%0*x", in_digits, in_value);
    return text;
}

}  // namespace

TEST(get_type_str, every_value) {
    const std::map<int, std::string> named = {
        {0, "null"}, {1, "control"}, {2, "control return"}, {16, "broadcast"}, {32, "signal"},
        {33, "signal return"}, {34, "signal error return"}, {35, "signal cancel"}, {48, "call"},
        {49, "call return"}, {50, "call error return"}, {51, "call cancel"}, {64, "event connect"},
        {65, "event confirm"}, {66, "event reject"}, {67, "event shutdown"}, {68, "event disconnect"},
        {69, "event"}, {80, "command connect"}, {82, "command confirm"}, {83, "command reject"},
        {84, "command shutdown"}, {85, "command disconnect"}, {86, "command tcp"}, {87, "command udp"},
        {96, "information tcp connect"}, {97, "information tcp confirm"}, {98, "information tcp reject"},
        {99, "information tcp disconnect"}, {100, "information tcp shutdown"}, {101, "information tcp"},
        {113, "information udp connect"}, {114, "information udp confirm"}, {115, "information udp reject"},
        {116, "information udp disconnect"}, {117, "information udp shutdown"}, {118, "information_udp"},
    };
    for (int v = 0; v < 256; ++v) {
        auto it = named.find(v);
        const std::string want = it != named.end() ? it->second : hex(v, 2);
        EXPECT_EQ(want, get_type_str(static_cast<msg_type_t>(v))) << v;
    }
    // The values the table deliberately leaves unnamed.
    const std::map<int, std::string> unnamed = {{3, "0x03"},  {4, "0x04"},  {5, "0x05"}, {36, "0x24"},
                                                {52, "0x34"}, {81, "0x51"}, {255, "0xff"}};
    for (const auto& e : unnamed) EXPECT_STREQ(e.second.c_str(), get_type_str(e.first));
}

TEST(get_ctrl_code_str, every_value) {
    const std::map<unsigned, std::string> named = {
        {0, "c_mc_null"}, {1, "c_mccr_run_object"}, {2, "c_mccr_terminate_object"},
        {3, "c_mccr_object_create"}, {4, "c_mccr_object_destroy"}, {5, "c_mccr_process_destroy"},
        {0x8000, "c_mccr_center_shutdown"}, {0x8002, "c_mccr_object_request"},
        {0x8003, "c_mccr_node_create"}, {0x8004, "c_mccr_node_destroy"},
        {0x8005, "c_mccr_tcp_connected_from_client"}, {0x8006, "c_mccr_tcp_disconnected_from_client"},
        {0x8007, "c_mccr_tcp_connected_to_server"}, {0x8008, "c_mccr_tcp_disconnected_from_server"},
    };
    for (unsigned v = 0; v < 0x10000; ++v) {
        auto it = named.find(v);
        const std::string want = it != named.end() ? it->second : hex(v, 4);
        ASSERT_EQ(want, get_ctrl_code_str(static_cast<msg_code_t>(v))) << v;
    }
    EXPECT_STREQ("0x8001", get_ctrl_code_str(0x8001));
    EXPECT_STREQ("0x0006", get_ctrl_code_str(6));
    EXPECT_STREQ("0xffff", get_ctrl_code_str(0xFFFF));
    // QoS codes show under the control name of the same value.
    EXPECT_STREQ("c_mccr_run_object", get_ctrl_code_str(c_mcqos_set_qos));
}

TEST(display_names, buffers_are_per_thread_and_per_function) {
    const char* first = get_type_str(3);
    const char* code = get_ctrl_code_str(0x8001);
    EXPECT_STREQ("0x03", first);
    const char* second = get_type_str(81);
    EXPECT_EQ(first, second);  // one buffer per thread: the second call overwrote the first
    EXPECT_STREQ("0x51", first);
    EXPECT_STREQ("0x8001", code);  // the other function's buffer is untouched

    std::string other_text;
    const char* other_ptr = nullptr;
    std::thread t([&] {
        other_ptr = get_type_str(200);
        other_text = other_ptr;
    });
    t.join();
    EXPECT_NE(first, other_ptr);
    EXPECT_EQ("0xc8", other_text);
    EXPECT_STREQ("0x51", first);
}
