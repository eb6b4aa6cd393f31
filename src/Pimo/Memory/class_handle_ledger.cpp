#include "Pimo/Memory/class_handle_ledger.h"

#include <dirent.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "Pimo/OS/Linux/named_object_protocol.h"
#include "Pimo/OS/Linux/vimra_time.h"

namespace Pimo {
namespace Memory {

namespace named_object = OS::named_object;

const char* const class_handle_ledger::c_name_prefix = "kova_ledger_";

namespace {

constexpr u_int32_t c_magic = 0x4B4C4447;  // "KLDG"
constexpr u_int32_t c_holding = 1;
constexpr u_int32_t c_released = 2;
// Slot values that name no block (a handle is at least the first payload's offset).
constexpr u_int32_t c_empty = 0;
constexpr u_int32_t c_gone = 1;
constexpr u_int32_t c_mask = class_handle_ledger::c_capacity - 1;
// An entry sits at most this far from its hash; one that finds no room within goes unrecorded.
constexpr u_int32_t c_max_probe = 64;
// Where the host's named segments are.
const char c_shm_dir[] = "/dev/shm/";

u_int32_t slot_of(mm_t in_mm) { return (in_mm * 2654435761u) >> 16; }

// A reference on its way through a pipe is recorded as its handle with this bit (handles are
// multiples of the heap's alignment), in its handle's probe run: a sweep leaves it to whoever
// settles the pipe's transit record.
constexpr u_int32_t c_transit_bit = 1;
bool is_held(u_int32_t in_v) { return in_v > c_gone && (in_v & c_transit_bit) == 0; }
bool is_mark(u_int32_t in_v) { return in_v > c_gone && (in_v & c_transit_bit) != 0; }

// Each entry is one compare-and-swap of one word: nothing a thread does for the ledger
// waits on another thread (a thread killed while it waited would lose a reference it has
// taken already). Gone marks stay until an entry takes their slot: a remove needs no
// more than the probe limit to find what it removes, or to give up.
bool proc_insert(u_int32_t* pin_slots, mm_t in_mm, u_int32_t in_value) {
    for (u_int32_t i = 0, s = slot_of(in_mm); i < c_max_probe; ++i, s = (s + 1) & c_mask) {
        u_int32_t seen = __atomic_load_n(&pin_slots[s], __ATOMIC_RELAXED);
        if (seen > c_gone) continue;
        if (__atomic_compare_exchange_n(&pin_slots[s], &seen, in_value, false, __ATOMIC_RELAXED, __ATOMIC_RELAXED))
            return true;
    }
    return false;
}

// The first entry in_from of in_mm's probe run becomes in_to; false when there is none.
bool proc_replace(u_int32_t* pin_slots, mm_t in_mm, u_int32_t in_from, u_int32_t in_to) {
    for (u_int32_t i = 0, s = slot_of(in_mm); i < c_max_probe; ++i, s = (s + 1) & c_mask) {
        u_int32_t seen = __atomic_load_n(&pin_slots[s], __ATOMIC_RELAXED);
        if (seen == c_empty) return false;  // never recorded
        if (seen != in_from) continue;
        if (__atomic_compare_exchange_n(&pin_slots[s], &seen, in_to, false, __ATOMIC_RELAXED, __ATOMIC_RELAXED))
            return true;
    }
    return false;
}

bool has_marks(const u_int32_t* pin_slots) {
    for (u_int32_t i = 0; i <= c_mask; ++i)
        if (is_mark(pin_slots[i])) return true;
    return false;
}

// How long (ms) a sweep waits for the lock of a ledger whose owner is in the middle of its end.
constexpr OS::vimra_clock_t c_exiting_wait_ms = 2000;
// How long (ms) a settling waits for the lock of a dead owner's ledger that a sweeper holds.
constexpr OS::vimra_clock_t c_settle_wait_ms = 200;

// True while the process in_pid is ending: its files, the ledger's lock among them, go
// last, after the lock its watchers saw go, in an order the kernel does not promise.
bool is_exiting(const std::string& in_pid) {
    FILE* f = std::fopen(("/proc/" + in_pid + "/stat").c_str(), "r");
    if (f == nullptr) return false;
    char line[512] = {};
    const bool read = std::fgets(line, sizeof line, f) != nullptr;
    std::fclose(f);
    // pid (comm) state ppid pgrp session tty_nr tpgid flags: the name may hold anything but ')'.
    const char* after = read ? std::strrchr(line, ')') : nullptr;
    char state = 0;
    unsigned long flags = 0;
    if (after == nullptr || std::sscanf(after + 1, " %c %*d %*d %*d %*d %*d %lu", &state, &flags) != 2) return false;
    const unsigned long c_pf_exiting = 0x4;
    return (flags & c_pf_exiting) != 0;
}

// Takes in_fd's lock at once, or, while its owner (in_pid) is ending, as soon as the end
// lets go of it, for a bounded time. 0 or the error of the last try.
int lock_unless_held(int in_fd, const std::string& in_pid) {
    int r = named_object::flock_retry(in_fd, LOCK_EX | LOCK_NB);
    const OS::vimra_clock_t until = OS::vimra_clock() + c_exiting_wait_ms;
    while (r != 0 && is_exiting(in_pid) && OS::vimra_clock() < until) {
        OS::usleep(1000);
        r = named_object::flock_retry(in_fd, LOCK_EX | LOCK_NB);
    }
    return r;
}

// True while in_fd is the segment that bears in_name (not one unlinked meanwhile).
bool bears_name(int in_fd, const std::string& in_name) {
    struct stat by_fd, by_name;
    if (fstat(in_fd, &by_fd) != 0 || stat((c_shm_dir + in_name).c_str(), &by_name) != 0) return false;
    return by_fd.st_ino == by_name.st_ino && by_fd.st_dev == by_name.st_dev;
}

}  // namespace

struct class_handle_ledger::struct_table {
    u_int32_t magic;
    u_int32_t state;        // c_holding, then c_released once given back or dropped
    u_int32_t pid;
    u_int32_t reset_count;  // the heap's resets when the entries were made
    u_int32_t capacity;
    u_int32_t spare0;
    u_int64_t segment_dev;  // the heap's segment
    u_int64_t segment_ino;
    u_int32_t spare[6];
    u_int32_t slots[c_capacity];
};

class_handle_ledger::class_handle_ledger() : m_recording(false), mp_table(nullptr), mp_pool(nullptr), m_fd(-1) {}

class_handle_ledger::~class_handle_ledger() { proc_close(); }

std::string class_handle_ledger::get_name(u_int32_t in_pid) { return c_name_prefix + std::to_string(in_pid); }

bool class_handle_ledger::is_of(const struct_table* pin_table, const class_dynamic_shared_memory_pool& in_pool) {
    u_int64_t dev = 0, ino = 0;
    return pin_table->magic == c_magic && in_pool.get_segment_id(&dev, &ino) && pin_table->segment_dev == dev &&
           pin_table->segment_ino == ino;
}

OS::vimra_err_t class_handle_ledger::eproc_create(class_dynamic_shared_memory_pool& in_pool) {
    u_int64_t dev = 0, ino = 0;
    if (mp_table != nullptr || in_pool.get_heap() == nullptr || !in_pool.get_segment_id(&dev, &ino))
        return OS::c_vimra_unknown;
    const u_int32_t pid = static_cast<u_int32_t>(OS::get_process_id());
    const std::string name = get_name(pid);
    named_object::class_umask_guard mask;
    for (;;) {
        int fd = named_object::open_object(name, true, 0777);
        if (fd < 0) return OS::c_vimra_unknown;
        // A sweeper may hold it for a moment; once it has let go, the name may be gone.
        if (named_object::flock_retry(fd, LOCK_EX) != 0) {
            named_object::proc_close_fd(fd);
            return OS::c_vimra_unknown;
        }
        if (!bears_name(fd, name)) {
            named_object::proc_unlock_close(fd);
            continue;
        }
        void* p = MAP_FAILED;
        if (ftruncate(fd, sizeof(struct_table)) == 0)
            p = mmap(nullptr, sizeof(struct_table), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        if (p == MAP_FAILED) {
            shm_unlink(name.c_str());
            named_object::proc_unlock_close(fd);
            return OS::c_vimra_unknown;
        }
        struct_table* table = static_cast<struct_table*>(p);
        // A dead process of the same id left it: what it records is given back first.
        proc_release_table(table, in_pool, true);
        std::memset(table, 0, sizeof(struct_table));
        table->pid = pid;
        table->capacity = c_capacity;
        table->reset_count = *in_pool.get_heap()->get_reset_count_word();
        table->segment_dev = dev;
        table->segment_ino = ino;
        table->state = c_holding;
        table->magic = c_magic;
        std::lock_guard<std::mutex> lock(m_mutex);
        mp_pool = &in_pool;
        m_fd = fd;
        m_name = name;
        m_recording.store(true);
        mp_table = table;
        in_pool.get_heap()->set_hook(this);
        return OS::c_vimra_success;
    }
}

void class_handle_ledger::proc_close() {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (mp_table == nullptr) return;
    m_recording.store(false);
    if (mp_pool->get_heap() != nullptr) {
        mp_pool->get_heap()->set_hook(nullptr);
        proc_release_table(mp_table, *mp_pool, true);
    }
    shm_unlink(m_name.c_str());
    munmap(mp_table, sizeof(struct_table));
    mp_table = nullptr;
    named_object::proc_unlock_close(m_fd);
}

void class_handle_ledger::proc_abandon() {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (mp_table == nullptr) return;
    mp_table->state = c_released;
    shm_unlink(m_name.c_str());
}

void class_handle_ledger::proc_follow_reset() {
    const u_int32_t resets = *mp_pool->get_heap()->get_reset_count_word();
    if (mp_table->reset_count == resets) return;
    std::lock_guard<std::mutex> lock(m_mutex);
    if (mp_table->reset_count == resets) return;
    std::memset(mp_table->slots, 0, sizeof(mp_table->slots));
    mp_table->reset_count = resets;
}

u_int32_t* class_handle_ledger::get_slots_for(mm_t in_mm) {
    // An odd handle names no block (one from a forged element, say): it is not recorded.
    if (in_mm <= c_gone || (in_mm & c_transit_bit) != 0 || !m_recording.load(std::memory_order_acquire))
        return nullptr;
    proc_follow_reset();
    return mp_table->slots;
}

void class_handle_ledger::on_taken(mm_t in_mm) {
    if (u_int32_t* slots = get_slots_for(in_mm)) proc_insert(slots, in_mm, in_mm);
}

void class_handle_ledger::on_released(mm_t in_mm) {
    if (u_int32_t* slots = get_slots_for(in_mm)) proc_replace(slots, in_mm, in_mm, c_gone);
}

void class_handle_ledger::on_leaving(mm_t in_mm) {
    if (u_int32_t* slots = get_slots_for(in_mm)) proc_replace(slots, in_mm, in_mm, in_mm | c_transit_bit);
}

void class_handle_ledger::on_left(mm_t in_mm) {
    if (u_int32_t* slots = get_slots_for(in_mm)) proc_replace(slots, in_mm, in_mm | c_transit_bit, c_gone);
}

void class_handle_ledger::on_arriving(mm_t in_mm) {
    if (u_int32_t* slots = get_slots_for(in_mm)) proc_insert(slots, in_mm, in_mm | c_transit_bit);
}

void class_handle_ledger::on_arrived(mm_t in_mm) {
    if (u_int32_t* slots = get_slots_for(in_mm)) proc_replace(slots, in_mm, in_mm | c_transit_bit, in_mm);
}

u_int32_t class_handle_ledger::get_count() {
    if (!m_recording.load()) return 0;
    proc_follow_reset();
    u_int32_t n = 0;
    for (u_int32_t v : mp_table->slots)
        if (is_held(v)) ++n;
    return n;
}

void class_handle_ledger::proc_release_table(struct_table* pin_table, class_dynamic_shared_memory_pool& in_pool,
                                             bool in_give_back) {
    if (!is_of(pin_table, in_pool) || pin_table->state != c_holding) return;
    pin_table->state = c_released;
    if (!in_give_back || pin_table->reset_count != *in_pool.get_heap()->get_reset_count_word()) return;
    for (u_int32_t v : pin_table->slots)
        if (is_held(v)) in_pool.proc_free_if_allocated(v);
}

bool class_handle_ledger::is_waiting_for_transits(const struct_table* pin_table,
                                                  class_dynamic_shared_memory_pool& in_pool) {
    return pin_table->reset_count == *in_pool.get_heap()->get_reset_count_word() && has_marks(pin_table->slots);
}

// Its owner died inside a pipe's push or take, which the pipe's next holder judged. The
// ledger stays until its marks are settled; the first to settle or sweep it after the death,
// holding its lock, also sweeps what it holds.
void class_handle_ledger::proc_settle_dead_transit(u_int32_t in_pid, const mm_t* pin_refs, size_t in_count,
                                                   bool in_push, bool in_changed) {
    // Nobody holds them when the ring had not taken the pushed element, or had given up the taken one.
    const bool give_back = in_push != in_changed;
    // Not under m_mutex: a thread that follows a reset takes it inside the heap's lock.
    if (!m_recording.load() || mp_pool == nullptr || mp_pool->get_heap() == nullptr ||
        in_pid == static_cast<u_int32_t>(OS::get_process_id()))
        return;
    class_dynamic_shared_memory_pool& pool = *mp_pool;
    const std::string name = get_name(in_pid);
    int fd = named_object::open_object(name, false, 0);
    if (fd < 0) return;  // never made, or swept and gone with nothing marked
    // A sweeper may hold it for a moment; a live process that took the id over holds it for good.
    const OS::vimra_clock_t until = OS::vimra_clock() + c_settle_wait_ms;
    int r = lock_unless_held(fd, std::to_string(in_pid));
    while (r != 0 && OS::vimra_clock() < until) {
        OS::usleep(1000);
        r = named_object::flock_retry(fd, LOCK_EX | LOCK_NB);
    }
    struct stat st;
    if (r == 0 && bears_name(fd, name) && fstat(fd, &st) == 0 && static_cast<size_t>(st.st_size) >= sizeof(struct_table)) {
        void* p = mmap(nullptr, sizeof(struct_table), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        if (p != MAP_FAILED) {
            struct_table* table = static_cast<struct_table*>(p);
            if (is_of(table, pool) && table->pid == in_pid &&
                table->reset_count == *pool.get_heap()->get_reset_count_word()) {
                for (size_t i = 0; i < in_count; ++i) {
                    const mm_t mm = pin_refs[i];
                    if (mm <= c_gone || (mm & c_transit_bit) != 0) continue;
                    if (proc_replace(table->slots, mm, mm | c_transit_bit, c_gone) && give_back)
                        pool.proc_free_if_allocated(mm);
                }
                proc_release_table(table, pool, true);
                if (!is_waiting_for_transits(table, pool)) shm_unlink(name.c_str());
            }
            munmap(p, sizeof(struct_table));
        }
    }
    if (r == 0) named_object::proc_unlock_close(fd);
    else named_object::proc_close_fd(fd);
}

void class_handle_ledger::proc_sweep(class_dynamic_shared_memory_pool& in_pool, bool in_give_back) {
    if (in_pool.get_heap() == nullptr) return;
    DIR* dir = opendir(c_shm_dir);
    if (dir == nullptr) return;
    const size_t prefix = std::strlen(c_name_prefix);
    while (const dirent* entry = readdir(dir)) {
        const std::string name = entry->d_name;
        if (name.compare(0, prefix, c_name_prefix) != 0) continue;
        int fd = named_object::open_object(name, false, 0);
        if (fd < 0) continue;
        // Held: its owner lives, or another sweeper is at it.
        if (lock_unless_held(fd, name.substr(prefix)) != 0) {
            named_object::proc_close_fd(fd);
            continue;
        }
        struct stat st;
        if (bears_name(fd, name) && fstat(fd, &st) == 0) {
            void* p = MAP_FAILED;
            if (static_cast<size_t>(st.st_size) >= sizeof(struct_table))
                p = mmap(nullptr, sizeof(struct_table), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
            if (p != MAP_FAILED) {
                struct_table* table = static_cast<struct_table*>(p);
                // Another memory's ledger (a test's, beside the host's) is not this sweep's.
                const bool ours = is_of(table, in_pool);
                proc_release_table(table, in_pool, in_give_back);
                // Marks of a transit a pipe's next holder has still to settle keep it.
                const bool kept = ours && in_give_back && is_waiting_for_transits(table, in_pool);
                munmap(p, sizeof(struct_table));
                if (ours && !kept) shm_unlink(name.c_str());
            }
        }
        named_object::proc_unlock_close(fd);
    }
    closedir(dir);
}

void class_handle_ledger::proc_release_own_for_exit() {
    if (!m_recording.exchange(false)) return;  // from here on nothing more is recorded
    proc_follow_reset();
    mp_table->state = c_released;
    for (u_int32_t v : mp_table->slots)
        if (is_held(v)) mp_pool->proc_free_if_allocated(v);
    shm_unlink(m_name.c_str());
}

}  // namespace Memory
}  // namespace Pimo
