#include "private_host.h"

#include <dirent.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

namespace kova_test {

namespace {

std::string net_ns_of(pid_t in_pid) {
    char buf[128];
    std::string link = "/proc/" + std::to_string(in_pid) + "/ns/net";
    ssize_t n = readlink(link.c_str(), buf, sizeof buf - 1);
    if (n <= 0) return "";
    buf[n] = 0;
    return buf;
}

bool exists(const std::string& in_path) { return access(in_path.c_str(), F_OK) == 0; }

std::string find_tool(const char* in_name) {
    for (const char* dir : {"/usr/bin/", "/bin/", "/usr/sbin/", "/sbin/"}) {
        std::string p = std::string(dir) + in_name;
        if (access(p.c_str(), X_OK) == 0) return p;
    }
    return "";
}

}  // namespace

bool private_host::available(std::string* pout_why) {
    std::string why;
    if (geteuid() != 0)
        why = "private hosts need root (network and mount namespaces)";
    else if (find_tool("unshare").empty() || find_tool("nsenter").empty() || find_tool("ip").empty())
        why = "private hosts need unshare, nsenter (util-linux) and ip (iproute2)";
    else if (run_probe({find_tool("unshare"), "--net", "--mount", "true"}) != 0)
        why = "this machine refuses new network or mount namespaces";
    if (pout_why) *pout_why = why;
    return why.empty();
}

bool private_host::start() {
    // The keeper owns the namespaces; it mounts the private /dev/shm and waits on its input.
    const std::string script =
        "mount -t tmpfs -o mode=1777 tmpfs /dev/shm && ip link set lo up && echo ready && exec cat >/dev/null";
    if (!m_keeper.start({find_tool("unshare"), "--net", "--mount", "--propagation", "private", "/bin/sh", "-c", script}))
        return false;
    if (!m_keeper.wait_for_line("ready", 10.0)) {
        stop();
        return false;
    }
    m_net_ns = net_ns_of(m_keeper.pid());
    return !m_net_ns.empty();
}

std::vector<pid_t> private_host::processes() const {
    std::vector<pid_t> out;
    if (m_net_ns.empty()) return out;
    DIR* d = opendir("/proc");
    if (!d) return out;
    while (dirent* e = readdir(d)) {
        char* end;
        long pid = std::strtol(e->d_name, &end, 10);
        if (*end || pid <= 0 || pid == m_keeper.pid()) continue;
        if (net_ns_of(static_cast<pid_t>(pid)) == m_net_ns) out.push_back(static_cast<pid_t>(pid));
    }
    closedir(d);
    return out;
}

void private_host::stop() {
    if (m_keeper.pid() <= 0) return;
    // Kill until nothing is left: programs may start others (a service starts centers).
    for (int round = 0; round < 50; ++round) {
        std::vector<pid_t> left = processes();
        if (left.empty()) break;
        for (pid_t p : left) ::kill(p, SIGKILL);
        usleep(10000);
    }
    m_keeper.close_input();
    m_keeper.kill_now(SIGKILL);
    m_keeper.wait(5.0);
    m_keeper = child_process();
    m_net_ns.clear();
}

child_process private_host::spawn(const std::vector<std::string>& in_argv, const std::string& in_cwd) {
    std::string pid = std::to_string(m_keeper.pid());
    std::vector<std::string> argv{find_tool("nsenter"), "-t", pid, "-n", "-m"};
    if (!in_cwd.empty()) argv.push_back("--wd=" + in_cwd);
    argv.push_back("--");
    argv.insert(argv.end(), in_argv.begin(), in_argv.end());
    child_process c;
    c.start(argv);
    return c;
}

int private_host::run(const std::vector<std::string>& in_argv, std::string* pout_output, double in_timeout_s) {
    child_process c = spawn(in_argv);
    int st = c.wait(in_timeout_s);
    if (pout_output) *pout_output = c.output();
    return st;
}

std::string private_host::shm_path(const std::string& in_name) const {
    return "/proc/" + std::to_string(m_keeper.pid()) + "/root/dev/shm/" + in_name;
}

bool private_host::wait_for_shm(const std::string& in_name, double in_timeout_s) const {
    std::string p = shm_path(in_name);
    return wait_until([&] { return exists(p); }, in_timeout_s);
}

bool private_host::wait_for_shm_gone(const std::string& in_name, double in_timeout_s) const {
    std::string p = shm_path(in_name);
    return wait_until([&] { return !exists(p); }, in_timeout_s);
}

bool join_hosts(private_host& in_a, private_host& in_b, const std::string& in_ip_a, const std::string& in_ip_b) {
    static std::atomic<int> counter{0};
    std::string tag = std::to_string(getpid() % 100000) + "x" + std::to_string(counter++);
    std::string va = "kva" + tag, vb = "kvb" + tag;  // interface names stay under 16 bytes
    std::string ip = find_tool("ip");
    if (run_probe({ip, "link", "add", va, "type", "veth", "peer", "name", vb}) != 0) return false;
    if (run_probe({ip, "link", "set", va, "netns", std::to_string(in_a.keeper())}) != 0) return false;
    if (run_probe({ip, "link", "set", vb, "netns", std::to_string(in_b.keeper())}) != 0) return false;
    auto setup = [&](private_host& h, const std::string& dev, const std::string& addr) {
        return h.run({ip, "addr", "add", addr + "/24", "dev", dev}) == 0 && h.run({ip, "link", "set", dev, "up"}) == 0;
    };
    return setup(in_a, va, in_ip_a) && setup(in_b, vb, in_ip_b);
}

bool add_default_route(private_host& in_host) {
    return in_host.run({"/bin/sh", "-c", "ip route add default dev $(ip -o link | grep -v LOOPBACK | "
                                         "sed -n 's/^[0-9]*: \\([^@:]*\\).*/\\1/p' | head -1)"}) == 0;
}

bool wait_for_file_text(const std::string& in_path, const std::string& in_text, double in_timeout_s) {
    return wait_until([&] {
        std::ifstream f(in_path);
        std::string line;
        while (std::getline(f, line))
            if (line.find(in_text) != std::string::npos) return true;
        return false;
    }, in_timeout_s);
}

}  // namespace kova_test
