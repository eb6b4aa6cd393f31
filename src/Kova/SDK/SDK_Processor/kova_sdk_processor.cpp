#include "Kova/SDK/SDK_Processor/kova_sdk_processor.h"

#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <vector>

#include "Kova/Common/Global/kova_global.h"
#include "Kova/Common/Global/kova_send.h"
#include "Kova/Common/Hidden/struct_packet.h"
#include "Kova/Common/Interface/kova_memory_interface.h"
#include "Kova/Common/Open/Kova/kova_const.h"
#include "Kova/Common/Open/Kova/kova_err.h"
#include "Kova/SDK/Interface/interface_center_manager.h"
#include "Kova/SDK/Interface/interface_sdk_object_manager.h"
#include "Kova/SDK/SDK_Processor/class_queue_barrier.h"
#include "Pimo/OS/Linux/class_locker.h"
#include "Pimo/OS/Linux/vimra_time.h"
#include "Pimo/Utility/pimo_error_hook.h"

namespace Kova {
namespace SDK {
namespace SDK_Processor {

using Common::Interface::get_header;
using Common::Interface::proc_alloc_error_return;
using Common::Interface::safe_add_ref_token;
using Common::Interface::safe_free_data;
using Common::Interface::safe_free_header;
using Common::Interface::safe_free_token;
using Pimo::OS::class_locker;
using Pimo::OS::vimra_err_t;

std::atomic<kova_sdk_processor*> gp_processor{nullptr};

namespace {

// Packets this thread is delivering right now (nested through dispatch_message in a callback).
thread_local int t_delivering = 0;
// Holds of the lock that this thread took as an application thread (a public call).
thread_local int t_holding = 0;

bool in_proxy_range(object_id_t in_id) { return in_id >= 0x8001 && in_id <= 0xFFFE; }

// The end of a peer of the object's connections: a proxy destroyed, a node's link lost (at a
// stub), the bound stub gone or the link to its host lost (at a proxy). It must reach each
// connection kind behind what that peer sent before it.
bool is_end_of_peers(const struct_header& in_header) {
    if (in_header.type != c_mt_ctrl) return false;
    return in_header.code == c_mccr_object_destroy || in_header.code == c_mccr_tcp_disconnected_from_client ||
           in_header.code == c_mccr_tcp_disconnected_from_server;
}

bool is_connection_kind(transaction_t in_transaction) {
    return in_transaction == c_transaction_event || in_transaction == c_transaction_command ||
           in_transaction == c_transaction_information;
}

// A listener's hold of the processor for one packet: the real read lock, and the thread
// counted as delivering, so that the lock rules of listeners apply to its callbacks.
class class_delivery {
public:
    explicit class_delivery(kova_sdk_processor& in_processor) : m_processor(in_processor) {
        m_processor.proc_read_lock_force();
        ++t_delivering;
    }
    ~class_delivery() {
        --t_delivering;
        m_processor.proc_read_unlock_force();
    }
    class_delivery(const class_delivery&) = delete;
    class_delivery& operator=(const class_delivery&) = delete;

private:
    kova_sdk_processor& m_processor;
};

// A callback that dispatches the next packet gives its delivery's read hold up until that packet
// is done: the serial lock always comes before the read lock. Meanwhile a writer may run, as for
// a callback's own write lock. Under a write lock the thread keeps what it holds.
class class_delivery_pause {
public:
    explicit class_delivery_pause(kova_sdk_processor& in_processor)
        : mp_processor(t_delivering > 0 && t_holding == 0 ? &in_processor : nullptr) {
        if (mp_processor) mp_processor->proc_read_unlock_force();
    }
    ~class_delivery_pause() {
        if (mp_processor) mp_processor->proc_read_lock_force();
    }
    class_delivery_pause(const class_delivery_pause&) = delete;
    class_delivery_pause& operator=(const class_delivery_pause&) = delete;

private:
    kova_sdk_processor* mp_processor;
};

}  // namespace

transaction_t trans_listen_type_to_transaction(msg_type_t in_type) {
    switch (in_type) {
    case c_mt_broadcast: return c_transaction_broadcast;
    case c_mt_signal:
    case c_mt_signal_cancel: return c_transaction_signal;
    case c_mt_call:
    case c_mt_call_cancel: return c_transaction_call;
    case c_mt_event_connect:
    case c_mt_event_shutdown:
    case c_mt_event_disconnect:
    case c_mt_event: return c_transaction_event;
    case c_mt_command_connect:
    case c_mt_command_shutdown:
    case c_mt_command_disconnect:
    case c_mt_command_tcp:
    case c_mt_command_udp: return c_transaction_command;
    case c_mt_information_tcp_connect:
    case c_mt_information_tcp_disconnect:
    case c_mt_information_tcp_shutdown:
    case c_mt_information_tcp:
    case c_mt_information_udp_connect:
    case c_mt_information_udp_disconnect:
    case c_mt_information_udp_shutdown:
    case c_mt_information_udp: return c_transaction_information;
    default: return c_transaction_object;
    }
}

msg_type_t get_return_type(msg_type_t in_type) {
    switch (in_type) {
    case c_mt_ctrl_ret: return c_mt_ctrl;
    case c_mt_signal_return:
    case c_mt_signal_error_return: return c_mt_signal;
    case c_mt_call_return:
    case c_mt_call_error_return: return c_mt_call;
    case c_mt_event_confirm:
    case c_mt_event_reject: return c_mt_event_connect;
    case c_mt_command_confirm:
    case c_mt_command_reject: return c_mt_command_connect;
    case c_mt_information_tcp_confirm:
    case c_mt_information_tcp_reject: return c_mt_information_tcp_connect;
    case c_mt_information_udp_confirm:
    case c_mt_information_udp_reject: return c_mt_information_udp_connect;
    default: return 0;
    }
}

template <typename match_t>
void kova_sdk_processor::proc_end_requests_where(match_t in_match) {
    class_locker lock(m_return_map_mutex);
    for (auto& entry : m_return_map) {
        struct_return_record* record = entry.second;
        if (record->returned || !in_match(entry.first)) continue;
        record->returned = true;  // without a token
        record->event.proc_set();
    }
}

kova_sdk_processor::kova_sdk_processor()
    : m_thread_count(0), mp_thread(nullptr), mp_listen_pipe(nullptr), mp_return_pipe(nullptr),
      m_started_returner(false) {
    // Readers first: a listener that holds the serial lock and asks for the read lock
    // must not queue behind a writer that waits for a callback which waits for that
    // listener's next packet.
    pthread_rwlock_destroy(&m_rw_lock);
    pthread_rwlockattr_t attr;
    pthread_rwlockattr_init(&attr);
    pthread_rwlockattr_setkind_np(&attr, PTHREAD_RWLOCK_PREFER_READER_NP);
    pthread_rwlock_init(&m_rw_lock, &attr);
    pthread_rwlockattr_destroy(&attr);
}

kova_sdk_processor::~kova_sdk_processor() {
    exit_kova();
    // Every address leaves its queue; a queue that a listener still holds goes with its
    // last hold.
    std::map<class_thread_qbuffer*, int> addresses;
    for (const auto& entry : m_qbuffer_map) ++addresses[entry.second];
    m_qbuffer_map.clear();
    for (const auto& queue : addresses) class_thread_qbuffer::proc_release(queue.first, queue.second, 0);
}

// The lock ------------------------------------------------------------------

bool kova_sdk_processor::is_listen_thread() { return t_delivering > 0; }

bool kova_sdk_processor::is_lock_holder() { return t_delivering > 0 || t_holding > 0; }

void kova_sdk_processor::proc_mark_holding(int in_step) {
    if (is_listen_thread()) return;
    std::atomic_signal_fence(std::memory_order_seq_cst);
    t_holding += in_step;
    std::atomic_signal_fence(std::memory_order_seq_cst);
}

bool kova_sdk_processor::is_sdk_thread() const {
    const Pimo::OS::thread_id_t self = pthread_self();
    for (std::size_t i = 0; i < m_thread_count; ++i)
        if (mp_thread[i].is_created() && pthread_equal(mp_thread[i].get_thread_id(), self)) return true;
    return m_started_returner && pthread_equal(m_return_thread.get_thread_id(), self);
}

void kova_sdk_processor::proc_read_lock_force() { pthread_rwlock_rdlock(&m_rw_lock); }
void kova_sdk_processor::proc_read_unlock_force() { pthread_rwlock_unlock(&m_rw_lock); }

bool kova_sdk_processor::test_lock_free() {
    if (pthread_rwlock_trywrlock(&m_rw_lock) != 0) return false;
    pthread_rwlock_unlock(&m_rw_lock);
    return true;
}

// A stop signal finalises on the spot unless its thread is a holder, so the count covers the
// lock from before it is taken to after it is given back: a signal between the two would
// otherwise free the processor under the lock its thread still holds.
void kova_sdk_processor::proc_read_lock() {
    if (is_listen_thread()) return;
    ++t_holding;
    std::atomic_signal_fence(std::memory_order_seq_cst);
    proc_read_lock_force();
}

void kova_sdk_processor::proc_read_unlock() {
    if (is_listen_thread()) return;
    proc_read_unlock_force();
    std::atomic_signal_fence(std::memory_order_seq_cst);
    --t_holding;
}

void kova_sdk_processor::proc_write_lock() {
    if (is_listen_thread()) proc_read_unlock_force();
    ++t_holding;
    std::atomic_signal_fence(std::memory_order_seq_cst);
    pthread_rwlock_wrlock(&m_rw_lock);
}

void kova_sdk_processor::proc_write_unlock() {
    pthread_rwlock_unlock(&m_rw_lock);
    std::atomic_signal_fence(std::memory_order_seq_cst);
    --t_holding;
    if (is_listen_thread()) proc_read_lock_force();
}

// Threads --------------------------------------------------------------------

void kova_sdk_processor::start_kova(Common::Interface::interface_kova_pipe* pin_listen,
                                    Common::Interface::interface_kova_pipe* pin_return, std::size_t in_thread_count) {
    mp_listen_pipe = pin_listen;
    mp_return_pipe = pin_return;
    m_sender.eproc_start();
    mp_thread = in_thread_count ? new Pimo::OS::class_thread[in_thread_count] : nullptr;
    m_thread_count = in_thread_count;
    for (std::size_t i = 0; i < in_thread_count; ++i)
        if (mp_thread[i].eproc_create(thread_listener, this) != Pimo::OS::c_vimra_success)
            Pimo::Utility::alert("thread 생성 실패", "kova");
    m_started_returner = m_return_thread.eproc_create(thread_returner, this) == Pimo::OS::c_vimra_success;
}

void kova_sdk_processor::proc_begin_exit() {
    if (mp_listen_pipe) mp_listen_pipe->proc_shutdown();
    if (mp_return_pipe) mp_return_pipe->proc_shutdown();
    proc_end_requests_where([](const struct_return_key&) { return true; });
}

void kova_sdk_processor::exit_kova() {
    if (mp_listen_pipe) mp_listen_pipe->proc_shutdown();
    if (mp_return_pipe) mp_return_pipe->proc_shutdown();
    const Pimo::OS::thread_id_t self = pthread_self();
    for (std::size_t i = 0; i < m_thread_count; ++i) {
        if (!mp_thread[i].is_created()) continue;
        // Never join the calling thread (a handler may run on a listener).
        if (pthread_equal(mp_thread[i].get_thread_id(), self)) pthread_detach(self);
        else mp_thread[i].proc_wait_exit();
    }
    delete[] mp_thread;
    mp_thread = nullptr;
    m_thread_count = 0;
    if (m_started_returner) {
        if (pthread_equal(m_return_thread.get_thread_id(), self)) pthread_detach(self);
        else m_return_thread.proc_wait_exit();
        m_started_returner = false;
    }
    m_sender.proc_stop();
    mp_listen_pipe = nullptr;
    mp_return_pipe = nullptr;
}

void* kova_sdk_processor::thread_listener(Pimo::OS::class_thread* pin_thread) {
    kova_sdk_processor* self = static_cast<kova_sdk_processor*>(pin_thread->get_thread_param());
    // Start only once no writer holds the lock.
    self->proc_read_lock_force();
    self->proc_read_unlock_force();
    while (self->listener() != Pimo::OS::c_vimra_shutdown) {
    }
    return nullptr;
}

void* kova_sdk_processor::thread_returner(Pimo::OS::class_thread* pin_thread) {
    kova_sdk_processor* self = static_cast<kova_sdk_processor*>(pin_thread->get_thread_param());
    while (self->returner() != Pimo::OS::c_vimra_shutdown) {
    }
    return nullptr;
}

// Listener --------------------------------------------------------------------

vimra_err_t kova_sdk_processor::listener() { return listener_step(false, 0.0); }

vimra_err_t kova_sdk_processor::listener(double in_seconds) { return listener_step(true, in_seconds); }

vimra_err_t kova_sdk_processor::listener_step(bool in_timed, double in_seconds) {
    Common::Interface::interface_kova_pipe* pipe = mp_listen_pipe;
    if (pipe == nullptr) return Pimo::OS::c_vimra_shutdown;
    class_delivery_pause pause(*this);
    serial_holder_t serial(m_serial_lock);
    struct_token token;
    Pimo::byte_t* elem = reinterpret_cast<Pimo::byte_t*>(&token);
    const vimra_err_t r = in_timed ? pipe->eproc_receive_timeout(elem, in_seconds) : pipe->eproc_receive(elem);
    if (r != Pimo::OS::c_vimra_success) return r;
    if (token.has_header()) return listener_processor(token, std::move(serial));
    // A delay order: every listener of the process stands still.
    if (token.data_mm != 0) Pimo::OS::sleep(token.data_mm);
    return Pimo::OS::c_vimra_success;
}

class_thread_qbuffer* kova_sdk_processor::qbuffering(const struct_message_address& in_addr,
                                                     const struct_token& in_token, const struct_packet* pin_packet,
                                                     object_t* pin_object, enum_queueing* pout_result,
                                                     std::uint32_t in_charge, bool in_over_bound, bool in_take_own) {
    *pout_result = enum_queueing::no_queue;
    auto it = m_qbuffer_map.find(in_addr);
    if (it == m_qbuffer_map.end()) return nullptr;
    class_thread_qbuffer* queue = it->second;
    class_locker lock(queue->m_lock);
    // A queue whose drainer waits (a stub in a long callback, memory that does not come)
    // holds no more requests than a listen pipe would: the rest are refused, not kept.
    if (pin_packet->is_request() && queue->size() >= c_request_queue_limit) {
        *pout_result = enum_queueing::refused;
        return nullptr;
    }
    std::uint32_t charge = in_charge;
    if (in_over_bound) {
        const struct_packet::enum_overflow rule = pin_packet->get_overflow_rule();
        if (rule == struct_packet::enum_overflow::drop) {
            *pout_result = enum_queueing::dropped;
            return nullptr;
        }
        // Only the newest value of a stream counts: the older one still waiting goes, and the
        // newer takes its charge, so that the queue holds no more than before.
        for (auto older = queue->rbegin(); rule == struct_packet::enum_overflow::newest && older != queue->rend();
             ++older) {
            const struct_packet* waiting = get_header(older->token);
            if (waiting->get_overflow_rule() != rule || !waiting->is_same_stream(*pin_packet)) continue;
            charge = older->charge;
            older->charge = class_queue_charges::c_none;
            m_charges.recharge(charge, pin_packet->get_held_bytes());
            queue->proc_release_entry(*older);
            queue->erase(std::next(older).base());
            ++m_replaced;
            break;
        }
    }
    if (!in_take_own) {
        struct_token held = in_token;
        safe_add_ref_token(held, __FILE__, __LINE__);
    }
    m_charges.add(in_charge);
    queue->push_back(struct_qtoken{pin_object, in_token, nullptr, charge});
    ++queue->m_hold;  // released by this thread's drain
    *pout_result = enum_queueing::queued;
    return queue;
}

void kova_sdk_processor::proc_count_drop(const struct_token& in_token) {
    ++m_dropped;
    if (!m_dropping.exchange(true))
        Common::Global::kova_debug_send('C', in_token, __FILE__, __LINE__, "%s",
                                        "event dropped: this process's queues at their bound");
}

void kova_sdk_processor::proc_answer_back(struct_token& in_token, kova_err_t in_error, const domain_t* pin_domain) {
    safe_free_data(in_token, __FILE__, __LINE__);
    struct_token answer;
    proc_alloc_error_return(*get_header(in_token), in_error, answer, __FILE__, __LINE__);
    if (answer.has_header()) send_answer(pin_domain ? *pin_domain : get_header(answer)->dst_port, answer);
    safe_free_header(in_token, __FILE__, __LINE__);
}

void kova_sdk_processor::proc_deliver(object_t* pin_object, struct_token& in_token) {
    pin_object->listener_processor(in_token);
}

bool kova_sdk_processor::proc_queue_end(const struct_message_address& in_addr, const struct_token& in_token,
                                        object_t* pin_object, std::vector<class_thread_qbuffer*>& pout_queues) {
    // The object's queue for the packet (its control queue), and each connection kind's.
    std::vector<class_thread_qbuffer*> queues;
    auto own = m_qbuffer_map.find(in_addr);
    if (own != m_qbuffer_map.end()) queues.push_back(own->second);
    for (auto it = m_qbuffer_map.lower_bound(struct_message_address(in_addr.domain, in_addr.object, 0, 0));
         it != m_qbuffer_map.end() && it->first.domain == in_addr.domain && it->first.object == in_addr.object; ++it)
        if (is_connection_kind(it->first.transaction) &&
            std::find(queues.begin(), queues.end(), it->second) == queues.end())
            queues.push_back(it->second);
    if (queues.size() < 2) return false;
    class_queue_barrier* barrier = new class_queue_barrier(queues.size());
    for (class_thread_qbuffer* queue : queues) {
        class_locker lock(queue->m_lock);
        struct_token held = in_token;
        safe_add_ref_token(held, __FILE__, __LINE__);
        queue->push_back(struct_qtoken{pin_object, in_token, barrier});
        ++queue->m_hold;  // released by this thread's drain
    }
    pout_queues.insert(pout_queues.end(), queues.begin(), queues.end());
    return true;
}

void kova_sdk_processor::proc_drain(class_thread_qbuffer* pin_queue) {
    // Queues that a barrier this thread passed sets going again, each with a hold of its own.
    std::vector<class_thread_qbuffer*> resumed;
    for (class_thread_qbuffer* next = pin_queue; next != nullptr;) {
        // A merge hands this thread's hold on to the queue that took the entries.
        for (class_thread_qbuffer* queue = next; queue != nullptr;) {
            bool parked = false;
            {
                class_locker lock(queue->m_lock);
                // Else its drainer takes this thread's entry too, or its barrier's last one.
                if (!queue->m_run && !queue->m_parked) {
                    queue->m_run = true;
                    // Entries of a queue that no address maps to any more are not delivered.
                    while (!queue->empty() && queue->m_ref > 0) {
                        struct_qtoken entry = queue->front();
                        queue->pop_front();
                        // Not the last queue to reach its barrier: this one waits, with this hold.
                        parked = entry.p_barrier && !entry.p_barrier->proc_reach(queue);
                        if (parked) {
                            queue->m_parked = true;
                            queue->proc_release_entry(entry);
                            break;
                        }
                        {
                            Pimo::OS::class_unlocker unlock(queue->m_lock);
                            entry.p_object->listener_processor(entry.token);
                        }
                        queue->proc_release_entry(entry);
                        if (entry.p_barrier) {
                            const std::vector<class_thread_qbuffer*> parked_there = entry.p_barrier->proc_take_parked();
                            resumed.insert(resumed.end(), parked_there.begin(), parked_there.end());
                            delete entry.p_barrier;
                        }
                    }
                    queue->m_run = false;
                }
            }
            queue = parked ? nullptr : class_thread_qbuffer::proc_release(queue, 0, 1);
        }
        next = nullptr;
        if (!resumed.empty()) {
            next = resumed.back();
            resumed.pop_back();
            class_locker lock(next->m_lock);
            next->m_parked = false;
        }
    }
}

void kova_sdk_processor::proc_forget_object(object_t* pin_object) {
    std::vector<class_queue_barrier*> dropped;
    for (auto& address : m_qbuffer_map) {
        class_thread_qbuffer* queue = address.second;
        class_locker lock(queue->m_lock);
        for (auto it = queue->begin(); it != queue->end();) {
            if (it->p_object != pin_object) {
                ++it;
                continue;
            }
            if (it->p_barrier) dropped.push_back(it->p_barrier);
            queue->proc_release_entry(*it);
            it = queue->erase(it);
        }
    }
    // Without a queue's lock: the last drop lets the parked queues go.
    for (class_queue_barrier* barrier : dropped) class_queue_barrier::proc_drop(barrier);
}

bool kova_sdk_processor::has_destroys() {
    class_locker lock(m_destroy_vect_mutex);
    return !m_destroy_vect.empty();
}

void kova_sdk_processor::proc_run_destroys() {
    // An entry leaves the list only under the write lock, where it is carried out: a
    // re-create or the end of the object, which waited for that lock too, takes its
    // entry off first (del_destroy) and then never meets it again.
    while (has_destroys()) {
        Pimo::OS::class_write_locker lock(this);
        object_t* object = nullptr;
        {
            class_locker lock(m_destroy_vect_mutex);
            if (!m_destroy_vect.empty()) {
                object = m_destroy_vect.front();
                m_destroy_vect.pop_front();
            }
        }
        // A busy center pipe: back in front, so that it is tried again at once.
        if (object && object->destroy_force() != c_kova_success) {
            class_locker lock(m_destroy_vect_mutex);
            m_destroy_vect.push_front(object);
        }
    }
}

void kova_sdk_processor::add_destroy(object_t* pin_object) {
    class_locker lock(m_destroy_vect_mutex);
    m_destroy_vect.push_back(pin_object);
}

void kova_sdk_processor::del_destroy(object_t* pin_object) {
    class_locker lock(m_destroy_vect_mutex);
    m_destroy_vect.remove(pin_object);
}

vimra_err_t kova_sdk_processor::listener_processor(struct_token& in_token, serial_holder_t in_serial) {
    class_delivery delivery(*this);
    struct_packet* packet = get_header(in_token);
    Interface::interface_sdk_object_manager* objects = Interface::gp_object_manager.load();
    const struct_header& h = packet->header;

    bool drop = packet->update_packet_time_and_return_timeout() || objects == nullptr;
    struct_message_address addr;
    if (!drop) {
        if (h.type == c_mt_qos) addr.domain = packet->dst_port;
        else if (in_proxy_range(h.did) && in_proxy_range(h.sid)) addr.domain = h.sport;
        else if (h.is_from_proxy_to_stub()) addr.domain = packet->dst_port;
        else if (h.is_from_stub_to_proxy()) addr.domain = h.sport;
        else if (h.did == c_broadcast_stub_id) addr.domain = packet->dst_port;
        else if (h.did == c_broadcast_proxy_id) addr.domain = h.sport;
        else drop = true;
    }
    if (drop) {
        safe_free_token(in_token, __FILE__, __LINE__);
        return Pimo::OS::c_vimra_success;
    }
    addr.code = h.code;
    addr.transaction = trans_listen_type_to_transaction(h.type);
    // A one-way packet is charged once, whichever queues it waits in; this thread's own hold of
    // the charge goes at the end of the packet.
    std::uint32_t charge = class_queue_charges::c_none;
    bool over_bound = false;
    if (packet->get_overflow_rule() != struct_packet::enum_overflow::keep) {
        charge = m_charges.take(packet->get_held_bytes(), Common::Global::get_process_share());
        over_bound = charge == class_queue_charges::c_none;
        if (!over_bound && m_dropping.exchange(false)) {
            Common::Global::kova_debug_send('C', struct_token(), __FILE__, __LINE__,
                                            "events dropped while this process's queues were at their bound: %zu",
                                            m_dropped.load());
        }
    }

    if (packet->dst_is_broadcast_object()) {
        // Queued for every target before any of them is delivered.
        Interface::object_map_t entries;
        objects->get_domain(addr.domain, entries);
        std::vector<class_thread_qbuffer*> queues;
        std::vector<std::pair<object_id_t, object_t*>> direct;
        bool refused = false, dropped = false;
        const bool end = is_end_of_peers(h);
        // With no target delivered at once, the last entry takes this thread's own reference:
        // once it is queued the token may be delivered and freed at any moment, so nothing here
        // touches it after that. An end queued behind barriers keeps it (its entries hold their own).
        std::size_t last_queue = entries.size();
        bool all_queued = !end;
        {
            std::size_t i = 0;
            for (auto& entry : entries) {
                addr.object = entry.first;
                if (has_queue(addr)) last_queue = i;
                else all_queued = false;
                ++i;
            }
        }
        bool taken = false;
        std::size_t i = 0;
        for (auto& entry : entries) {
            addr.object = entry.first;
            object_t* object = entry.second->get_object();
            if (end && proc_queue_end(addr, in_token, object, queues)) continue;
            enum_queueing result = enum_queueing::no_queue;
            const bool take = all_queued && i++ == last_queue;
            if (class_thread_qbuffer* q = qbuffering(addr, in_token, packet, object, &result, charge, over_bound, take)) {
                queues.push_back(q);
                taken = take;
            } else if (result == enum_queueing::refused) {
                refused = true;
            } else if (result == enum_queueing::dropped) {
                dropped = true;
            } else {
                direct.emplace_back(entry.first, object);
            }
        }
        if (taken) in_token.reset();
        if (dropped) proc_count_drop(in_token);
        if (refused && queues.empty() && direct.empty()) proc_answer_back(in_token, c_kova_err_busy_node, &addr.domain);
        in_serial.unlock();
        // A callback may destroy and delete the objects after it (giving up the read lock
        // for the write): only one still registered gets the packet.
        for (const auto& target : direct)
            if (objects->get_object(addr.domain, target.first) == target.second) proc_deliver(target.second, in_token);
        for (class_thread_qbuffer* q : queues) proc_drain(q);
    } else if (object_t* object = objects->get_object(addr.domain, h.did)) {
        addr.object = h.did;
        std::vector<class_thread_qbuffer*> ends;
        if (is_end_of_peers(h) && proc_queue_end(addr, in_token, object, ends)) {
            in_serial.unlock();
            for (class_thread_qbuffer* q : ends) proc_drain(q);
        } else {
            enum_queueing result = enum_queueing::no_queue;
            class_thread_qbuffer* q = qbuffering(addr, in_token, packet, object, &result, charge, over_bound, true);
            if (q) in_token.reset();  // the entry's now: it may be delivered and freed at any moment
            if (result == enum_queueing::refused) proc_answer_back(in_token, c_kova_err_busy_node, &addr.domain);
            if (result == enum_queueing::dropped) proc_count_drop(in_token);
            in_serial.unlock();
            if (q) proc_drain(q);
            else if (result == enum_queueing::no_queue) proc_deliver(object, in_token);
        }
    } else {
        proc_answer_back(in_token, c_kova_err_object_is_not_exist, &addr.domain);
        in_serial.unlock();
    }
    m_charges.release(charge);
    proc_run_destroys();
    if (in_token.has_header()) safe_free_token(in_token, __FILE__, __LINE__);  // not handed to an entry
    return Pimo::OS::c_vimra_success;
}

// Serial models ------------------------------------------------------------------

void kova_sdk_processor::msg_processing_by_serial_alone(const struct_message_address& in_a) {
    auto it = m_qbuffer_map.find(in_a);
    if (it == m_qbuffer_map.end()) {
        m_qbuffer_map[in_a] = new class_thread_qbuffer(&m_charges);
    } else if (it->second->m_ref > 1) {
        class_thread_qbuffer::proc_release(it->second, 1, 0);
        it->second = new class_thread_qbuffer(&m_charges);
    }
}

void kova_sdk_processor::msg_processing_by_serial_group(const struct_message_address& in_a,
                                                        const struct_message_address& in_b) {
    auto ia = m_qbuffer_map.find(in_a);
    auto ib = m_qbuffer_map.find(in_b);
    const bool has_a = ia != m_qbuffer_map.end();
    const bool has_b = ib != m_qbuffer_map.end();
    if (!has_a && !has_b) {
        class_thread_qbuffer* queue = new class_thread_qbuffer(&m_charges);
        m_qbuffer_map[in_a] = queue;
        if (in_b < in_a || in_a < in_b) {
            queue->m_ref = 2;
            m_qbuffer_map[in_b] = queue;
        }
    } else if (has_a && !has_b) {
        ++ia->second->m_ref;
        m_qbuffer_map[in_b] = ia->second;
    } else if (!has_a && has_b) {
        ++ib->second->m_ref;
        m_qbuffer_map[in_a] = ib->second;
    } else if (ia->second != ib->second) {
        class_thread_qbuffer* keep = ia->second;
        class_thread_qbuffer* gone = ib->second;
        for (auto& entry : m_qbuffer_map)
            if (entry.second == gone) entry.second = keep;
        int addresses = 0;
        {
            class_locker lock_keep(keep->m_lock);
            class_locker lock_gone(gone->m_lock);
            addresses = gone->m_ref;
            keep->m_ref += addresses;
            // Entries still waiting in the old queue keep their order behind the kept ones,
            // and the listeners that hold the old queue go on to drain the kept one.
            for (struct_qtoken& entry : *gone) keep->push_back(entry);
            gone->clear();
            keep->m_hold += gone->m_hold;
            gone->mp_merged = keep;
        }
        class_thread_qbuffer::proc_release(gone, addresses, 0);
    }
}

void kova_sdk_processor::msg_processing_by_parallel(const struct_message_address& in_a) {
    auto it = m_qbuffer_map.find(in_a);
    if (it == m_qbuffer_map.end()) return;
    class_thread_qbuffer* queue = it->second;
    m_qbuffer_map.erase(it);
    class_thread_qbuffer::proc_release(queue, 1, 0);
}

bool kova_sdk_processor::has_queue(const struct_message_address& in_a) const {
    return m_qbuffer_map.count(in_a) != 0;
}

bool kova_sdk_processor::same_queue(const struct_message_address& in_a, const struct_message_address& in_b) const {
    auto ia = m_qbuffer_map.find(in_a);
    auto ib = m_qbuffer_map.find(in_b);
    return ia != m_qbuffer_map.end() && ib != m_qbuffer_map.end() && ia->second == ib->second;
}

// Sending ------------------------------------------------------------------------

int kova_sdk_processor::send_force(Common::Interface::interface_kova_pipe* pin_pipe, struct_token& in_token,
                                   const std::atomic<bool>* pin_abort) {
    return send_waiting(pin_pipe, in_token, pin_abort, -1.0);
}

int kova_sdk_processor::send_within(Common::Interface::interface_kova_pipe* pin_pipe, struct_token& in_token,
                                    double in_wait_s) {
    return send_waiting(pin_pipe, in_token, nullptr, in_wait_s < 0 ? 0.0 : in_wait_s);
}

int kova_sdk_processor::send_waiting(Common::Interface::interface_kova_pipe* pin_pipe, struct_token& in_token,
                                     const std::atomic<bool>* pin_abort, double in_wait_s) {
    bool waited = false;
    const auto start = std::chrono::steady_clock::now();
    for (;;) {
        const vimra_err_t r = pin_pipe->eproc_send(reinterpret_cast<const Pimo::byte_t*>(&in_token), 0);
        if (r == Pimo::OS::c_vimra_success) {
            in_token.reset();
            // Others may wait for the room this one was woken for.
            if (waited) pin_pipe->proc_pass_room();
            return 0;
        }
        if (r != Pimo::OS::c_vimra_busy) {
            safe_free_token(in_token, __FILE__, __LINE__);
            return r;
        }
        struct_packet* packet = get_header(in_token);
        if (packet->update_packet_time_and_return_timeout()) {
            safe_free_token(in_token, __FILE__, __LINE__);
            return Pimo::OS::c_vimra_timeout;
        }
        if (pin_abort && pin_abort->load()) {
            safe_free_token(in_token, __FILE__, __LINE__);
            return -1;
        }
        // Until the center has taken some, never longer than the retry cadence or the time left.
        double wait_s = std::min(c_send_retry_s, packet->packet_limit_time);
        if (in_wait_s >= 0) {
            const double left_s =
                in_wait_s - std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            if (left_s <= 0) {
                if (waited) pin_pipe->proc_pass_room();  // the wake this one had is someone else's
                return Pimo::OS::c_vimra_busy;
            }
            wait_s = std::min(wait_s, left_s);
        }
        pin_pipe->eproc_wait_room(wait_s);
        waited = true;
    }
}

int kova_sdk_processor::send_force(domain_t in_domain, struct_token& in_token, const std::atomic<bool>* pin_abort) {
    Interface::interface_center_manager* centers = Interface::gp_center_manager.load();
    Pimo::IPC::interface_pipe* pipe = centers ? centers->find_center_pipe(in_domain) : nullptr;
    if (pipe == nullptr) {
        safe_free_token(in_token, __FILE__, __LINE__);
        return -1;
    }
    return send_force(pipe, in_token, pin_abort);
}

void kova_sdk_processor::send_answer(domain_t in_domain, struct_token& in_token) {
    Interface::interface_center_manager* centers = Interface::gp_center_manager.load();
    // A domain this process has no center pipe of is none of its business: nothing to answer.
    Pimo::IPC::interface_pipe* pipe = centers ? centers->find_center_pipe(in_domain) : nullptr;
    if (pipe == nullptr) {
        safe_free_token(in_token, __FILE__, __LINE__);
        return;
    }
    const vimra_err_t r = pipe->eproc_send(reinterpret_cast<const Pimo::byte_t*>(&in_token), 0);
    if (r == Pimo::OS::c_vimra_success) in_token.reset();
    else if (r == Pimo::OS::c_vimra_busy) m_sender.proc_post(in_domain, in_token);
    else safe_free_token(in_token, __FILE__, __LINE__);
}

// Replies -------------------------------------------------------------------------

void kova_sdk_processor::add_return(const struct_return_key& in_key, struct_return_record* pin_record) {
    class_locker lock(m_return_map_mutex);
    m_return_map.emplace(in_key, pin_record);
}

void kova_sdk_processor::del_return(const struct_return_key& in_key, struct_return_record* pin_record) {
    class_locker lock(m_return_map_mutex);
    auto it = m_return_map.find(in_key);
    if (it != m_return_map.end() && (pin_record == nullptr || it->second == pin_record)) m_return_map.erase(it);
}

bool kova_sdk_processor::is_returned(const struct_return_record& in_record) {
    class_locker lock(m_return_map_mutex);
    return in_record.returned;
}

void kova_sdk_processor::proc_end_requests(domain_t in_domain, object_id_t in_req_id) {
    proc_end_requests_where(
        [&](const struct_return_key& in_key) { return in_key.domain == in_domain && in_key.req_id == in_req_id; });
}

vimra_err_t kova_sdk_processor::returner() {
    Common::Interface::interface_kova_pipe* pipe = mp_return_pipe;
    if (pipe == nullptr) return Pimo::OS::c_vimra_shutdown;
    struct_token token;
    const vimra_err_t r = pipe->eproc_receive(reinterpret_cast<Pimo::byte_t*>(&token));
    if (r != Pimo::OS::c_vimra_success) return r;
    if (token.has_header()) return return_processor(token);
    if (token.data_mm != 0) Pimo::OS::sleep(token.data_mm);
    return Pimo::OS::c_vimra_success;
}

void kova_sdk_processor::proc_wake(ip_t in_ip, domain_t in_domain, bool in_by_object, object_id_t in_obj_id,
                                   struct_token& in_token) {
    for (auto& entry : m_return_map) {
        const struct_return_key& key = entry.first;
        struct_return_record* record = entry.second;
        if (key.ip != in_ip || key.domain != in_domain || record->returned) continue;
        if (in_by_object && key.obj_id != in_obj_id) continue;
        safe_add_ref_token(in_token, __FILE__, __LINE__);
        record->token = in_token;
        record->returned = true;
        record->event.proc_set();
    }
}

vimra_err_t kova_sdk_processor::return_processor(struct_token& in_token) {
    class_locker lock(m_return_map_mutex);
    struct_packet* packet = get_header(in_token);
    const struct_header& h = packet->header;
    if (h.type == c_mt_ctrl) {
        if (h.code == c_mccr_object_destroy && h.is_from_stub())
            proc_wake(packet->src_ip, h.sport, true, h.sid, in_token);
        else if (h.code == c_mccr_tcp_disconnected_from_server)
            proc_wake(packet->src_ip, h.sport, false, 0, in_token);
        safe_free_token(in_token, __FILE__, __LINE__);
        return Pimo::OS::c_vimra_success;
    }
    const struct_return_key key(packet->src_ip, h.sport, h.sid, get_return_type(h.type), h.code, h.num, h.did);
    auto it = m_return_map.find(key);
    if (it != m_return_map.end()) {
        struct_return_record* record = it->second;
        if (record->returned) {
            safe_free_token(in_token, __FILE__, __LINE__);
        } else {
            record->token = in_token;
            in_token.reset();
            record->returned = true;
            record->event.proc_set();
        }
        return Pimo::OS::c_vimra_success;
    }
    // Nobody waits: tell the stub, so that it drops what it has just answered.
    proc_answer_late(in_token);
    return Pimo::OS::c_vimra_success;
}

void kova_sdk_processor::proc_answer_late(struct_token& in_token) {
    proc_answer_back(in_token, c_kova_err_remote_timeout, nullptr);
}

}  // namespace SDK_Processor
}  // namespace SDK
}  // namespace Kova
