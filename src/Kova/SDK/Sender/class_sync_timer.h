// How a sender of a current value (a command proxy, an information stub) sends it: at each
// post (the posting model) or again every interval on a timer thread of its own (the timer
// model), and, for a command, whether as datagrams. The model, the UDP flag and the interval
// change together under the owner's lock, with the timer stopped, and a tick reads them
// under that lock: one transmission never mixes two settings. A tick sends only while the
// owner's state lets it (connected, alive); that state changes under the same lock, so once
// the owner has cleared it no tick is sending and none will.
#pragma once

#include <atomic>

#include "Kova/Common/Open/Kova/kova_const.h"
#include "Kova/Common/Open/Kova/kova_typedef.h"
#include "Pimo/OS/Linux/class_lock.h"
#include "Pimo/OS/Linux/class_timer.h"

namespace Kova {
namespace SDK {
namespace Sender {

class class_sync_timer {
public:
    // The interval of every model but the timer model: its packet limit means none.
    static constexpr double c_post_interval = static_cast<double>(c_infinite_time);

    struct struct_settings {
        sender_sync_model_t model;
        bool using_udp;
        double interval;  // seconds
        struct_settings() : model(c_sender_sync_model_on_post), using_udp(false), interval(c_post_interval) {}
    };
    // One tick of the timer model, on the timer's thread, under the owner's lock and only
    // while the owner's state lets it send.
    typedef void (*tick_t)(void* pin_owner, struct_settings const& in_settings);

    // The timer model takes finite intervals above 0 and below in_max_interval, or up to it
    // with in_max_included.
    class_sync_timer(Pimo::OS::class_lock& in_owner_lock, double in_max_interval, bool in_max_included, tick_t in_tick,
                     void* pin_owner);
    // Stops the timer.
    ~class_sync_timer();
    class_sync_timer(const class_sync_timer&) = delete;
    class_sync_timer& operator=(const class_sync_timer&) = delete;

    bool is_valid_interval(double in_interval) const;
    // Changes the three together; false, changing nothing, for the timer model with an
    // interval it does not take. Other models than the two are kept as given and start
    // no timer. Waits for a tick in progress: the caller holds no lock the tick takes.
    bool proc_set(bool in_using_udp, sender_sync_model_t in_model, double in_interval);
    // Stops the timer and keeps the settings; the same rule for locks.
    void proc_stop();
    // The caller holds the owner's lock.
    struct_settings const& get_settings() const { return m_settings; }

    // The owner's state that lets ticks send. Read without a lock where a moment's view
    // will do; changed under the owner's lock, returning what it was.
    bool is_sending() const { return m_sending.load(); }
    bool proc_exchange_sending(bool in_sending);

private:
    static void timer_tick(Pimo::OS::class_timer* pin_timer);

    Pimo::OS::class_lock& m_owner_lock;
    // Serialises changes of the model; a tick never takes it, so the timer may be stopped
    // while it is held.
    Pimo::OS::class_thread_lock m_change_lock;
    const double m_max_interval;
    const bool m_max_included;
    const tick_t mp_tick;
    void* const mp_owner;
    struct_settings m_settings;  // under the owner's lock
    std::atomic<bool> m_sending;
    Pimo::OS::class_timer m_timer;
};

}  // namespace Sender
}  // namespace SDK
}  // namespace Kova
