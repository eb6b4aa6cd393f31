// A proxy's world in this test process: the rig plays the bound stub and the center,
// writing its packets into the listen and return pipes and reading the proxy's from
// the center pipe.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "Kova/Common/Open/Kova/kova_err.h"
#include "Kova/Common/Open/Kova/kova_proxy_object.h"
#include "sdk_rig.h"

namespace kova_sdk_test {

constexpr ip_t c_server_ip = 0x0500007Fu;  // 127.0.0.5: stored as 127.0.0.1
constexpr object_id_t c_stub_id = 0x0010;

// Records the proxy callbacks in the order they run.
template <typename base_t>
class recording : public base_t {
public:
    using base_t::base_t;
    void on_connected_tcp() override { note("connected"); }
    void on_disconnected_tcp() override { note("disconnected"); }
    void on_object_create() override { note("create"); }
    void on_object_destroy() override { note("destroy"); }
    std::vector<std::string> log() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_log;
    }
    std::size_t count() { return log().size(); }

protected:
    void note(const char* in_what) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_log.push_back(in_what);
    }

private:
    std::mutex m_mutex;
    std::vector<std::string> m_log;
};

class proxy_rig {
public:
    explicit proxy_rig(int in_test, std::size_t in_listeners = 2, unsigned in_center_depth = 16)
        : rig(in_listeners, in_center_depth), domain(in_test), baseline(rig.remain()) {}

    // Creates the proxy bound to the test stub and takes its object request off the
    // center pipe; the proxy's id, or 0.
    object_id_t create(kova_proxy_object& in_proxy, ip_t in_server_ip = c_server_ip) {
        struct_packet p;
        if (in_proxy.create(domain, in_server_ip, c_stub_id, 0) != c_kova_err_none) return 0;
        if (!rig.center_receive(p) || p.header.code != c_mccr_object_request) return 0;
        return in_proxy.get_local_object_id();
    }

    // A packet of the stub (or of in_sid at in_ip) to the proxy.
    packet_spec from_stub(msg_type_t in_type, msg_code_t in_code, object_id_t in_proxy, msg_num_t in_num = 0,
                          object_id_t in_sid = c_stub_id, ip_t in_ip = c_local_host) const {
        packet_spec s{in_type, in_code, in_sid, in_proxy, in_num, domain, domain};
        s.src_ip = in_ip;
        return s;
    }
    void control(msg_code_t in_code, object_id_t in_proxy, object_id_t in_sid = c_stub_id,
                 ip_t in_ip = c_local_host) {
        rig.push_listen(from_stub(c_mt_ctrl, in_code, in_proxy, 0, in_sid, in_ip));
    }
    // The stub's announcement; true once the proxy counts it as live.
    bool make_live(kova_proxy_object& in_proxy) {
        control(c_mccr_object_create, in_proxy.get_local_object_id());
        return kova_test::wait_until([&] { return in_proxy.is_live(); }, 5.0);
    }

    // The stub's answer to in_request, into the return pipe; in_header_size, when not
    // negative, overrides the size field whatever block comes with it.
    void answer(const struct_packet& in_request, msg_type_t in_type, kova_err_t in_error, std::size_t in_payload = 0,
                long in_header_size = -1) {
        packet_spec s = from_stub(in_type, in_request.header.code, in_request.header.sid, in_request.header.num,
                                  in_request.header.did, in_request.dst_ip);
        s.payload = in_payload;
        s.error = in_error;
        struct_token t = rig.make(s);
        if (in_header_size >= 0) t.get_header_packet()->header.size = static_cast<pksize_t>(in_header_size);
        sdk_rig::push(rig.m_return, t);
    }
    // A control packet of the center about the stub or its host, into the return pipe.
    void wake(msg_code_t in_code, kova_err_t in_error, object_id_t in_proxy, std::size_t in_payload = 0) {
        packet_spec s = from_stub(c_mt_ctrl, in_code, in_proxy);
        s.error = in_error;
        s.payload = in_payload;
        rig.push_return(s);
    }

    sdk_rig rig;
    const test_domain_scope domain;
    // Free bytes of the packet memory before the test made anything: where every test
    // ends. Counted later, a packet that a listener still holds after its callback ran
    // would pass for a leak once it is freed.
    const unsigned long baseline;
};

// A proxy of one kind and code, created and live with the test stub.
template <typename kind_t>
struct live_proxy {
    live_proxy(int in_test, msg_code_t in_code, unsigned in_center_depth = 16)
        : w(in_test, 2, in_center_depth), proxy(in_code) {
        id = w.create(proxy);
        // Once the listener has let the announcement go, tests start from the baseline.
        live = id != 0 && w.make_live(proxy) && w.rig.wait_remain(w.baseline);
    }
    proxy_rig w;
    kind_t proxy;
    object_id_t id = 0;
    bool live = false;
};

}  // namespace kova_sdk_test
