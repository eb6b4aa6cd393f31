// The identity of a pending reply, as the replying stub writes it back. The
// requester's own object id is part of it, so that two proxies of one process
// that ask one stub with the same code and message number keep their replies apart.
#pragma once

#include <cstddef>

#include "Kova/Common/Open/Kova/kova_typedef.h"

namespace Kova {

struct struct_return_key {
    ip_t ip;              // the stub's host (the reply's source address)
    domain_t domain;      // the stub's domain (the reply's source domain)
    object_id_t obj_id;   // the stub (the reply's source id)
    msg_type_t msg_type;  // the request's type
    msg_code_t msg_code;
    msg_num_t msg_num;
    object_id_t req_id;   // the requester (the request's source id, the reply's destination id)
    kova_err_t err;       // error form only; not part of the identity

    struct_return_key() : ip(0), domain(0), obj_id(0), msg_type(0), msg_code(0), msg_num(0), req_id(0), err(0) {}
    explicit struct_return_key(kova_err_t in_err)
        : ip(0), domain(0), obj_id(0), msg_type(0), msg_code(0), msg_num(0), req_id(0), err(in_err) {}
    struct_return_key(ip_t in_ip, domain_t in_domain, object_id_t in_obj_id, msg_type_t in_type, msg_code_t in_code,
                      msg_num_t in_num, object_id_t in_req_id)
        : ip(in_ip), domain(in_domain), obj_id(in_obj_id), msg_type(in_type), msg_code(in_code), msg_num(in_num),
          req_id(in_req_id), err(0) {}
};

typedef struct_return_key return_key_t;

inline bool operator<(const struct_return_key& in_a, const struct_return_key& in_b) {
    if (in_a.ip != in_b.ip) return in_a.ip < in_b.ip;
    if (in_a.domain != in_b.domain) return in_a.domain < in_b.domain;
    if (in_a.obj_id != in_b.obj_id) return in_a.obj_id < in_b.obj_id;
    if (in_a.msg_type != in_b.msg_type) return in_a.msg_type < in_b.msg_type;
    if (in_a.msg_code != in_b.msg_code) return in_a.msg_code < in_b.msg_code;
    if (in_a.msg_num != in_b.msg_num) return in_a.msg_num < in_b.msg_num;
    return in_a.req_id < in_b.req_id;
}

static_assert(sizeof(struct_return_key) == 20, "return key is 20 bytes");
static_assert(offsetof(struct_return_key, req_id) == 14, "the requester sits in the former padding");

}  // namespace Kova
