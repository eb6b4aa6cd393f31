// What the example programs share: argument parsing, printing addresses and results, and
// the stubs' life: start the SDK, create, serve until SIGINT, SIGTERM or the end of standard
// input, destroy, stop the SDK.
#pragma once

#include <arpa/inet.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <initializer_list>
#include <thread>
#include <vector>

#include <Kova/kova.h>

namespace kova_example {

// Defaults of every example: the domain (also the center's port), the stub's id and host.
constexpr Kova::domain_t c_domain = 7100;
constexpr Kova::object_id_t c_call_stub_id = 100;
constexpr Kova::object_id_t c_signal_stub_id = 101;
constexpr Kova::object_id_t c_event_stub_id = 102;
constexpr Kova::object_id_t c_broadcast_stub_id = 103;
constexpr Kova::object_id_t c_command_stub_id = 104;
constexpr Kova::msg_code_t c_call_code = 1;
constexpr Kova::msg_code_t c_signal_code = 2;
constexpr Kova::msg_code_t c_event_code = 3;
constexpr Kova::msg_code_t c_broadcast_code = 4;
constexpr Kova::msg_code_t c_command_code = 5;
constexpr const char* c_host = "127.0.0.1";

// argv[in_index] as a number in [0, in_max], or in_default when it is not given.
inline unsigned long number_arg(int argc, char** argv, int in_index, unsigned long in_default, unsigned long in_max) {
    if (argc <= in_index) return in_default;
    char* end = nullptr;
    const unsigned long v = std::strtoul(argv[in_index], &end, 0);
    if (end == argv[in_index] || *end || v > in_max) {
        std::fprintf(stderr, "not a number up to %lu: %s\n", in_max, argv[in_index]);
        std::exit(2);
    }
    return v;
}

// An IPv4 address in dotted form, as the SDK takes it (network byte order).
inline Kova::ip_t ip_arg(int argc, char** argv, int in_index) {
    const char* text = argc > in_index ? argv[in_index] : c_host;
    in_addr a{};
    if (inet_pton(AF_INET, text, &a) != 1) {
        std::fprintf(stderr, "not an IPv4 address: %s\n", text);
        std::exit(2);
    }
    return a.s_addr;
}

inline std::string client_text(Kova::client_addr_t const& in_client) {
    char ip[INET_ADDRSTRLEN] = "?";
    in_addr a{};
    a.s_addr = in_client.node_addr.ip;
    inet_ntop(AF_INET, &a, ip, sizeof ip);
    return std::string(ip) + " domain " + std::to_string(in_client.node_addr.port) + " object " +
           std::to_string(in_client.obj_id);
}

inline std::string err_text(Kova::kova_err_t in_err) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08X", static_cast<unsigned>(in_err));
    return buf;
}

// Blocks SIGINT and SIGTERM in this thread and every thread it starts from now on, so
// that they reach the waits below instead of the SDK's handler. Call before Kova::initialize.
inline sigset_t block_end_signals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    return set;
}

// Waits until SIGINT or SIGTERM arrives (returns its number), one of in_fds is readable
// (returns 0 and stores which in *pout_ready) or in_timeout_ms pass (returns -1; a negative
// time-out waits without end).
inline int wait_signal_or(sigset_t const& in_set, std::initializer_list<int> in_fds, int in_timeout_ms = -1,
                          int* pout_ready = nullptr) {
    const int sfd = signalfd(-1, &in_set, SFD_CLOEXEC);
    std::vector<pollfd> fds{{sfd, POLLIN, 0}};
    for (int fd : in_fds) fds.push_back({fd, POLLIN, 0});
    int result = 0;
    for (;;) {
        const int n = poll(fds.data(), fds.size(), in_timeout_ms);
        if (n == 0) {
            result = -1;
            break;
        }
        if (n < 0) continue;
        signalfd_siginfo si{};
        if ((fds[0].revents & POLLIN) && read(sfd, &si, sizeof si) == static_cast<ssize_t>(sizeof si)) {
            result = static_cast<int>(si.ssi_signo);
            break;
        }
        const auto ready = std::find_if(fds.begin() + 1, fds.end(), [](pollfd const& f) { return f.revents != 0; });
        if (ready != fds.end()) {
            if (pout_ready) *pout_ready = ready->fd;
            break;
        }
    }
    close(sfd);
    return result;
}

