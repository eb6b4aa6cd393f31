// The rendezvous of one pending reply and the handle an asynchronous request returns.
#pragma once

#include "Kova/Common/Interface/struct_token.h"
#include "Kova/SDK/sdk_typedef/struct_return_key.h"
#include "Pimo/OS/Linux/class_event.h"

namespace Kova {

struct struct_return_record {
    Pimo::OS::class_event event;  // unnamed, automatic reset
    struct_token token;           // the reply once it came; the record holds its references
    kova_clock_t clock;           // send time
    double limit;                 // the request's limit in seconds
    bool returned;
    unsigned epoch;               // the requester's binding when it asked (a proxy's stub_epoch)

    struct_return_record() : token(), clock(0), limit(0.0), returned(false), epoch(0) { event.eproc_create(false); }
    ~struct_return_record() { event.proc_destroy(); }
    struct_return_record(const struct_return_record&) = delete;
    struct_return_record& operator=(const struct_return_record&) = delete;
};

typedef struct_return_record return_record_t;

struct struct_return_object {
    struct_return_key key;
    struct_return_record* p_value;  // null in the error form

    struct_return_object() : key(), p_value(nullptr) {}
    explicit struct_return_object(kova_err_t in_err) : key(in_err), p_value(nullptr) {}
};

typedef struct_return_object* return_object_t;

}  // namespace Kova
