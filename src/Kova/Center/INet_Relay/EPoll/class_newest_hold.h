// Received datagrams that the center pipe refused, held until it has room: of an information
// value or a command only the newest counts, so a newer one of the same stream takes the
// older one's place. The UDP receive thread alone uses it; its room is fixed (c_room streams),
// so holding allocates nothing.
#pragma once

#include <array>
#include <cstddef>

#include "Kova/Common/Hidden/struct_packet.h"
#include "Kova/Common/Interface/struct_token.h"

namespace Kova {
namespace Center {
namespace INet_Relay {
namespace EPoll {

class class_newest_hold {
public:
    static constexpr std::size_t c_room = 64;
    enum class enum_push { taken, busy, gone };

    class_newest_hold() : m_size(0) {}
    ~class_newest_hold() { proc_clear(); }
    class_newest_hold(const class_newest_hold&) = delete;
    class_newest_hold& operator=(const class_newest_hold&) = delete;

    bool empty() const { return m_size == 0; }
    std::size_t size() const { return m_size; }
    // Keeps in_token as the newest of its stream, in arrival order behind the others (an older
    // one of its stream is freed); false when it is not held (a packet whose rule is not the
    // newest's, or no room for another stream): it stays the caller's then.
    bool keep(const struct_token& in_token);
    // Hands the held ones to in_push(token) oldest first while it takes them (taken: the token
    // is in_push's now; busy: it stays, and the rest behind it; gone: everything is freed).
    template <typename push_t>
    void proc_flush(push_t in_push) {
        std::size_t done = 0;
        for (; done < m_size; ++done) {
            const enum_push r = in_push(m_tokens[done]);
            if (r == enum_push::busy) break;
            if (r == enum_push::gone) {
                proc_clear();
                return;
            }
        }
        for (std::size_t i = done; i < m_size; ++i) m_tokens[i - done] = m_tokens[i];
        m_size -= done;
    }
    // Frees every held token.
    void proc_clear();

private:
    std::array<struct_token, c_room> m_tokens;
    std::size_t m_size;
};

}  // namespace EPoll
}  // namespace INet_Relay
}  // namespace Center
}  // namespace Kova
