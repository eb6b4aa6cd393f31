#include "Pimo/Utility/pimo_error_hook.h"

namespace Pimo {
namespace Utility {

void print_error(const char*) {}

void print_error(const std::string& in_text) { print_error(in_text.c_str()); }

void print_error(const char* in_file, int in_line) {
    std::string text = std::string(in_file ? in_file : "") + "(" + std::to_string(in_line) + ")";
    print_error(text.c_str());
}

void alert(const char*, const char*) {}

}  // namespace Utility
}  // namespace Pimo
