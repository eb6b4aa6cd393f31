// Plays centers and applications towards a running service; tests drive it on stdin.
//   probe_service_client
// Commands, each answered with one line:
//   open                       opens the packet memory, the debug and the service channel
//   send <domain> <msg>        posts a service token                   -> "sent <r>"
//   fill <domain> <msg>        posts until the channel is full         -> "filled <n>"
//   alloc <type> <code> <ip>   a header block holding such a packet     -> "mm <handle>"
//   trace <kind> <mm> <text>   a record through kova_debug_send (adds a reference) -> "traced"
//   raw <kind> <mm> <text>     a record written as is, no reference     -> "raw <r>"
//   flood <n> <mm>             n object-create records about mm         -> "flooded <sent>"
//   ref <mm> | resets | remain -> "ref <n>" | "resets <n>" | "remain <n>"
//   blocks                     blocks allocated and references held -> "blocks <n> <refs>"
//   drain [centers]            every center and application process of the host (or every
//                              center) has taken up what was queued for it before (see
//                              wait_for_host) -> "drained"
//   settled                    drain, then the service has written every trace record queued
//                              before (a mark), then "blocks" -> "blocks <n> <refs>", or
//                              "unsettled" when a pipe or the mark took more than 20 s
//   counts                     the memory's counters, as the manager shows them
//                              -> "counts <resets> <remain> <alloc_count> <refer_count>"
//   sites                      every allocated block -> "sites <mm>:<ref>:<allocation site>;..."
//   occupy <bytes>             takes blocks until at most that much is free -> "occupied <blocks>"
//   vacate                     gives them back -> "vacated"
//   hold | release             take and give back the memory's lock     -> "held" | "released"
//   stop <domain>              sets the domain's stop event             -> "stopped <r>"
//   claim <domain>             holds the domain as a center that is ending does: its stop
//                              event and a center pipe already shut down -> "claimed <r>"
//   unclaim                    lets go of it, pipe first, as that center ends -> "unclaimed"
#include <arpa/inet.h>
#include <dirent.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "Kova/Common/Global/kova_global.h"
#include "Kova/Common/Global/kova_send.h"
#include "Kova/Common/Global/struct_debug_token.h"
#include "Kova/Common/Hidden/struct_packet.h"
#include "Kova/General_Common/IPC/abstract_center_ipc.h"
#include "Kova/General_Common/IPC/class_debug_ipc.h"
#include "Kova/General_Common/IPC/class_process_listen_ipc.h"
#include "Kova/General_Common/IPC/class_process_return_ipc.h"
#include "Kova/General_Common/IPC/class_service_ipc.h"
#include "Kova/General_Common/IPC/kova_named_objects.h"
#include "Kova/General_Common/IPC/struct_service_token.h"
#include "Kova/General_Common/Memory/class_kova_memory.h"
#include "Pimo/IPC/class_shared_pipe.h"
#include "Pimo/Memory/class_dynamic_shared_ref_memory.h"
#include "Pimo/Memory/heap_record.h"
#include "Pimo/OS/Linux/class_event.h"
#include "Pimo/OS/Linux/vimra_time.h"

using namespace Kova;
using namespace Kova::General_Common::IPC;

