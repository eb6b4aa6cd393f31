// Stands in for the programs around a center, using the protocol core directly.
//   probe_center_app host                  creates the packet memory, debug and service channels
//   probe_center_app app <domain>          an application: listen and return pipes, the center pipe
//   probe_center_app kill <domain>         sets the center's stop event and exits
// Commands (stdin), each answered by one line:
//   host: service [timeout] | debug <kind> [timeout] | blocks | die | exit
//   app:  stub <id> | stubs <first> <count> | proxy <id> <ip> <stub> | destroy <id> <ip> <did>
//         send <type> <sid> <ip> <did> <size> [code] | sendif <interface ip> <type> ... | recv listen|return [timeout] | drain | reply | delay <s> | die | exit
#include <arpa/inet.h>
#include <unistd.h>

#include <cfloat>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <sstream>
#include <string>

#include "Kova/Common/Global/kova_global.h"
#include "Kova/Common/Global/struct_debug_token.h"
#include "Kova/Common/Hidden/struct_packet.h"
#include "Kova/Common/Interface/kova_memory_interface.h"
#include "Kova/Common/Open/Kova/kova_const.h"
#include "Kova/General_Common/IPC/abstract_center_ipc.h"
#include "Kova/General_Common/IPC/class_debug_ipc.h"
#include "Kova/General_Common/IPC/class_process_listen_ipc.h"
#include "Kova/General_Common/IPC/class_process_return_ipc.h"
#include "Kova/General_Common/IPC/class_service_ipc.h"
#include "Kova/General_Common/IPC/kova_named_objects.h"
#include "Kova/General_Common/IPC/struct_service_token.h"
#include "Kova/General_Common/Memory/class_kova_memory.h"
#include "Pimo/OS/Linux/class_event.h"
#include "Pimo/OS/Linux/vimra_time.h"

using namespace Kova;
using namespace Kova::Common::Interface;
using namespace Kova::General_Common::IPC;

namespace {

void say(const std::string& in_line) {
    std::printf("%s\n", in_line.c_str());
    std::fflush(stdout);
}

Pimo::byte_t* bytes(void* p) { return static_cast<Pimo::byte_t*>(p); }

class app {
public:
    explicit app(domain_t in_domain) : m_domain(in_domain) {}

    bool start() {
        while (m_memory.eproc_open() != Pimo::OS::c_vimra_success) Pimo::OS::rtsleep(0.05);
        Kova::Common::Global::gp_memory = &m_memory;
        Pimo::OS::vimra_update_cpu_hz();
        const Pimo::OS::process_id_t pid = getpid();
        if (m_listen.eproc_create(pid, 16) != 0 || m_return.eproc_create(pid, 16) != 0) return false;
        const double until = Pimo::OS::vimra_clock() + 5000.0;
        while (m_center.eproc_open(m_domain) != Pimo::OS::c_vimra_success) {
            if (Pimo::OS::vimra_clock() > until) return false;
            Pimo::OS::rtsleep(0.05);
        }
        return true;
    }

