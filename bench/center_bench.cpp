// Packets per second through one center thread (run by hand): sender processes push
// packets for one local stub into the center pipe, the relay routes each into the
// receiver's listen pipe (keeping what a full one refuses in its backlog, retried as the
// center's own thread does), and the receiver frees them. Header-only and 1 KiB payloads,
// one and four senders; what arrived of what was sent, and the rate from the first arrival to
// the last. The sender side is this program started again with --sender.
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cfloat>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "Kova/Center/Center_Relay/class_center_relay.h"
#include "Kova/Common/Global/kova_global.h"
#include "Kova/Common/Hidden/struct_packet.h"
#include "Kova/Common/Interface/kova_memory_interface.h"
#include "Kova/Common/Open/Kova/kova_const.h"
#include "Kova/General_Center/IPC/class_center_ipc.h"
#include "Kova/General_Center/Object_Manager/class_object_manager.h"
#include "Kova/General_Common/IPC/class_process_listen_ipc.h"
#include "Kova/General_Common/IPC/class_process_return_ipc.h"
#include "Pimo/Memory/class_dynamic_shared_ref_memory.h"
#include "Pimo/OS/Linux/class_thread.h"

extern char** environ;
using namespace Kova;
using namespace Kova::Common::Interface;

namespace {

constexpr domain_t c_domain = 7990;
constexpr object_id_t c_stub = 5;

double now_s() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec + ts.tv_nsec * 1e-9;
}

pid_t spawn_sender(const std::string& in_memory, long in_count, size_t in_size) {
    char self[4096];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    self[n > 0 ? n : 0] = 0;
    std::string a[] = {self, "--sender", in_memory, std::to_string(in_count), std::to_string(in_size)};
    char* argv[] = {&a[0][0], &a[1][0], &a[2][0], &a[3][0], &a[4][0], nullptr};
    pid_t pid = -1;
    return posix_spawn(&pid, self, nullptr, nullptr, argv, environ) == 0 ? pid : -1;
}

int run_sender(const char* in_memory, long in_count, size_t in_size) {
    Pimo::Memory::class_dynamic_shared_ref_memory memory;
    if (memory.eproc_open(in_memory) != 0) return 1;
    Kova::Common::Global::gp_memory = &memory;
    Pimo::OS::vimra_update_cpu_hz();
    Kova::General_Common::IPC::abstract_center_ipc center;
    if (center.eproc_open(c_domain) != 0) return 1;
    for (long i = 0; i < in_count; ++i) {
        struct_token t;
        proc_alloc_header_force(t, __FILE__, __LINE__);
        struct_packet* p = get_header(t);
        std::memset(static_cast<void*>(p), 0, sizeof(*p));
        p->initialize_packet(c_local_host, Pimo::OS::vimra_cpu_clock(), 1e9);
        p->initialize_header(static_cast<pksize_t>(in_size), 1, c_mt_event, 1, 0);
        p->set_source(c_local_host, c_domain, 6);
        p->set_destination(c_local_host, c_domain, c_stub);
        if (in_size != 0) proc_alloc_data_force(t.data_mm, in_size, __FILE__, __LINE__);
        while (center.eproc_send(reinterpret_cast<Pimo::byte_t*>(&t), 0) == Pimo::OS::c_vimra_busy)
            Pimo::OS::thread_yield();
    }
    center.proc_close();
    memory.proc_close();
    return 0;
}

// What one run delivered: packets that arrived of those sent, and per second from the first
// arrival to the last.
struct run_result {
    long received = 0, sent = 0;
    double rate = 0;
};

// One run: in_senders processes of in_count packets each, received by this one until all came
// or nothing came for a second (what the backlog dropped stays lost).
run_result run_case(const std::string& in_memory, int in_senders, long in_count, size_t in_size) {
    Kova::General_Center::IPC::class_center_ipc center(c_domain, 32);
    Kova::General_Common::IPC::class_process_listen_ipc listen;
    Kova::General_Common::IPC::class_process_return_ipc ret;
    listen.eproc_create(getpid(), 16);
    ret.eproc_create(getpid(), 16);
    run_result result;
    result.sent = in_count * in_senders;
    {
        Kova::General_Center::Object_Manager::class_object_manager registry(c_domain);
        Kova::Center::Center_Relay::class_center_relay relay;
        registry.open_object_pipe(c_stub, getpid());
        // The center thread's loop: a packet kept for the full listen pipe is tried again after
        // each packet, and every retry period while nothing else comes.
        std::thread center_thread([&] {
            using Kova::Center::Center_Relay::class_center_relay;
            for (;;) {
                struct_token t;
                Pimo::byte_t* elem = reinterpret_cast<Pimo::byte_t*>(&t);
                const Pimo::OS::vimra_err_t r = relay.has_backlog()
                                                    ? center.eproc_receive_timeout(elem, class_center_relay::c_backlog_retry_s)
                                                    : center.eproc_receive(elem);
                if (r == Pimo::OS::c_vimra_timeout) {
                    relay.proc_retry_backlogs();
                    continue;
                }
                if (r != Pimo::OS::c_vimra_success) break;
                if (!t.has_header()) continue;
                relay.eproc_relay_from_kova_to_kova(t, get_header(t));
                relay.proc_retry_backlogs();
            }
        });
        std::vector<pid_t> pids;
        for (int i = 0; i < in_senders; ++i) pids.push_back(spawn_sender(in_memory, in_count, in_size));
        double first = 0, last = 0;
        while (result.received < result.sent) {
            struct_token t;
            // The senders start within seconds; after the first packet, a second of silence ends it.
            if (listen.eproc_receive_timeout(reinterpret_cast<Pimo::byte_t*>(&t), result.received ? 1.0 : 30.0) != 0)
                break;
            last = now_s();
            if (result.received++ == 0) first = last;
            safe_free_token(t, __FILE__, __LINE__);
        }
        result.rate = result.received > 1 && last > first ? (result.received - 1) / (last - first) : 0;
        for (pid_t pid : pids) waitpid(pid, nullptr, 0);
        center.proc_shutdown();
        center_thread.join();
    }
    listen.proc_destroy();
    ret.proc_destroy();
    return result;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 5 && std::strcmp(argv[1], "--sender") == 0)
        return run_sender(argv[2], std::atol(argv[3]), std::strtoul(argv[4], nullptr, 10));
    const std::string name = "center_bench_mem_" + std::to_string(getpid());
    Pimo::Memory::class_dynamic_shared_ref_memory memory;
    if (memory.eproc_create(name.c_str(), 64u << 20) != 0) return 1;
    Kova::Common::Global::gp_memory = &memory;
    Pimo::OS::vimra_update_cpu_hz();
    const long count = argc > 1 ? std::atol(argv[1]) : 100000;
    std::printf("packets per second through one center thread, %ld packets in all per run, median of 3 runs\n"
                "(received: the fewest of the 3 runs)\n",
                count);
    for (size_t size : {size_t(0), size_t(1024)}) {
        for (int senders : {1, 4}) {
            std::vector<double> rates;
            long fewest = count, sent = 0;
            for (int r = 0; r < 3; ++r) {
                const run_result got = run_case(name, senders, count / senders, size);
                rates.push_back(got.rate);
                fewest = std::min(fewest, got.received);
                sent = got.sent;
            }
            std::sort(rates.begin(), rates.end());
            std::printf("  %-12s %d sender%s -> 1 receiver: %10.0f packets/s, received %ld of %ld\n",
                        size ? "1 KiB" : "header-only", senders, senders > 1 ? "s" : " ", rates[1], fewest, sent);
        }
    }
    memory.proc_destroy();
    return 0;
}
