// A request as a stub handler sees it: the client, and the payload and size that a
// callback may be handed.
#pragma once

#include "Kova/Common/Hidden/struct_packet.h"
#include "Kova/Common/Interface/struct_token.h"
#include "Kova/Common/Open/Kova/kova_err.h"
#include "Kova/Common/Open/Kova/kova_typedef.h"
#include "Kova/SDK/Interface/_kova_object.h"

namespace Kova {
namespace SDK {
namespace Stub {

// The client of a stub: source ip, the header's source domain and sid.
client_addr_t get_client(struct_packet const& in_packet);
// Client in_id of the node in_node.
client_addr_t client_at(struct_node_addr const& in_node, object_id_t in_id);

class class_stub_request {
public:
    explicit class_stub_request(struct_token const& in_token);

    client_addr_t get_client() const { return Stub::get_client(*mp_packet); }
    // Null without a data block.
    void* get_data() const { return mp_data; }
    // Never more than the data block holds; 0 without one.
    pksize_t get_size() const { return m_size; }
    struct_packet* get_packet() const { return mp_packet; }
    bool has_data() const { return m_token.has_data(); }
    // The memory's consistency check of the request's data block, when it has one.
    void proc_check_data() const;

    // How long a request waits for the memory of its answer, whatever its limit: the
    // requests queued behind it may hold the very memory it waits for.
    static constexpr double c_memory_wait_s = 1.0;

    // Tries in_alloc until it grants (true), or the request's time is spent or
    // c_memory_wait_s have passed (false), charging the waited time to the request.
    template <typename alloc_t>
    bool proc_alloc_within(alloc_t in_alloc) const {
        const Pimo::OS::vimra_clock_t start = Pimo::OS::vimra_clock();
        for (;;) {
            if (in_alloc() == 0) return true;
            if (mp_packet->update_packet_time_and_return_timeout()) return false;
            if (static_cast<double>(Pimo::OS::vimra_clock() - start) >= c_memory_wait_s * 1000.0) return false;
            proc_wait_memory();
        }
    }

private:
    static void proc_wait_memory();

    struct_token m_token;
    struct_packet* mp_packet;
    void* mp_data;
    pksize_t m_size;
};

// A reply built from the request's record: no heap payload of the requester's process.
void proc_copy_request(struct_packet& pout_reply, struct_packet const& in_request);
// The answer to a connect of a connection kind, turned around: confirm for in_result 0,
// otherwise reject carrying in_result; header-only either way.
void proc_answer_connect(struct_packet& pout_answer, struct_packet const& in_request, kova_err_t in_result);

// A packet of in_type and in_code with no time limit from in_op to (in_node, in_did), the
// object's next number, with in_data_mm attached by a reference of its own when it is not
// 0; waits for memory and for the center pipe. The stub-built packets of the connection
// kinds: events and disconnects.
void proc_send_unlimited(_kova_object& in_op, msg_type_t in_type, msg_code_t in_code, struct_node_addr const& in_node,
                         object_id_t in_did, Pimo::Memory::mm_t in_data_mm, pksize_t in_size, kova_clock_t in_clock);
// As proc_send_unlimited, for a token that already holds its header block (and its data
// block, by a reference of its own, when it has one); the token is sent and emptied.
void proc_send_unlimited_token(_kova_object& in_op, struct_token& io_token, msg_type_t in_type, msg_code_t in_code,
                               struct_node_addr const& in_node, object_id_t in_did, pksize_t in_size,
                               kova_clock_t in_clock);

}  // namespace Stub
}  // namespace SDK
}  // namespace Kova
