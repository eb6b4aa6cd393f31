// Flock and futex calls, context switches and CPU time of every thread of a set of processes,
// counted by perf stat attached to them (needs root and perf): how many kernel round trips a
// packet costs, which a ratio to a peer cannot show.
#pragma once

#include <signal.h>
#include <sys/types.h>
#include <unistd.h>

#include <cstdlib>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "private_host.h"
#include "test_process.h"

namespace kova_bench {

struct syscall_counts {
    double flock = 0, futex = 0, switches = 0, cpu_ms = 0;
};

class syscall_counter {
public:
    syscall_counter() : m_out("/tmp/" + kova_test::unique_name("bench_perf")) {}
    ~syscall_counter() { unlink(m_out.c_str()); }
    syscall_counter(const syscall_counter&) = delete;
    syscall_counter& operator=(const syscall_counter&) = delete;

    // Attaches to every thread in_pids have now (threads started later are not counted);
    // with in_record a file, a profile of them goes there as well (perf report -i).
    void start(const std::vector<pid_t>& in_pids, const char* in_record = nullptr) {
        std::string list;
        for (pid_t p : in_pids) list += (list.empty() ? "" : ",") + std::to_string(p);
        m_stat.start({"/usr/bin/perf", "stat", "--per-thread", "-x", ",", "-o", m_out, "-e",
                      "syscalls:sys_enter_flock,syscalls:sys_enter_futex,context-switches,task-clock", "-p", list});
        if (in_record) m_record.start({"/usr/bin/perf", "record", "-g", "-o", in_record, "-p", list});
        kova_test::wait_until([] { return false; }, 1.0);  // perf attaches
    }

    // Detaches; the counts summed by in_group(process of the thread), and under "all". Called
    // while the processes still run: a thread's process is read from /proc.
    template <typename group_t>
    std::map<std::string, syscall_counts> stop(group_t in_group) {
        for (kova_test::child_process* p : {&m_stat, &m_record}) {
            if (p->pid() <= 0) continue;
            p->kill_now(SIGINT);
            p->wait(60);
        }
        // "<comm>-<tid>,<count>,<unit>,<event>,..." per thread.
        std::map<std::string, syscall_counts> out;
        std::istringstream in(kova_test::read_text_file(m_out));
        for (std::string line; std::getline(in, line);) {
            std::vector<std::string> f;
            std::istringstream fields(line);
            for (std::string x; std::getline(fields, x, ',');) f.push_back(x);
            if (f.size() < 4 || f[0].empty() || f[0][0] == '#') continue;
            const pid_t tid = static_cast<pid_t>(std::atol(f[0].c_str() + f[0].rfind('-') + 1));
            std::string group = "?";
            const std::string status = kova_test::read_text_file("/proc/" + std::to_string(tid) + "/status");
            const size_t tgid = status.find("\nTgid:");
            if (tgid != std::string::npos) group = in_group(static_cast<pid_t>(std::atol(status.c_str() + tgid + 6)));
            const double n = std::atof(f[1].c_str());
            for (const std::string& g : {group, std::string("all")}) {
                syscall_counts& c = out[g];
                if (f[3].find("flock") != std::string::npos)
                    c.flock += n;
                else if (f[3].find("futex") != std::string::npos)
                    c.futex += n;
                else if (f[3].find("switch") != std::string::npos)
                    c.switches += n;
                else
                    c.cpu_ms += n;  // task-clock, in ms
            }
        }
        return out;
    }

private:
    std::string m_out;
    kova_test::child_process m_stat, m_record;
};

}  // namespace kova_bench
