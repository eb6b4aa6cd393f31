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
        kova_example::print_cancel("signal", in_client, in_error);
    }
};

}  // namespace

int main(int argc, char** argv) {
    return kova_example::serve<printing_stub>(argc, argv, "signal", kova_example::c_signal_code,
                                              kova_example::c_signal_stub_id);
}
