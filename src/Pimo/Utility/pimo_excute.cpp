#include "Pimo/Utility/pimo_excute.h"

#include <cstdlib>
#include <cstring>

namespace Pimo {
namespace OS {

namespace {

bool is_plain_path(const std::string& in_path) {
    static const char c_plain[] =
        "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789/._-+,:@";
    if (in_path.empty()) return false;
    for (char c : in_path)
        if (c == '\0' || !std::strchr(c_plain, c)) return false;
    return true;
}

// '...' with each ' written as '\'' : nothing inside single quotes is special to sh.
std::string shell_quote(const std::string& in_text) {
    std::string out = "'";
    for (char c : in_text) {
        if (c == '\'')
            out += "'\\''";
        else
            out += c;
    }
    out += "'";
    return out;
}

}  // namespace

std::string get_excute_command_line(const std::string& excute_filename, const std::string& argument) {
    std::string path = is_plain_path(excute_filename) ? excute_filename : shell_quote(excute_filename);
    return path + " " + argument + " &";
}

void excute(std::string excute_filename, std::string argument) {
    std::string line = get_excute_command_line(excute_filename, argument);
    int status = std::system(line.c_str());
    (void)status;
}

}  // namespace OS
}  // namespace Pimo
