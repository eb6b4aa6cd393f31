// Helpers shared by the named-object tests: a fixture that owns a unique name and removes
// every /dev/shm entry made under it, and readers of probe output lines.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "test_process.h"

namespace kova_test {

class named_fixture : public ::testing::Test {
protected:
    void SetUp() override { m_name = unique_name(tag()); }
    void TearDown() override { remove_shm_containing(m_name); }
    virtual const char* tag() const { return "named"; }

    // Starts probe_named with a command on a name; fails the test if it cannot start.
    child_process start_probe(const std::vector<std::string>& in_args) {
        std::vector<std::string> argv{probe_path("probe_named")};
        argv.insert(argv.end(), in_args.begin(), in_args.end());
        child_process c;
        EXPECT_TRUE(c.start(argv));
        return c;
    }
    // Runs probe_named to its end and returns its output ("" when it did not end in time).
    std::string run(const std::vector<std::string>& in_args, double in_timeout_s = 10.0) {
        std::vector<std::string> argv{probe_path("probe_named")};
        argv.insert(argv.end(), in_args.begin(), in_args.end());
        std::string out;
        int st = run_probe(argv, &out, in_timeout_s);
        EXPECT_EQ(st, 0) << out;
        return st == 0 ? out : std::string();
    }

    std::string m_name;
};

// The numbers after "in_key " on the first line starting so; empty when there is none.
inline std::vector<long long> line_values(const std::string& in_out, const std::string& in_key) {
    std::istringstream lines(in_out);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.compare(0, in_key.size() + 1, in_key + " ") != 0) continue;
        std::istringstream fields(line.substr(in_key.size() + 1));
        std::vector<long long> v;
        long long x;
        while (fields >> x) v.push_back(x);
        return v;
    }
    return {};
}

inline long long line_value(const std::string& in_out, const std::string& in_key) {
    std::vector<long long> v = line_values(in_out, in_key);
    return v.empty() ? -1000 : v[0];
}

}  // namespace kova_test
