// A call client: binds a call proxy to the example call stub, waits until the stub is
// there, sends its text and prints each reply.
//
//   kova_example_call_client [domain] [stub host] [stub id] [text] [count]
//                            (defaults 7100, 127.0.0.1, 100, "hello, kova", 3)
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "../common/kova_example.h"

namespace {

// The proxy learns through on_object_create that its stub has announced itself.
class upper_case_client : public Kova::kova_proxy_object_call {
public:
    upper_case_client() : kova_proxy_object_call(kova_example::c_call_code) {}

    bool wait_live(double in_seconds) {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_cv.wait_for(lock, std::chrono::duration<double>(in_seconds), [this] { return m_live; });
    }

private:
    void on_object_create() override {  // on a listener thread
        std::lock_guard<std::mutex> lock(m_mutex);
        m_live = true;
        m_cv.notify_all();
    }
    void on_object_destroy() override {
        std::printf("the stub has gone\n");
        std::fflush(stdout);
    }

    std::mutex m_mutex;
    std::condition_variable m_cv;
    bool m_live = false;
};

}  // namespace

int main(int argc, char** argv) {
    const kova_example::client_args a =
        kova_example::parse_client_args(argc, argv, kova_example::c_call_stub_id, "hello, kova");
    kova_example::end_client_on_signals();
    Kova::initialize();  // waits for the service
    int status = 0;
    {
        upper_case_client client;
        const Kova::kova_err_t err = client.create(a.domain, a.host, a.stub_id);
        if (err != Kova::c_kova_success) {
            std::printf("create failed: %s\n", kova_example::err_text(err).c_str());
            status = 1;
        } else if (!client.wait_live(10.0)) {
            std::printf("no call stub %u in domain %u on %s\n", a.stub_id, a.domain, a.host_text);
            status = 1;
        }
        for (unsigned long i = 0; status == 0 && i < a.count; ++i) {
            // The request is copied into the packet memory; the reply is copied out into reply.
            const Kova::return_object_t call =
                client.async_call(a.text, static_cast<Kova::pksize_t>(std::strlen(a.text) + 1), 1.0);
            char reply[256];
            Kova::pksize_t size = sizeof reply;
            double seconds = 0;
            const Kova::kova_err_t result = client.async_return(call, reply, &size, &seconds);
            if (result != Kova::c_kova_success) {
                std::printf("call %lu failed: %s\n", i + 1, kova_example::err_text(result).c_str());
                status = 1;
            } else {
                std::printf("reply %lu in %.0f us: \"%.*s\"\n", i + 1, seconds * 1e6,
                            static_cast<int>(strnlen(reply, size)), reply);
            }
        }
        client.destroy();
    }
    Kova::finalize();
    return status;
}
