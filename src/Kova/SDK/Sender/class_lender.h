// The data block that a sender of a current value (a command proxy, an information stub)
// lends to one application thread at a time to fill in place; that thread posts it, and it
// becomes the current value, or cancels it. Lending is state, not a lock held across calls:
// the block, its size and the lender thread live under a short lock, and other threads
// that want a block wait on a condition until the lender is done. Only the lender frees its
// block (by cancelling) until the sender itself ends.
#pragma once

#include <condition_variable>
#include <mutex>

#include "Kova/Common/Open/Kova/kova_typedef.h"
#include "Pimo/Memory/interface_memory.h"
#include "Pimo/OS/Linux/class_lock.h"

namespace Kova {
namespace SDK {
namespace Sender {

class class_lender {
public:
    class_lender();
    // Frees a block still lent: nobody can post it any more.
    ~class_lender();
    class_lender(const class_lender&) = delete;
    class_lender& operator=(const class_lender&) = delete;

    // Lends a data block of in_size bytes to the calling thread and returns its payload.
    // Null when this thread has a block lent already, when the memory grants none, or when
    // a wait for another thread's block ends by proc_end or by the SDK's finalize. The
    // caller holds the processor's read lock; it is given up while the thread waits.
    void* eproc_lend(pksize_t in_size);
    // Whether the calling thread may post in_size bytes of its block: 0 with pout_mm set
    // (the block stays lent); c_kova_err_dont_get when it has none lent;
    // c_kova_err_too_big_size when in_size is above the lent size, after in_boundout_text
    // went to standard output as it stands.
    kova_err_t eproc_check_post(pksize_t in_size, const char* in_boundout_text, Pimo::Memory::mm_t& pout_mm) const;
    // Ends the calling thread's lending without freeing the block: it is the caller's now
    // (its one reference). 0 when this thread has none lent.
    Pimo::Memory::mm_t proc_hand_over();
    // The calling thread's block goes back to the memory; nothing when it has none lent.
    void proc_cancel();
    // Threads waiting for a block give up: the sender's object has ended. A block lent
    // stays with its lender, who may be writing into it.
    void proc_end();

private:
    // Makes the calling thread the lender, waiting while another one is; false when it
    // lends already or the wait ended without the turn.
    bool proc_take_turn(Pimo::OS::thread_id_t in_self);
    // Gives the turn up with no block lent, waking one waiter.
    void proc_give_up_turn();

    mutable std::mutex m_mutex;
    std::condition_variable m_free;
    Pimo::OS::thread_id_t m_lender;  // 0 when nobody lends
    Pimo::Memory::mm_t m_mm;         // the lent block; 0 while the lender's block is being allocated
    pksize_t m_size;
    unsigned m_end_count;            // proc_end calls: a wait that sees it change gives up
};

}  // namespace Sender
}  // namespace SDK
}  // namespace Kova