namespace {

void say(const std::string& in_line) {
    std::printf("%s\n", in_line.c_str());
    std::fflush(stdout);
}

// The pipes of the host whose segments are <prefix><decimal number>pipe, with that number.
std::vector<std::pair<std::string, long>> pipes_named(const std::string& in_prefix) {
    std::vector<std::pair<std::string, long>> out;
    const std::string suffix = "pipe";
    if (DIR* d = opendir("/dev/shm")) {
        while (const dirent* e = readdir(d)) {
            const std::string n = e->d_name;
            if (n.size() <= in_prefix.size() + suffix.size() || n.compare(0, in_prefix.size(), in_prefix) != 0 ||
                n.compare(n.size() - suffix.size(), suffix.size(), suffix) != 0 ||
                n.find_first_not_of("0123456789", in_prefix.size()) != n.size() - suffix.size())
                continue;
            const std::string name = n.substr(0, n.size() - suffix.size());
            out.emplace_back(name, std::stol(name.substr(in_prefix.size())));
        }
        closedir(d);
    }
    return out;
}

// A process that runs (not gone, not a zombie waiting to be reaped).
bool is_running(long in_pid) {
    std::ifstream f("/proc/" + std::to_string(in_pid) + "/stat");
    std::string stat((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    const size_t paren = stat.rfind(')');
    return paren != std::string::npos && paren + 2 < stat.size() && stat[paren + 2] != 'Z' && stat[paren + 2] != 'X';
}

// Sends a token without a header block and without a delay into in_name and waits until the
// pipe is seen empty: its reader has taken everything queued before. False when it did not
// empty by in_end while in_pid (0: the reader is not named) still runs.
bool wait_taken(const std::string& in_name, long in_pid, std::chrono::steady_clock::time_point in_end) {
    Pimo::IPC::class_shared_pipe pipe;
    if (pipe.eproc_open(in_name.c_str(), sizeof(struct_token)) != 0) return true;  // gone meanwhile
    const struct_token nothing;
    bool sent = false, ok = true;
    while (!(sent && pipe.test_empty()) && !pipe.test_shutdown()) {
        if (!sent) sent = pipe.eproc_send(reinterpret_cast<const Pimo::byte_t*>(&nothing), 0) == 0;
        if (in_pid != 0 && !is_running(in_pid)) break;  // nobody will read it
        if (std::chrono::steady_clock::now() > in_end) {
            ok = false;
            break;
        }
        Pimo::OS::usleep(200);
    }
    pipe.proc_close();
    return ok;
}

// What was queued before now for the host's centers and applications has been taken up:
// - a center thread takes one token at a time and routes it to completion, so once it has
//   taken the token sent after the others, they are done (what they made for applications
//   is in their pipes, or in the center's backlog for a full one);
// - the listeners of an application take tokens one at a time under the listen pipe's serial
//   lock, which each keeps until it holds the processor's read lock for its packet: once the
//   token sent after the others is taken, every packet before it is done or held under the read
//   lock, where the application's own write lock waits for it (the probes' "quiet");
// - the returner takes replies one at a time, and so does each center again for what the
//   applications answered meanwhile.
// False when a pipe did not empty within 20 s. With in_centers_only, only the first step (an
// application that does not read, a stopped one, would hold the others up).
bool wait_for_host(bool in_centers_only = false) {
    using namespace Kova::General_Common::IPC;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    bool ok = true;
    for (const auto& p : pipes_named(abstract_center_ipc::str_name)) ok = wait_taken(p.first, 0, end) && ok;
    if (in_centers_only) return ok;
    for (const std::string& prefix :
         {std::string(class_process_listen_ipc::c_str_name) + "_", std::string(class_process_return_ipc::c_str_name)})
        for (const auto& p : pipes_named(prefix)) ok = wait_taken(p.first, p.second, end) && ok;
    for (const auto& p : pipes_named(abstract_center_ipc::str_name)) ok = wait_taken(p.first, 0, end) && ok;
    return ok;
}

// Sends a mark and waits until the service's log thread has written it: every trace record
// queued before it is written then, and the block it held released. The word keeps only the
// last mark, so another sender's mark seen there may have hidden ours: ours goes again.
bool wait_for_mark(class_debug_ipc& in_debug, Pimo::u_int32_t& pin_number) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    Pimo::u_int64_t seen = in_debug.get_last_mark();
    bool sent = false;
    while (std::chrono::steady_clock::now() < end) {
        if (!sent) {
            ++pin_number;
            sent = in_debug.eproc_send_mark(pin_number) == 0;
        }
        const Pimo::u_int64_t now = in_debug.get_last_mark();
        if (sent && now == class_debug_ipc::make_mark(static_cast<Pimo::OS::process_id_t>(getpid()), pin_number))
            return true;
        if (now != seen) sent = false;
        seen = now;
        Pimo::OS::usleep(200);
    }
    return false;
}

}  // namespace

int main() {
    // The plain memory: no death watch, so the tests decide when this process ends.
    Pimo::Memory::class_dynamic_shared_ref_memory memory;
    class_debug_ipc debug;
    class_service_ipc service;
    Pimo::OS::class_event claimed_stop;
    std::vector<Pimo::Memory::mm_t> occupied;
    Pimo::u_int32_t marks = 0;
    abstract_center_ipc claimed_pipe;
    std::string line;
    while (std::getline(std::cin, line)) {
        std::istringstream in(line);
        std::string cmd;
        in >> cmd;
        if (cmd == "open") {
            const int r1 = memory.eproc_open(General_Common::Memory::class_kova_memory::str_name);
            if (r1 == 0) Common::Global::gp_memory = &memory;
            const int r2 = debug.eproc_open();
            const int r3 = service.eproc_open();
            say("opened " + std::to_string(r1) + " " + std::to_string(r2) + " " + std::to_string(r3));
        } else if (cmd == "send" || cmd == "fill") {
            unsigned domain = 0, msg = 0;
            in >> domain >> msg;
            struct_service_token t{static_cast<domain_t>(domain), static_cast<std::uint16_t>(msg)};
            if (cmd == "send") {
                say("sent " + std::to_string(service.eproc_send(reinterpret_cast<const Pimo::byte_t*>(&t), 0)));
            } else {
                int n = 0;
                while (service.eproc_send(reinterpret_cast<const Pimo::byte_t*>(&t), 0) == 0) ++n;
                say("filled " + std::to_string(n));
            }
        } else if (cmd == "alloc") {
            unsigned type = 0, code = 0;
            std::string ip;
            in >> type >> code >> ip;
            Pimo::Memory::mm_t mm = 0;
            memory.eproc_alloc(mm, sizeof(struct_packet), __FILE__, __LINE__);
            if (mm) {
                struct_packet* p = static_cast<struct_packet*>(memory.get_addr(mm));
                std::memset(static_cast<void*>(p), 0, sizeof *p);
                p->packet_limit_time = 1.5;
                p->packet_live_time = 0.25;
                p->src_ip = inet_addr(ip.c_str());
                p->dst_ip = inet_addr("127.0.0.1");
                p->mct_if = inet_addr("0.0.0.0");
                p->dst_port = 7000;
                p->header.sport = 7000;
                p->header.type = static_cast<msg_type_t>(type);
                p->header.code = static_cast<msg_code_t>(code);
                p->header.sid = 0x8001;
                p->header.did = 5;
                p->header.num = 9;
                p->header.size = 0;
            }
            say("mm " + std::to_string(mm));
        } else if (cmd == "trace" || cmd == "raw") {
            std::string kind, text;
            unsigned long mm = 0;
            in >> kind >> mm;
            std::getline(in >> std::ws, text);
            struct_token t;
            t.header_mm = static_cast<Pimo::Memory::mm_t>(mm);
            if (cmd == "trace") {
                Common::Global::kova_debug_send(kind[0], t, "probe_service_client", 1, "%s", text.c_str());
                say("traced");
            } else {
                struct_debug_token r;
                std::memset(static_cast<void*>(&r), 0, sizeof r);
                r.type = kind[0];
                r.pid = static_cast<std::int32_t>(getpid());
                r.token = t;
                std::snprintf(r.doc, sizeof r.doc, "probe_service_client - 2 lines");
                std::snprintf(r.str, sizeof r.str, "%s", text.c_str());
                say("raw " + std::to_string(debug.eproc_send(reinterpret_cast<const Pimo::byte_t*>(&r), 0)));
            }
        } else if (cmd == "flood") {
            unsigned long n = 0, mm = 0;
            in >> n >> mm;
            struct_token t;
            t.header_mm = static_cast<Pimo::Memory::mm_t>(mm);
            for (unsigned long i = 0; i < n; ++i)
                Common::Global::kova_debug_send('C', t, "probe_service_client", 3, "flood %lu", i);
            say("flooded " + std::to_string(n));
        } else if (cmd == "ref") {
            unsigned long mm = 0;
            in >> mm;
            say("ref " + std::to_string(memory.get_ref(static_cast<Pimo::Memory::mm_t>(mm))));
        } else if (cmd == "resets") {
            say("resets " + std::to_string(memory.get_reset_count()));
        } else if (cmd == "remain") {
            say("remain " + std::to_string(memory.get_remain()));
        } else if (cmd == "drain") {
            std::string what;
            in >> what;
            say(wait_for_host(what == "centers") ? "drained" : "undrained");
        } else if (cmd == "blocks" || cmd == "settled") {
            if (cmd == "settled" && !(wait_for_host() && wait_for_mark(debug, marks))) {
                say("unsettled");
                continue;
            }
            say("blocks " + std::to_string(memory.get_alloc_count()) + " " + std::to_string(memory.get_refer_count()));
        } else if (cmd == "counts") {
            say("counts " + std::to_string(memory.get_reset_count()) + " " + std::to_string(memory.get_remain()) +
                " " + std::to_string(memory.get_alloc_count()) + " " + std::to_string(memory.get_refer_count()));
        } else if (cmd == "sites") {
            // A walk without the lock: a picture for a test's failure message, nothing more.
            std::string out = "sites";
            const Pimo::byte_t* base = static_cast<const Pimo::byte_t*>(memory.get_addr(0));
            const size_t end = memory.get_pool().get_heap() ? memory.get_pool().get_heap()->get_segment_size() : 0;
            for (size_t pos = Pimo::Memory::c_first_block; pos + Pimo::Memory::c_heap_block_size <= end;) {
                const auto* b = reinterpret_cast<const Pimo::Memory::HEAP_BLOCK*>(base + pos);
                if (b->ref != 0)
                    out += " " + std::to_string(pos + Pimo::Memory::c_heap_block_size) + ":" + std::to_string(b->ref) +
                           ":" + std::string(b->str, strnlen(b->str, sizeof b->str)) + ";";
                pos += Pimo::Memory::c_heap_block_size + b->len.key;
            }
            say(out);
        } else if (cmd == "occupy") {
            unsigned long leave = 0;
            in >> leave;
            for (unsigned long size = 1u << 20; size >= 8 && memory.get_remain() > leave; size /= 2) {
                Pimo::Memory::mm_t mm = 0;
                while (memory.get_remain() > leave + size && memory.eproc_alloc(mm, size, __FILE__, __LINE__) == 0)
                    occupied.push_back(mm);
            }
            say("occupied " + std::to_string(occupied.size()));
        } else if (cmd == "vacate") {
            for (Pimo::Memory::mm_t& mm : occupied) memory.safe_free(mm, __FILE__, __LINE__);
            occupied.clear();
            say("vacated");
        } else if (cmd == "hold") {
            memory.proc_stop();
            say("held");
        } else if (cmd == "release") {
            memory.proc_continue();
            say("released");
        } else if (cmd == "stop") {
            unsigned domain = 0;
            in >> domain;
            Pimo::OS::class_event e;
            int r = e.eproc_open_global(get_center_killer_name(static_cast<domain_t>(domain)));
            if (r == 0) {
                e.proc_set();
                e.proc_close();
            }
            say("stopped " + std::to_string(r));
        } else if (cmd == "claim") {
            unsigned domain = 0;
            in >> domain;
            int r = claimed_stop.eproc_create_global(get_center_killer_name(static_cast<domain_t>(domain)), false);
            if (r == 0) r = claimed_pipe.eproc_create(static_cast<domain_t>(domain), abstract_center_ipc::c_depth);
            if (r == 0) claimed_pipe.proc_shutdown();
            say("claimed " + std::to_string(r));
        } else if (cmd == "unclaim") {
            claimed_pipe.proc_destroy();
            claimed_stop.proc_destroy();
            say("unclaimed");
        } else if (cmd == "exit") {
            break;
        }
    }
    Common::Global::gp_memory = nullptr;
    service.proc_close();
    debug.proc_close();
    memory.proc_close();
    return 0;
}
