// The handler of a command stub: which client objects of which nodes are connected, the
// handshake with them, and each client's latest commands.
#pragma once

#include <atomic>

#include "Kova/Common/Interface/struct_token.h"
#include "Kova/Common/Open/Kova/kova_object_command.h"
#include "Kova/SDK/Stub/template_client_table.h"
#include "Kova/SDK/sdk_typedef/struct_cmd_obj_map_data.h"

namespace Kova {

class _kova_object_command : public template_client_table<struct_cmd_obj_map_data> {
public:
    _kova_object_command(_kova_object* pin_op, kova_object_command* pin_mp, msg_code_t in_code,
                         interface_kind_t in_kind);
    ~_kova_object_command() override;
    _kova_object_command(const _kova_object_command&) = delete;
    _kova_object_command& operator=(const _kova_object_command&) = delete;

    // On a listener thread; the token stays the caller's.
    void adapter_connect(struct_token const& in_token);
    // A command (86 or 87): kept in its client's history and, with use_on_sync, handed to
    // on_sync, which runs without the table's lock; ignored from a client that is not
    // connected.
    void adapter_sync(struct_token const& in_token);

    // The caller holds the processor's read lock.
    kova_size_t get_client_list(client_addr_t* pio_client_addr, kova_size_t in_size);
    letter_case_t see_history(client_addr_t const& in_client_addr, kova_size_t in_size);
    kova_err_t read(client_addr_t const& in_client_addr, void* pin_data, pksize_t* pin_size);

    // Written by application threads under the read lock alone, read by listeners.
    std::atomic<kova_size_t> history_size;
    std::atomic<bool> use_on_sync;
    kova_object_command* mp;

protected:
    void proc_on_shutdown(client_addr_t const& in_client) override { mp->on_shutdown(in_client); }
    msg_type_t get_disconnect_type(struct_cmd_obj_map_data const&) const override { return c_mt_command_disconnect; }

private:
    // on_sync for one command.
    void sync(struct_token const& in_token);
};

}  // namespace Kova
