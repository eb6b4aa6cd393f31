// What the application probes (probe_call_app, probe_command_app, probe_event_app,
// probe_information_app) share: their "quiet" command, and what they print: whole lines, one
// thread at a time, results in hex and clients as ip:domain:object.
#pragma once

#include <arpa/inet.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>

#include "Kova/kova.h"

namespace kova_probe {

// Milliseconds since in_from, as the probes report how long a request took.
inline long ms_since(std::chrono::steady_clock::time_point in_from) {
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - in_from).count());
}

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

// "-" is no data, "pat:<n>" n pattern bytes, anything else the text itself.
inline std::string make_data(const std::string& in_text) {
    if (in_text == "-") return "";
    if (in_text.rfind("pat:", 0) == 0) {
        std::string out(std::stoul(in_text.substr(4)), '\0');
        for (size_t i = 0; i < out.size(); ++i) out[i] = static_cast<char>('a' + (i * 7) % 26);
        return out;
    }
    return in_text;
}

// Up to 40 bytes as they are, longer payloads as "#" and their FNV-1a hash.
inline std::string show(const void* pin_data, size_t in_size) {
    if (in_size == 0 || !pin_data) return "-";
    const unsigned char* p = static_cast<const unsigned char*>(pin_data);
    if (in_size <= 40) return std::string(reinterpret_cast<const char*>(p), in_size);
    std::uint32_t h = 2166136261u;
    for (size_t i = 0; i < in_size; ++i) h = (h ^ p[i]) * 16777619u;
    char buf[16];
    std::snprintf(buf, sizeof buf, "#%08x", h);
    return buf;
}

// "quiet": every packet that the listeners of this process hold is done. The end of a plain
// object takes the processor's write lock, which waits for the read lock each listener holds
// for its packet, callbacks and release included; nothing is sent. After the host's drain
// (probe_service_client), which sees each packet queued before it taken by a listener, it ends
// what the drain left in the listeners' hands.
inline void wait_for_listeners() { Kova::kova_object barrier; }

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
