// Plays the service or an application around a packet memory and debug channel
// of test names; tests drive it on stdin.
//   probe_kova_memory service <name>   creates <name>_mem and <name>_dbg
//   probe_kova_memory user <name>      opens <name>_mem and keeps the default death watch
// Commands (service): log | remain | die | exit
#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <string>

#include "Kova/Common/Global/struct_debug_token.h"
#include "Kova/General_Common/IPC/class_debug_ipc.h"
#include "Kova/General_Common/Memory/class_kova_memory.h"

using namespace Kova;

namespace {

void say(const std::string& in_line) {
    std::printf("%s\n", in_line.c_str());
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) return 2;
    const std::string role = argv[1];
    const std::string mem_name = std::string(argv[2]) + "_mem";
    const std::string dbg_name = std::string(argv[2]) + "_dbg";
    General_Common::Memory::class_kova_memory memory;
    General_Common::IPC::class_debug_ipc debug;

    if (role == "user") {
        say("opened " + std::to_string(memory.eproc_open(mem_name.c_str())));
        std::string line;
        while (std::getline(std::cin, line)) {
        }
        memory.proc_close();
        return 0;
    }
    if (role != "service") return 2;
    const int r1 = memory.eproc_create(1u << 20, mem_name.c_str());
    const int r2 = debug.eproc_create(64, dbg_name.c_str());
    say("created " + std::to_string(r1) + " " + std::to_string(r2));

    std::string cmd;
    while (std::getline(std::cin, cmd)) {
        if (cmd == "log") {
            // As the service's log thread: write the row, then release the record's header.
            struct_debug_token r;
            const int got = debug.eproc_receive_timeout(reinterpret_cast<Pimo::byte_t*>(&r), 10.0);
            say("record " + std::to_string(got) + " " + r.type + " " + std::to_string(r.pid) + " " +
                std::to_string(r.token.header_mm) + " " + std::to_string(r.token.data_mm) + " " + r.str);
            memory.safe_free(r.token.header_mm, __FILE__, __LINE__);
        } else if (cmd == "remain") {
            say("remain " + std::to_string(memory.get_remain()));
        } else if (cmd == "die") {
            _exit(0);
        } else if (cmd == "exit") {
            break;
        }
    }
    debug.proc_destroy();
    memory.proc_destroy();
    return 0;
}
