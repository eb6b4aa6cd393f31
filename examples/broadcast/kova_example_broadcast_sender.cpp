// A broadcast sender: a broadcast stub that sends its text to every proxy of its code on
// every host of the domain, a few times, and ends.
//
//   kova_example_broadcast_sender [domain] [stub id] [text] [count]
//                                 (defaults 7100, 103, "hello, everyone", 3)
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#include "../common/kova_example.h"

namespace {

class sender : public Kova::kova_object_broadcast {
public:
    sender() : kova_object_broadcast(kova_example::c_broadcast_code) {}
    using kova_object_broadcast::broadcast;
};

}  // namespace

int main(int argc, char** argv) {
    const auto domain = static_cast<Kova::domain_t>(kova_example::number_arg(argc, argv, 1, kova_example::c_domain, 0xFFFF));
    const auto id = static_cast<Kova::object_id_t>(
        kova_example::number_arg(argc, argv, 2, kova_example::c_broadcast_stub_id, 0x7FFF));
    const char* text = argc > 3 ? argv[3] : "hello, everyone";
    const unsigned long count = kova_example::number_arg(argc, argv, 4, 3, 1000000);
    kova_example::end_client_on_signals();
    Kova::initialize();  // waits for the service
    int status = 0;
    {
        sender stub;
        const Kova::kova_err_t err = stub.create(domain, id);
        if (err != Kova::c_kova_success) {
            std::printf("create failed: %s\n", kova_example::err_text(err).c_str());
            status = 1;
        }
        for (unsigned long i = 0; status == 0 && i < count; ++i) {
            // Never waits for the receivers: whoever listens now hears it, once.
            const Kova::kova_err_t result = stub.broadcast(text, static_cast<Kova::pksize_t>(std::strlen(text) + 1));
            if (result != Kova::c_kova_success) {
                std::printf("broadcast %lu failed: %s\n", i + 1, kova_example::err_text(result).c_str());
                status = 1;
            } else {
                std::printf("broadcast %lu sent\n", i + 1);
            }
            std::fflush(stdout);
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        stub.destroy();
    }
    Kova::finalize();
    return status;
}
