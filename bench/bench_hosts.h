// What the benchmarks that run applications through the real service and center share.
#pragma once

#include <sys/types.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "../tests/Kova/General_Service/service_host.h"

namespace kova_bench {

// This program's own path, to start it again in another role inside a host.
inline std::string self_path() {
    char self[4096];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof(self) - 1);
    self[n > 0 ? n : 0] = 0;
    return self;
}

// True when private hosts can be made here (root with unshare and nsenter); else says why not.
inline bool private_hosts_available() {
    std::string why;
    if (kova_test::private_host::available(&why)) return true;
    std::printf("no private host: %s\n", why.c_str());
    return false;
}

// Starts the service of in_tree with the real center beside it in the install tree.
inline bool start_real_service(kova_test::service_host& in_tree, kova_test::child_process& out_service) {
    return in_tree.ok() && kova_test::copy_file(KOVA_CENTER_PROGRAM, in_tree.bin() + "Kova_General_Center") &&
           in_tree.start_service(out_service);
}

// The file name of the program in_pid runs ("" once it is gone). Its comm is cut to 15
// characters: the executable tells it whole.
inline std::string program_of(pid_t in_pid) {
    char path[4096];
    const ssize_t n = readlink(("/proc/" + std::to_string(in_pid) + "/exe").c_str(), path, sizeof(path) - 1);
    if (n <= 0) return "";
    path[n] = 0;
    const std::string p = path;
    return p.substr(p.rfind('/') + 1);
}

// The first process of in_host that runs in_program (the service, the center), -1 if none.
inline pid_t program_pid(const kova_test::private_host& in_host, const std::string& in_program) {
    for (pid_t p : in_host.processes())
        if (program_of(p) == in_program) return p;
    return -1;
}

// "center" or "service" for the programs of a host, else the program's file name.
inline std::string host_program_of(pid_t in_pid) {
    const std::string program = program_of(in_pid);
    return program == "Kova_General_Center" ? "center" : program == "Kova_General_Service" ? "service" : program;
}

}  // namespace kova_bench
