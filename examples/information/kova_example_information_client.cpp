// An information client: subscribes to the example information stub once it is there, over
// TCP or over UDP, prints the values it gets, then ends its subscription.
//
//   kova_example_information_client [domain] [stub host] [stub id] [count] [tcp|udp]
//                                   (defaults 7100, 127.0.0.1, 105, 3, tcp)
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "../common/kova_example.h"

namespace {

class reading_listener : public Kova::kova_proxy_object_information {
public:
    reading_listener() : kova_proxy_object_information(kova_example::c_information_code) {}

    kova_example::subscription& state() { return m_state; }

private:
    void on_object_create() override { m_state.live(); }  // on a listener thread
    // pin_buffer is the value in the packet memory, valid only during the call.
    void on_sync(Kova::sender_sync_model_t const&, double const& in_elapsed, double const&,
                 const void* const pin_buffer, const Kova::pksize_t in_size) override {
        const char* text = pin_buffer ? static_cast<const char*>(pin_buffer) : "";
        m_state.arrived([&](unsigned long in_n) {
            std::printf("value %lu after %.0f us: \"%.*s\"\n", in_n, in_elapsed * 1e6,
                        static_cast<int>(strnlen(text, in_size)), text);
        });
    }
    void on_disconnected() override { m_state.ended(); }

    kova_example::subscription m_state;
};

}  // namespace

int main(int argc, char** argv) {
    const kova_example::client_args a =
        kova_example::parse_client_args(argc, argv, kova_example::c_information_stub_id, nullptr);
    const std::string way = argc > 5 ? argv[5] : "tcp";
    if (way != "tcp" && way != "udp") {
        std::fprintf(stderr, "not tcp or udp: %s\n", way.c_str());
        return 2;
    }
    const bool udp = way == "udp";
    // The answer to the subscription is waited for at most 1 s.
    return kova_example::run_subscriber<reading_listener>(
        a, "information", udp ? " over UDP" : " over TCP",
        [udp](reading_listener& in_listener) { return in_listener.async_connect(udp, 1.0); });
}
