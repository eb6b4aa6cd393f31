#include "Kova/SDK/Stub/class_stub_request.h"

#include <cfloat>
#include <cstring>

#include "Kova/Common/Interface/kova_memory_interface.h"
#include "Kova/Common/Open/Kova/kova_const.h"
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
    return client_at(node_addr_t(in_packet.src_ip, in_packet.header.sport), in_packet.header.sid);
}

client_addr_t client_at(struct_node_addr const& in_node, object_id_t in_id) {
    client_addr_t client;
    client.node_addr = in_node;
    client.obj_id = in_id;
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

void proc_send_unlimited(_kova_object& in_op, msg_type_t in_type, msg_code_t in_code, struct_node_addr const& in_node,
                         object_id_t in_did, Pimo::Memory::mm_t in_data_mm, pksize_t in_size, kova_clock_t in_clock) {
    struct_token t = in_data_mm != 0 ? Common::Interface::proc_alloc_copy_force(in_data_mm, __FILE__, __LINE__)
                                     : struct_token();
    if (!t.has_header()) t.alloc_header_force(__FILE__, __LINE__);
    proc_send_unlimited_token(in_op, t, in_type, in_code, in_node, in_did, in_size, in_clock);
}

void proc_send_unlimited_token(_kova_object& in_op, struct_token& io_token, msg_type_t in_type, msg_code_t in_code,
                               struct_node_addr const& in_node, object_id_t in_did, pksize_t in_size,
                               kova_clock_t in_clock) {
    struct_packet* p = io_token.get_header_packet();
    *p = struct_packet();
    p->initialize_packet(c_local_host, in_clock, DBL_MAX);
    p->initialize_header(in_size, in_op.get_msg_num(), in_type, in_code, c_kova_err_none);
    p->set_destination(in_node, in_did);
    // No time limit: the push is retried until the center pipe takes it.
    in_op.send_force(io_token);
    io_token.reset();
}

}  // namespace Stub
}  // namespace SDK
}  // namespace Kova
