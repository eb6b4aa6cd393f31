// What the application probes (probe_call_app, probe_event_app) print: whole lines, one
// thread at a time, results in hex and clients as ip:domain:object.
#pragma once

#include <arpa/inet.h>

#include <cstdio>
#include <mutex>
#include <string>

#include "Kova/kova.h"

namespace kova_probe {

inline void say(const std::string& in_line) {
    static std::mutex s_lock;
    std::lock_guard<std::mutex> hold(s_lock);
    std::printf("%s\n", in_line.c_str());
    std::fflush(stdout);
}

inline std::string hex(Kova::kova_err_t in_err) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%x", in_err);
    return buf;
}

inline std::string ip_text(Kova::ip_t in_ip) {
    in_addr a{};
    a.s_addr = in_ip;
    char buf[INET_ADDRSTRLEN] = "?";
    inet_ntop(AF_INET, &a, buf, sizeof buf);
    return buf;
}

inline std::string client(Kova::client_addr_t const& in_client) {
    return ip_text(in_client.node_addr.ip) + ":" + std::to_string(in_client.node_addr.port) + ":" +
           std::to_string(in_client.obj_id);
}

}  // namespace kova_probe
