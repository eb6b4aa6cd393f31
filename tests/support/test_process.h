// Real child processes for multi-process tests: posix_spawn of a probe, never fork alone.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <functional>
#include <string>
#include <vector>

namespace kova_test {

// Full path of a probe program built with the tests.
std::string probe_path(const std::string& in_probe);

class child_process {
public:
    child_process() = default;
    child_process(const child_process&) = delete;
    child_process& operator=(const child_process&) = delete;
    child_process(child_process&& other) noexcept;
    child_process& operator=(child_process&& other) noexcept;
    ~child_process();  // kills and reaps a child still running

    // Starts in_argv[0] with its standard output captured in a pipe and its standard input
    // fed by send_line (end of input once close_input is called or the object goes).
    bool start(const std::vector<std::string>& in_argv);
    bool send_line(const std::string& in_line);
    void close_input();

    // Reads captured output until a line equal to in_line appears; false on time-out or EOF.
    bool wait_for_line(const std::string& in_line, double in_timeout_s = 10.0);
    // The first line at or after output offset in_from that begins with in_prefix, read
    // until in_timeout_s; empty if none. Unlike wait_for_line it consumes nothing.
    std::string wait_for_prefix(const std::string& in_prefix, double in_timeout_s = 10.0, size_t in_from = 0);
    // Everything read so far (and what is left, once the child has ended).
    const std::string& output();

    // Waits for the child; returns its exit status (0-255), 128+signal, or -1 on time-out.
    int wait(double in_timeout_s = 10.0);
    void kill_now(int in_signal = 9);
    pid_t pid() const { return m_pid; }

private:
    bool read_some(int in_timeout_ms);

    pid_t m_pid = -1;
    int m_out_fd = -1;
    int m_in_fd = -1;
    int m_status = -1;
    bool m_reaped = false;
    std::string m_out;
    size_t m_scan = 0;
};

// Starts probe in_probe with arguments; the result's start failure shows as pid() -1.
child_process start_probe(const std::string& in_probe, const std::vector<std::string>& in_args);

// Runs a probe to completion; returns the exit status and stores its output.
int run_probe(const std::vector<std::string>& in_argv, std::string* pout_output = nullptr,
              double in_timeout_s = 20.0);

// A name unique to this test run and call, safe for the shared-memory namespace.
std::string unique_name(const std::string& in_tag);

// Removes every /dev/shm entry whose name contains in_fragment.
void remove_shm_containing(const std::string& in_fragment);

// Seconds on the monotonic clock.
double now_s();

// Polls in_done every few milliseconds until it holds (true) or in_timeout_s passes (false).
bool wait_until(const std::function<bool()>& in_done, double in_timeout_s);
bool wait_until(const std::atomic<bool>& in_flag, double in_timeout_s);

// Threads of this process: the calling thread's id, every thread's id, and whether one is
// asleep in the kernel (state S), as a thread blocked in a wait, a lock or a read is. Nothing
// else tells a test that a thread has reached its wait: poll is_thread_asleep with wait_until.
pid_t this_thread_id();
std::vector<pid_t> thread_ids();
bool is_thread_asleep(pid_t in_tid);
// Whether a child process (or a thread of this one) is blocked in system call in_call, a
// SYS_ number of <sys/syscall.h>: a process blocked in SYS_flock waits for a process lock.
bool is_blocked_in(pid_t in_pid, long in_call);
// Whether every thread of process in_pid has stopped (state T or t): a SIGSTOP is only sent
// when kill returns, and a thread running meanwhile still does its work.
bool is_process_stopped(pid_t in_pid);

}  // namespace kova_test
