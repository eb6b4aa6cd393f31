// The message engine of an application and the SDK's process-wide reader-writer
// lock: listener threads deliver packets from the listen pipe at once or through
// serial queues, the returner matches replies to pending requests.
#pragma once

#include <atomic>
#include <cstddef>
#include <list>
#include <map>
#include <mutex>
#include <vector>

#include "Kova/Common/Interface/interface_kova_pipe.h"
#include "Kova/Common/Interface/struct_token.h"
#include "Kova/Common/Open/Kova/kova_err.h"
#include "Kova/Common/Open/Kova/kova_message_address.h"
#include "Kova/SDK/Interface/interface_object_core.h"
#include "Kova/SDK/SDK_Processor/class_answer_sender.h"
#include "Kova/SDK/SDK_Processor/class_queue_charges.h"
#include "Kova/SDK/SDK_Processor/class_thread_qbuffer.h"
#include "Kova/SDK/sdk_typedef/struct_return_record.h"
#include "Pimo/OS/Linux/class_count_lock.h"
#include "Pimo/OS/Linux/class_locker.h"
#include "Pimo/OS/Linux/class_thread.h"

namespace Kova {

struct struct_packet;

namespace SDK {
namespace SDK_Processor {

typedef std::map<struct_message_address, class_thread_qbuffer*> qbuffer_map_t;
typedef std::map<struct_return_key, struct_return_record*> return_map_t;

transaction_t trans_listen_type_to_transaction(msg_type_t in_type);
msg_type_t get_return_type(msg_type_t in_type);

class kova_sdk_processor : public Pimo::OS::class_thread_count_lock {
public:
    typedef Interface::interface_object_core object_t;

    kova_sdk_processor();
    ~kova_sdk_processor() override;
    kova_sdk_processor(const kova_sdk_processor&) = delete;
    kova_sdk_processor& operator=(const kova_sdk_processor&) = delete;

    void proc_read_lock() override;
    void proc_read_unlock() override;
    void proc_write_lock() override;
    void proc_write_unlock() override;
    void proc_read_lock_force();
    void proc_read_unlock_force();
    // True when nobody holds the lock at this moment (takes nothing).
    bool test_lock_free();

    void start_kova(Common::Interface::interface_kova_pipe* pin_listen, Common::Interface::interface_kova_pipe* pin_return,
                    std::size_t in_thread_count);
    // Finalize begins: the listen and return pipes are shut down (every receive ends) and
    // every pending request wakes without a reply. The threads are joined by exit_kova.
    void proc_begin_exit();
    void exit_kova();
    std::size_t get_thread_count() const { return m_thread_count; }
    // The process's own pipes; null before start_kova, after exit_kova and for a pipe that
    // could not be made.
    Common::Interface::interface_kova_pipe* get_listen_pipe() const { return mp_listen_pipe; }
    Common::Interface::interface_kova_pipe* get_return_pipe() const { return mp_return_pipe; }

    // True while the calling thread delivers a packet (listener threads and threads
    // in dispatch_message alike): the lock rules of listeners apply to it.
    static bool is_listen_thread();
    // True while the calling thread holds the lock: delivering a packet, or inside a public
    // call. Finalising there would wait for the thread itself.
    static bool is_lock_holder();
    // Counts the calling application thread as a holder (+1) or no longer (-1); listener
    // threads count through their delivery instead.
    static void proc_mark_holding(int in_step);
    // True for the processor's own threads (listeners, returner, answer sender).
    bool is_sdk_thread() const;

