#include "Kova/kova_utility/kova_utility.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include "Kova/Common/Open/Kova/kova_const.h"
#include "Pimo/OS/Linux/vimra_time.h"

TEST(kova_utility, inet_addr_composes_in_network_order) {
    EXPECT_EQ(Kova::c_local_host, Kova::inet_addr(127, 0, 0, 1));
    EXPECT_EQ(static_cast<Kova::ip_t>(::inet_addr("230.5.1.2")), Kova::inet_addr(230, 5, 1, 2));
    EXPECT_EQ(0xFFFFFFFFu, Kova::inet_addr(255, 255, 255, 255));
    EXPECT_EQ(static_cast<Kova::ip_t>(::inet_addr("10.0.0.5")), Kova::inet_addr("10.0.0.5"));
    EXPECT_EQ(Kova::c_local_host, Kova::inet_addr("127.0.0.1"));
    EXPECT_STREQ("230.5.1.2", Kova::inet_ntoa(Kova::inet_addr(230, 5, 1, 2)));
}

TEST(kova_utility, clock_is_the_base_clock) {
    Pimo::OS::vimra_update_cpu_hz();
    EXPECT_EQ(Pimo::OS::vimra_cpu_hz(), Kova::get_cpu_hz());
    const Kova::kova_clock_t before = Pimo::OS::vimra_cpu_clock();
    const Kova::kova_clock_t mine = Kova::get_cpu_clock();
    EXPECT_LE(before, mine);
    EXPECT_LE(mine, Pimo::OS::vimra_cpu_clock());
}
