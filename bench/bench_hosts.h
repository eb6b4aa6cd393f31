// What the benchmarks that run applications through the real service and center share.
#pragma once

#include <unistd.h>

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

// Starts the service of in_tree with the real center beside it in the install tree.
inline bool start_real_service(kova_test::service_host& in_tree, kova_test::child_process& out_service) {
    return in_tree.ok() && kova_test::copy_file(KOVA_CENTER_PROGRAM, in_tree.bin() + "Kova_General_Center") &&
           in_tree.start_service(out_service);
}

}  // namespace kova_bench
