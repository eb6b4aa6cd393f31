// Reporting hooks: the texts are the system's vocabulary, but nothing is shown on Linux.
#pragma once

#include <string>

namespace Pimo {
namespace Utility {

enum share_t { c_share_deny_all = 0, c_share_deny_write = 1, c_share_all = 2 };

void print_error(const char* in_text);
void print_error(const std::string& in_text);
void print_error(const char* in_file, int in_line);
void alert(const char* in_message, const char* in_title);

}  // namespace Utility
}  // namespace Pimo
