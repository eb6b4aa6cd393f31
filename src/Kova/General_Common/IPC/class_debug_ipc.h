// The debug channel: trace records to the service's log thread. A process that
// holds one sends records from then on, whether or not its open succeeded (a pipe
// that never became live refuses every send).
//
// Beside the pipe the creator publishes two words in the segment <name> + "switch":
// - at 0, 32 bits: whether it makes rows of 'A' and 'F' records at all. An opener that finds
//   the word 0 sends no such records; one that finds no word, or does not look for it, sends
//   every kind.
// - at 8, 64 bits: the last mark the reader has written, as make_mark(pid, number). A mark is a
//   record of kind 'S' whose text is its sender's number in decimal, without a token; it makes
//   no row and does not count towards the rotation. The reader takes records in their order, so
//   once the word names a mark, every record queued before it has been written and the block
//   reference it held released: a test that sends a mark and waits for it reads the packet
//   memory without trace records in flight. The word keeps only the last mark; a sender that
//   sees another's mark there while it waits sends its own again.
#pragma once

#include "Kova/Common/Global/struct_debug_token.h"
#include "Pimo/IPC/class_shared_pipe.h"
#include "Pimo/OS/Linux/class_shared_memory.h"

namespace Kova {
namespace General_Common {
namespace IPC {

class class_debug_ipc : public Pimo::IPC::class_shared_pipe {
public:
    static const char* const str_name;  // "kova_debug_ipc"
    static constexpr Pimo::u_int32_t c_depth = 65536;
    static const char* const c_switch_suffix;  // "switch"
    static constexpr char c_mark_kind = 'S';

    static Pimo::u_int64_t make_mark(Pimo::OS::process_id_t in_pid, Pimo::u_int32_t in_number) {
        return static_cast<Pimo::u_int64_t>(static_cast<Pimo::u_int32_t>(in_pid)) << 32 | in_number;
    }
    // The mark a record carries; false when it is no mark.
    static bool get_mark(const struct_debug_token& in_record, Pimo::u_int64_t* pout_mark);

    // Publishes itself as the process's gp_debug_ipc. The reference each record holds is
    // told to the process's ledger.
    class_debug_ipc();
    ~class_debug_ipc() override;

    // in_name is the host's channel; another name keeps a test off a live host's channel.
    // in_block_traces_logged: whether rows are made of 'A' and 'F' records (the service's LOG).
    Pimo::OS::vimra_err_t eproc_create(Pimo::u_int32_t in_depth, const char* in_name = str_name,
                                       bool in_block_traces_logged = true);
    // Also reads the creator's word; a channel without one takes every kind.
    Pimo::OS::vimra_err_t eproc_open(const char* in_name = str_name);
    void proc_close();
    void proc_destroy();

    // A mark of this process numbered in_number, in one try: 0, or the pipe's refusal.
    Pimo::OS::vimra_err_t eproc_send_mark(Pimo::u_int32_t in_number);
    // The last mark written; 0 when the creator published no word.
    Pimo::u_int64_t get_last_mark() const;
    // The reader, once it has written every record before in_mark.
    void proc_note_mark(Pimo::u_int64_t in_mark);

private:
    Pimo::u_int64_t* get_mark_word() const;

    Pimo::OS::class_shared_memory m_switch;  // the creator's, or an opener's view, for its life
    bool m_switch_read = false;               // this opener set the process's word
};

}  // namespace IPC
}  // namespace General_Common
}  // namespace Kova
