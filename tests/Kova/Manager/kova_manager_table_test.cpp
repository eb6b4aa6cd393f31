#include "Kova/Manager/kova_manager_table.h"

#include <gtest/gtest.h>

#include <climits>

using namespace Kova::General::Manager;

TEST(manager_table, lookups_search_and_random_range) {
    int a = 0, b = 0;
    size_t size = 0;
    insert_pointer(&a, 10);
    insert_mem(0x1234, 72);
    EXPECT_TRUE(find_pointer(&a, &size));
    EXPECT_EQ(size, 10u);
    EXPECT_FALSE(find_pointer(&b));
    EXPECT_TRUE(find_mem(0x1234, &size));
    EXPECT_EQ(size, 72u);
    erase_pointer(&a);
    erase_mem(0x1234);
    EXPECT_FALSE(find_pointer(&a));
    EXPECT_FALSE(find_mem(0x1234));

    EXPECT_EQ(search_str("block ref = 1", "ref"), 6u);
    EXPECT_EQ(search_str("abc", ""), 0u);
    EXPECT_EQ(search_str("abc", "abcd"), 0xFFFFFFFFu);

    for (int i = 0; i < 1000; ++i) {
        const int r = range_rand(-3, 3);
        EXPECT_GE(r, -3);
        EXPECT_LE(r, 3);
    }
    EXPECT_EQ(range_rand(5, 5), 5);
    // The whole int range does not overflow.
    for (int i = 0; i < 100; ++i) (void)range_rand(INT_MIN, INT_MAX);
}
