// An application on the SDK's insides, driven on stdin, for the SDK's tests.
// Commands: init [threads] | finalize | center <domain> | register <domain> <id> |
//           object <domain> <id> | crasher <domain> <id> | running <domain> | wait_clean | exit
// init and wait_clean say "initializing" and "waiting clean" before they may block.
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <sstream>
#include <string>

#include "Kova/Common/Hidden/struct_packet.h"
#include "Kova/Common/Open/Kova/kova.h"
#include "Kova/General_SDK/Object_Manager/class_object_manager.h"
#include "Kova/SDK/Interface/interface_center_manager.h"
#include "Kova/SDK/SDK_Processor/kova_sdk_processor.h"
#include "Pimo/OS/Linux/class_locker.h"
#include "Pimo/OS/Linux/vimra_time.h"

using namespace Kova;

namespace {

void say(const std::string& in_line) {
    std::printf("%s\n", in_line.c_str());
    std::fflush(stdout);
}

// Prints what it is handed.
class printing_object : public SDK::Interface::interface_object_core {
public:
    Pimo::OS::vimra_err_t listener_processor(struct_token& in_token) override {
        const struct_packet* p = in_token.get_header_packet();
        say("got " + std::to_string(p->header.type) + " " + std::to_string(p->header.code) + " " +
            std::to_string(p->header.num));
        return Pimo::OS::c_vimra_success;
    }
    kova_err_t destroy() override { return c_kova_success; }
    kova_err_t destroy_force() override { return c_kova_success; }
};

// Faults inside its callback, on a listener thread.
class crashing_object : public printing_object {
public:
    Pimo::OS::vimra_err_t listener_processor(struct_token&) override {
        raise(SIGSEGV);
        return Pimo::OS::c_vimra_success;
    }
};

bool register_object(domain_t in_domain, object_id_t in_id, SDK::Interface::interface_object_core* pin_object) {
    SDK::SDK_Processor::kova_sdk_processor* processor = SDK::SDK_Processor::gp_processor.load();
    SDK::Interface::interface_sdk_object_manager* objects = SDK::Interface::gp_object_manager.load();
    if (!processor || !objects) return false;
    Pimo::OS::class_write_locker lock(processor);
    return objects->create_object(in_domain, in_id, pin_object) == Pimo::OS::c_vimra_success;
}

}  // namespace

int main() {
    printing_object object;
    crashing_object crasher;
    std::string line;
    say("pid " + std::to_string(getpid()));
    while (std::getline(std::cin, line)) {
        std::istringstream in(line);
        std::string cmd;
        in >> cmd;
        if (cmd == "exit") break;
        if (cmd == "init") {
            unsigned threads = 8;
            in >> threads;
            say("initializing");
            Kova::initialize(threads, 16, 1);
            say("initialized");
        } else if (cmd == "finalize") {
            Kova::finalize();
            say("finalized");
        } else if (cmd == "center") {
            int domain = 0;
            in >> domain;
            SDK::Interface::interface_center_manager* centers = SDK::Interface::gp_center_manager.load();
            const double start = static_cast<double>(Pimo::OS::vimra_clock());
            Pimo::IPC::interface_pipe* pipe = centers ? centers->get_center_pipe(static_cast<domain_t>(domain)) : nullptr;
            const double ms = static_cast<double>(Pimo::OS::vimra_clock()) - start;
            say(std::string("center ") + (pipe ? "ok " : "null ") + std::to_string(static_cast<long>(ms)));
        } else if (cmd == "register" || cmd == "object") {
            int domain = 0, id = 0;
            in >> domain >> id;
            say("register " + std::to_string(register_object(static_cast<domain_t>(domain),
                                                             static_cast<object_id_t>(id), &object)));
        } else if (cmd == "crasher") {
            int domain = 0, id = 0;
            in >> domain >> id;
            say("register " + std::to_string(register_object(static_cast<domain_t>(domain),
                                                             static_cast<object_id_t>(id), &crasher)));
        } else if (cmd == "wait_clean") {
            say("waiting clean");
            Kova::wait_clean_domain();
            say("clean");
        } else if (cmd == "running") {
            int domain = 0;
            in >> domain;
            say("running " + std::to_string(Kova::is_running_center(static_cast<domain_t>(domain))));
        }
    }
    Kova::finalize();
    return 0;
}
