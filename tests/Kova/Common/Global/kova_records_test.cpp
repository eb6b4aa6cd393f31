#include <gtest/gtest.h>

#include <cstring>

#include "Kova/Common/Global/struct_debug_token.h"
#include "Kova/Common/Interface/struct_token.h"
#include "Kova/General_Common/IPC/struct_service_token.h"

using namespace Kova;

TEST(records, token_starts_empty_and_resets_without_release) {
    struct_token t;
    EXPECT_FALSE(t.has_header());
    EXPECT_FALSE(t.has_data());
    t.header_mm = 512;
    t.data_mm = 1024;
    EXPECT_TRUE(t.has_header());
    EXPECT_TRUE(t.has_data());
    t.reset_data();
    EXPECT_EQ(512u, t.header_mm);
    EXPECT_FALSE(t.has_data());
    t.reset();
    EXPECT_FALSE(t.has_header());
    unsigned char bytes[8];
    t.header_mm = 0x01020304;
    t.data_mm = 0x0A0B0C0D;
    std::memcpy(bytes, &t, 8);
    const unsigned char expected[8] = {0x04, 0x03, 0x02, 0x01, 0x0D, 0x0C, 0x0B, 0x0A};
    EXPECT_EQ(0, std::memcmp(expected, bytes, 8));
}

TEST(records, service_token_bytes) {
    General_Common::IPC::struct_service_token s;
    s.domain = 7000;
    s.msg = General_Common::IPC::struct_service_token::c_msg_center_gone;
    unsigned char bytes[4];
    std::memcpy(bytes, &s, 4);
    const unsigned char expected[4] = {0x58, 0x1B, 0x02, 0x00};
    EXPECT_EQ(0, std::memcmp(expected, bytes, 4));
}

TEST(records, debug_token_constructor_zeroes_the_token) {
    unsigned char storage[sizeof(struct_debug_token)];
    std::memset(storage, 0xEE, sizeof(storage));
    struct_debug_token* rec = new (storage) struct_debug_token;
    EXPECT_EQ(0u, rec->token.header_mm);
    EXPECT_EQ(0u, rec->token.data_mm);
    rec->~struct_debug_token();
}
