// An event client: subscribes to the example event stub once it is there, prints the
// events it gets, then ends its subscription.
//
//   kova_example_event_client [domain] [stub host] [stub id] [count]
//                             (defaults 7100, 127.0.0.1, 102, 3)
#include <cstdio>
#include <cstring>
#include <string>

#include "../common/kova_example.h"

namespace {

class tick_listener : public Kova::kova_proxy_object_event {
public:
    tick_listener() : kova_proxy_object_event(kova_example::c_event_code) {}

    kova_example::subscription& state() { return m_state; }

private:
    void on_object_create() override { m_state.live(); }  // on a listener thread
    // pin_data is the payload in the shared packet memory, valid only during the call.
    void on_event(const void* pin_data, Kova::pksize_t const& in_size, double const& in_elapsed) override {
        const char* text = pin_data ? static_cast<const char*>(pin_data) : "";
        m_state.arrived([&](unsigned long in_n) {
            std::printf("event %lu after %.0f us: \"%.*s\"\n", in_n, in_elapsed * 1e6,
                        static_cast<int>(strnlen(text, in_size)), text);
        });
    }
    void on_disconnected() override { m_state.ended(); }

    kova_example::subscription m_state;
};

}  // namespace

int main(int argc, char** argv) {
    const kova_example::client_args a = kova_example::parse_client_args(argc, argv, kova_example::c_event_stub_id, nullptr);
    // The answer to the subscription is waited for at most 1 s.
    return kova_example::run_subscriber<tick_listener>(
        a, "event", "", [](tick_listener& in_listener) { return in_listener.async_connect(1.0); });
}
