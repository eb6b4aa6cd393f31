// Helpers of the manager's tests: the analyser's output as text, the console program.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>

#include "Kova/Manager/kova_dump_analyser.h"

namespace kova_test {

// What in_print writes to the stream it is given.
template <typename F>
std::string captured(F in_print) {
    char* text = nullptr;
    size_t size = 0;
    std::FILE* out = open_memstream(&text, &size);
    in_print(out);
    std::fclose(out);
    std::string result(text, size);
    std::free(text);
    return result;
}

inline std::string analyse_memory(const void* pin_data, std::uint64_t in_len) {
    return captured([&](std::FILE* out) { Kova::General::Manager::proc_analyse_memory(pin_data, in_len, out); });
}

inline std::string analyse_file(const std::string& in_path) {
    return captured([&](std::FILE* out) { Kova::General::Manager::proc_analyse_dump(in_path.c_str(), out); });
}

inline std::string manager_program() { return KOVA_MANAGER_PROGRAM; }

}  // namespace kova_test
