// A broadcast receiver: prints every broadcast of the example code that any stub of the
// domain sends, from this host or another.
//
//   kova_example_broadcast_receiver [domain] [stub host] [stub id] [count]
//                                   (defaults 7100, 127.0.0.1, 103, 0)
//
// Runs until it has heard count broadcasts (0: no end), SIGINT or SIGTERM, or until its
// standard input closes. A broadcast proxy is bound to one stub like any proxy, but hears
// the broadcasts of them all.
#include <sys/eventfd.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "../common/kova_example.h"

namespace {

class listener : public Kova::kova_proxy_object_broadcast {
public:
    listener(unsigned long in_count, int in_done_fd)
        : kova_proxy_object_broadcast(kova_example::c_broadcast_code), m_count(in_count), m_done_fd(in_done_fd) {}

private:
    // On a listener thread; in_server is the sender: 127.0.0.1 for a stub of this host.
    void on_broadcast(Kova::struct_server_addr const& in_server, void* pin_buf, Kova::pksize_t const& in_size,
                      double const& in_elapsed) override {
        char ip[INET_ADDRSTRLEN] = "?";
        in_addr a{};
        a.s_addr = in_server.ip;
        inet_ntop(AF_INET, &a, ip, sizeof ip);
        const char* text = pin_buf ? static_cast<const char*>(pin_buf) : "";
        std::printf("broadcast from %s stub %u after %.0f us: \"%.*s\"\n", ip, in_server.obj_id, in_elapsed * 1e6,
                    static_cast<int>(strnlen(text, in_size)), text);
        std::fflush(stdout);
        if (++m_heard == m_count) {
            const std::uint64_t one = 1;
            if (write(m_done_fd, &one, sizeof one) != static_cast<ssize_t>(sizeof one)) std::_Exit(1);
        }
    }

    const unsigned long m_count;
    const int m_done_fd;
    std::atomic<unsigned long> m_heard{0};
};

}  // namespace

int main(int argc, char** argv) {
    const kova_example::client_args a =
        kova_example::parse_client_args(argc, argv, kova_example::c_broadcast_stub_id, nullptr, 0);
    const sigset_t end_signals = kova_example::block_end_signals();
    kova_example::start_sdk(end_signals);
    const int done = eventfd(0, EFD_CLOEXEC);
    int status = 0;
    {
        listener proxy(a.count, done);
        const Kova::kova_err_t err = proxy.create(a.domain, a.host, a.stub_id);
        if (err != Kova::c_kova_success) {
            std::printf("create failed: %s\n", kova_example::err_text(err).c_str());
            status = 1;
        } else {
            std::printf("listening for broadcasts of code %u in domain %u\n", kova_example::c_broadcast_code, a.domain);
            std::fflush(stdout);
            kova_example::wait_for_end(end_signals, done);
            proxy.destroy();
        }
    }
    close(done);
    Kova::finalize();
    return status;
}
