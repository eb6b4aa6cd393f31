// Applications of the SDK's public interface as real processes, driven on stdin, in a
// private host that runs the real service and center.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
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

// The probe's pattern bytes, and its hash of payloads longer than 40 bytes.
inline std::string pattern(size_t in_size) {
    std::string out(in_size, '\0');
    for (size_t i = 0; i < in_size; ++i) out[i] = static_cast<char>('a' + (i * 7) % 26);
    return out;
}

inline std::string shown(const std::string& in_data) {
    if (in_data.empty()) return "-";
    if (in_data.size() <= 40) return in_data;
    std::uint32_t h = 2166136261u;
    for (unsigned char c : in_data) h = (h ^ c) * 16777619u;
    char buf[16];
    std::snprintf(buf, sizeof buf, "#%08x", h);
    return buf;
}

// The lines of in_output that begin with in_prefix, in their order.
inline std::vector<std::string> lines_of(const std::string& in_output, const std::string& in_prefix) {
    std::vector<std::string> out;
    std::istringstream in(in_output);
    for (std::string line; std::getline(in, line);)
        if (line.rfind(in_prefix, 0) == 0) out.push_back(line);
    return out;
}

// The callback lines ("on_...") of the object in_name in in_output, in their order: lines of
// other threads may fall between them, their order is the object's own.
inline std::vector<std::string> callbacks_of(const std::string& in_output, const std::string& in_name) {
    std::vector<std::string> out;
    const std::string suffix = " " + in_name;
    for (const std::string& line : lines_of(in_output, "on_"))
        if (line.size() > suffix.size() && line.compare(line.size() - suffix.size(), suffix.size(), suffix) == 0)
            out.push_back(line);
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

// The packet memory's allocated blocks as the manager's "acount" reads them, through a
// probe_service_client ("blocks <n>").
inline std::string blocks(child_process& in_memory) {
    const std::vector<std::string> w = words(ask(in_memory, "blocks"));
    return w.size() == 3 ? w[0] + " " + w[1] : "no blocks";
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
    std::string command(const std::string& in_command, double in_timeout_s = 20.0) {
        const size_t from = mark();
        const std::vector<std::string> w = words(in_command);
        send(in_command);
        return wait(w.size() > 1 ? w[0] + " " + w[1] + " " : w[0], in_timeout_s, from);
    }
    // A "call" or "signal" line: its answer is the first later line that begins with its
    // first and third words (the request's tag).
    std::string request(const std::string& in_line, double in_timeout_s = 20.0) {
        const size_t from = mark();
        const std::vector<std::string> w = words(in_line);
        send(in_line);
        return wait(w[0] + " " + w[2] + " ", in_timeout_s, from);
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

// Every center and application process of the host has taken up what was queued for it
// before the call, and the listeners of in_apps have ended the packets they held: what the
// host's programs make of what came before is done, aside from what applications do on
// threads of their own (a request, a publisher).
inline bool drain_host(child_process& in_memory, const std::vector<probe_app*>& in_apps) {
    if (ask(in_memory, "drain") != "drained") return false;
    for (probe_app* a : in_apps)
        if (a->command("quiet") != "quiet") return false;
    return true;
}

// The packet memory's blocks once the host is quiet, where a plain read may count a packet or
// a trace record in flight (each holds a block until the service has written it): drain_host,
// then the service has written every trace record queued before.
inline std::string settled_blocks(child_process& in_memory, const std::vector<probe_app*>& in_apps = {}) {
    if (!in_apps.empty() && !drain_host(in_memory, in_apps)) return "no blocks";
    const std::vector<std::string> w = words(ask(in_memory, "settled"));
    return w.size() == 3 ? w[0] + " " + w[1] : "no blocks";
}

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
    std::string log(const std::string& in_file) const { return m_tree.log(in_file); }
    std::unique_ptr<probe_app> app(const std::string& in_probe = "probe_call_app") {
        std::unique_ptr<probe_app> a(new probe_app(host(), in_probe));
        return a->init() ? std::move(a) : nullptr;
    }
    std::string bin() const { return m_tree.bin(); }
    child_process& service() { return m_service; }
    // A probe_service_client with the host's memory and channels open: "remain", "blocks" and
    // the other commands of that probe.
    child_process memory() {
        child_process m;
        if (!open_memory(m)) m.kill_now();
        return m;
    }
    bool open_memory(child_process& out_client) {
        out_client = host().spawn({probe_path("probe_service_client")});
        return ask(out_client, "open") == "opened 0 0 0";
    }
    // The centers started after this hold connections to the limit in_ms instead of 8 s
    // (silence, connect, init records, stalled sends).
    void set_connection_timeout_ms(unsigned in_ms) {
        std::ofstream(bin() + "../Config/kova.ini", std::ios::app) << "CONNECTION_TIMEOUT_MS=" << in_ms << "\n";
    }
    // The service has carried out every request queued on its channel before the call: it
    // takes them in order, so once a center asked for after them is up, theirs were started.
    // That center is stopped again.
    bool wait_for_service(child_process& in_memory, const std::string& in_domain = "7699") {
        return ask(in_memory, "send " + in_domain + " 0") == "sent 0" &&
               wait_until([&] { return center(in_domain) > 0; }, 20.0) &&
               wait_until([&] { return ask(in_memory, "stop " + in_domain) == "stopped 0"; }, 20.0) &&
               wait_until([&] { return center(in_domain) < 0; }, 20.0);
    }
    // The center of in_domain ("": of any domain); -1 when none runs.
    pid_t center(const std::string& in_domain = "") {
        for (pid_t p : host().processes()) {
            char buf[512] = {};
            const std::string link = "/proc/" + std::to_string(p) + "/exe";
            const ssize_t n = readlink(link.c_str(), buf, sizeof(buf) - 1);
            if (n <= 0 || std::string(buf, static_cast<size_t>(n)).find("Kova_General_Center") == std::string::npos)
                continue;
            if (in_domain.empty()) return p;
            // The command line: program, domain.
            const std::string cmdline = read_text_file("/proc/" + std::to_string(p) + "/cmdline");
            const size_t arg = cmdline.find('\0');
            if (arg != std::string::npos && cmdline.compare(arg + 1, std::string::npos, in_domain + std::string(1, '\0')) == 0)
                return p;
        }
        return -1;
    }

private:
    service_host m_tree;
    child_process m_service;
};

// A kova_host whose packet memory is watched: a keeper application (probe in_probe) holds the
// domain's center up with a stub, so that what a case leaves behind shows against a baseline
// taken before it instead of going with the last center's reset.
class kept_host {
public:
    kept_host(const std::string& in_probe, const std::string& in_ini) : m_probe(in_probe), m_host(in_ini) {}

    // in_keeper_stub: the keeper's command that makes its stub, answered by in_made.
    bool start(const std::string& in_keeper_stub, const std::string& in_made) {
        if (!m_host.start() || !m_host.open_memory(m_memory)) return false;
        m_keeper = app();
        return m_keeper && m_keeper->command(in_keeper_stub) == in_made;
    }
    // The baseline: what the center holds for itself once the keeper's work has gone round.
    void settle() { m_baseline = settled_blocks(m_memory, {m_keeper.get()}); }
    std::unique_ptr<probe_app> app() { return m_host.app(m_probe); }
    std::unique_ptr<probe_app> app(const std::string& in_probe) { return m_host.app(in_probe); }
    private_host& host() { return m_host.host(); }
    probe_app& keeper() { return *m_keeper; }
    std::string blocks() { return kova_test::blocks(m_memory); }
    // Back at the baseline: as many blocks and references as then.
    bool back_at_baseline(double in_timeout_s = 5.0) {
        return m_baseline != "no blocks" && wait_until([&] { return blocks() == m_baseline; }, in_timeout_s);
    }
    const std::string& baseline() const { return m_baseline; }

private:
    const std::string m_probe;
    kova_host m_host;
    child_process m_memory;
    std::unique_ptr<probe_app> m_keeper;
    std::string m_baseline;
};

}  // namespace kova_test
