// Drives probe_heap: one command at a time, its answer read up to the probe's "ok <n>".
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "test_process.h"

namespace kova_test {

class heap_probe {
public:
    heap_probe() { m_started = m_child.start({probe_path("probe_heap")}); }

    bool started() const { return m_started; }
    int pid() const { return m_child.pid(); }

    // Sends a command without waiting for its answer.
    void send(const std::string& in_cmd) {
        m_start = m_child.output().size();
        m_child.send_line(in_cmd);
        m_pending = "ok " + std::to_string(++m_count);
    }
    // The last command's answer without the "ok" line; "<no answer>" when none came in time.
    std::string answer(double in_timeout_s = 20.0) {
        if (!m_child.wait_for_line(m_pending, in_timeout_s)) return "<no answer>";
        const std::string& out = m_child.output();
        return out.substr(m_start, out.rfind(m_pending) - m_start);
    }
    std::string ask(const std::string& in_cmd, double in_timeout_s = 20.0) {
        send(in_cmd);
        return answer(in_timeout_s);
    }
    bool answer_arrives(double in_timeout_s = 20.0) { return m_child.wait_for_line(m_pending, in_timeout_s); }
    // The probe's exit status once it has ended (128 + the signal that ended it); -1 meanwhile.
    int status(double in_timeout_s = 20.0) { return m_child.wait(in_timeout_s); }

    // The value after "in_key " in an answer; -1 when absent.
    static long long value(const std::string& in_answer, const std::string& in_key, int in_index = 0) {
        size_t at = in_answer.find(in_key + " ");
        if (at == std::string::npos) return -1;
        const char* p = in_answer.c_str() + at + in_key.size() + 1;
        char* end = nullptr;
        long long v = std::strtoll(p, &end, 10);
        for (int i = 0; i < in_index; ++i) v = std::strtoll(end, &end, 10);
        return v;
    }

    // Allocates and returns the handle (0 when refused).
    unsigned alloc(unsigned in_len, unsigned in_min_free = 0) {
        std::string a = ask("alloc " + std::to_string(in_len) + " " + std::to_string(in_min_free));
        return value(a, "alloc") == 0 ? static_cast<unsigned>(value(a, "alloc", 1)) : 0;
    }

    // Sends a command that must end the probe with a heap report: its status and output.
    int fatal(const std::string& in_cmd, std::string* pout_output) {
        const size_t start = m_child.output().size();
        m_child.send_line(in_cmd);
        int st = m_child.wait(20.0);
        *pout_output = m_child.output().substr(start);
        return st;
    }

    std::string pid_text() const { return "kova - pid(" + std::to_string(m_child.pid()) + ")"; }

private:
    child_process m_child;
    bool m_started = false;
    int m_count = 0;
    std::string m_pending;
    size_t m_start = 0;
};

}  // namespace kova_test
