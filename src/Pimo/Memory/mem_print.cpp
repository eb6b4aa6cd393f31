#include "Pimo/Memory/mem_print.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "Pimo/Memory/heap_record.h"
#include "Pimo/OS/Linux/vimra_time.h"

namespace Pimo {
namespace Memory {

void mem_print(const char* _title_, const char* _text_) {
    std::printf("%s - %s\n", _title_, _text_);
    std::fflush(stdout);
    _exit(-1);
}

void mem_print_pid(const char* in_title) {
    char text[64];
    std::snprintf(text, sizeof text, "kova - pid(%d)", static_cast<int>(OS::get_process_id()));
    mem_print(in_title, text);
}

void mem_print_site(const char* in_title_format, const char* in_site) {
    char site[c_site_size + 1];
    size_t n = in_site ? strnlen(in_site, c_site_size) : 0;
    if (n) std::memcpy(site, in_site, n);
    site[n] = 0;
    char title[c_site_size + 128];
    std::snprintf(title, sizeof title, in_title_format, site);
    mem_print_pid(title);
}

}  // namespace Memory
}  // namespace Pimo
