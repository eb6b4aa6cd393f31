// A signal client: binds a signal proxy to the example signal stub, waits until the stub
// is there, and sends its text as signals, printing each acknowledgement.
//
//   kova_example_signal_client [domain] [stub host] [stub id] [text] [count]
//                              (defaults 7100, 127.0.0.1, 101, "ping", 3)
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#include "../common/kova_example.h"

int main(int argc, char** argv) {
    const kova_example::client_args a =
        kova_example::parse_client_args(argc, argv, kova_example::c_signal_stub_id, "ping");
    kova_example::end_client_on_signals();
    Kova::initialize();  // waits for the service
    int status = 0;
    {
        // Used as it is: no callbacks needed, the client polls for the stub.
        Kova::kova_proxy_object_signal proxy(kova_example::c_signal_code);
        const Kova::kova_err_t err = proxy.create(a.domain, a.host, a.stub_id);
        if (err != Kova::c_kova_success) {
            std::printf("create failed: %s\n", kova_example::err_text(err).c_str());
            status = 1;
        } else {
            const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
            while (!proxy.is_live() && std::chrono::steady_clock::now() < end)
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            if (!proxy.is_live()) {
                std::printf("no signal stub %u in domain %u on %s\n", a.stub_id, a.domain, a.host_text);
                status = 1;
            }
        }
        for (unsigned long i = 0; status == 0 && i < a.count; ++i) {
            double seconds = 0;
            // Blocks until the stub acknowledged (or refused) the signal, at most 1 s.
            const Kova::kova_err_t result =
                proxy.signal(a.text, static_cast<Kova::pksize_t>(std::strlen(a.text) + 1), 1.0, &seconds);
            if (result != Kova::c_kova_success) {
                std::printf("signal %lu failed: %s\n", i + 1, kova_example::err_text(result).c_str());
                status = 1;
            } else {
                std::printf("signal %lu acknowledged in %.0f us\n", i + 1, seconds * 1e6);
            }
        }
        proxy.destroy();
    }
    Kova::finalize();
    return status;
}