    Pimo::OS::vimra_err_t listener();
    Pimo::OS::vimra_err_t listener(double in_seconds);
    // Holds m_serial_lock from before a receive until the packet is queued or handed out.
    typedef std::unique_lock<Pimo::OS::class_lock> serial_holder_t;
    // Entered with the serial lock, which it releases once the packet is queued.
    Pimo::OS::vimra_err_t listener_processor(struct_token& in_token, serial_holder_t in_serial);
    // What became of a packet offered to the address's queue.
    enum class enum_queueing {
        no_queue,  // the address has none: the caller delivers at once
        queued,    // appended (a value or command may have taken the place of its stream's older one)
        refused,   // a request that found c_request_queue_limit entries: the caller answers busy node
        dropped    // an event that found this process's queues at their bound
    };
    // The address's queue with the token appended (holding in_charge, of a one-way packet),
    // or null. The entry holds references of its own to the blocks, or with in_take_own the
    // caller's, which it then gives up (once appended). A one-way packet that found the charges at their bound (in_over_bound) fares by
    // its overflow rule: an event is dropped; a value or command replaces the older one of its
    // stream still waiting in that queue, taking over its charge, or waits without a charge when
    // none does (so at most one per stream waits uncharged).
    class_thread_qbuffer* qbuffering(const struct_message_address& in_addr, const struct_token& in_token,
                                     const struct_packet* pin_packet, object_t* pin_object, enum_queueing* pout_result,
                                     std::uint32_t in_charge = class_queue_charges::c_none, bool in_over_bound = false,
                                     bool in_take_own = false);
    // The one-way packets in the serial queues, counted once each, bounded by count and by the
    // process's share of the packet memory.
    const class_queue_charges& get_charges() const { return m_charges; }
    // Events dropped because the serial queues were at their bound, and values and commands that
    // replaced an older one of their stream there, since the start.
    std::size_t get_dropped_count() const { return m_dropped.load(); }
    std::size_t get_replaced_count() const { return m_replaced.load(); }

    // The end of the object's peers (see is_end_of_peers) queued behind one barrier on the
    // object's queue for in_addr and on each of its connection kinds' queues, appended to
    // pout_queues for the caller to drain; false, with nothing queued, when the object has
    // fewer than two such queues (the packet is then queued as any other).
    bool proc_queue_end(const struct_message_address& in_addr, const struct_token& in_token, object_t* pin_object,
                        std::vector<class_thread_qbuffer*>& pout_queues);

    // The caller holds the write lock.
    void msg_processing_by_serial_alone(const struct_message_address& in_a);
    void msg_processing_by_serial_group(const struct_message_address& in_a, const struct_message_address& in_b);
    void msg_processing_by_parallel(const struct_message_address& in_a);
    bool has_queue(const struct_message_address& in_a) const;
    bool same_queue(const struct_message_address& in_a, const struct_message_address& in_b) const;

    // Retries only while the pipe is full, waiting for its room up to c_send_retry_s each
    // time, until the packet's limit is spent (2); on
    // any other failure the token is freed too and the pipe's result returned.
    // A set pin_abort ends the retries as a failure (-1).
    static int send_force(Common::Interface::interface_kova_pipe* pin_pipe, struct_token& in_token,
                          const std::atomic<bool>* pin_abort = nullptr);
    static constexpr double c_send_retry_s = 0.1;
    // As send_force, but waits for room at most in_wait_s seconds in all: then 8 (busy), and
    // the token is still the caller's.
    static int send_within(Common::Interface::interface_kova_pipe* pin_pipe, struct_token& in_token, double in_wait_s);
    // Through the domain's center pipe if this process holds it; -1 (token freed) without one.
    static int send_force(domain_t in_domain, struct_token& in_token, const std::atomic<bool>* pin_abort = nullptr);
    // One try; a full center pipe hands the token to the answer sender.
    void send_answer(domain_t in_domain, struct_token& in_token);

    // Pending replies.
    void add_return(const struct_return_key& in_key, struct_return_record* pin_record);
    // Erases the key's entry only when it is pin_record's (any record when null).
    void del_return(const struct_return_key& in_key, struct_return_record* pin_record = nullptr);
    // Whether the record has its end (a reply, or word that none will come); the returner sets
    // it under the lock of the pending replies, and this reads it under that lock.
    bool is_returned(const struct_return_record& in_record);
    // Wakes every request of the requester in_req_id of in_domain with no reply: its
    // identity is destroyed, nothing it waits for can reach it any more.
    void proc_end_requests(domain_t in_domain, object_id_t in_req_id);
    Pimo::OS::vimra_err_t returner();
    Pimo::OS::vimra_err_t return_processor(struct_token& in_token);
    // A reply that nobody waits for any more: the stub gets its cancel or shutdown with
    // c_kova_err_remote_timeout, when the type has one. Consumes the token.
    void proc_answer_late(struct_token& in_token);