    struct_token packet(ip_t in_src, object_id_t in_sid, ip_t in_dst, object_id_t in_did, msg_type_t in_type,
                        msg_code_t in_code, size_t in_size, double in_limit) {
        struct_token t;
        proc_alloc_header_force(t, __FILE__, __LINE__);
        struct_packet* p = get_header(t);
        std::memset(static_cast<void*>(p), 0, sizeof(*p));
        p->initialize_packet(c_local_host, Pimo::OS::vimra_cpu_clock(), in_limit);
        p->initialize_header(static_cast<pksize_t>(in_size), 1, in_type, in_code, 0);
        p->set_source(in_src, m_domain, in_sid);
        p->set_destination(in_dst, m_domain, in_did);
        if (in_size != 0) {
            proc_alloc_data_force(t.data_mm, in_size, __FILE__, __LINE__);
            std::memset(get_data(t), 0x5A, in_size);
        }
        return t;
    }
    // A control packet; with in_pid it carries the process id in a data block and size 0.
    struct_token control(object_id_t in_sid, ip_t in_dst, object_id_t in_did, msg_code_t in_code, bool in_pid) {
        struct_token t = packet(c_local_host, in_sid, in_dst, in_did, c_mt_ctrl, in_code, 0, DBL_MAX);
        if (in_pid) {
            proc_alloc_data_force(t.data_mm, 8, __FILE__, __LINE__);
            const std::int32_t pid = getpid();
            std::memcpy(get_data(t), &pid, sizeof(pid));
        }
        return t;
    }
    int push(struct_token& in_token) {
        for (;;) {
            const int r = m_center.eproc_send(bytes(&in_token), 0);
            if (r != Pimo::OS::c_vimra_busy) {
                if (r != 0) safe_free_token(in_token, __FILE__, __LINE__);
                return r;
            }
            Pimo::OS::rtsleep(0.001);
        }
    }
    std::string recv(Pimo::IPC::class_shared_pipe& in_pipe, double in_timeout) {
        struct_token t;
        const int r = in_pipe.eproc_receive_timeout(bytes(&t), in_timeout);
        if (r != 0) return "none " + std::to_string(r);
        const struct_packet* p = get_header(t);
        std::ostringstream out;
        out << "got " << int(p->header.type) << " " << p->header.code << " " << p->header.error << " "
            << p->header.sid << " " << p->header.did << " " << p->header.size << " " << (t.data_mm ? "data" : "nodata");
        safe_free_token(t, __FILE__, __LINE__);
        return out.str();
    }
    std::string reply() {
        struct_token t;
        if (m_listen.eproc_receive_timeout(bytes(&t), 10.0) != 0) return "none";
        struct_packet* p = get_header(t);
        const int type = p->header.type;
        p->backward_return_switch();
        p->initialize_packet(c_local_host, Pimo::OS::vimra_cpu_clock(), 10.0);
        return "replied " + std::to_string(type) + " " + std::to_string(push(t));
    }

