// A call stub: answers every call of its code with the request's text in upper case.
//
//   kova_example_call_stub [domain] [stub id]      (defaults 7100 and 100)
//
// Runs until SIGINT or SIGTERM, or until its standard input closes (Ctrl-D on a terminal).
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>

#include "../common/kova_example.h"

namespace {

constexpr Kova::pksize_t c_max_reply = 256;

// The application's stub: one interface of the call kind; kova_object is its virtual base.
class upper_case_stub : public Kova::kova_object_call {
public:
    upper_case_stub() : kova_object_call(kova_example::c_call_code, c_max_reply) {}

private:
    // pin_buf and pout_buf are the packets' payloads in the shared packet memory, valid
    // only during the call.
    Kova::kova_err_t on_call(Kova::client_addr_t const& in_client, void* pin_buf, Kova::pksize_t const& in_size,
                             void* pout_buf, Kova::pksize_t* pout_size, double const& in_elapsed,
                             double const&) override {
        const char* in = static_cast<const char*>(pin_buf);
        const Kova::pksize_t n = std::min<Kova::pksize_t>(strnlen(in ? in : "", in_size), *pout_size - 1);
        char* out = static_cast<char*>(pout_buf);
        for (Kova::pksize_t i = 0; i < n; ++i)
            out[i] = static_cast<char>(std::toupper(static_cast<unsigned char>(in[i])));
        out[n] = 0;
        *pout_size = n + 1;
        std::printf("call from %s after %.0f us: \"%.*s\"\n", kova_example::client_text(in_client).c_str(),
                    in_elapsed * 1e6, static_cast<int>(n), in ? in : "");
        std::fflush(stdout);
        return Kova::c_kova_success;  // any other value goes back as the call's error
    }

    void on_call_cancel(Kova::client_addr_t const& in_client, Kova::kova_err_t const& in_error) override {
        kova_example::print_cancel("call", in_client, in_error);
    }
};

}  // namespace

int main(int argc, char** argv) {
    return kova_example::serve<upper_case_stub>(argc, argv, "call", kova_example::c_call_code,
                                                kova_example::c_call_stub_id);
}
