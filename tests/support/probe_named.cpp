// Probe for named objects: each command acts on one name in its own process, prints its
// results as lines, and either exits or stays alive (holding what it made) until killed.
#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "Pimo/OS/Linux/class_event.h"
#include "Pimo/OS/Linux/class_process_lock.h"
#include "Pimo/OS/Linux/class_shared_memory.h"
#include "test_process.h"

using namespace Pimo::OS;

namespace {

void say(const char* in_fmt, long long in_a = 0, long long in_b = 0, long long in_c = 0) {
    std::printf(in_fmt, in_a, in_b, in_c);
    std::printf("\n");
    std::fflush(stdout);
}

[[noreturn]] void stay() {
    for (;;) pause();
}

long long ms_since(double in_start) { return static_cast<long long>((kova_test::now_s() - in_start) * 1000.0); }

int list_fds() {
    DIR* d = opendir("/proc/self/fd");
    if (!d) return 1;
    while (dirent* e = readdir(d)) {
        char link[512] = {0};
        std::string p = std::string("/proc/self/fd/") + e->d_name;
        if (readlink(p.c_str(), link, sizeof link - 1) > 0) std::printf("fd %s %s\n", e->d_name, link);
    }
    closedir(d);
    std::printf("end\n");
    std::fflush(stdout);
    return 0;
}

int hold_event_mutex(const std::string& in_name) {
    int fd = shm_open(in_name.c_str(), O_RDWR, 0);
    if (fd < 0) return 2;
    void* p = mmap(nullptr, sizeof(class_event::struct_event_object), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (p == MAP_FAILED) return 3;
    auto* rec = static_cast<class_event::struct_event_object*>(p);
    int e = pthread_mutex_lock(&rec->mutex);
    if (e == EOWNERDEAD) pthread_mutex_consistent(&rec->mutex);
    say("locked");
    stay();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return 100;
    const std::string cmd = argv[1];
    if (cmd == "fds") return list_fds();
    if (argc < 3) return 100;
    const std::string name = argv[2];
    const char* arg3 = argc > 3 ? argv[3] : "0";
    const char* arg4 = argc > 4 ? argv[4] : "0";

    if (cmd == "lock_create") {  // [immediately_lock]
        class_process_lock lk;
        int r = lk.eproc_create_local(name, std::atoi(arg3) != 0);
        say("create %lld", r);
        if (r == 0) stay();
        return 0;
    }
    if (cmd == "lock_open_hold") {
        class_process_lock lk;
        int r = lk.eproc_open(name, 0777);
        say("open %lld", r);
        if (r != 0) return 0;
        lk.proc_wait();
        say("held");
        stay();
    }
    if (cmd == "lock_try") {
        class_process_lock lk;
        int r = lk.eproc_open(name, 0777);
        say("open %lld", r);
        if (r == 0) say("try %lld", lk.eproc_wait_try());
        return 0;
    }
    if (cmd == "shm_create") {  // size
        class_shared_memory m;
        int r = m.eproc_create(name, std::strtoull(arg3, nullptr, 0));
        if (r == 0) std::memset(m.get_pointer(), 0xA5, m.get_size());
        say("create %lld", r);
        if (r == 0) stay();
        return 0;
    }
    if (cmd == "evt_create") {  // manual
        class_event ev;
        int r = ev.eproc_create_local(name, std::atoi(arg3) != 0);
        say("create %lld", r);
        if (r == 0) stay();
        return 0;
    }
    if (cmd == "evt_wait") {  // type (0 wait, 1 try, 2 timeout), seconds
        class_event ev;
        int r = ev.eproc_open_local(name);
        if (r != 0) {
            say("open %lld", r);
            return 0;
        }
        say("ready");
        double start = kova_test::now_s();
        int type = std::atoi(arg3);
        if (type == class_event::c_wait)
            r = ev.eproc_wait();
        else if (type == class_event::c_try)
            r = ev.eproc_wait_try();
        else
            r = ev.eproc_wait_timeout(std::atof(arg4));
        say("wait %lld %lld", r, ms_since(start));
        ev.proc_close();
        return 0;
    }
    if (cmd == "evt_signal") {  // op: set, pulse, reset, cancel
        class_event ev;
        int r = ev.eproc_open_local(name);
        say("open %lld", r);
        if (r != 0) return 0;
        std::string op = arg3;
        if (op == "set") ev.proc_set();
        if (op == "pulse") ev.proc_pulse();
        if (op == "reset") ev.proc_reset();
        if (op == "cancel") ev.proc_cancel();
        say("done");
        ev.proc_close();
        return 0;
    }
    if (cmd == "evt_setwait") {
        class_event ev;
        int r = ev.eproc_open_local(name);
        say("open %lld", r);
        if (r != 0) return 0;
        ev.proc_set();
        say("setwait %lld", ev.eproc_wait_try());
        ev.proc_close();
        return 0;
    }
    if (cmd == "evt_hold_mutex") return hold_event_mutex(name);
    return 100;
}
