#include "Pimo/Utility/pimo_classic_main.h"

#include <cstring>
#include <string>
#include <vector>

namespace Pimo {
namespace Utility {

namespace {

const char c_blanks[] = " \t";

// Splits in place: ends every word of in_line with a zero and collects their starts.
void split_words(std::string& in_line, std::vector<char*>& out_words) {
    char* p = &in_line[0];
    while (*p) {
        p += std::strspn(p, c_blanks);
        if (!*p) break;
        out_words.push_back(p);
        p += std::strcspn(p, c_blanks);
        if (*p) *p++ = '\0';
    }
}

Pimo::OS::vimra_err_t run(main_t main_entry, const char* filename, const char* cmd_line) {
    std::string line = cmd_line ? cmd_line : "";
    std::string name = filename ? filename : "";
    std::vector<char*> argv;
    if (filename) argv.push_back(&name[0]);
    split_words(line, argv);
    int argc = static_cast<int>(argv.size());
    argv.push_back(nullptr);
    return static_cast<Pimo::OS::vimra_err_t>(main_entry(argc, argv.data()));
}

}  // namespace

Pimo::OS::vimra_err_t call_classic_main(main_t main_entry, const char* filename, const char* cmd_line) {
    return run(main_entry, filename ? filename : "", cmd_line);
}

Pimo::OS::vimra_err_t call_classic_main_type(main_t main_entry, const char* cmd_line) {
    return run(main_entry, nullptr, cmd_line);
}

}  // namespace Utility
}  // namespace Pimo
