// The address of a message inside an application: the key of the SDK's serial queues.
#pragma once

#include "kova_typedef.h"

namespace Kova {

struct struct_message_address {
    domain_t domain;
    object_id_t object;
    msg_code_t code;
    transaction_t transaction;  // a c_transaction_ value

    struct_message_address() : domain(0), object(0), code(0), transaction(0) {}
    struct_message_address(domain_t in_domain, object_id_t in_object, msg_code_t in_code,
                           transaction_t in_transaction)
        : domain(in_domain), object(in_object), code(in_code), transaction(in_transaction) {}
};

typedef struct_message_address msg_addr_t;

// Field by field: domain, object, code, transaction.
inline bool operator<(const struct_message_address& in_a, const struct_message_address& in_b) {
    if (in_a.domain != in_b.domain) return in_a.domain < in_b.domain;
    if (in_a.object != in_b.object) return in_a.object < in_b.object;
    if (in_a.code != in_b.code) return in_a.code < in_b.code;
    return in_a.transaction < in_b.transaction;
}

static_assert(sizeof(struct_message_address) == 8, "message address is 8 bytes");

}  // namespace Kova
