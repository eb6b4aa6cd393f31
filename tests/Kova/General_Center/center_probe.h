// Driving probe_center_app (service and application stand-ins) from center tests.
#pragma once
#include <string>

#include "test_process.h"

namespace kova_center_test {

inline std::string probe() { return kova_test::probe_path("probe_center_app"); }

// Sends a command and returns the probe's one-line answer.
inline std::string ask(kova_test::child_process& in_probe, const std::string& in_command, double in_timeout = 15.0) {
    const size_t from = in_probe.output().size();
    if (!in_probe.send_line(in_command)) return "send failed";
    const double until = kova_test::now_s() + in_timeout;
    while (kova_test::now_s() < until) {
        const std::string& out = in_probe.output();
        const size_t end = out.find('\n', from);
        if (end != std::string::npos) return out.substr(from, end - from);
        in_probe.wait_for_line("\x01", 0.05);  // reads more output
    }
    return "no answer";
}

}  // namespace kova_center_test