    // Destroys asked on a listener thread, run at the end of the current packet.
    void add_destroy(object_t* pin_object);
    // Forgets every deferred destroy of the object (it was carried out or the object ends).
    void del_destroy(object_t* pin_object);
    // Drops every queued delivery to an object that ends; the caller holds the write lock.
    void proc_forget_object(object_t* pin_object);

private:
    // send_force's loop; a wait of in_wait_s 0 or more bounds the waits for room in all.
    static int send_waiting(Common::Interface::interface_kova_pipe* pin_pipe, struct_token& in_token,
                            const std::atomic<bool>* pin_abort, double in_wait_s);
    static void* thread_listener(Pimo::OS::class_thread* pin_thread);
    static void* thread_returner(Pimo::OS::class_thread* pin_thread);
    Pimo::OS::vimra_err_t listener_step(bool in_timed, double in_seconds);
    void proc_deliver(object_t* pin_object, struct_token& in_token);
    void proc_drain(class_thread_qbuffer* pin_queue);
    void proc_run_destroys();
    bool has_destroys();
    // Frees the packet and sends its error or cancel type back (to pin_domain, or the
    // turned packet's destination domain when null), when the type has one.
    void proc_answer_back(struct_token& in_token, kova_err_t in_error, const domain_t* pin_domain);
    // Wakes every pending request whose key in_match accepts, without a reply.
    template <typename match_t>
    void proc_end_requests_where(match_t in_match);
    void proc_wake(ip_t in_ip, domain_t in_domain, bool in_by_object, object_id_t in_obj_id, struct_token& in_token);
    // An event dropped at the queues' bound: counted, and the first of a run told to the log.
    void proc_count_drop(const struct_token& in_token);

    qbuffer_map_t m_qbuffer_map;
    std::size_t m_thread_count;
    Pimo::OS::class_thread* mp_thread;
    Pimo::OS::class_thread m_return_thread;
    Common::Interface::interface_kova_pipe* mp_listen_pipe;
    Common::Interface::interface_kova_pipe* mp_return_pipe;
    Pimo::OS::class_thread_lock m_serial_lock;
    return_map_t m_return_map;
    Pimo::OS::class_thread_lock m_return_map_mutex;
    std::list<object_t*> m_destroy_vect;
    Pimo::OS::class_thread_lock m_destroy_vect_mutex;
    class_answer_sender m_sender;
    bool m_started_returner;
    class_queue_charges m_charges;
    std::atomic<std::size_t> m_dropped{0};
    std::atomic<std::size_t> m_replaced{0};
    std::atomic<bool> m_dropping{false};  // within a run of drops, told at its first
};

// Set by Kova::initialize before the loader and cleared by Kova::finalize after it.
extern std::atomic<kova_sdk_processor*> gp_processor;

// A public call's hold of the processor. The thread counts as a holder from before it reads
// gp_processor until after the lock is given back: a stop signal that lands in between then
// leaves the finalising to the finalizer thread instead of freeing the processor under it.
template <typename locker_t>
class template_processor_hold {
public:
    template_processor_hold() : m_mark(), m_lock(gp_processor.load()) {}
    template_processor_hold(const template_processor_hold&) = delete;
    template_processor_hold& operator=(const template_processor_hold&) = delete;

private:
    struct struct_mark {
        struct_mark() { kova_sdk_processor::proc_mark_holding(1); }
        ~struct_mark() { kova_sdk_processor::proc_mark_holding(-1); }
    };
    struct_mark m_mark;  // built before m_lock and ended after it
    locker_t m_lock;
};
typedef template_processor_hold<Pimo::OS::class_read_locker> class_processor_read_hold;
typedef template_processor_hold<Pimo::OS::class_write_locker> class_processor_write_hold;

// Object creation and destruction: each try of in_op under a fresh write lock, again
// at once while the center pipe is full. The last result.
template <typename op_t>
kova_err_t proc_retry_busy(op_t in_op) {
    for (;;) {
        kova_err_t result;
        {
            class_processor_write_hold lock;
            result = in_op();
        }
        if (result != c_kova_err_center_busy) return result;
    }
}

}  // namespace SDK_Processor
}  // namespace SDK
}  // namespace Kova
