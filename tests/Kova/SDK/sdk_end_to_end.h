// Applications of the SDK's public interface as real processes, driven on stdin, in a
// private host that runs the real service and center.
#pragma once

#include <unistd.h>

#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "../General_Service/service_host.h"

namespace kova_test {

inline std::vector<std::string> words(const std::string& in_line) {
    std::istringstream in(in_line);
    std::vector<std::string> out;
    for (std::string w; in >> w;) out.push_back(w);
    return out;
}

// A result line without its last word (the milliseconds the request took).
inline std::string without_time(const std::string& in_line) {
    const size_t sp = in_line.rfind(' ');
    return sp == std::string::npos ? in_line : in_line.substr(0, sp);
}

// The result word of a "call" or "signal" line.
inline std::string result_of(const std::string& in_line) {
    const std::vector<std::string> w = words(in_line);
    return w.size() > 2 ? w[2] : "";
}

inline long time_of(const std::string& in_line) {
    const std::vector<std::string> w = words(in_line);
    return w.empty() ? -1 : std::stol(w.back());
}

// One application probe (probe_call_app, probe_event_app) inside a host.
class probe_app {
public:
    probe_app(private_host& in_host, const std::string& in_probe) : m_child(in_host.spawn({probe_path(in_probe)})) {}

    // in_listeners: the SDK's listener threads; 0 for its default.
    bool init(unsigned in_listeners = 0) {
        m_child.send_line(in_listeners ? "init " + std::to_string(in_listeners) : "init");
        return !wait("initialized").empty();
    }
    void send(const std::string& in_command) { m_child.send_line(in_command); }
    // Sends a command; its answer is the first later line that begins with its first two words.
    std::string command(const std::string& in_command) {
        const size_t from = mark();
        const std::vector<std::string> w = words(in_command);
        send(in_command);
        return wait(w.size() > 1 ? w[0] + " " + w[1] + " " : w[0], 20.0, from);
    }
    // The first line at or after in_from that begins with in_prefix; "" on time-out.
    std::string wait(const std::string& in_prefix, double in_timeout_s = 10.0, size_t in_from = 0) {
        const double end = now_s() + in_timeout_s;
        for (;;) {
            const std::string& out = m_child.output();
            for (size_t at = in_from; at < out.size();) {
                const size_t e = out.find('\n', at);
                if (e == std::string::npos) break;
                if (out.compare(at, in_prefix.size(), in_prefix) == 0) return out.substr(at, e - at);
                at = e + 1;
            }
            if (now_s() > end) return "";
            m_child.wait_for_line("\x01", 0.02);  // reads what has come
        }
    }
    size_t mark() {
        m_child.wait_for_line("\x01", 0.0);
        return m_child.output().size();
    }
    // The object id in a "stub"/"proxy" answer.
    static std::string id_of(const std::string& in_answer) {
        const std::vector<std::string> w = words(in_answer);
        return w.size() == 4 ? w[3] : "";
    }
    // Ends the application through its own finalize; its exit status.
    int exit(double in_timeout_s = 10.0) {
        send("exit");
        return m_child.wait(in_timeout_s);
    }
    child_process& child() { return m_child; }

private:
    child_process m_child;
};

// A private host with the service and the real center installed.
class kova_host {
public:
    // in_ini: the body of the service's ini file.
    explicit kova_host(const std::string& in_ini = "MEMSIZE=16777216\n") : m_tree(in_ini, "kova_host") {}

    bool start() {
        return m_tree.ok() && copy_file(KOVA_CENTER_PROGRAM, m_tree.bin() + "Kova_General_Center") &&
               m_tree.start_service(m_service);
    }
    private_host& host() { return m_tree.host(); }
    pid_t service() const { return m_service.pid(); }
    std::string log(const std::string& in_file) const { return m_tree.log(in_file); }
    // A probe_service_client in the host with the packet memory and the host channels open.
    bool open_memory(child_process& out_client) {
        out_client = host().spawn({probe_path("probe_service_client")});
        return ask(out_client, "open") == "opened 0 0 0";
    }
    std::unique_ptr<probe_app> app(const std::string& in_probe = "probe_call_app") {
        std::unique_ptr<probe_app> a(new probe_app(host(), in_probe));
        return a->init() ? std::move(a) : nullptr;
    }
    pid_t center() {
        for (pid_t p : host().processes()) {
            char buf[512] = {};
            const std::string link = "/proc/" + std::to_string(p) + "/exe";
            const ssize_t n = readlink(link.c_str(), buf, sizeof(buf) - 1);
            if (n > 0 && std::string(buf, static_cast<size_t>(n)).find("Kova_General_Center") != std::string::npos)
                return p;
        }
        return -1;
    }

private:
    service_host m_tree;
    child_process m_service;
};

}  // namespace kova_test
