// Sees only the installed headers and library. Deriving from the public classes needs
// their type information and virtual tables from the library.
#include <Kova/kova.h>
#include <arpa/inet.h>

namespace {

struct app_object : Kova::kova_object {
    void on_connected_tcp(Kova::node_addr_t const&) override {}
};

struct app_stub : Kova::kova_object_call {
    app_stub() : kova_object_call(1, 64) {}

private:
    Kova::kova_err_t on_call(Kova::client_addr_t const&, void*, Kova::pksize_t const&, void*, Kova::pksize_t* pout_size,
                             double const&, double const&) override {
        *pout_size = 0;
        return Kova::c_kova_success;
    }
};

struct app_events : Kova::kova_object_event {
    app_events() : kova_object_event(2) {}
    Kova::kova_err_t publish() { return event("x", 1); }

private:
    Kova::kova_err_t on_connect(Kova::client_addr_t const&, double const&, double const&) override {
        return Kova::c_kova_success;
    }
};

struct app_proxy : Kova::kova_proxy_object_call {
    app_proxy() : kova_proxy_object_call(1) {}
    void on_object_create() override {}
};

struct app_subscriber : Kova::kova_proxy_object_event {
    app_subscriber() : kova_proxy_object_event(2) {}

private:
    void on_event(const void*, Kova::pksize_t const&, double const&) override {}
};

struct app_listener : Kova::kova_proxy_object_broadcast {
    app_listener() : kova_proxy_object_broadcast(3) {}

protected:
    void on_broadcast(Kova::server_addr_t const&, void*, Kova::pksize_t const&, double const&) override {}
};

}  // namespace

int main() {
    Kova::finalize();  // not running: nothing
    if (Kova::msg_processing_by_parallel(Kova::msg_addr_t()) != Kova::c_kova_err_not_initailize) return 2;
    if (Kova::dispatch_message(0.0)) return 3;
    app_object object;
    if (object.create(7100, 1) != Kova::c_kova_err_not_initailize || object.is_created()) return 4;
    app_stub stub;
    if (stub.create(7100, 2) != Kova::c_kova_err_not_initailize) return 5;
    app_proxy proxy;
    if (proxy.create(7100, inet_addr("127.0.0.1"), 2) != Kova::c_kova_err_not_initailize || proxy.is_live()) return 6;
    app_events events;
    if (events.publish() != Kova::c_kova_err_is_not_created) return 11;
    // The library's own form of the history; an empty one reads as zeros.
    Kova::template_history<int> history;
    if (history || history.size() != 0 || history[0].p_buffer != nullptr) return 12;
    // Not created: the failure travels in the return object.
    char reply[64];
    Kova::pksize_t size = sizeof reply;
    if (proxy.async_return(proxy.async_call("x", 2, 1.0), reply, &size, nullptr) != Kova::c_kova_err_is_not_created)
        return 7;
    app_subscriber subscriber;
    if (subscriber.async_connect_return(subscriber.async_connect(1.0), nullptr) != Kova::c_kova_err_is_not_created)
        return 8;
    subscriber.shutdown();
    if (subscriber.is_connected()) return 9;
    app_listener listener;
    if (listener.is_created()) return 10;
    return 0;
}
