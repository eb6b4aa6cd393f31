// Plays one side of a host channel in its own process; tests drive it on stdin.
//   probe_kova_channels center <domain>        creates the domain's center pipe
//   probe_kova_channels app                    creates this process's listen and return pipes
//   probe_kova_channels service <name>         creates a service channel under a test name
// Commands: recv [listen|return] | fill | shutdown | exit | die
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>

#include "Kova/Common/Interface/struct_token.h"
#include "Kova/General_Common/IPC/abstract_center_ipc.h"
#include "Kova/General_Common/IPC/class_process_listen_ipc.h"
#include "Kova/General_Common/IPC/class_process_return_ipc.h"
#include "Kova/General_Common/IPC/class_service_ipc.h"
#include "Kova/General_Common/IPC/struct_service_token.h"

using namespace Kova;
using namespace Kova::General_Common::IPC;

namespace {

void say(const std::string& in_line) {
    std::printf("%s\n", in_line.c_str());
    std::fflush(stdout);
}

std::string recv_token(Pimo::IPC::class_shared_pipe& in_pipe) {
    struct_token t;
    Pimo::OS::vimra_err_t r = in_pipe.eproc_receive_timeout(reinterpret_cast<Pimo::byte_t*>(&t), 10.0);
    return "token " + std::to_string(r) + " " + std::to_string(t.header_mm) + " " + std::to_string(t.data_mm);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return 2;
    const std::string role = argv[1];
    abstract_center_ipc center;
    class_process_listen_ipc listen;
    class_process_return_ipc ret;
    class_service_ipc service;

    if (role == "center" && argc > 2) {
        say("created " + std::to_string(center.eproc_create(std::atoi(argv[2]), abstract_center_ipc::c_depth)));
    } else if (role == "app") {
        const Pimo::OS::process_id_t pid = getpid();
        const int r1 = listen.eproc_create(pid, 16);
        const int r2 = ret.eproc_create(pid, 16);
        say("created " + std::to_string(r1) + " " + std::to_string(r2));
    } else if (role == "service" && argc > 2) {
        say("created " + std::to_string(service.eproc_create(class_service_ipc::c_depth, argv[2])));
    } else {
        return 2;
    }

    std::string cmd;
    while (std::getline(std::cin, cmd)) {
        if (cmd == "recv" && role == "center") {
            say(recv_token(center));
        } else if (cmd == "recv listen") {
            say(recv_token(listen));
        } else if (cmd == "recv return") {
            say(recv_token(ret));
        } else if (cmd == "recv" && role == "service") {
            struct_service_token s{};
            Pimo::OS::vimra_err_t r = service.eproc_receive_timeout(reinterpret_cast<Pimo::byte_t*>(&s), 10.0);
            say("service " + std::to_string(r) + " " + std::to_string(s.domain) + " " + std::to_string(s.msg));
        } else if (cmd == "shutdown") {
            center.proc_shutdown();
            say("shutdown");
        } else if (cmd == "die") {
            _exit(0);  // gone without ending anything: only the liveness locks fall free
        } else if (cmd == "exit") {
            break;
        }
    }
    center.proc_destroy();
    listen.proc_destroy();
    ret.proc_destroy();
    service.proc_destroy();
    return 0;
}
