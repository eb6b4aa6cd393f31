// In-process stand-ins for driving the network relay's steps without a center: a small packet
// memory and a center pipe that keeps what it is handed. Header-only: the fuzzer uses it too.
#pragma once

#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>

#include "Kova/Center/Global/class_payload_buffers.h"
#include "Kova/Common/Global/kova_global.h"
#include "Kova/Common/Hidden/struct_packet.h"
#include "Kova/Common/Interface/struct_token.h"
#include "Pimo/IPC/interface_pipe.h"
#include "Pimo/Memory/class_dynamic_shared_ref_memory.h"

namespace kova_test {

// What the relay hands to the center, in order; a capacity of 0 means unbounded.
class sink_pipe : public Pimo::IPC::interface_pipe {
public:
    void proc_shutdown() override {
        std::lock_guard<std::mutex> g(m_mutex);
        m_shut = true;
        m_cv.notify_all();
    }
    bool test_empty() override {
        std::lock_guard<std::mutex> g(m_mutex);
        return m_queue.empty();
    }
    bool test_full() override { return false; }
    Pimo::OS::vimra_err_t eproc_push(const Pimo::byte_t* pin_elem, size_t) override { return put(pin_elem); }
    Pimo::OS::vimra_err_t eproc_send(const Pimo::byte_t* pin_elem, size_t) override { return put(pin_elem); }
    Pimo::OS::vimra_err_t eproc_receive(Pimo::byte_t* pout_elem) override { return eproc_receive_timeout(pout_elem, 1e9); }
    Pimo::OS::vimra_err_t eproc_receive_timeout(Pimo::byte_t* pout_elem, const double& in_timeout) override {
        std::unique_lock<std::mutex> g(m_mutex);
        if (!m_cv.wait_for(g, std::chrono::duration<double>(in_timeout), [&] { return m_shut || !m_queue.empty(); }))
            return Pimo::OS::c_vimra_timeout;
        if (m_queue.empty()) return Pimo::OS::c_vimra_shutdown;
        std::memcpy(pout_elem, &m_queue.front(), sizeof(Kova::struct_token));
        m_queue.pop_front();
        return Pimo::OS::c_vimra_success;
    }
    Pimo::OS::vimra_err_t eproc_pop(Pimo::byte_t* pout_elem) override { return eproc_receive_timeout(pout_elem, 0); }

    bool pop(Kova::struct_token& out_token) {
        std::lock_guard<std::mutex> g(m_mutex);
        if (m_queue.empty()) return false;
        out_token = m_queue.front();
        m_queue.pop_front();
        return true;
    }
    size_t size() {
        std::lock_guard<std::mutex> g(m_mutex);
        return m_queue.size();
    }

private:
    Pimo::OS::vimra_err_t put(const Pimo::byte_t* pin_elem) {
        std::lock_guard<std::mutex> g(m_mutex);
        if (m_shut) return Pimo::OS::c_vimra_shutdown;
        Kova::struct_token t;
        std::memcpy(&t, pin_elem, sizeof(t));
        m_queue.push_back(t);
        m_cv.notify_all();
        return Pimo::OS::c_vimra_success;
    }

    std::mutex m_mutex;
    std::condition_variable m_cv;
    std::deque<Kova::struct_token> m_queue;
    bool m_shut = false;
};

// A packet memory of its own, installed as the process's gp_memory.
class local_packet_memory {
public:
    bool create(const std::string& in_name, unsigned in_size) {
        m_name = in_name;
        if (m_memory.eproc_create(in_name.c_str(), in_size) != 0) return false;
        Kova::Common::Global::gp_memory = &m_memory;
        return true;
    }
    void destroy() {
        if (Kova::Common::Global::gp_memory == &m_memory) Kova::Common::Global::gp_memory = nullptr;
        m_memory.proc_destroy();
    }
    unsigned long blocks() const { return m_memory.get_alloc_count(); }
    unsigned long remain() const { return m_memory.get_remain(); }
    Pimo::Memory::class_dynamic_shared_ref_memory& memory() { return m_memory; }

    // Releases a token the way a center would after reading it (the process buffer too).
    void release(Kova::struct_token& in_token) {
        if (in_token.header_mm) {
            Kova::struct_packet* pkt = static_cast<Kova::struct_packet*>(m_memory.get_addr(in_token.header_mm));
            if (!in_token.data_mm) Kova::Center::Global::class_payload_buffers::proc_free(pkt);
        }
        m_memory.safe_free(in_token.header_mm, __FILE__, __LINE__);
        m_memory.safe_free(in_token.data_mm, __FILE__, __LINE__);
    }
    Kova::struct_packet* packet(const Kova::struct_token& in_token) {
        return in_token.header_mm ? static_cast<Kova::struct_packet*>(m_memory.get_addr(in_token.header_mm)) : nullptr;
    }
    Pimo::byte_t* payload(const Kova::struct_token& in_token) {
        return in_token.data_mm ? static_cast<Pimo::byte_t*>(m_memory.get_addr(in_token.data_mm)) + sizeof(Kova::struct_packet)
                                : nullptr;
    }

private:
    std::string m_name;
    Pimo::Memory::class_dynamic_shared_ref_memory m_memory;
};

}  // namespace kova_test
