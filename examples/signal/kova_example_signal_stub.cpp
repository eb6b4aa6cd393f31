// A signal stub: acknowledges every signal of its code and prints what it carried.
//
//   kova_example_signal_stub [domain] [stub id]    (defaults 7100 and 101)
//
// Runs until SIGINT or SIGTERM, or until its standard input closes (Ctrl-D on a terminal).
#include <cstdio>
#include <cstring>

#include "../common/kova_example.h"

namespace {

class printing_stub : public Kova::kova_object_signal {
public:
    printing_stub() : kova_object_signal(kova_example::c_signal_code) {}

private:
    // Runs after the acknowledgement has left: the sender does not wait for this.
    void on_signal(Kova::client_addr_t const& in_client, void* pin_buf, Kova::pksize_t const& in_size,
                   double const& in_elapsed) override {
        const char* text = pin_buf ? static_cast<const char*>(pin_buf) : "";
        std::printf("signal from %s after %.0f us: \"%.*s\"\n", kova_example::client_text(in_client).c_str(),
                    in_elapsed * 1e6, static_cast<int>(strnlen(text, in_size)), text);
        std::fflush(stdout);
    }

    void on_signal_cancel(Kova::client_addr_t const& in_client, Kova::kova_err_t const& in_error) override {
        std::printf("signal cancelled by %s: %s\n", kova_example::client_text(in_client).c_str(),
                    kova_example::err_text(in_error).c_str());
        std::fflush(stdout);
    }
};

}  // namespace

int main(int argc, char** argv) {
    const auto domain = static_cast<Kova::domain_t>(kova_example::number_arg(argc, argv, 1, kova_example::c_domain, 0xFFFF));
    const auto id =
        static_cast<Kova::object_id_t>(kova_example::number_arg(argc, argv, 2, kova_example::c_signal_stub_id, 0x7FFF));
    const sigset_t end_signals = kova_example::block_end_signals();
    Kova::initialize();
    int status = 0;
    {
        printing_stub stub;
        const Kova::kova_err_t err = stub.create(domain, id);
        if (err != Kova::c_kova_success) {
            std::printf("create failed: %s\n", kova_example::err_text(err).c_str());
            status = 1;
        } else {
            std::printf("signal stub %u serving code %u in domain %u\n", stub.get_object_id(),
                        kova_example::c_signal_code, domain);
            std::fflush(stdout);
            kova_example::wait_for_end(end_signals);
            stub.destroy();
        }
    }
    Kova::finalize();
    return status;
}
