// The console as a program: both command-line forms, the prompt's reading of lines, "dd" on
// hostile files and "kill" against a stand-in center. Nothing here touches the host-wide
// packet memory; those commands run in private hosts (kova_manager_memory_test.cpp).
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "Pimo/Memory/class_heap_manager.h"
#include "Pimo/OS/Linux/class_lock.h"
#include "manager_test_support.h"
#include "test_process.h"

using namespace kova_test;

namespace {

const std::string c_head = "Kova General Manager - packet memory and center console\n\n";
const std::string c_prompt = "Kova Memory Manager> ";
const std::string c_unknown = "알수없는 명령입니다.\n";

// Runs the console with in_args, feeding in_input and then the end of input.
int run_manager(const std::vector<std::string>& in_args, const std::string& in_input, std::string* pout,
                double in_timeout_s = 10.0) {
    std::vector<std::string> argv{manager_program()};
    argv.insert(argv.end(), in_args.begin(), in_args.end());
    child_process c;
    if (!c.start(argv)) return -1;
    if (!in_input.empty()) {
        std::string text = in_input;
        if (text.back() == '\n') text.pop_back();
        c.send_line(text);
    }
    c.close_input();
    const int st = c.wait(in_timeout_s);
    *pout = c.output();
    return st;
}

// Processor seconds used by the children this process has reaped.
double children_cpu_s() {
    rusage u{};
    getrusage(RUSAGE_CHILDREN, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

class temp_dir {
public:
    temp_dir() {
        char tmpl[] = "/tmp/kova_manager_XXXXXX";
        m_path = mkdtemp(tmpl) ? tmpl : "";
    }
    ~temp_dir() {
        if (!m_path.empty()) std::system(("rm -rf '" + m_path + "'").c_str());
    }
    std::string file(const std::string& in_name) const { return m_path + "/" + in_name; }
    const std::string& path() const { return m_path; }

private:
    std::string m_path;
};

void write_file(const std::string& in_path, const std::vector<unsigned char>& in_bytes) {
    std::ofstream(in_path, std::ios::binary).write(reinterpret_cast<const char*>(in_bytes.data()), in_bytes.size());
}

// The bytes of a fresh heap of in_size bytes, as a dump of it holds them.
std::vector<unsigned char> fresh_dump(u_int32_t in_size) {
    std::vector<unsigned char> bytes(in_size, 0);
    Pimo::OS::class_thread_lock lock;
    Pimo::Memory::class_heap_manager heap(bytes.data(), in_size, &lock, true);
    heap.alloc(72, "console_test.cpp", 1);
    heap.alloc(500, "console_test.cpp", 2);
    return bytes;
}

}  // namespace

TEST(manager_console, one_command_from_the_command_line_then_waits_for_a_key) {
    child_process c;
    ASSERT_TRUE(c.start({manager_program(), "dd", "/nonexistent/x.dump"}));
    ASSERT_TRUE(c.wait_for_line("please enter key.", 10.0)) << c.output();
    EXPECT_EQ(c.wait(0.3), -1) << "it waits for a line before it ends";
    c.send_line("");
    EXPECT_EQ(c.wait(10.0), 0);
    EXPECT_EQ(c.output(), c_head + "dd /nonexistent/x.dump \n/nonexistent/x.dump analyze.\nplease enter key.\n");
}

TEST(manager_console, prompt_reads_commands_until_exit_or_end_of_input) {
    const std::string kill_usage = "kill \nusage : shell prompt>kova kill [domain id]\nusage : kova prompt> kill [domain id]\n\n";
    struct {
        const char* what;
        std::string input;
        std::string output;
    } cases[] = {
        {"exit at once", "exit\n", c_prompt},
        {"exit after leading spaces", "   exit\nnever\n", c_prompt},
        {"a tab before exit is no exit", "\texit\nexit\n", c_prompt + "exit \n" + c_unknown + c_prompt},
        {"empty and blank lines only prompt again", "\n  \n\t \t\nexit\n", c_prompt + c_prompt + c_prompt + c_prompt},
        {"words split at spaces and tabs, each echoed with a space",
         "  frob \t a\tb  \r\nexit\n", c_prompt + "frob a b \n" + c_unknown + c_prompt},
        {"kill without a domain", "kill\nexit\n", c_prompt + kill_usage + c_prompt},
        {"end of input ends the prompt", "frob\n", c_prompt + "frob \n" + c_unknown + c_prompt},
        {"a line longer than 255 characters ends it", std::string(300, 'a') + "\nfrob\n",
         c_prompt + "\nline longer than 255 characters: prompt ended\n"},
        {"255 characters are still a line", std::string(255, 'a') + "\nexit\n",
         c_prompt + std::string(255, 'a') + " \n" + c_unknown + c_prompt},
    };
    for (const auto& c : cases) {
        std::string out;
        EXPECT_EQ(run_manager({}, c.input, &out), 0) << c.what;
        EXPECT_EQ(out, c_head + c.output) << c.what;
    }
}

TEST(manager_console, dd_on_damaged_truncated_or_random_files_ends_cleanly_within_a_second) {
    temp_dir dir;
    ASSERT_FALSE(dir.path().empty());
    std::mt19937 rng(4711);
    std::vector<unsigned char> random_bytes(4 << 20);
    for (auto& b : random_bytes) b = static_cast<unsigned char>(rng());
    std::vector<unsigned char> random_100(random_bytes.begin(), random_bytes.begin() + 100);
    std::vector<unsigned char> huge_key = fresh_dump(1 << 20);
    const u_int32_t bad = 0xFFFFFFF0u;
    std::memcpy(huge_key.data() + 256, &bad, 4);
    std::vector<unsigned char> cut = fresh_dump(1 << 20);
    cut.resize(256 + 256 + 72 + 8 + 256 + 30);
    std::vector<unsigned char> zeros(8 << 20, 0);  // every "block" has capacity 0
    struct {
        const char* name;
        const std::vector<unsigned char>* bytes;
    } cases[] = {{"random_100", &random_100}, {"random_4m", &random_bytes}, {"huge_key", &huge_key},
                 {"cut", &cut},               {"zeros", &zeros}};
    for (const auto& c : cases) {
        const std::string path = dir.file(c.name);
        write_file(path, *c.bytes);
        const double cpu0 = children_cpu_s();
        std::string out;
        EXPECT_EQ(run_manager({"dd", path}, "\n", &out, 20.0), 0) << c.name;
        // A second is the goal; the margin is for sanitizer builds. The console's own processor
        // time, which a loaded machine does not stretch as it stretches the wall clock; a hang
        // fails the run's limit above.
        EXPECT_LT(children_cpu_s() - cpu0, 3.0) << c.name;
        EXPECT_NE(out.find("\nend block\nplease enter key.\n"), std::string::npos) << c.name;
    }
}

TEST(manager_console, dd_reports_a_file_too_large_to_read_into_memory) {
    std::ifstream mode("/proc/sys/vm/overcommit_memory");
    int overcommit = 0;
    mode >> overcommit;
    if (overcommit == 1) GTEST_SKIP() << "with unlimited overcommit any size seems to fit";
    temp_dir dir;
    const std::string path = dir.file("huge.dump");
    const int fd = open(path.c_str(), O_CREAT | O_WRONLY, 0600);
    ASSERT_GE(fd, 0);
    // A sparse file of 8 TiB takes no room on disk.
    const bool sized = ftruncate(fd, static_cast<off_t>(8) << 40) == 0;
    close(fd);
    if (!sized) GTEST_SKIP() << "this file system refuses a sparse file of 8 TiB";
    // Sanitizer builds refuse such an allocation by aborting unless told to return null.
    setenv("ASAN_OPTIONS", "allocator_may_return_null=1", 1);
    std::string out;
    EXPECT_EQ(run_manager({"dd", path}, "\n", &out), 0);
    unsetenv("ASAN_OPTIONS");
    EXPECT_NE(out.find(path + " is too large to read into memory (8796093022208 bytes)\nplease enter key.\n"),
              std::string::npos)
        << out;
}

TEST(manager_console, kill_sets_the_stop_event_of_a_running_center) {
    // The domain is used as typed, so a unique text keeps the test off real centers.
    const std::string domain = unique_name("dom");
    child_process center = start_probe("probe_manager_host", {"center", domain});
    ASSERT_TRUE(center.wait_for_line("ready", 10.0)) << center.output();
    std::string out;
    const double t0 = now_s();
    EXPECT_EQ(run_manager({"kill", domain}, "\n", &out), 0);
    EXPECT_EQ(center.wait(10.0), 0) << "the center ends when its stop event is set";
    EXPECT_LT(now_s() - t0, 3.0);
    EXPECT_EQ(out, c_head + "kill " + domain + " \nplease enter key.\n");

    // With the center gone there is no event to open, and nothing is created either.
    EXPECT_EQ(run_manager({}, "kill " + domain + "\nexit\n", &out), 0);
    EXPECT_EQ(out, c_head + c_prompt + "kill " + domain + " \nkova domain[" + domain + "] center is not running\n\n" +
                       c_prompt);
    EXPECT_NE(access(("/dev/shm/Global\\Kova_Center_KILLER_" + domain).c_str(), F_OK), 0);
    remove_shm_containing(domain);
}
