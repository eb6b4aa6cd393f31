// An information client: subscribes to the example information stub once it is there, over
// TCP or over UDP, prints the values it gets, then ends its subscription.
//
//   kova_example_information_client [domain] [stub host] [stub id] [count] [tcp|udp]
//                                   (defaults 7100, 127.0.0.1, 105, 3, tcp)
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "../common/kova_example.h"

namespace {

class reading_listener : public Kova::kova_proxy_object_information {
public:
    reading_listener() : kova_proxy_object_information(kova_example::c_information_code) {}

    bool wait_live(double in_seconds) {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_cv.wait_for(lock, std::chrono::duration<double>(in_seconds), [this] { return m_live; });
    }
    // Waits until in_count values have come, the subscription ended or in_seconds passed
    // without a value; true for the first.
    bool wait_values(unsigned long in_count, double in_seconds) {
        std::unique_lock<std::mutex> lock(m_mutex);
        unsigned long seen = m_values;
        while (m_values < in_count && !m_ended) {
            if (!m_cv.wait_for(lock, std::chrono::duration<double>(in_seconds),
                               [&] { return m_values != seen || m_ended; }))
                return false;
            seen = m_values;
        }
        return m_values >= in_count;
    }

private:
    void on_object_create() override {  // on a listener thread
        std::lock_guard<std::mutex> lock(m_mutex);
        m_live = true;
        m_cv.notify_all();
    }
    // pin_buffer is the value in the packet memory, valid only during the call.
    void on_sync(Kova::sender_sync_model_t const&, double const& in_elapsed, double const&,
                 const void* const pin_buffer, const Kova::pksize_t in_size) override {
        const char* text = pin_buffer ? static_cast<const char*>(pin_buffer) : "";
        std::lock_guard<std::mutex> lock(m_mutex);
        ++m_values;
        std::printf("value %lu after %.0f us: \"%.*s\"\n", m_values, in_elapsed * 1e6,
                    static_cast<int>(strnlen(text, in_size)), text);
        std::fflush(stdout);
        m_cv.notify_all();
    }
    void on_disconnected() override {
        std::lock_guard<std::mutex> lock(m_mutex);
        std::printf("the stub ended the subscription\n");
        std::fflush(stdout);
        m_ended = true;
        m_cv.notify_all();
    }

    std::mutex m_mutex;
    std::condition_variable m_cv;
    bool m_live = false;
    bool m_ended = false;
    unsigned long m_values = 0;
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
        } else if (!listener.wait_live(10.0)) {
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
                if (!listener.wait_values(a.count, 2.0)) status = 1;
                listener.shutdown();  // the stub's on_shutdown hears it with 0
            }
        }
        listener.destroy();
    }
    Kova::finalize();
    return status;
}
