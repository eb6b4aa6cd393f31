// An information stub: publishes its current value, "reading <n>", five times a second to
// its subscribers over TCP and over UDP, and says who subscribes, by which way, and who leaves.
//
//   kova_example_information_stub [domain] [stub id]     (defaults 7100 and 105)
//
// Runs until SIGINT or SIGTERM, or until its standard input closes (Ctrl-D on a terminal).
#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "../common/kova_example.h"

namespace {

class reading_stub : public Kova::kova_object_information {
public:
    // The readings start at once; before create they are refused and not counted.
    reading_stub() : kova_object_information(kova_example::c_information_code), m_writer([this] { publish(); }) {}
    ~reading_stub() override {
        m_stop = true;
        m_writer.join();  // before the object goes: the writer publishes through it
    }

private:
    void publish() {
        unsigned long n = 0;
        while (!m_stop) {
            const std::string text = "reading " + std::to_string(n + 1);
            // In the posting model each write sends at once: one packet per TCP-subscribed
            // host, one multicast datagram per interface that UDP subscribers use.
            if (write(text.c_str(), static_cast<Kova::pksize_t>(text.size() + 1)) == Kova::c_kova_success) ++n;
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
        }
    }

    // On a listener thread: 0 accepts the subscriber, anything else is its refusal.
    Kova::kova_err_t on_connect(Kova::client_addr_t const& in_client, bool const& in_tcp, double const&,
                                double const&) override {
        std::printf("subscribed over %s: %s\n", in_tcp ? "TCP" : "UDP", kova_example::client_text(in_client).c_str());
        std::fflush(stdout);
        return Kova::c_kova_success;
    }
    // Kova::get_last_error() tells why: 0 when the client ended its subscription itself.
    void on_shutdown(Kova::client_addr_t const& in_client) override {
        std::printf("unsubscribed: %s (%s)\n", kova_example::client_text(in_client).c_str(),
                    kova_example::err_text(Kova::get_last_error()).c_str());
        std::fflush(stdout);
    }

    std::atomic<bool> m_stop{false};
    std::thread m_writer;
};

}  // namespace

int main(int argc, char** argv) {
    return kova_example::serve<reading_stub>(argc, argv, "information", kova_example::c_information_code,
                                             kova_example::c_information_stub_id);
}
