// An application that sees only the installed interface of the SDK library, for how the SDK
// starts and ends and for the diagnostic pipe functions. Standard error goes to standard
// output. Commands, one answer line each:
//   init [threads]             "initialized" (0 threads: packets come through "dispatch")
//   hook                       SIGINT, SIGTERM and SIGSEGV hooks that print "hook <signal>"
//   stub <domain> <id> <mode>  a call stub of code 1; mode answer | finalize: answer prints
//                              "on_call <data> <ms since init>"; finalize calls Kova::finalize
//                              in on_call, then says whether the stub is still created
//   create <domain>            one more call stub, with an automatic id: "create <result> <ms>"
//   proxy <domain> <stub id>   a call proxy of code 1 and an event proxy of code 3, bound to
//                              the stub on this host
//   call <tag> <limit s>       on a thread of its own: "asked <tag>" once the request is out,
//                              then "call <tag> <result> <ms>"
//   connect <tag> <limit s>    the same for a connect: "asked <tag>", "connect <tag> <result> <ms>"
//   calls <n> <limit s>        n calls with the data 1..n sent one after the other from one
//                              thread, then collected: "calls <results> <ms>"
//   dispatch                   a thread that runs dispatch_message until it says false
//   publish <domain> <how>     a broadcast and event stub, then on this thread broadcasts
//                              (how: broadcast) or events (how: event) until one fails
//                              ("publishing" after the first hundred): "published <result>
//                              <count>", finalize, exit
//   delay_center|busy_center <domain> <s>, clean_center <domain>, delay_process|busy_process|
//   delay_return|busy_return <s>, clean_process, clean_return, test_etc:
//                              "<command> <result> <ms>"
//   state                      "created <0|1>" of the stub
//   finalize ("finalized <ms>") | segv | error | exit
// Results print in hex.
#include <arpa/inet.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "Kova/kova.h"
#include "probe_app_lines.h"

using namespace Kova;
using kova_probe::hex;
using kova_probe::ms_since;
using kova_probe::say;

namespace {

std::chrono::steady_clock::time_point g_start = std::chrono::steady_clock::now();

void hook(int in_signal) { std::printf("hook %d\n", in_signal); }

class app_stub : public kova_object_call {
public:
    explicit app_stub(const std::string& in_mode) : kova_object_call(1, 64), m_mode(in_mode) {}

private:
    kova_err_t on_call(client_addr_t const&, void* pin_buf, pksize_t const& in_size, void*, pksize_t* pout_size,
                       double const&, double const&) override {
        *pout_size = 0;
        if (m_mode == "answer") {
            say("on_call " + std::string(static_cast<const char*>(pin_buf), in_size) + " " +
                std::to_string(ms_since(g_start)));
            return c_kova_success;
        }
        say("on_call");
        if (m_mode == "finalize") {
            const auto start = std::chrono::steady_clock::now();
            Kova::finalize();
            say("finalize returned " + std::to_string(ms_since(start)));
            // The real finalize waits for this callback: nothing of the SDK is gone yet.
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            say("in on_call created " + std::to_string(is_created()));
        }
        return c_kova_success;
    }

    std::string m_mode;
};

class app_proxy : public kova_proxy_object_call, public kova_proxy_object_event {
public:
    app_proxy() : kova_proxy_object_call(1), kova_proxy_object_event(3) {}
    void on_object_create() override { say("on_object_create"); }

    kova_err_t collect(return_object_t in_request) {
        char reply[64];
        pksize_t size = sizeof reply;
        return async_return(in_request, reply, &size, nullptr);
    }
    void call(const std::string& in_tag, double in_limit) {
        const auto start = std::chrono::steady_clock::now();
        const return_object_t request = async_call("x", 1, in_limit);
        say("asked " + in_tag);
        const kova_err_t e = collect(request);
        say("call " + in_tag + " " + hex(e) + " " + std::to_string(ms_since(start)));
    }
    void connect(const std::string& in_tag, double in_limit) {
        const auto start = std::chrono::steady_clock::now();
        double took = 0;
        const return_object_t request = async_connect(in_limit);
        say("asked " + in_tag);
        const kova_err_t e = async_connect_return(request, &took);
        say("connect " + in_tag + " " + hex(e) + " " + std::to_string(ms_since(start)));
    }
    void calls(unsigned in_n, double in_limit) {
        const auto start = std::chrono::steady_clock::now();
        std::vector<return_object_t> requests;
        for (unsigned i = 1; i <= in_n; ++i) {
            const std::string data = std::to_string(i);
            requests.push_back(async_call(data.data(), static_cast<pksize_t>(data.size()), in_limit));
        }
        std::string results;
        for (return_object_t r : requests) results += hex(collect(r)) + ",";
        say("calls " + results + " " + std::to_string(ms_since(start)));
    }
};

class app_publisher : public kova_object_broadcast, public kova_object_event {
public:
    app_publisher() : kova_object_broadcast(2), kova_object_event(3) {}
    kova_err_t publish(bool in_event, unsigned in_n) {
        return in_event ? event(&in_n, sizeof in_n) : broadcast(&in_n, sizeof in_n);
    }
};

// The diagnostic functions by name; in_domain and in_sec as the command gave them.
const std::map<std::string, std::function<kova_err_t(domain_t, int)>>& diagnostics() {
    static const std::map<std::string, std::function<kova_err_t(domain_t, int)>> table = {
        {"delay_center", [](domain_t d, int s) { return kova_delay_center(d, s); }},
        {"busy_center", [](domain_t d, int s) { return kova_busy_center(d, s); }},
        {"clean_center", [](domain_t d, int) { return kova_clean_center(d); }},
        {"delay_process", [](domain_t, int s) { return kova_delay_process(s); }},
        {"busy_process", [](domain_t, int s) { return kova_busy_process(s); }},
        {"clean_process", [](domain_t, int) { return kova_clean_process(); }},
        {"delay_return", [](domain_t, int s) { return kova_delay_return(s); }},
        {"busy_return", [](domain_t, int s) { return kova_busy_return(s); }},
        {"clean_return", [](domain_t, int) { return kova_clean_return(); }},
        {"test_etc", [](domain_t, int) { return (kova_sdk_test_etc(), c_kova_success); }},
    };
    return table;
}

}  // namespace