// Kova::initialize waits for the service without end. It runs on a thread of its own, which
// passes the blocked signals on to the SDK's threads, so that an end signal meanwhile still
// ends the program.
inline void start_sdk(sigset_t const& in_set) {
    const int started = eventfd(0, EFD_CLOEXEC);
    std::thread starter([started] {
        Kova::initialize();
        const std::uint64_t one = 1;
        if (write(started, &one, sizeof one) != static_cast<ssize_t>(sizeof one)) std::_Exit(1);
    });
    int signal_number = wait_signal_or(in_set, {started}, 500);
    if (signal_number < 0) {
        std::printf("waiting for the service (Kova_General_Service) on this host\n");
        std::fflush(stdout);
        signal_number = wait_signal_or(in_set, {started});
    }
    if (signal_number > 0) {
        std::printf("stopping on signal %d before the service was found\n", signal_number);
        std::fflush(stdout);
        std::_Exit(1);  // the starter still waits
    }
    starter.join();
    close(started);
}

// Returns when SIGINT or SIGTERM arrives, standard input ends, or in_done_fd (when given)
// becomes readable; says which, but for the last.
inline void wait_for_end(sigset_t const& in_set, int in_done_fd = -1) {
    for (;;) {
        int ready = -1;
        if (const int signal_number = wait_signal_or(in_set, {STDIN_FILENO, in_done_fd}, -1, &ready)) {
            std::printf("stopping on signal %d\n", signal_number);
            break;
        }
        if (ready == in_done_fd) break;
        char buf[256];
        if (read(STDIN_FILENO, buf, sizeof buf) <= 0) {  // lines typed are ignored
            std::printf("stopping: standard input closed\n");
            break;
        }
    }
    std::fflush(stdout);
}

// The SDK's signal handler finalises and returns, and Kova::initialize waits for the service
// without end; these hooks, which the handler runs first, end a client at once instead.
inline void end_client_on_signals() {
    Kova::sigint_func_ = Kova::sigter_func_ = [](int in_signal) { std::_Exit(128 + in_signal); };
}

inline void print_cancel(const char* in_kind, Kova::client_addr_t const& in_client, Kova::kova_err_t in_error) {
    std::printf("%s cancelled by %s: %s\n", in_kind, client_text(in_client).c_str(), err_text(in_error).c_str());
    std::fflush(stdout);
}

// The clients' command line: [domain] [stub host] [stub id] [text] [count], or without the
// text (in_text null) [domain] [stub host] [stub id] [count].
struct client_args {
    Kova::domain_t domain;
    Kova::ip_t host;
    const char* host_text;
    Kova::object_id_t stub_id;
    const char* text;
    unsigned long count;
};

inline client_args parse_client_args(int argc, char** argv, Kova::object_id_t in_stub_id, const char* in_text,
                                     unsigned long in_count = 3) {
    client_args a;
    a.domain = static_cast<Kova::domain_t>(number_arg(argc, argv, 1, c_domain, 0xFFFF));
    a.host = ip_arg(argc, argv, 2);
    a.host_text = argc > 2 ? argv[2] : c_host;
    a.stub_id = static_cast<Kova::object_id_t>(number_arg(argc, argv, 3, in_stub_id, 0x7FFF));
    a.text = in_text && argc > 4 ? argv[4] : in_text;
    a.count = number_arg(argc, argv, in_text ? 5 : 4, in_count, 1000000);
    return a;
}

// A stub's whole life, with the command line [domain] [stub id].
template <typename stub_t>
int serve(int argc, char** argv, const char* in_kind, Kova::msg_code_t in_code, Kova::object_id_t in_default_id) {
    const auto domain = static_cast<Kova::domain_t>(number_arg(argc, argv, 1, c_domain, 0xFFFF));
    const auto id = static_cast<Kova::object_id_t>(number_arg(argc, argv, 2, in_default_id, 0x7FFF));
    const sigset_t end_signals = block_end_signals();
    start_sdk(end_signals);
    int status = 0;
    {
        stub_t stub;
        const Kova::kova_err_t err = stub.create(domain, id);  // the SDK starts the domain's center if needed
        if (err != Kova::c_kova_success) {
            std::printf("create failed: %s\n", err_text(err).c_str());
            status = 1;
        } else {
            std::printf("%s stub %u serving code %u in domain %u\n", in_kind, stub.get_object_id(), in_code, domain);
            std::fflush(stdout);
            wait_for_end(end_signals);
            stub.destroy();
        }
    }
    Kova::finalize();
    return status;
}

}  // namespace kova_example
