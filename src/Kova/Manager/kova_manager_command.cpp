#include "Kova/Manager/kova_manager_command.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "Kova/General_Common/IPC/kova_named_objects.h"
#include "Kova/General_Common/Memory/class_kova_memory.h"
#include "Kova/Manager/kova_dump_analyser.h"
#include "Pimo/OS/Linux/class_event.h"
#include "Pimo/Utility/pimo_classic_main.h"

namespace Kova {
namespace General {
namespace Manager {

namespace {

using General_Common::Memory::class_kova_memory;

constexpr const char* c_str_title = "Kova General Manager - packet memory and center console";
constexpr const char* c_str_prompt = "Kova Memory Manager> ";
constexpr const char* c_str_not_running = "미들웨어 서비스 관리자가 동작하고 있지 않습니다.";
constexpr const char* c_str_unknown = "알수없는 명령입니다.";
constexpr size_t c_prompt_line = 255;
constexpr size_t c_key_line = 127;

// Opens the packet memory afresh for one command and closes it after; nothing is held between
// commands. While it is open the memory object ends the process if the service goes.
template <typename F>
int with_memory(F in_act) {
    class_kova_memory memory;
    if (memory.eproc_open() != Pimo::OS::c_vimra_success) {
        std::puts(c_str_not_running);
        return 0;
    }
    in_act(memory);
    memory.proc_close();
    return 0;
}

// One line of at most in_max characters without its line end. False at the end of input and
// for a longer line, after which the rest of that line is no command.
bool read_line(char* pout_line, size_t in_max, bool* pout_too_long) {
    *pout_too_long = false;
    if (!std::fgets(pout_line, static_cast<int>(in_max + 2), stdin)) return false;
    size_t n = std::strlen(pout_line);
    if (n && pout_line[n - 1] == '\n') {
        pout_line[--n] = 0;
        if (n && pout_line[n - 1] == '\r') pout_line[--n] = 0;
    } else if (n > in_max) {
        *pout_too_long = true;
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    std::printf("%s\n\n", c_str_title);
    if (argc < 2) return prompt();
    const int result = cmd_processor(argc - 1, argv + 1);
    std::puts("please enter key.");
    std::fflush(stdout);
    char line[c_key_line + 2];
    bool too_long = false;
    read_line(line, c_key_line, &too_long);
    return result;
}

int prompt() {
    char line[c_prompt_line + 2];
    for (;;) {
        std::fputs(c_str_prompt, stdout);
        std::fflush(stdout);
        bool too_long = false;
        if (!read_line(line, c_prompt_line, &too_long)) {
            if (too_long) std::printf("\nline longer than %zu characters: prompt ended\n", c_prompt_line);
            std::fflush(stdout);
            return 0;
        }
        const char* rest = line + std::strspn(line, " ");
        if (std::strcmp(rest, "exit") == 0) return 0;
        if (*rest) Pimo::Utility::call_classic_main_type(cmd_processor, rest);
        std::fflush(stdout);
    }
}

int cmd_processor(int argc, char** argv) {
    if (argc <= 0) return 0;
    for (int i = 0; i < argc; ++i) std::printf("%s ", argv[i]);
    std::printf("\n");
    static const struct {
        const char* name;
        int (*handler)(int, char**);
    } c_commands[] = {{"remain", cmd_remain}, {"reset", cmd_reset}, {"acount", cmd_acount}, {"mmf", cmd_mmf},
                      {"mem", cmd_mem},       {"mm", cmd_mem},      {"dd", cmd_dd},         {"kill", cmd_kill}};
    for (const auto& c : c_commands)
        if (std::strcmp(argv[0], c.name) == 0) return c.handler(argc - 1, argv + 1);
    std::puts(c_str_unknown);
    return 0;
}

int cmd_remain(int, char**) {
    return with_memory([](class_kova_memory& m) { std::printf("remain = %ld\n", static_cast<long>(m.get_remain())); });
}

int cmd_acount(int, char**) {
    return with_memory(
        [](class_kova_memory& m) { std::printf("acount = %ld\n", static_cast<long>(m.get_alloc_count())); });
}

int cmd_reset(int, char**) {
    return with_memory([](class_kova_memory& m) { m.reset(); });
}

int cmd_mem(int, char**) {
    return with_memory([](class_kova_memory& m) { m.get_status(); });
}

int cmd_mmf(int, char**) {
    return with_memory([](class_kova_memory& m) { m.get_status_forcefully(); });
}

int cmd_kill(int argc, char** argv) {
    if (argc < 1) {
        std::puts("usage : shell prompt>kova kill [domain id]");
        std::puts("usage : kova prompt> kill [domain id]\n");
        return 0;
    }
    // The domain as typed: the center names its event with the same decimal text.
    Pimo::OS::class_event killer;
    if (killer.eproc_open_global(std::string(General_Common::IPC::c_str_center_killer) + argv[0]) !=
        Pimo::OS::c_vimra_success) {
        std::printf("kova domain[%s] center is not running\n\n", argv[0]);
        return 0;
    }
    killer.proc_set();
    killer.proc_close();
    return 0;
}

}  // namespace Manager
}  // namespace General
}  // namespace Kova
