#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <thread>

#include "Pimo/Utility/pimo_module_path.h"
#include "test_process.h"

namespace fs = std::filesystem;
using namespace Pimo::Utility;

TEST(module_path, directory_is_the_executable_path_up_to_its_last_slash) {
    std::string file = get_module_filename();
    std::string dir = get_module_directory();
    ASSERT_FALSE(dir.empty());
    EXPECT_EQ(dir.back(), '/');
    EXPECT_EQ(file.substr(0, dir.size()), dir);
    EXPECT_EQ(file.find('/', dir.size()), std::string::npos);
    EXPECT_EQ(fs::path(file), fs::read_symlink("/proc/self/exe"));
    EXPECT_STREQ(get_install_folder(nullptr), dir.c_str());
}

TEST(module_path, texts_are_per_thread) {
    const char* mine = get_module_directory();
    std::string copy = mine;
    std::thread([] { get_module_directory(); }).join();
    EXPECT_EQ(std::string(mine), copy);
}

// A copy of a program under a directory with blanks finds itself and enters its directory.
TEST(module_path, program_in_a_directory_with_blanks_finds_and_enters_it) {
    char tmp[] = "/tmp/kova_module_XXXXXX";
    ASSERT_NE(mkdtemp(tmp), nullptr);
    const fs::path dir = fs::path(tmp) / "install dir" / "bin";
    fs::create_directories(dir);
    const fs::path program = dir / "probe copy";
    fs::copy_file(kova_test::probe_path("probe_module_path"), program);

    std::string output;
    EXPECT_EQ(kova_test::run_probe({program.string()}, &output), 0);
    std::map<std::string, std::string> v;
    std::istringstream lines(output);
    for (std::string line; std::getline(lines, line);) {
        size_t eq = line.find('=');
        if (eq != std::string::npos) v[line.substr(0, eq)] = line.substr(eq + 1);
    }
    EXPECT_EQ(v["filename"], program.string());
    EXPECT_EQ(v["directory"], dir.string() + "/");
    EXPECT_EQ(v["install"], dir.string() + "/");
    EXPECT_EQ(v["cwd"], dir.string());
    fs::remove_all(tmp);
}
