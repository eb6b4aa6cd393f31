// Stands in for the center program in service tests: installed as Kova_General_Center, it
// does what a center does towards the service and nothing else.
//   Kova_General_Center <domain>
// Creates the domain's stop event (a second one for the domain exits with -1) and center
// pipe, writes "center_<domain>.pid" in its working directory, posts {domain, 1} and waits
// for its stop event.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "Kova/General_Common/IPC/abstract_center_ipc.h"
#include "Kova/General_Common/IPC/class_service_ipc.h"
#include "Kova/General_Common/IPC/kova_named_objects.h"
#include "Kova/General_Common/IPC/struct_service_token.h"
#include "Pimo/OS/Linux/class_event.h"
#include "Pimo/OS/Linux/vimra_time.h"

using namespace Kova::General_Common::IPC;

int main(int argc, char** argv) {
    if (argc < 2) return -1;
    // Started in the background through the shell, it would keep its starter's output open.
    if (!std::freopen("/dev/null", "r", stdin) || !std::freopen("/dev/null", "w", stdout) ||
        !std::freopen("/dev/null", "w", stderr))
        return -1;
    const Kova::domain_t domain = static_cast<Kova::domain_t>(std::atoi(argv[1]));
    Pimo::OS::class_event stop;
    if (stop.eproc_create_global(get_center_killer_name(domain), false) != Pimo::OS::c_vimra_success) return -1;
    abstract_center_ipc pipe;
    if (pipe.eproc_create(domain, abstract_center_ipc::c_depth) != Pimo::OS::c_vimra_success) {
        stop.proc_destroy();
        return -1;
    }
    const std::string pid_file = "center_" + std::to_string(domain) + ".pid";
    if (std::FILE* f = std::fopen((pid_file + ".tmp").c_str(), "w")) {
        std::fprintf(f, "%d\n", static_cast<int>(getpid()));
        std::fclose(f);
        std::rename((pid_file + ".tmp").c_str(), pid_file.c_str());
    }
    class_service_ipc service;
    if (service.eproc_open() == Pimo::OS::c_vimra_success) {
        struct_service_token up{domain, struct_service_token::c_msg_center_up};
        while (service.eproc_send(reinterpret_cast<const Pimo::byte_t*>(&up), 0) == Pimo::OS::c_vimra_busy)
            Pimo::OS::msleep(10);
        service.proc_close();
    }
    stop.eproc_wait();
    pipe.proc_destroy();
    stop.proc_destroy();
    return 0;
}
