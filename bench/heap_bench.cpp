// Shared packet heap figures (run by hand): alloc(72)+free pairs per second while other
// blocks stay live, with 1 and 4 processes contending for the host-wide heap lock.
//   heap_bench [seconds per case, default 1]
// The contenders are this same program started again with --worker.
#include <fcntl.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "Pimo/Memory/class_dynamic_shared_memory_pool.h"

extern char** environ;
using namespace Pimo;
using namespace Pimo::Memory;

namespace {

const char* const c_file = "heap_bench.cpp";
const int c_max_workers = 8;

struct struct_control {
    std::atomic<int> ready;
    std::atomic<int> go;
    double rate[c_max_workers];
};

double now_s() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

struct_control* map_control(const std::string& in_name, bool in_create) {
    int fd = shm_open(in_name.c_str(), O_RDWR | (in_create ? O_CREAT : 0), 0600);
    if (fd < 0) return nullptr;
    if (in_create && ftruncate(fd, sizeof(struct_control)) != 0) return nullptr;
    void* p = mmap(nullptr, sizeof(struct_control), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    close(fd);
    return p == MAP_FAILED ? nullptr : static_cast<struct_control*>(p);
}

pid_t spawn_worker(const std::string& in_name, int in_index, double in_seconds) {
    char self[4096];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    self[n > 0 ? n : 0] = 0;
    std::string a0 = self, a1 = "--worker", a2 = in_name, a3 = std::to_string(in_index),
                a4 = std::to_string(in_seconds);
    char* argv[] = {&a0[0], &a1[0], &a2[0], &a3[0], &a4[0], nullptr};
    pid_t pid = -1;
    posix_spawn(&pid, self, nullptr, nullptr, argv, environ);
    return pid;
}

int worker(const std::string& in_name, int in_index, double in_seconds) {
    class_dynamic_shared_memory_pool pool;
    if (pool.eproc_open(in_name.c_str()) != OS::c_vimra_success) return 2;
    struct_control* ctl = map_control(in_name + "_ctl", false);
    if (!ctl) return 3;
    ctl->ready.fetch_add(1);
    while (!ctl->go.load()) {
    }
    long pairs = 0;
    const double start = now_s();
    double end = start;
    for (;;) {
        for (int i = 0; i < 16; ++i) {
            mm_t mm = 0;
            if (pool.eproc_alloc(mm, 72, c_file, __LINE__) != OS::c_vimra_success) return 4;
            pool.proc_free(mm, c_file, __LINE__);
        }
        pairs += 16;
        end = now_s();
        if (end - start >= in_seconds) break;
    }
    ctl->rate[in_index] = pairs / (end - start);
    pool.proc_close();
    return 0;
}

void run_case(int in_live, int in_workers, double in_seconds) {
    const std::string name = "kb_heap_" + std::to_string(getpid()) + "_" + std::to_string(in_live) + "_" +
                             std::to_string(in_workers);
    class_dynamic_shared_memory_pool pool;
    if (pool.eproc_create(name.c_str(), 64u << 20) != OS::c_vimra_success) {
        std::printf("cannot create the memory\n");
        return;
    }
    // The other live blocks: mixed sizes, as packets and their payloads would be.
    // Every fifth is freed again, so that the trees hold more than one node.
    std::vector<mm_t> live;
    const int made = in_live + in_live / 4;
    for (int i = 0; i < made; ++i) {
        mm_t mm = 0;
        pool.eproc_alloc(mm, (i % 3 == 0) ? 72 : 64 + (i * 37) % 1500, c_file, __LINE__);
        live.push_back(mm);
    }
    for (int i = 4; i < made; i += 5) pool.proc_free(live[i], c_file, __LINE__);
    if (static_cast<int>(pool.get_alloc_count()) != in_live) std::printf("live blocks: %u\n", pool.get_alloc_count());

    struct_control* ctl = map_control(name + "_ctl", true);
    ctl->ready = 0;
    ctl->go = 0;
    std::vector<pid_t> pids;
    for (int w = 0; w < in_workers; ++w) pids.push_back(spawn_worker(name, w, in_seconds));
    while (ctl->ready.load() < in_workers) usleep(1000);
    ctl->go = 1;
    for (pid_t p : pids) waitpid(p, nullptr, 0);
    double total = 0;
    for (int w = 0; w < in_workers; ++w) total += ctl->rate[w];
    std::printf("alloc(72)+free  live %6d  processes %d   %10.0f pairs/s total   %10.0f per process   %8.2f us/pair\n",
                in_live, in_workers, total, total / in_workers, 1e6 / total);
    std::fflush(stdout);
    pool.proc_destroy();
    shm_unlink(name.c_str());
    shm_unlink((name + "_ctl").c_str());
    shm_unlink(("Global\\" + name + "_cr_lock").c_str());
    shm_unlink(("Global\\" + name + "_create").c_str());
    shm_unlink(("Global\\" + name + "_lock").c_str());
    shm_unlink((name + "_cr_lock").c_str());
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 5 && std::strcmp(argv[1], "--worker") == 0) return worker(argv[2], std::atoi(argv[3]), std::atof(argv[4]));
    const double seconds = argc > 1 ? std::atof(argv[1]) : 1.0;
    for (int live : {0, 1000, 10000})
        for (int workers : {1, 4}) run_case(live, workers, seconds);
    return 0;
}
