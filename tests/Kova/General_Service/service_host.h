// A private host running the service from an install tree of its own: the programs in
// <root>/Kova/bin, the ini files and the log directory where the programs look for them, and
// the stand-in center installed as Kova_General_Center.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "private_host.h"
#include "test_process.h"

namespace kova_test {

#define REQUIRE_PRIVATE_HOSTS()                                                                    \
    do {                                                                                           \
        std::string why;                                                                           \
        if (!kova_test::private_host::available(&why)) GTEST_SKIP() << "service tests skipped: " << why; \
    } while (0)

inline std::string read_text_file(const std::string& in_path) {
    std::ifstream f(in_path);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

inline void write_text_file(const std::string& in_path, const std::string& in_text) {
    std::ofstream f(in_path, std::ios::trunc);
    f << in_text;
}

inline bool copy_file(const std::string& in_from, const std::string& in_to) {
    std::ifstream src(in_from, std::ios::binary);
    std::ofstream dst(in_to, std::ios::binary | std::ios::trunc);
    if (!src || !dst) return false;
    dst << src.rdbuf();
    dst.close();
    return chmod(in_to.c_str(), 0755) == 0;
}

inline std::string shell_quoted(const std::string& in_text) {
    std::string out = "'";
    for (char c : in_text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

class service_host {
public:
    static constexpr unsigned c_memsize = 16u << 20;

    // in_ini: the body of the service's ini file (section [KOVA] is added).
    // in_tag goes into the tree's directory name.
    explicit service_host(const std::string& in_ini = "MEMSIZE=16777216\n", const std::string& in_tag = "service_tree")
        : m_root("/tmp/" + unique_name(in_tag)) {
        for (const char* d : {"", "/Kova", "/Kova/bin", "/Kova/Config", "/etc", "/etc/Kova", "/var", "/var/log",
                              "/var/log/Kova"})
            mkdir((m_root + d).c_str(), 0755);
        // Copies, not symbolic links: the programs find their directory through /proc/self/exe.
        m_ok = copy_file(KOVA_SERVICE_PROGRAM, bin() + "Kova_General_Service") &&
               copy_file(probe_path("probe_center"), bin() + "Kova_General_Center") &&
               copy_file(std::string(KOVA_SOURCE_DIR) + "/src/Linux_main/Kova_General_Service/install/center_kova.ini",
                         m_root + "/Kova/Config/kova.ini");
        write_text_file(m_root + "/etc/Kova/kova.ini", "[KOVA]\n" + in_ini);
        m_rotating_log = ("\n" + in_ini).find("\nLOG=no") == std::string::npos;
        m_ok = m_ok && m_host.start();
    }
    ~service_host() {
        m_host.stop();
        std::string cmd = "rm -rf " + shell_quoted(m_root);
        if (std::system(cmd.c_str()) != 0) {
        }
    }

    bool ok() const { return m_ok; }
    private_host& host() { return m_host; }
    std::string bin() const { return m_root + "/Kova/bin/"; }
    std::string log(const std::string& in_file) const { return m_root + "/var/log/Kova/" + in_file; }
    std::string read_log(const std::string& in_file) const { return read_text_file(log(in_file)); }

    // Starts the service and waits until its loader's channel and its log thread are there.
    bool start_service(child_process& out_service, const std::vector<std::string>& in_args = {}) {
        std::vector<std::string> argv{bin() + "Kova_General_Service"};
        argv.insert(argv.end(), in_args.begin(), in_args.end());
        out_service = m_host.spawn(argv);
        return out_service.pid() > 0 && m_host.wait_for_shm("kova_service_ipcpipe") &&
               wait_for_file_text(log(m_rotating_log ? "log.csv" : "object.csv"), "time,pid,debug");
    }
    child_process start_client() { return m_host.spawn({probe_path("probe_service_client")}); }

private:
    std::string m_root;
    private_host m_host;
    bool m_ok = false;
    bool m_rotating_log = true;  // the log thread opens log.csv (or a time-stamped log) last
};

// One command to a probe_service_client; its answer line ("" on time-out).
inline std::string ask(child_process& in_client, const std::string& in_command) {
    const size_t from = in_client.output().size();
    if (!in_client.send_line(in_command)) return "";
    const double end = now_s() + 20.0;
    while (now_s() < end) {
        const std::string& out = in_client.output();
        const size_t e = out.find('\n', from);
        if (e != std::string::npos) return out.substr(from, e - from);
        in_client.wait_for_line("\x01", 0.05);  // reads what has come
    }
    return "";
}

// The number after the answer's first word.
inline unsigned long answer_number(const std::string& in_answer) {
    const size_t sp = in_answer.find(' ');
    return sp == std::string::npos ? 0 : std::stoul(in_answer.substr(sp + 1));
}

}  // namespace kova_test
