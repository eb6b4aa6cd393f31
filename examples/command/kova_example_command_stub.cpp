// A command stub: accepts every proxy and prints each command it receives with the way it
// was sent (posted, or repeated on the sender's timer) and the proxies that come and go.
//
//   kova_example_command_stub [domain] [stub id]    (defaults 7100 and 104)
//
// Runs until SIGINT or SIGTERM, or until its standard input closes (Ctrl-D on a terminal).
#include <cstdio>
#include <cstring>

#include "../common/kova_example.h"

namespace {

class printing_stub : public Kova::kova_object_command {
public:
    printing_stub() : kova_object_command(kova_example::c_command_code) {}

private:
    Kova::kova_err_t on_connect(Kova::client_addr_t const& in_client, double const&, double const&) override {
        std::printf("connected: %s\n", kova_example::client_text(in_client).c_str());
        std::fflush(stdout);
        return Kova::c_kova_success;
    }

    // A posted command carries no time limit; a repeated one its sender's period.
    void on_sync(Kova::client_addr_t const& in_client, Kova::sender_sync_model_t const& in_model, double const&,
                 double const& in_limit, const void* pin_buffer, Kova::pksize_t in_size) override {
        const char* text = pin_buffer ? static_cast<const char*>(pin_buffer) : "";
        char how[64] = "posted";
        if (in_model == Kova::c_sender_sync_model_on_timer)
            std::snprintf(how, sizeof how, "on a timer, %.0f ms left", in_limit * 1e3);
        std::printf("command from %s, %s: \"%.*s\"\n", kova_example::client_text(in_client).c_str(), how,
                    static_cast<int>(strnlen(text, in_size)), text);
        std::fflush(stdout);
    }

    void on_shutdown(Kova::client_addr_t const& in_client) override {
        std::printf("gone: %s (%s)\n", kova_example::client_text(in_client).c_str(),
                    kova_example::err_text(Kova::get_last_error()).c_str());
        std::fflush(stdout);
    }
};

}  // namespace

int main(int argc, char** argv) {
    return kova_example::serve<printing_stub>(argc, argv, "command", kova_example::c_command_code,
                                              kova_example::c_command_stub_id);
}
