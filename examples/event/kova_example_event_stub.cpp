// An event stub: publishes "tick <n>" to its subscribers five times a second, and says who
// subscribes and who leaves.
//
//   kova_example_event_stub [domain] [stub id]     (defaults 7100 and 102)
//
// Runs until SIGINT or SIGTERM, or until its standard input closes (Ctrl-D on a terminal).
#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "../common/kova_example.h"

namespace {

class ticking_stub : public Kova::kova_object_event {
public:
    // The ticks start at once; before create they are refused and not counted.
    ticking_stub() : kova_object_event(kova_example::c_event_code), m_ticker([this] { tick(); }) {}
    ~ticking_stub() override {
        m_stop = true;
        m_ticker.join();  // before the object goes: the ticker publishes through it
    }

private:
    void tick() {
        unsigned long n = 0;
        while (!m_stop) {
            const std::string text = "tick " + std::to_string(n + 1);
            // The payload is copied once into the packet memory; every subscribed host gets it.
            if (event(text.c_str(), static_cast<Kova::pksize_t>(text.size() + 1)) == Kova::c_kova_success) ++n;
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
        }
    }

    // On a listener thread: 0 accepts the subscriber, anything else is its refusal.
    Kova::kova_err_t on_connect(Kova::client_addr_t const& in_client, double const&, double const&) override {
        std::printf("subscribed: %s\n", kova_example::client_text(in_client).c_str());
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
    std::thread m_ticker;
};

}  // namespace

int main(int argc, char** argv) {
    return kova_example::serve<ticking_stub>(argc, argv, "event", kova_example::c_event_code,
                                             kova_example::c_event_stub_id);
}
