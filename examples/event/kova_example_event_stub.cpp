// An event stub: publishes "tick <n>" to its subscribers five times a second, and says who
// subscribes and who leaves.
//
//   kova_example_event_stub [domain] [stub id]     (defaults 7100 and 102)
//
// Runs until SIGINT or SIGTERM, or until its standard input closes (Ctrl-D on a terminal).
#include <cstdio>
#include <string>

#include "../common/kova_example.h"

namespace {

class ticking_stub : public Kova::kova_object_event {
public:
    ticking_stub() : kova_object_event(kova_example::c_event_code) {}

private:
    // The payload is copied once into the packet memory; every subscribed host gets it.
    kova_example::numbered_publisher m_publisher{"tick", [this](std::string const& in_text) {
        return event(in_text.c_str(), static_cast<Kova::pksize_t>(in_text.size() + 1)) == Kova::c_kova_success;
    }};

    // On a listener thread: 0 accepts the subscriber, anything else is its refusal.
    Kova::kova_err_t on_connect(Kova::client_addr_t const& in_client, double const&, double const&) override {
        std::printf("subscribed: %s\n", kova_example::client_text(in_client).c_str());
        std::fflush(stdout);
        return Kova::c_kova_success;
    }
    void on_shutdown(Kova::client_addr_t const& in_client) override {
        kova_example::print_shutdown("unsubscribed", in_client);
    }
};

}  // namespace

int main(int argc, char** argv) {
    return kova_example::serve<ticking_stub>(argc, argv, "event", kova_example::c_event_code,
                                             kova_example::c_event_stub_id);
}