int main() {
    dup2(STDOUT_FILENO, STDERR_FILENO);
    std::unique_ptr<app_stub> stub;
    std::vector<std::unique_ptr<app_stub>> more;
    std::unique_ptr<app_proxy> proxy;
    std::vector<std::thread> threads;
    std::string line;
    say("pid " + std::to_string(getpid()));
    while (std::getline(std::cin, line)) {
        std::istringstream in(line);
        std::string cmd;
        in >> cmd;
        if (cmd == "exit") break;
        const auto start = std::chrono::steady_clock::now();
        if (cmd == "init") {
            unsigned count = 8;
            in >> count;
            Kova::initialize(count, 16, 1);
            g_start = std::chrono::steady_clock::now();
            say("initialized");
        } else if (cmd == "hook") {
            Kova::sigint_func_ = hook;
            Kova::sigter_func_ = hook;
            Kova::sigseg_func_ = hook;
            say("hooked");
        } else if (cmd == "stub") {
            unsigned domain = 0, id = 0;
            std::string mode;
            in >> domain >> id >> mode;
            stub.reset(new app_stub(mode));
            say("stub " + hex(stub->create(static_cast<domain_t>(domain), static_cast<object_id_t>(id))));
        } else if (cmd == "create") {
            unsigned domain = 0;
            in >> domain;
            more.emplace_back(new app_stub("answer"));
            const kova_err_t e = more.back()->create(static_cast<domain_t>(domain), 0);
            say("create " + hex(e) + " " + std::to_string(ms_since(start)));
        } else if (cmd == "proxy") {
            unsigned domain = 0, id = 0;
            in >> domain >> id;
            proxy.reset(new app_proxy);
            say("proxy " + hex(proxy->create(static_cast<domain_t>(domain), inet_addr("127.0.0.1"),
                                             static_cast<object_id_t>(id))));
        } else if (cmd == "call" || cmd == "calls" || cmd == "connect") {
            std::string tag;
            double limit = 0;
            in >> tag >> limit;
            app_proxy* p = proxy.get();
            if (cmd == "call")
                threads.emplace_back([=] { p->call(tag, limit); });
            else if (cmd == "connect")
                threads.emplace_back([=] { p->connect(tag, limit); });
            else
                threads.emplace_back([=] { p->calls(static_cast<unsigned>(std::stoul(tag)), limit); });
        } else if (cmd == "dispatch") {
            threads.emplace_back([] {
                while (Kova::dispatch_message(1.0)) {
                }
                say("dispatch ended");
            });
        } else if (cmd == "publish") {
            unsigned domain = 0;
            std::string how;
            in >> domain >> how;
            app_publisher publisher;
            say("publisher " + hex(publisher.create(static_cast<domain_t>(domain), 0)));
            unsigned count = 0;
            kova_err_t e = c_kova_success;
            while ((e = publisher.publish(how == "event", count)) == c_kova_success)
                if (++count == 100) say("publishing");
            say("published " + hex(e) + " " + std::to_string(count));
            break;
        } else if (diagnostics().count(cmd)) {
            const bool with_domain = cmd.find("_center") != std::string::npos;
            int domain = 0, seconds = 0;
            if (with_domain) in >> domain;
            in >> seconds;
            const kova_err_t e = diagnostics().at(cmd)(static_cast<domain_t>(domain), seconds);
            say(cmd + " " + hex(e) + " " + std::to_string(ms_since(start)));
        } else if (cmd == "state") {
            say(std::string("created ") + (stub && stub->is_created() ? "1" : "0"));
        } else if (cmd == "finalize") {
            Kova::finalize();
            say("finalized " + std::to_string(ms_since(start)));
        } else if (cmd == "segv") {
            raise(SIGSEGV);
            say("survived");
        } else if (cmd == "error") {
            say("error " + std::to_string(Kova::get_last_error()));
        } else {
            say("unknown " + cmd);
        }
    }
    for (std::thread& t : threads) t.join();
    proxy.reset();
    more.clear();
    stub.reset();
    Kova::finalize();
    return 0;
}
