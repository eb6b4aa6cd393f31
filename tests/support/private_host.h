// A private host for tests that use the host-wide names and ports: a fresh network namespace
// (loopback up) and mount namespace with its own tmpfs on /dev/shm. Programs are started in it
// with nsenter; tear-down kills everything that lives in its network namespace.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "test_process.h"

namespace kova_test {

class private_host {
public:
    private_host() = default;
    private_host(const private_host&) = delete;
    private_host& operator=(const private_host&) = delete;
    ~private_host() { stop(); }

    // True when this process may make namespaces (root with unshare and nsenter); else why not.
    static bool available(std::string* pout_why = nullptr);

    bool start();
    void stop();

    // Starts in_argv inside the host, in directory in_cwd (empty: unchanged).
    child_process spawn(const std::vector<std::string>& in_argv, const std::string& in_cwd = "");
    // Runs a command inside the host to completion; returns its exit status.
    int run(const std::vector<std::string>& in_argv, std::string* pout_output = nullptr, double in_timeout_s = 20.0);

    // Path, seen from outside, of a file in the host's /dev/shm.
    std::string shm_path(const std::string& in_name) const;
    bool wait_for_shm(const std::string& in_name, double in_timeout_s = 10.0) const;
    bool wait_for_shm_gone(const std::string& in_name, double in_timeout_s = 10.0) const;
    // Pids of every process in the host's network namespace except the keeper.
    std::vector<pid_t> processes() const;

    pid_t keeper() const { return m_keeper.pid(); }

private:
    child_process m_keeper;
    std::string m_net_ns;  // "net:[inode]" of the host
};

// Joins two started hosts by a veth pair: host a gets in_ip_a, b gets in_ip_b (both /24).
bool join_hosts(private_host& in_a, private_host& in_b, const std::string& in_ip_a, const std::string& in_ip_b);

// Gives a joined host a default route out of its veth, as on any host with a network:
// broadcasts and multicasts leave by it.
bool add_default_route(private_host& in_host);

// Waits until a line containing in_text appears in the file at in_path.
bool wait_for_file_text(const std::string& in_path, const std::string& in_text, double in_timeout_s = 10.0);

}  // namespace kova_test
