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
    kova_example::end_client_on_signals();
    Kova::initialize();  // waits for the service
    int status = 0;
    {
        reading_listener listener;
        const Kova::kova_err_t err = listener.create(a.domain, a.host, a.stub_id);
        if (err != Kova::c_kova_success) {
            std::printf("create failed: %s\n", kova_example::err_text(err).c_str());
            status = 1;
        } else if (!listener.state().wait_live(10.0)) {
            std::printf("no information stub %u in domain %u on %s\n", a.stub_id, a.domain, a.host_text);
            status = 1;
        }
        if (status == 0) {
            // The stub's on_connect decides; the answer is waited for at most 1 s.
            double seconds = 0;
            const Kova::kova_err_t result = listener.async_connect_return(listener.async_connect(udp, 1.0), &seconds);
            if (result != Kova::c_kova_success) {
                std::printf("subscription refused: %s\n", kova_example::err_text(result).c_str());
                status = 1;
            } else {
                std::printf("subscribed over %s in %.0f us\n", udp ? "UDP" : "TCP", seconds * 1e6);
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
