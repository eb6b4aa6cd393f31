// A command client: binds a command proxy to the example command stub, connects, and sends
// its text as commands, in either of the two models.
//
//   kova_example_command_client [domain] [stub host] [stub id] [text] [count] [period ms]
//                               (defaults 7100, 127.0.0.1, 104, "go", 3, 0)
//
// Period 0: the posting model, each of count posts ("<text> 1", "<text> 2", ...) sent at once.
// A period: the timer model, the text posted once and sent again every period, count times.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "../common/kova_example.h"

int main(int argc, char** argv) {
    const kova_example::client_args a =
        kova_example::parse_client_args(argc, argv, kova_example::c_command_stub_id, "go");
    const unsigned long period_ms = kova_example::number_arg(argc, argv, 6, 0, 3600000);
    kova_example::end_client_on_signals();
    Kova::initialize();  // waits for the service
    int status = 0;
    {
        // Used as it is: no callbacks needed, the client polls for the stub.
        Kova::kova_proxy_object_command proxy(kova_example::c_command_code);
        Kova::kova_err_t err = proxy.create(a.domain, a.host, a.stub_id);
        if (err == Kova::c_kova_success) {
            const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
            while (!proxy.is_live() && std::chrono::steady_clock::now() < end)
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            // Commands are not answered: only the connect is.
            err = proxy.async_connect_return(proxy.async_connect(1.0), nullptr);
        }
        if (err != Kova::c_kova_success) {
            std::printf("no command stub %u in domain %u on %s: %s\n", a.stub_id, a.domain, a.host_text,
                        kova_example::err_text(err).c_str());
            status = 1;
        } else if (period_ms == 0) {
            for (unsigned long i = 0; status == 0 && i < a.count; ++i) {
                const std::string text = std::string(a.text) + " " + std::to_string(i + 1);
                // A post the center cannot take now is not sent and not kept: it is posted again.
                while ((err = proxy.write(text.c_str(), static_cast<Kova::pksize_t>(text.size() + 1))) ==
                       Kova::c_kova_err_center_busy)
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
                std::printf("command %lu posted: %s\n", i + 1, kova_example::err_text(err).c_str());
                if (err != Kova::c_kova_success) status = 1;
            }
        } else {
            proxy.set_sync_model(false, Kova::c_sender_sync_model_on_timer, period_ms / 1e3);
            err = proxy.write(a.text, static_cast<Kova::pksize_t>(std::strlen(a.text) + 1));
            std::printf("command posted, sent every %lu ms: %s\n", period_ms, kova_example::err_text(err).c_str());
            if (err != Kova::c_kova_success) status = 1;
            // The first transmission comes one period after the model was set.
            std::this_thread::sleep_for(std::chrono::milliseconds(period_ms * a.count + period_ms / 2));
            proxy.set_sync_model(false, Kova::c_sender_sync_model_on_post, 0);
        }
        std::fflush(stdout);
        // The stub hears of the end after the commands posted before it.
        proxy.shutdown();
        proxy.destroy();
    }
    Kova::finalize();
    return status;
}
