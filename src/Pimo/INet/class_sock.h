// Holder of one socket descriptor; the destructor leaves it open, proc_close ends it.
#pragma once

#include "Pimo/INet/pimo_inet.h"

namespace Pimo {
namespace INet {

class class_sock {
public:
    class_sock() : m_socket(-1) {}
    ~class_sock() {}

    bool is_valid() const { return m_socket != -1; }
    // Both directions; the descriptor stays open.
    void proc_shutdown();
    void proc_close();

    SOCKET m_socket;
};

}  // namespace INet
}  // namespace Pimo
