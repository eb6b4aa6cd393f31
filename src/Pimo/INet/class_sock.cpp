#include "Pimo/INet/class_sock.h"

#include <sys/socket.h>
#include <unistd.h>

namespace Pimo {
namespace INet {

void class_sock::proc_shutdown() {
    if (m_socket != -1) shutdown(m_socket, SHUT_RDWR);
}

void class_sock::proc_close() {
    if (m_socket != -1) close(m_socket);
    m_socket = -1;
}

}  // namespace INet
}  // namespace Pimo
