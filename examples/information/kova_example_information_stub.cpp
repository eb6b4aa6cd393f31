// An information stub: publishes its current value, "reading <n>", five times a second to
// its subscribers over TCP and over UDP, and says who subscribes, by which way, and who leaves.
//
//   kova_example_information_stub [domain] [stub id]     (defaults 7100 and 105)
//
// Runs until SIGINT or SIGTERM, or until its standard input closes (Ctrl-D on a terminal).
#include <cstdio>
#include <string>

#include "../common/kova_example.h"

namespace {

class reading_stub : public Kova::kova_object_information {
public:
    reading_stub() : kova_object_information(kova_example::c_information_code) {}

private:
    // In the posting model each write sends at once: one packet per TCP-subscribed host, one
    // multicast datagram per interface that UDP subscribers use.
    kova_example::numbered_publisher m_publisher{"reading", [this](std::string const& in_text) {
        return write(in_text.c_str(), static_cast<Kova::pksize_t>(in_text.size() + 1)) == Kova::c_kova_success;
    }};

    // On a listener thread: 0 accepts the subscriber, anything else is its refusal.
    Kova::kova_err_t on_connect(Kova::client_addr_t const& in_client, bool const& in_tcp, double const&,
                                double const&) override {
        std::printf("subscribed over %s: %s\n", in_tcp ? "TCP" : "UDP", kova_example::client_text(in_client).c_str());
        std::fflush(stdout);
        return Kova::c_kova_success;
    }
    void on_shutdown(Kova::client_addr_t const& in_client) override {
        kova_example::print_shutdown("unsubscribed", in_client);
    }
};

}  // namespace

int main(int argc, char** argv) {
    return kova_example::serve<reading_stub>(argc, argv, "information", kova_example::c_information_code,
                                             kova_example::c_information_stub_id);
}
