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
    kova_example::end_client_on_signals();
    Kova::initialize();  // waits for the service
    int status = 0;
    {
        tick_listener listener;
        const Kova::kova_err_t err = listener.create(a.domain, a.host, a.stub_id);
        if (err != Kova::c_kova_success) {
            std::printf("create failed: %s\n", kova_example::err_text(err).c_str());
            status = 1;
        } else if (!listener.state().wait_live(10.0)) {
            std::printf("no event stub %u in domain %u on %s\n", a.stub_id, a.domain, a.host_text);
            status = 1;
        }
        if (status == 0) {
            // The stub's on_connect decides; the answer is waited for at most 1 s.
            double seconds = 0;
            const Kova::kova_err_t result = listener.async_connect_return(listener.async_connect(1.0), &seconds);
            if (result != Kova::c_kova_success) {
                std::printf("subscription refused: %s\n", kova_example::err_text(result).c_str());
                status = 1;
            } else {
                std::printf("subscribed in %.0f us\n", seconds * 1e6);
                std::fflush(stdout);
                if (!listener.state().wait_count(a.count, 2.0)) status = 1;
                listener.shutdown();  // the stub's on_shutdown hears it with 0
            }
        }
        listener.destroy();
    }
    Kova::finalize();
    return status;
}
