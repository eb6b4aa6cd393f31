// The references to blocks of the shared packet memory that one process holds, recorded
// where they outlive the process, so that whoever sees it die can give them back.
//
// Design. Every process that holds blocks keeps a ledger: a named segment of its own,
// "kova_ledger_" + its pid, holding a table of handles (one entry per reference, so a
// handle held twice is there twice). The heap tells the ledger of every reference the
// process takes (allocation, added reference) and gives up (release) inside the heap's lock,
// and the process's packet pipes tell it of every token that leaves (push) or arrives
// (receive) inside the pipe's lock: a token in a pipe belongs to the pipe, whose reader
// takes it over, never to the process that pushed it. Each entry is one aligned 32-bit word
// written once, so a process killed at any instant leaves a table whose every word is
// either a handle it held or a mark without meaning; the entry is written just after the
// reference is taken and cleared just before it is given up, so between the two steps the
// ledger may miss a reference (a block lost) but never names one the process no longer
// holds: nothing a survivor holds is ever given back on its behalf. Where the two steps are
// apart a reference passes through a pipe, and there it is never lost: the entry becomes a
// transit mark (the handle with its low bit set) before the ring changes, and gone or held
// after; a sweep leaves marks alone. A process killed between leaves marks and the pipe's
// transit record; the pipe's next holder, who alone sees whether the ring had changed,
// settles them (proc_settle_dead_transit), and the ledger stays until it has.
//
// The owner holds an exclusive lock on its segment for its whole life. Whoever notices a
// death (a center for its applications, the service for its centers) sweeps: it gives back
// what every ledger records whose lock it can take (its owner is gone), marks it released
// and removes its name. The lock makes the sweep of one ledger happen once, whoever else
// sweeps at the same time. A process that ends in order gives back what it still records
// and removes its ledger itself. Handles mean something only in the heap they came from:
// a ledger names the segment of its heap (device and inode) and the heap's resets when its
// entries were made; a sweep leaves the ledgers of another segment alone and gives nothing
// back for entries made before the heap's last reset, and a service that makes the memory
// anew drops every ledger a dead process left of the memory's former life.
//
// Threads: the owner's threads record without a lock (one compare-and-swap per entry),
// inside the heap's and the pipes' locks; the ledger's own lock guards only its making,
// its end and the forgetting that follows a reset of the heap. A sweeper reads only dead
// ledgers.
#pragma once

#include <atomic>
#include <mutex>
#include <string>

#include "Pimo/Memory/class_dynamic_shared_memory_pool.h"
#include "Pimo/Memory/interface_handle_hook.h"
#include "Pimo/OS/Linux/vimra_err.h"

namespace Pimo {
namespace Memory {

class class_handle_ledger : public interface_handle_hook {
public:
    static const char* const c_name_prefix;  // "kova_ledger_"
    // References one process can have recorded at a time; beyond, they go unrecorded.
    static constexpr u_int32_t c_capacity = 1u << 16;

    class_handle_ledger();
    ~class_handle_ledger() override;
    class_handle_ledger(const class_handle_ledger&) = delete;
    class_handle_ledger& operator=(const class_handle_ledger&) = delete;

    // Makes this process's ledger and attaches it to the heap of in_pool, which must be
    // open. A ledger of the same name that a dead process left is swept first. 0 or -1.
    OS::vimra_err_t eproc_create(class_dynamic_shared_memory_pool& in_pool);
    // The process ends in order: gives back what it still records (the blocks nobody will
    // use any more), detaches from the heap, and the ledger goes.
    void proc_close();
    // The process ends because the memory's service has gone: the ledger goes, and gives
    // nothing back into a memory that is about to be made anew.
    void proc_abandon();
    bool is_live() const { return m_recording.load(); }

    void on_taken(mm_t in_mm) override;
    void on_released(mm_t in_mm) override;
    // A reference of this process passes through a pipe, whose lock is held: marked in transit
    // before the ring changes (a push's leaving, a take's arriving), then gone or held.
    void on_leaving(mm_t in_mm);
    void on_left(mm_t in_mm);
    void on_arriving(mm_t in_mm);
    void on_arrived(mm_t in_mm);
    // The pipe's next holder saw the process in_pid die inside a push (in_push) or take of
    // in_refs, after the ring had changed (in_changed) or before: its marks of them go, and
    // the references are given back where the ring does not hold them. Its ledger is swept
    // too if nobody has yet.
    void proc_settle_dead_transit(u_int32_t in_pid, const mm_t* pin_refs, size_t in_count, bool in_push,
                                  bool in_changed);

    // Sweeps every ledger of in_pool's segment whose owner is gone (see the design above).
    void proc_release_dead() { proc_release_dead(*mp_pool); }
    static void proc_release_dead(class_dynamic_shared_memory_pool& in_pool) { proc_sweep(in_pool, true); }
    // For the service that has just made the memory: drops the ledgers of its former life.
    static void proc_drop_dead(class_dynamic_shared_memory_pool& in_pool) { proc_sweep(in_pool, false); }
    // For a process that ends right after, holding the heap's lock: gives back every
    // reference it records; nothing is recorded after.
    void proc_release_own_for_exit();

    // References recorded now.
    u_int32_t get_count();

private:
    struct struct_table;

    static std::string get_name(u_int32_t in_pid);
    static void proc_sweep(class_dynamic_shared_memory_pool& in_pool, bool in_give_back);
    // True when in_table is a ledger of in_pool's segment.
    static bool is_of(const struct_table* pin_table, const class_dynamic_shared_memory_pool& in_pool);
    // Marks a ledger of in_pool's segment released, giving back (with in_give_back) every
    // reference it records when the heap was not reset since.
    static void proc_release_table(struct_table* pin_table, class_dynamic_shared_memory_pool& in_pool,
                                   bool in_give_back);
    // True while in_table has marks of transits made since the heap's last reset: it stays
    // for whoever settles them.
    static bool is_waiting_for_transits(const struct_table* pin_table, class_dynamic_shared_memory_pool& in_pool);
    // Entries made before the heap's last reset are forgotten.
    void proc_follow_reset();
    // The table's slots, followed to the heap's last reset, when in_mm is a handle to record
    // and the ledger records; else null.
    u_int32_t* get_slots_for(mm_t in_mm);

    std::mutex m_mutex;
    std::atomic<bool> m_recording;
    struct_table* mp_table;
    class_dynamic_shared_memory_pool* mp_pool;
    int m_fd;
    std::string m_name;
};

}  // namespace Memory
}  // namespace Pimo
