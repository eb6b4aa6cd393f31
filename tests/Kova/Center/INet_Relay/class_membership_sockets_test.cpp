// The sockets that hold a center's multicast memberships: past the kernel's limits of one
// socket (20 groups, 10 sources of a group) the memberships go on further sockets, the host
// holds every one of them, and each socket goes once it holds none. On the loopback
// interface, with groups of this process's own (230.<its pid's low 16 bits>.g): the host's
// list of memberships is shared with whatever else runs here.
#include <arpa/inet.h>
#include <unistd.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "Kova/Center/INet_Relay/EPoll/class_membership_sockets.h"

namespace {

using Kova::Center::INet_Relay::EPoll::class_membership_sockets;

Kova::ip_t ip(const std::string& in_text) { return inet_addr(in_text.c_str()); }

const unsigned c_tag = static_cast<unsigned>(getpid()) & 0xFFFF;
Kova::ip_t group(unsigned in_g) {
    return ip("230." + std::to_string(c_tag >> 8) + "." + std::to_string(c_tag & 0xFF) + "." + std::to_string(in_g));
}
Kova::ip_t source(unsigned in_s) { return ip("10.201.0." + std::to_string(in_s)); }

// The source filters the host holds for this process's groups ("group source" per line).
std::vector<std::string> host_filters() {
    char prefix[16];
    std::snprintf(prefix, sizeof(prefix), "0xe6%04x", c_tag);
    std::ifstream in("/proc/self/net/mcfilter");
    std::vector<std::string> found;
    std::string line;
    std::getline(in, line);  // the column names
    while (std::getline(in, line)) {
        std::istringstream w(line);
        std::string idx, dev, mca, src;
        w >> idx >> dev >> mca >> src;
        if (mca.rfind(prefix, 0) == 0) found.push_back(mca + " " + src);
    }
    return found;
}

struct membership_case {
    const char* name;
    unsigned groups, sources;  // each group from as many sources
    size_t sockets;
};

TEST(class_membership_sockets, memberships_past_one_sockets_limits_are_held_on_further_sockets) {
    const membership_case cases[] = {
        {"within one socket's limits", 20, 1, 1},
        {"the 21st group", 24, 1, 2},
        {"the 11th source of one group", 1, 12, 2},
        {"21 sources of one group", 1, 21, 3},
        {"groups and sources both past", 22, 11, 4},
    };
    for (const membership_case& c : cases) {
        SCOPED_TRACE(c.name);
        class_membership_sockets held;
        const Kova::ip_t lo = ip("127.0.0.1");
        for (unsigned g = 0; g < c.groups; ++g)
            for (unsigned s = 0; s < c.sources; ++s)
                ASSERT_EQ(0, held.eproc_join(group(g + 1), lo, source(s + 1)))
                    << g << " " << s << ": " << strerror(errno);
        EXPECT_EQ(c.groups * c.sources, held.get_membership_count());
        EXPECT_EQ(c.sockets, held.get_socket_count());
        EXPECT_EQ(c.groups * c.sources, host_filters().size()) << "the host holds them all";
        // Joined again: nothing changes.
        EXPECT_EQ(0, held.eproc_join(group(1), lo, source(1)));
        EXPECT_EQ(c.groups * c.sources, held.get_membership_count());

        // Left in the order they came: the sockets go as they empty, the host's filters with them.
        for (unsigned g = 0; g < c.groups; ++g)
            for (unsigned s = 0; s < c.sources; ++s)
                held.proc_leave(group(g + 1), lo, source(s + 1));
        held.proc_leave(group(1), lo, source(1));  // not held any more: nothing
        EXPECT_EQ(0u, held.get_membership_count());
        EXPECT_EQ(0u, held.get_socket_count());
        EXPECT_TRUE(host_filters().empty());
    }
}

// A membership that no socket can take (an interface the host does not have) fails without
// leaving a socket behind; the others stay.
TEST(class_membership_sockets, a_join_no_socket_can_take_fails_and_keeps_nothing) {
    class_membership_sockets held;
    ASSERT_EQ(0, held.eproc_join(group(1), ip("127.0.0.1"), source(1)));
    EXPECT_EQ(-1, held.eproc_join(group(2), ip("192.0.2.77"), source(1)));
    EXPECT_EQ(1u, held.get_membership_count());
    EXPECT_EQ(1u, held.get_socket_count());
    held.proc_close();
    EXPECT_EQ(0u, held.get_socket_count());
    EXPECT_TRUE(host_filters().empty());
}

}  // namespace
