#include "test_process.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

extern char** environ;

namespace kova_test {

std::string probe_path(const std::string& in_probe) { return std::string(KOVA_PROBE_DIR) + "/" + in_probe; }

double now_s() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

bool wait_until(const std::function<bool()>& in_done, double in_timeout_s) {
    const double end = now_s() + in_timeout_s;
    for (;;) {
        if (in_done()) return true;
        if (now_s() > end) return false;
        usleep(5000);
    }
}

bool wait_until(const std::atomic<bool>& in_flag, double in_timeout_s) {
    return wait_until([&] { return in_flag.load(); }, in_timeout_s);
}

pid_t this_thread_id() { return static_cast<pid_t>(syscall(SYS_gettid)); }

std::vector<pid_t> thread_ids() {
    std::vector<pid_t> ids;
    DIR* d = opendir("/proc/self/task");
    if (!d) return ids;
    while (dirent* e = readdir(d))
        if (e->d_name[0] != '.') ids.push_back(static_cast<pid_t>(std::atoi(e->d_name)));
    closedir(d);
    return ids;
}

bool is_thread_asleep(pid_t in_tid) {
    if (in_tid <= 0) return false;
    std::ifstream f("/proc/self/task/" + std::to_string(in_tid) + "/stat");
    std::string stat;
    std::getline(f, stat);
    // The state follows the name, which is in parentheses and may hold anything.
    const size_t paren = stat.rfind(')');
    return paren != std::string::npos && paren + 2 < stat.size() && stat[paren + 2] == 'S';
}

bool is_process_stopped(pid_t in_pid) {
    const std::string tasks = "/proc/" + std::to_string(in_pid) + "/task";
    DIR* d = opendir(tasks.c_str());
    if (!d) return false;
    bool stopped = true, any = false;
    while (dirent* e = readdir(d)) {
        if (e->d_name[0] == '.') continue;
        any = true;
        std::ifstream f(tasks + "/" + e->d_name + "/stat");
        std::string stat;
        std::getline(f, stat);
        const size_t paren = stat.rfind(')');
        const char state = paren != std::string::npos && paren + 2 < stat.size() ? stat[paren + 2] : '?';
        if (state != 'T' && state != 't') stopped = false;
    }
    closedir(d);
    return any && stopped;
}

bool is_blocked_in(pid_t in_pid, long in_call) {
    if (in_pid <= 0) return false;
    // "<number> <arguments...>" while blocked in a call, else "running" or "-1 ...".
    std::ifstream f("/proc/" + std::to_string(in_pid) + "/syscall");
    long call = -1;
    return (f >> call) && call == in_call;
}

child_process::child_process(child_process&& other) noexcept { *this = std::move(other); }

child_process& child_process::operator=(child_process&& other) noexcept {
    if (this != &other) {
        std::swap(m_pid, other.m_pid);
        std::swap(m_out_fd, other.m_out_fd);
        std::swap(m_in_fd, other.m_in_fd);
        std::swap(m_status, other.m_status);
        std::swap(m_reaped, other.m_reaped);
        std::swap(m_out, other.m_out);
        std::swap(m_scan, other.m_scan);
    }
    return *this;
}

child_process::~child_process() {
    if (m_pid > 0 && !m_reaped) {
        ::kill(m_pid, SIGKILL);
        int st;
        waitpid(m_pid, &st, 0);
    }
    if (m_out_fd >= 0) close(m_out_fd);
    if (m_in_fd >= 0) close(m_in_fd);
}

bool child_process::start(const std::vector<std::string>& in_argv) {
    // The tests labelled unit run with this set (tests/CMakeLists.txt): one that starts a process
    // is labelled wrong.
    if (std::getenv("KOVA_TEST_IN_PROCESS")) {
        std::fprintf(stderr, "a test labelled unit starts %s: put its suite among the host suites\n",
                     in_argv.empty() ? "a process" : in_argv[0].c_str());
        std::abort();
    }
    signal(SIGPIPE, SIG_IGN);  // a child that has ended must not kill the test through its input
    int fds[2];
    int ins[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return false;
    if (pipe2(ins, O_CLOEXEC) != 0) {
        close(fds[0]);
        close(fds[1]);
        return false;
    }
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, fds[1], 1);
    posix_spawn_file_actions_adddup2(&fa, ins[0], 0);
    std::vector<char*> argv;
    for (auto& a : in_argv) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid;
    int rc = posix_spawn(&pid, argv[0], &fa, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    close(fds[1]);
    close(ins[0]);
    if (rc != 0) {
        close(fds[0]);
        close(ins[1]);
        return false;
    }
    m_pid = pid;
    m_out_fd = fds[0];
    m_in_fd = ins[1];
    m_reaped = false;
    return true;
}

bool child_process::send_line(const std::string& in_line) {
    if (m_in_fd < 0) return false;
    std::string l = in_line + "\n";
    return write(m_in_fd, l.data(), l.size()) == static_cast<ssize_t>(l.size());
}

void child_process::close_input() {
    if (m_in_fd >= 0) close(m_in_fd);
    m_in_fd = -1;
}

bool child_process::read_some(int in_timeout_ms) {
    if (m_out_fd < 0) return false;
    pollfd p{m_out_fd, POLLIN, 0};
    int r = poll(&p, 1, in_timeout_ms);
    if (r <= 0) return r == 0;
    char buf[4096];
    ssize_t n = read(m_out_fd, buf, sizeof buf);
    if (n <= 0) {
        close(m_out_fd);
        m_out_fd = -1;
        return false;
    }
    m_out.append(buf, n);
    return true;
}

std::string child_process::wait_for_prefix(const std::string& in_prefix, double in_timeout_s, size_t in_from) {
    const double end = now_s() + in_timeout_s;
    for (;;) {
        for (size_t at = in_from; at < m_out.size();) {
            const size_t eol = m_out.find('\n', at);
            if (eol == std::string::npos) break;
            if (m_out.compare(at, in_prefix.size(), in_prefix) == 0) return m_out.substr(at, eol - at);
            at = eol + 1;
        }
        const double left = end - now_s();
        if (left <= 0) return "";
        if (!read_some(static_cast<int>(std::min(left, 0.05) * 1000) + 1) && m_out_fd < 0) return "";
    }
}

bool child_process::wait_for_line(const std::string& in_line, double in_timeout_s) {
    double end = now_s() + in_timeout_s;
    bool looked = false;
    for (;;) {
        size_t pos;
        while ((pos = m_out.find('\n', m_scan)) != std::string::npos) {
            std::string line = m_out.substr(m_scan, pos - m_scan);
            m_scan = pos + 1;
            if (line == in_line) return true;
        }
        double left = end - now_s();
        if (left <= 0) {
            // Past the end, what has come already is still taken once, without waiting: a
            // time-out of 0 reads what is there.
            if (looked) return false;
            looked = true;
            while (m_out_fd >= 0) {
                pollfd p{m_out_fd, POLLIN, 0};
                if (poll(&p, 1, 0) <= 0 || !read_some(0)) break;
            }
            continue;
        }
        if (!read_some(static_cast<int>(left * 1000) + 1) && m_out_fd < 0) return false;
    }
}

const std::string& child_process::output() {
    // After the child ended, take what is left; background grandchildren may keep the pipe
    // open, so stop as soon as it stays quiet.
    if (m_reaped)
        while (m_out_fd >= 0) {
            pollfd p{m_out_fd, POLLIN, 0};
            if (poll(&p, 1, 100) <= 0 || !read_some(0)) break;
        }
    return m_out;
}

int child_process::wait(double in_timeout_s) {
    if (m_pid <= 0) return -1;
    if (m_reaped) return m_status;
    double end = now_s() + in_timeout_s;
    for (;;) {
        int st;
        pid_t r = waitpid(m_pid, &st, WNOHANG);
        if (r == m_pid) {
            m_reaped = true;
            m_status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
            output();
            return m_status;
        }
        if (now_s() > end) return -1;
        // Drain output so a chatty child cannot block on a full pipe.
        if (!read_some(5)) usleep(2000);
    }
}

void child_process::kill_now(int in_signal) {
    if (m_pid > 0 && !m_reaped) ::kill(m_pid, in_signal);
}

child_process start_probe(const std::string& in_probe, const std::vector<std::string>& in_args) {
    std::vector<std::string> argv{probe_path(in_probe)};
    argv.insert(argv.end(), in_args.begin(), in_args.end());
    child_process c;
    c.start(argv);
    return c;
}

int run_probe(const std::vector<std::string>& in_argv, std::string* pout_output, double in_timeout_s) {
    child_process c;
    if (!c.start(in_argv)) return -1;
    int st = c.wait(in_timeout_s);
    if (pout_output) *pout_output = c.output();
    return st;
}

std::string unique_name(const std::string& in_tag) {
    static std::atomic<int> counter{0};
    return "kt_" + std::to_string(getpid()) + "_" + std::to_string(counter++) + "_" + in_tag;
}

void remove_shm_containing(const std::string& in_fragment) {
    DIR* d = opendir("/dev/shm");
    if (!d) return;
    while (dirent* e = readdir(d)) {
        if (std::strstr(e->d_name, in_fragment.c_str())) {
            std::string p = std::string("/dev/shm/") + e->d_name;
            unlink(p.c_str());
        }
    }
    closedir(d);
}

}  // namespace kova_test
