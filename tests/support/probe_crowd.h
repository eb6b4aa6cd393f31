// A crowd of proxies of one kind in one application probe, bound to one stub. A first proxy's
// on_object_create makes the others one after the other on its listener thread, so that with
// one listener the process takes nothing of what the center answers them until all are made;
// then each is served (asked once it has seen its stub, until in_serve says it was).
#pragma once

#include <arpa/inet.h>

#include <atomic>
#include <chrono>
#include <istream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "Kova/kova.h"
#include "probe_app_lines.h"

namespace kova_probe {

template <typename proxy_t>
class probe_crowd {
public:
    probe_crowd() = default;
    probe_crowd(const probe_crowd&) = delete;
    probe_crowd& operator=(const probe_crowd&) = delete;
    // The leader's callback may still be making the crowd when a run gives up.
    ~probe_crowd() {
        for (int i = 0; m_leader && !m_made.load() && i < 6000; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        m_leader.reset();
    }

    // The rest of a "many" command, "<count> <domain> <server ip> <stub id> <code> <limit s>".
    template <typename serve_t>
    std::string run(std::istream& in_words, serve_t in_serve) {
        unsigned count = 0, domain = 0, id = 0, code = 0;
        std::string ip;
        double limit = 0;
        in_words >> count >> domain >> ip >> id >> code >> limit;
        return run(count, static_cast<Kova::domain_t>(domain), inet_addr(ip.c_str()),
                   static_cast<Kova::object_id_t>(id), static_cast<Kova::msg_code_t>(code), limit, in_serve);
    }
    // "<live> <served> <ms>" once every proxy is served or in_limit seconds have gone.
    template <typename serve_t>
    std::string run(unsigned in_count, Kova::domain_t in_domain, Kova::ip_t in_ip, Kova::object_id_t in_stub,
                    Kova::msg_code_t in_code, double in_limit, serve_t in_serve) {
        const auto start = std::chrono::steady_clock::now();
        const auto end = start + std::chrono::duration<double>(in_limit);
        m_leader.reset(new leader(*this, in_count, in_domain, in_ip, in_stub, in_code));
        m_leader->create(in_domain, in_ip, in_stub);
        while (!m_made.load() && std::chrono::steady_clock::now() < end)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        if (!m_made.load()) return "0 0 " + std::to_string(ms_since(start));
        std::vector<bool> served(m_proxies.size(), false);
        unsigned live = 0, done = 0;
        while (done < m_proxies.size() && std::chrono::steady_clock::now() < end) {
            live = 0;
            for (size_t i = 0; i < m_proxies.size(); ++i) {
                if (!m_proxies[i]->is_live()) continue;
                ++live;
                if (!served[i] && in_serve(*m_proxies[i])) {
                    served[i] = true;
                    ++done;
                }
            }
            if (done < m_proxies.size()) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return std::to_string(live) + " " + std::to_string(done) + " " + std::to_string(ms_since(start));
    }

private:
    class leader : public proxy_t {
    public:
        leader(probe_crowd& in_crowd, unsigned in_count, Kova::domain_t in_domain, Kova::ip_t in_ip,
               Kova::object_id_t in_stub, Kova::msg_code_t in_code)
            : proxy_t(in_code),
              m_crowd(in_crowd),
              m_count(in_count),
              m_domain(in_domain),
              m_ip(in_ip),
              m_stub(in_stub),
              m_code(in_code) {}

    private:
        void on_object_create() override {
            if (m_crowd.m_made.load()) return;
            for (unsigned i = 0; i < m_count; ++i) {
                m_crowd.m_proxies.emplace_back(new proxy_t(m_code));
                m_crowd.m_proxies.back()->create(m_domain, m_ip, m_stub);
            }
            m_crowd.m_made.store(true);
        }

        probe_crowd& m_crowd;
        const unsigned m_count;
        const Kova::domain_t m_domain;
        const Kova::ip_t m_ip;
        const Kova::object_id_t m_stub;
        const Kova::msg_code_t m_code;
    };

    std::unique_ptr<leader> m_leader;
    std::vector<std::unique_ptr<proxy_t>> m_proxies;  // written by the leader until m_made
    std::atomic<bool> m_made{false};
};

}  // namespace kova_probe
