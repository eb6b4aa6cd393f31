#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Pimo/Utility/pimo_classic_main.h"

using namespace Pimo::Utility;

namespace {

// What the last main-like call received.
std::vector<std::string> g_args;
int g_argc = -1;
bool g_null_terminated = false;

int record_main(int argc, char** argv) {
    g_argc = argc;
    g_args.assign(argv, argv + argc);
    g_null_terminated = argv[argc] == nullptr;
    return 17;
}

}  // namespace

TEST(classic_main, splits_on_runs_of_blanks_and_tabs) {
    typedef std::vector<std::string> words;
    struct row { const char* line; words expected; };
    const row rows[] = {
        {" \t mm \t\t  12  \t", {"mm", "12"}},
        {"remain", {"remain"}},
        {"a b\tc", {"a", "b", "c"}},
        {"", {}},
        {" \t \t", {}},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(std::string("[") + r.line + "]");
        EXPECT_EQ(call_classic_main_type(record_main, r.line), 17);
        EXPECT_EQ(g_argc, static_cast<int>(r.expected.size()));
        EXPECT_EQ(g_args, r.expected);
        EXPECT_TRUE(g_null_terminated);

        words with_name = {"prog"};
        with_name.insert(with_name.end(), r.expected.begin(), r.expected.end());
        EXPECT_EQ(call_classic_main(record_main, "prog", r.line), 17);
        EXPECT_EQ(g_argc, static_cast<int>(with_name.size()));
        EXPECT_EQ(g_args, with_name);
        EXPECT_TRUE(g_null_terminated);
    }
}

TEST(classic_main, callers_text_is_left_untouched) {
    const std::string line = "dd  file";
    call_classic_main_type(record_main, line.c_str());
    EXPECT_EQ(line, "dd  file");
}
