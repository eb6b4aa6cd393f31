// Pipe and process-lock figures, printed as medians and p99 (run by hand).
//   pipe_bench            runs everything
// The pong side is this same program started again with --pong / --cv-pong.
#include <fcntl.h>
#include <pthread.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "Pimo/IPC/class_shared_pipe.h"
#include "Pimo/OS/Linux/class_locker.h"
#include "Pimo/OS/Linux/class_process_lock.h"

extern char** environ;
using namespace Pimo;
using namespace Pimo::OS;

namespace {

double now_ns() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1e9 + ts.tv_nsec;
}

pid_t spawn_self(const char* in_mode, const std::string& in_name) {
    char self[4096];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    self[n > 0 ? n : 0] = 0;
    std::string a0 = self, a1 = in_mode, a2 = in_name;
    char* argv[] = {&a0[0], &a1[0], &a2[0], nullptr};
    pid_t pid = -1;
    posix_spawn(&pid, self, nullptr, nullptr, argv, environ);
    return pid;
}

void report(const char* in_what, std::vector<double>& in_ns) {
    std::sort(in_ns.begin(), in_ns.end());
    std::printf("%-44s median %8.2f us   p99 %8.2f us   (n=%zu)\n", in_what, in_ns[in_ns.size() / 2] / 1000,
                in_ns[in_ns.size() * 99 / 100] / 1000, in_ns.size());
}

const int c_rounds = 20000;

int pong(const std::string& in_name) {
    IPC::class_shared_pipe ping, back;
    while (ping.eproc_open((in_name + "a").c_str(), 8) != c_vimra_success) ::usleep(1000);
    while (back.eproc_open((in_name + "b").c_str(), 8) != c_vimra_success) ::usleep(1000);
    u_int64_t token;
    while (ping.eproc_receive(reinterpret_cast<byte_t*>(&token)) == c_vimra_success) {
        if (token == ~0ull) break;
        back.eproc_send(reinterpret_cast<byte_t*>(&token), 0);
    }
    ping.proc_close();
    back.proc_close();
    return 0;
}

void pipe_ping_pong() {
    std::string name = "kb_" + std::to_string(getpid());
    IPC::class_shared_pipe ping, back;
    ping.eproc_create((name + "a").c_str(), 16, 8);
    back.eproc_create((name + "b").c_str(), 16, 8);
    pid_t child = spawn_self("--pong", name);
    std::vector<double> rt;
    rt.reserve(c_rounds);
    u_int64_t token = 0, got;
    for (int i = 0; i < c_rounds + 1000; ++i) {
        token = i;
        double t0 = now_ns();
        ping.eproc_send(reinterpret_cast<byte_t*>(&token), 0);
        back.eproc_receive(reinterpret_cast<byte_t*>(&got));
        if (i >= 1000) rt.push_back(now_ns() - t0);
    }
    token = ~0ull;
    ping.eproc_send(reinterpret_cast<byte_t*>(&token), 0);
    waitpid(child, nullptr, 0);
    report("pipe ping-pong round trip (2 processes)", rt);

    // Single producer into a drained pipe: push+pop pairs and bursts of 16.
    const int n = 200000;
    double t0 = now_ns();
    for (int i = 0; i < n; ++i) {
        ping.eproc_send(reinterpret_cast<byte_t*>(&token), 0);
        ping.eproc_pop(reinterpret_cast<byte_t*>(&got));
    }
    double dt = now_ns() - t0;
    std::printf("%-44s %8.2f M elements/s (send+pop, one thread)\n", "single-producer pipe throughput", n / dt * 1e3);
    ping.proc_destroy();
    back.proc_destroy();
    shm_unlink((name + "apipe").c_str());
    shm_unlink((name + "bpipe").c_str());
}

void process_lock_uncontended() {
    std::string name = "kb_lock_" + std::to_string(getpid());
    class_process_lock lock;
    lock.eproc_create_global(name.c_str(), false);
    const int n = 200000;
    std::vector<double> samples;
    for (int batch = 0; batch < 50; ++batch) {
        double t0 = now_ns();
        for (int i = 0; i < n / 50; ++i) {
            class_locker g(lock);
        }
        samples.push_back((now_ns() - t0) / (n / 50));
    }
    report("process lock acquire+release (uncontended)", samples);
    lock.proc_destroy();
}

struct cv_pair {
    pthread_mutex_t m;
    pthread_cond_t c;
    volatile int turn;  // 0: ping's turn done, waiting for pong
    volatile int stop;
};

cv_pair* map_cv(const std::string& in_name, bool in_create) {
    int fd = shm_open(in_name.c_str(), O_RDWR | (in_create ? O_CREAT : 0), 0600);
    if (fd < 0) return nullptr;
    if (in_create && ftruncate(fd, sizeof(cv_pair)) != 0) return nullptr;
    void* p = mmap(nullptr, sizeof(cv_pair), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    close(fd);
    return p == MAP_FAILED ? nullptr : static_cast<cv_pair*>(p);
}

int cv_pong(const std::string& in_name) {
    cv_pair* p = map_cv(in_name, false);
    pthread_mutex_lock(&p->m);
    for (;;) {
        while (p->turn != 1 && !p->stop) pthread_cond_wait(&p->c, &p->m);
        if (p->stop) break;
        p->turn = 0;
        pthread_cond_broadcast(&p->c);
    }
    pthread_mutex_unlock(&p->m);
    return 0;
}

void cv_ping_pong() {
    std::string name = "kb_cv_" + std::to_string(getpid());
    cv_pair* p = map_cv(name, true);
    pthread_mutexattr_t ma;
    pthread_mutexattr_init(&ma);
    pthread_mutexattr_setpshared(&ma, PTHREAD_PROCESS_SHARED);
    pthread_mutex_init(&p->m, &ma);
    pthread_condattr_t ca;
    pthread_condattr_init(&ca);
    pthread_condattr_setpshared(&ca, PTHREAD_PROCESS_SHARED);
    pthread_cond_init(&p->c, &ca);
    p->turn = 0;
    p->stop = 0;
    pid_t child = spawn_self("--cv-pong", name);
    std::vector<double> rt;
    for (int i = 0; i < c_rounds + 1000; ++i) {
        double t0 = now_ns();
        pthread_mutex_lock(&p->m);
        p->turn = 1;
        pthread_cond_broadcast(&p->c);
        while (p->turn != 0) pthread_cond_wait(&p->c, &p->m);
        pthread_mutex_unlock(&p->m);
        if (i >= 1000) rt.push_back(now_ns() - t0);
    }
    pthread_mutex_lock(&p->m);
    p->stop = 1;
    pthread_cond_broadcast(&p->c);
    pthread_mutex_unlock(&p->m);
    waitpid(child, nullptr, 0);
    report("raw process-shared condvar ping-pong (floor)", rt);
    shm_unlink(name.c_str());
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], "--pong") == 0) return pong(argv[2]);
    if (argc == 3 && std::strcmp(argv[1], "--cv-pong") == 0) return cv_pong(argv[2]);
    pipe_ping_pong();
    cv_ping_pong();
    process_lock_uncontended();
    return 0;
}
