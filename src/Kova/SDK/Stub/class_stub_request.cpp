#include "Kova/SDK/Stub/class_stub_request.h"

#include <cstring>

#include "Kova/Common/Interface/kova_memory_interface.h"
#include "Kova/Common/Open/Kova/kova_err.h"
#include "Pimo/OS/Linux/vimra_time.h"

namespace Kova {
namespace SDK {
namespace Stub {

class_stub_request::class_stub_request(struct_token const& in_token)
    : m_token(in_token),
      mp_packet(in_token.get_header_packet()),
      mp_data(in_token.get_data()),
      m_size(Common::Interface::get_payload_size(in_token)) {}

client_addr_t get_client(struct_packet const& in_packet) {
    client_addr_t client;
    client.node_addr = node_addr_t(in_packet.src_ip, in_packet.header.sport);
    client.obj_id = in_packet.header.sid;
    return client;
}

void class_stub_request::proc_check_data() const {
    if (m_token.has_data()) Common::Interface::traverse_check(m_token.data_mm);
}

void class_stub_request::proc_wait_memory() { Pimo::OS::msleep(100); }

void proc_copy_request(struct_packet& pout_reply, struct_packet const& in_request) {
    std::memcpy(&pout_reply, &in_request, sizeof(struct_packet));
    pout_reply.set_data(nullptr);
}

void proc_answer_connect(struct_packet& pout_answer, struct_packet const& in_request, kova_err_t in_result) {
    proc_copy_request(pout_answer, in_request);
    if (in_result != c_kova_err_none) pout_answer.backward_error_switch(in_result);
    else pout_answer.backward_return_switch();
    // A confirm would otherwise keep the request's size with no payload behind it.
    pout_answer.set_data_size(0);
}

}  // namespace Stub
}  // namespace SDK
}  // namespace Kova
