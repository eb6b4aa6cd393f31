#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <string>

#include "Pimo/Utility/pimo_excute.h"

namespace fs = std::filesystem;
using Pimo::OS::excute;
using Pimo::OS::get_excute_command_line;

TEST(excute, command_line_is_path_blank_argument_blank_ampersand) {
    struct row { const char* path; const char* argument; const char* line; };
    const row rows[] = {
        {"/a/b/c", "5", "/a/b/c 5 &"},
        {"/opt/kova/bin/Kova_General_Center", "7000", "/opt/kova/bin/Kova_General_Center 7000 &"},
        {"/a/b-1.2/c_d+e,f:g@h", "5", "/a/b-1.2/c_d+e,f:g@h 5 &"},
        {"/a b/c", "5", "'/a b/c' 5 &"},
        {"/a/c;rm -rf x", "5", "'/a/c;rm -rf x' 5 &"},
        {"/a/$(id)/`id`", "5", "'/a/$(id)/`id`' 5 &"},
        {"/a/it's", "5", "'/a/it'\\''s' 5 &"},
        {"/a/*?[x]~&|<>", "5", "'/a/*?[x]~&|<>' 5 &"},
        {"/a/b/c", "5 debug", "/a/b/c 5 debug &"},  // the argument goes as written
    };
    for (const row& r : rows) EXPECT_EQ(get_excute_command_line(r.path, r.argument), r.line) << r.path;
}

namespace {

// Reads the one line the program writes into the FIFO, waiting at most 10 s.
std::string read_fifo_line(const std::string& in_fifo) {
    int fd = open(in_fifo.c_str(), O_RDONLY | O_NONBLOCK);
    if (fd < 0) return "open failed";
    std::string text;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (text.find('\n') == std::string::npos && std::chrono::steady_clock::now() < deadline) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 200) <= 0) continue;
        char buf[512];
        ssize_t n = read(fd, buf, sizeof(buf));
        if (n > 0) text.append(buf, static_cast<size_t>(n));
    }
    close(fd);
    return text;
}

}  // namespace

// The program reports its own path, its argument count and the FIFO it was given. Its write
// to the FIFO blocks until this test opens the other end, so it must still be running when
// excute returns: it was started in the background.
TEST(excute, starts_the_program_in_the_background_under_its_exact_path) {
    char tmp[] = "/tmp/kova_excute_XXXXXX";
    ASSERT_NE(mkdtemp(tmp), nullptr);
    const std::string fifo = std::string(tmp) + "/report";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);

    const char* dirs[] = {"plain", "with blank", "semi;colon $(touch injected) `touch injected` &", "it's"};
    for (const char* name : dirs) {
        SCOPED_TRACE(name);
        const fs::path dir = fs::path(tmp) / name;
        fs::create_directories(dir);
        const fs::path program = dir / "prog";
        std::ofstream(program) << "#!/bin/sh\nprintf '%s|%s\\n' \"$0\" \"$#\" > \"$1\"\n";
        fs::permissions(program, fs::perms::owner_all);

        auto started = std::async(std::launch::async, [&] { excute(program.string(), fifo + " second"); });
        const bool returned = started.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
        EXPECT_TRUE(returned) << "excute waited for the program";
        EXPECT_EQ(read_fifo_line(fifo), program.string() + "|2\n");
        started.wait();
    }
    EXPECT_FALSE(fs::exists("injected"));
    fs::remove_all(tmp);
}
