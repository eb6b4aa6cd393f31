// Stands in for the programs the manager acts on.
//   probe_manager_host center <domain>   creates the stop event of that domain's center, says
//                                         "ready" and exits 0 once the event is set (3 after 60 s)
//   probe_manager_host service <size>     creates the host's packet memory, says "ready <result>"
//                                         and takes commands on stdin:
//     header <type> <code>   allocates a header block with a packet (72 bytes)
//     data <payload>         allocates a data block with a call packet and that payload
//     hurt                   writes one byte past the last block's asked size
//     counters               prints "reset_count <n> alloc_count <n>"
//     exit / end of input    destroys the memory and exits 0
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <sstream>
#include <string>

#include "Kova/Common/Hidden/struct_packet.h"
#include "Kova/Common/Open/Kova/kova_const.h"
#include "Kova/General_Common/IPC/kova_named_objects.h"
#include "Kova/General_Common/Memory/class_kova_memory.h"
#include "Kova/kova_utility/kova_utility.h"
#include "Pimo/OS/Linux/class_event.h"

using namespace Kova;

namespace {

void say(const std::string& in_line) {
    std::printf("%s\n", in_line.c_str());
    std::fflush(stdout);
}

int run_center(const std::string& in_domain) {
    Pimo::OS::class_event killer;
    const int r = killer.eproc_create_global(General_Common::IPC::c_str_center_killer + in_domain, false);
    if (r != 0) {
        say("create " + std::to_string(r));
        return 2;
    }
    say("ready");
    const int w = killer.eproc_wait_timeout(60.0);
    killer.proc_destroy();
    return w == 0 ? 0 : 3;
}

int run_service(unsigned in_size) {
    General_Common::Memory::class_kova_memory memory;
    const int r = memory.eproc_create(in_size);
    say("ready " + std::to_string(r));
    if (r != 0) return 2;
    Pimo::Memory::mm_t last = 0;
    u_int32_t last_size = 0;
    std::string line;
    while (std::getline(std::cin, line)) {
        std::istringstream words(line);
        std::string cmd;
        words >> cmd;
        if (cmd == "header" || cmd == "data") {
            unsigned a = 0, b = 0;
            words >> a >> b;
            const u_int32_t payload = cmd == "data" ? a : 0;
            const u_int32_t size = sizeof(struct_packet) + payload;
            Pimo::Memory::mm_t mm = 0;
            const int got = memory.eproc_alloc(mm, size, __FILE__, __LINE__);
            if (got == 0) {
                auto* p = static_cast<struct_packet*>(memory.get_addr(mm));
                std::memset(static_cast<void*>(p), 0, sizeof *p);
                p->src_ip = Kova::inet_addr("192.168.7.1");
                p->dst_ip = c_local_host;
                p->dst_port = 7100;
                p->header.sport = 7200;
                p->header.type = cmd == "data" ? c_mt_call : static_cast<msg_type_t>(a);
                p->header.code = cmd == "data" ? 0xBEEF : static_cast<msg_code_t>(b);
                p->header.size = payload;
                last = mm;
                last_size = size;
            }
            say("alloc " + std::to_string(got));
        } else if (cmd == "hurt") {
            static_cast<unsigned char*>(memory.get_addr(last))[last_size] ^= 0xFF;
            say("hurt");
        } else if (cmd == "counters") {
            say("reset_count " + std::to_string(memory.get_reset_count()) + " alloc_count " +
                std::to_string(memory.get_alloc_count()));
        } else if (cmd == "exit") {
            break;
        }
    }
    memory.proc_destroy();
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) return 2;
    const std::string role = argv[1];
    if (role == "center") return run_center(argv[2]);
    if (role == "service") return run_service(static_cast<unsigned>(std::strtoul(argv[2], nullptr, 10)));
    return 2;
}
