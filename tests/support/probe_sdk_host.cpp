// Stands in for the service or a center of a host, for the SDK's tests.
//   probe_sdk_host service   packet memory, debug channel and service channel; prints
//                            "service <domain> <msg>" for every service token
//   probe_sdk_host memoryless   the debug and service channels without packet memory
//   probe_sdk_host center <domain>   the domain's center pipe over the packet memory
// Center commands: recv | listen <pid> <type> <code> <sid> <did> <num> | hold <pid> | release | exit
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <sstream>
#include <string>
#include <thread>

#include "Kova/Common/Global/kova_global.h"
#include "Kova/Common/Global/struct_debug_token.h"
#include "Kova/Common/Hidden/struct_packet.h"
#include "Kova/Common/Interface/kova_memory_interface.h"
#include "Kova/General_Common/IPC/abstract_center_ipc.h"
#include "Kova/General_Common/IPC/class_debug_ipc.h"
#include "Kova/General_Common/IPC/class_process_listen_ipc.h"
#include "Kova/General_Common/IPC/class_service_ipc.h"
#include "Kova/General_Common/IPC/struct_service_token.h"
#include "Kova/General_Common/Memory/class_kova_memory.h"
#include "Pimo/OS/Linux/vimra_time.h"

using namespace Kova;
using namespace Kova::General_Common;

namespace {

void say(const std::string& in_line) {
    std::printf("%s\n", in_line.c_str());
    std::fflush(stdout);
}

int run_service(bool in_memory) {
    Memory::class_kova_memory memory;
    IPC::class_debug_ipc debug;
    IPC::class_service_ipc service;
    const int r1 = in_memory ? memory.eproc_create(8u << 20) : 0;
    const int r2 = debug.eproc_create(1024);
    const int r3 = service.eproc_create(IPC::class_service_ipc::c_depth);
    say("created " + std::to_string(r1) + " " + std::to_string(r2) + " " + std::to_string(r3));
    std::thread reader([&] {
        IPC::struct_service_token t{};
        while (service.eproc_receive(reinterpret_cast<Pimo::byte_t*>(&t)) == Pimo::OS::c_vimra_success)
            say("service " + std::to_string(t.domain) + " " + std::to_string(t.msg));
    });
    std::thread drain([&] {  // trace records are read and dropped
        struct_debug_token d;
        while (debug.eproc_receive(reinterpret_cast<Pimo::byte_t*>(&d)) == Pimo::OS::c_vimra_success) {
        }
    });
    std::string cmd;
    while (std::getline(std::cin, cmd) && cmd != "exit") {
    }
    service.proc_shutdown();
    debug.proc_shutdown();
    reader.join();
    drain.join();
    service.proc_destroy();
    debug.proc_destroy();
    memory.proc_destroy();
    return 0;
}

int run_center(domain_t in_domain) {
    Pimo::OS::vimra_update_cpu_hz();
    Memory::class_kova_memory memory;
    const int r1 = memory.eproc_open();
    Common::Global::gp_memory = &memory;
    IPC::abstract_center_ipc center;
    IPC::class_process_listen_ipc held;  // an application's listen pipe this center keeps open
    const int r2 = center.eproc_create(in_domain, IPC::abstract_center_ipc::c_depth);
    say("created " + std::to_string(r1) + " " + std::to_string(r2));
    std::string line;
    while (std::getline(std::cin, line)) {
        std::istringstream in(line);
        std::string cmd;
        in >> cmd;
        if (cmd == "exit") break;
        if (cmd == "recv") {
            struct_token t;
            const int r = center.eproc_receive_timeout(reinterpret_cast<Pimo::byte_t*>(&t), 10.0);
            if (r != 0 || !t.has_header()) {
                say("recv " + std::to_string(r));
                continue;
            }
            const struct_packet* p = t.get_header_packet();
            std::ostringstream out;
            out << "packet " << int(p->header.type) << " " << p->header.code << " " << p->header.sid << " "
                << p->header.did << " " << p->header.num << " " << p->header.error;
            say(out.str());
            Common::Interface::safe_free_token(t, __FILE__, __LINE__);
        } else if (cmd == "hold") {
            long pid = 0;
            in >> pid;
            say("held " + std::to_string(held.eproc_open(static_cast<Pimo::OS::process_id_t>(pid))));
        } else if (cmd == "release") {
            held.proc_close();
            say("released");
        } else if (cmd == "listen") {
            long pid = 0;
            int type = 0, code = 0, sid = 0, did = 0, num = 0;
            in >> pid >> type >> code >> sid >> did >> num;
            IPC::class_process_listen_ipc listen;
            if (listen.eproc_open(static_cast<Pimo::OS::process_id_t>(pid)) != 0) {
                say("listen failed");
                continue;
            }
            struct_token t;
            Common::Interface::proc_alloc_header_force(t, __FILE__, __LINE__);
            struct_packet* p = t.get_header_packet();
            *p = struct_packet();
            p->initialize_packet(0, Pimo::OS::vimra_cpu_clock(), 10.0);
            p->initialize_header(0, static_cast<msg_num_t>(num), static_cast<msg_type_t>(type),
                                 static_cast<msg_code_t>(code), 0);
            p->set_source(c_local_host, in_domain, static_cast<object_id_t>(sid));
            p->set_destination(c_local_host, in_domain, static_cast<object_id_t>(did));
            say("pushed " + std::to_string(listen.eproc_send(reinterpret_cast<const Pimo::byte_t*>(&t), 0)));
            listen.proc_close();
        }
    }
    center.proc_destroy();
    Common::Global::gp_memory = nullptr;
    memory.proc_close();
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return 2;
    const std::string role = argv[1];
    if (role == "service") return run_service(true);
    if (role == "memoryless") return run_service(false);
    if (role == "center" && argc > 2) return run_center(static_cast<domain_t>(std::atoi(argv[2])));
    return 2;
}