    void run() {
        std::string line;
        while (std::getline(std::cin, line)) {
            std::istringstream in(line);
            std::string cmd;
            in >> cmd;
            if (cmd == "stub") {
                unsigned id = 0;
                in >> id;
                struct_token t = control(id, c_broadcast_ip, c_broadcast_proxy_id, c_mccr_object_create, true);
                say("sent " + std::to_string(push(t)));
            } else if (cmd == "stubs") {
                unsigned first = 0, count = 0;
                in >> first >> count;
                int r = 0;
                for (unsigned i = 0; i < count; ++i) {
                    struct_token t =
                        control(first + i, c_broadcast_ip, c_broadcast_proxy_id, c_mccr_object_create, true);
                    r |= push(t);
                }
                say("sent " + std::to_string(r));
            } else if (cmd == "proxy" || cmd == "destroy") {
                unsigned id = 0, did = 0;
                std::string ip;
                in >> id >> ip >> did;
                struct_token t = control(id, ::inet_addr(ip.c_str()), did,
                                         cmd == "proxy" ? c_mccr_object_request : c_mccr_object_destroy,
                                         cmd == "proxy");
                if (cmd == "destroy") get_header(t)->header.error = 2;
                say("sent " + std::to_string(push(t)));
            } else if (cmd == "send" || cmd == "sendif") {
                unsigned type = 0, sid = 0, did = 0, size = 0, code = 0x0102;
                std::string ip, ifip = "127.0.0.1";
                if (cmd == "sendif") in >> ifip;
                in >> type >> sid >> ip >> did >> size >> code;
                struct_token t = packet(c_local_host, sid, ::inet_addr(ip.c_str()), did, type, code, size, 10.0);
                get_header(t)->mct_if = ::inet_addr(ifip.c_str());
                say("sent " + std::to_string(push(t)));
            } else if (cmd == "recv") {
                std::string which;
                double timeout = 10.0;
                in >> which >> timeout;
                say(recv(which == "return" ? static_cast<Pimo::IPC::class_shared_pipe&>(m_return) : m_listen, timeout));
            } else if (cmd == "drain") {  // reads the listen pipe until it stays empty for 0.5 s
                int n = 0;
                while (recv(m_listen, 0.5).compare(0, 3, "got") == 0) ++n;
                say("drained " + std::to_string(n));
            } else if (cmd == "reply") {
                say(reply());
            } else if (cmd == "delay") {
                struct_token t;
                in >> t.data_mm;
                say("sent " + std::to_string(m_center.eproc_send(bytes(&t), 0)));
            } else if (cmd == "die") {
                _exit(0);
            } else if (cmd == "exit") {
                break;
            }
        }
        m_center.proc_close();
        m_listen.proc_destroy();
        m_return.proc_destroy();
    }

private:
    domain_t m_domain;
    Kova::General_Common::Memory::class_kova_memory m_memory;
    abstract_center_ipc m_center;
    class_process_listen_ipc m_listen;
    class_process_return_ipc m_return;
};

int run_host() {
    Kova::General_Common::Memory::class_kova_memory memory;
    class_debug_ipc debug;
    class_service_ipc service;
    if (memory.eproc_create(64u << 20) != 0 || debug.eproc_create(class_debug_ipc::c_depth) != 0 ||
        service.eproc_create(class_service_ipc::c_depth) != 0) {
        say("host failed");
        return 1;
    }
    Kova::Common::Global::gp_memory = &memory;
    // The log's own releases must not describe themselves into the channel it drains.
    Kova::Common::Global::gp_debug_ipc = nullptr;
    say("host ready");
    std::string line;
    while (std::getline(std::cin, line)) {
        std::istringstream in(line);
        std::string cmd;
        in >> cmd;
        if (cmd == "service") {
            double timeout = 10.0;
            in >> timeout;
            General_Common::IPC::struct_service_token s{};
            if (service.eproc_receive_timeout(bytes(&s), timeout) == 0)
                say("service " + std::to_string(s.domain) + " " + std::to_string(s.msg));
            else
                say("service none");
        } else if (cmd == "debug" || cmd == "blocks") {
            std::string kind = "-";
            double timeout = 10.0;
            in >> kind >> timeout;
            if (cmd == "blocks") timeout = 0.0;
            std::string found = "debug none";
            struct_debug_token record;
            while (debug.eproc_receive_timeout(bytes(&record), timeout) == 0) {
                safe_free_mm(record.token.header_mm, __FILE__, __LINE__);
                if (record.type == kind[0]) {
                    found = std::string("debug ") + record.type + " " + record.str;
                    break;
                }
            }
            say(cmd == "blocks" ? "blocks " + std::to_string(memory.get_alloc_count()) : found);
        } else if (cmd == "die") {
            _exit(0);
        } else if (cmd == "exit") {
            break;
        }
    }
    service.proc_destroy();
    debug.proc_destroy();
    memory.proc_destroy();
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return 2;
    const std::string role = argv[1];
    if (role == "host") return run_host();
    if (argc < 3) return 2;
    const domain_t domain = static_cast<domain_t>(std::atoi(argv[2]));
    if (role == "kill") {
        Pimo::OS::class_event stop;
        const int r = stop.eproc_open_global(get_center_killer_name(domain));
        if (r == 0) {
            stop.proc_set();
            stop.proc_close();
        }
        say("kill " + std::to_string(r));
        return r == 0 ? 0 : 1;
    }
    if (role != "app") return 2;
    app a(domain);
    if (!a.start()) {
        say("app failed");
        return 1;
    }
    say("app " + std::to_string(getpid()));
    a.run();
    return 0;
}
