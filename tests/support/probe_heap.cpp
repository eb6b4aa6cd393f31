// Probe for the packet heap: reads one command a line on standard input, answers with its
// result lines and then "ok <n>" (n counts commands from 1). A heap report ends the probe
// with its own line and status 255, as it would end any process of the host.
//
//   local SIZE               heap over a private buffer guarded by a thread lock
//   create NAME SIZE | open NAME | close | destroy      the named packet memory
//   alloc LEN [MIN_FREE]     -> "alloc R MM"   (site "probe_heap.cpp-42 lines")
//   site LINE LEN            allocation of 8 bytes with a file name of LEN characters
//   free MM | ref MM | get_ref MM | size MM | clean MM | check MM
//   poke MM OFF BYTE         writes a byte at handle + OFF (OFF may be negative)
//   put32 OFFSET VALUE       writes a 32-bit word at a segment offset; get32 OFFSET reads one
//   churn N SEED             N random allocations, references and releases, each payload
//                            filled and verified; everything released at the end
//   stop | continue | status | dump | counters | reset | exit
//   ledger                   this process's ledger over the named memory -> "ledger R"
//   recorded                 references the ledger records -> "recorded N"
//   sweep | drop             gives back (or drops) the ledgers of dead processes of the memory
//   end                      the ledger's orderly end (gives back what it records)
//   pipe create NAME | pipe open NAME    a shared pipe of elements "A B" (two handles), told
//                            to the ledger as the packet pipes tell theirs -> "pipe R"
//   push A B | take          -> "push R" | "take R A B" (R 2: nothing came)
//   die STEP                 the probe kills itself (SIGKILL) at STEP of its next push or take:
//                            leaving_first, leaving, left, arriving_first, arriving, arrived
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <map>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "Pimo/Memory/class_dynamic_shared_ref_memory.h"
#include "Pimo/Memory/class_handle_ledger.h"
#include "Pimo/IPC/class_shared_pipe.h"
#include "Pimo/Memory/class_heap_manager.h"
#include "Pimo/OS/Linux/class_lock.h"

using namespace Pimo;
using namespace Pimo::Memory;

namespace {

const char* const c_site_file = "probe_heap.cpp";

class class_probe_memory {
public:
    bool is_local() const { return mp_local != nullptr; }
    class_heap_manager* heap() const { return mp_local ? mp_local.get() : m_shared.get_pool().get_heap(); }
    byte_t* base() const { return static_cast<byte_t*>(m_shared.get_pool().get_addr(0)); }

    void make_local(u_int64_t in_size) {
        m_buf.assign(in_size / 8 + 1, 0);
        mp_local.reset(new class_heap_manager(m_buf.data(), in_size, &m_lock, true));
    }
    byte_t* addr(mm_t in_mm) {
        return mp_local ? reinterpret_cast<byte_t*>(m_buf.data()) + in_mm : base() + in_mm;
    }
    mm_t mm(const void* in_p) {
        return static_cast<mm_t>(static_cast<const byte_t*>(in_p) - addr(0));
    }

    OS::vimra_err_t alloc(mm_t& out, u_int32_t in_len, u_int32_t in_min, const char* in_file, int in_line) {
        if (!mp_local) return m_shared.eproc_alloc_2(out, in_len, in_min, in_file, in_line);
        void* p = mp_local->alloc_2(in_len, in_min, in_file, in_line);
        if (!p) return OS::c_vimra_memory_empty;
        out = mm(p);
        return OS::c_vimra_success;
    }
    void free(mm_t in_mm) {
        if (mp_local) mp_local->free(addr(in_mm), c_site_file, 1);
        else m_shared.proc_free(in_mm, c_site_file, 1);
    }
    ref_count_t ref(mm_t in_mm) {
        return mp_local ? mp_local->add_ref(addr(in_mm), c_site_file, 7) : m_shared.add_ref_get(in_mm, c_site_file, 7);
    }
    ref_count_t get_ref(mm_t in_mm) { return mp_local ? mp_local->get_ref(addr(in_mm)) : m_shared.get_ref(in_mm); }
    size_t size(mm_t in_mm) { return mp_local ? mp_local->get_size(addr(in_mm)) : m_shared.get_size(in_mm); }
    bool clean(mm_t in_mm) { return mp_local ? mp_local->is_clean_memory(addr(in_mm)) : m_shared.is_clean_memory(in_mm); }
    bool check(mm_t in_mm) {
        return mp_local ? mp_local->locked_traverse_check(addr(in_mm)) : m_shared.traverse_check(in_mm);
    }
    void stop() {
        if (mp_local) m_lock.lock();
        else m_shared.proc_stop();
    }
    void go_on() {
        if (mp_local) m_lock.unlock();
        else m_shared.proc_continue();
    }

    class_dynamic_shared_ref_memory& shared() { return m_shared; }

private:
    std::vector<u_int64_t> m_buf;
    OS::class_thread_lock m_lock;
    std::unique_ptr<class_heap_manager> mp_local;
    mutable class_dynamic_shared_ref_memory m_shared;
};

// Tells the ledger of the handles an element carries, as the packet pipes' hook does, and
// can end the process at one step of a push or take (with the pipe's lock held).
class class_dying_hook : public IPC::interface_pipe_hook {
public:
    explicit class_dying_hook(class_handle_ledger& in_ledger) : m_ledger(in_ledger) {}
    std::string die_at;

    bool get_refs(const byte_t* in_elem, refs_t& out_refs) override {
        std::memcpy(out_refs, in_elem, sizeof out_refs);
        return m_ledger.is_live();
    }
    void on_leaving(const refs_t& in_refs) override { steps(in_refs, &class_handle_ledger::on_leaving, "leaving"); }
    void on_left(const refs_t& in_refs) override {
        die_if("left");
        steps(in_refs, &class_handle_ledger::on_left, "");
    }
    void on_arriving(const refs_t& in_refs) override {
        steps(in_refs, &class_handle_ledger::on_arriving, "arriving");
    }
    void on_arrived(const refs_t& in_refs) override {
        die_if("arrived");
        steps(in_refs, &class_handle_ledger::on_arrived, "");
    }
    bool on_dead_transit(u_int32_t in_pid, const refs_t& in_refs, bool in_push, bool in_changed) override {
        if (!m_ledger.is_live()) return false;
        const mm_t refs[IPC::c_transit_refs] = {in_refs[0], in_refs[1]};
        m_ledger.proc_settle_dead_transit(in_pid, refs, IPC::c_transit_refs, in_push, in_changed);
        return true;
    }

private:
    void steps(const refs_t& in_refs, void (class_handle_ledger::*pin_step)(mm_t), const std::string& in_name) {
        for (size_t i = 0; i < IPC::c_transit_refs; ++i) {
            (m_ledger.*pin_step)(in_refs[i]);
            if (i == 0 && !in_name.empty()) die_if(in_name + "_first");
        }
        if (!in_name.empty()) die_if(in_name);
    }
    void die_if(const std::string& in_step) {
        if (die_at == in_step) raise(SIGKILL);
    }
    class_handle_ledger& m_ledger;
};

}  // namespace

int main() {
    class_probe_memory m;
    class_handle_ledger ledger;
    class_dying_hook hook(ledger);
    IPC::class_shared_pipe pipe;
    std::string line;
    long n = 0;
    while (std::getline(std::cin, line)) {
        std::istringstream in(line);
        std::string cmd;
        in >> cmd;
        if (cmd == "local") {
            u_int64_t size = 0;
            in >> size;
            m.make_local(size);
        } else if (cmd == "create") {
            std::string name;
            u_int32_t size = 0;
            in >> name >> size;
            std::printf("create %d\n", static_cast<int>(m.shared().get_pool().eproc_create(name.c_str(), size)));
        } else if (cmd == "open") {
            std::string name;
            in >> name;
            std::printf("open %d\n", static_cast<int>(m.shared().get_pool().eproc_open(name.c_str())));
        } else if (cmd == "close") {
            m.shared().proc_close();
        } else if (cmd == "destroy") {
            m.shared().proc_destroy();
        } else if (cmd == "alloc") {
            u_int32_t len = 0, min_free = 0;
            in >> len >> min_free;
            mm_t mm = 0;
            int r = m.alloc(mm, len, min_free, c_site_file, 42);
            std::printf("alloc %d %u\n", r, mm);
        } else if (cmd == "site") {
            int site_line = 0;
            size_t len = 0;
            in >> site_line >> len;
            std::string file(len, 'f');
            mm_t mm = 0;
            int r = m.alloc(mm, 8, 0, file.c_str(), site_line);
            std::printf("alloc %d %u\n", r, mm);
        } else if (cmd == "free") {
            mm_t mm = 0;
            in >> mm;
            m.free(mm);
        } else if (cmd == "ref") {
            mm_t mm = 0;
            in >> mm;
            std::printf("ref %llu\n", static_cast<unsigned long long>(m.ref(mm)));
        } else if (cmd == "get_ref") {
            mm_t mm = 0;
            in >> mm;
            std::printf("get_ref %llu\n", static_cast<unsigned long long>(m.get_ref(mm)));
        } else if (cmd == "size") {
            mm_t mm = 0;
            in >> mm;
            std::printf("size %zu\n", m.size(mm));
        } else if (cmd == "clean") {
            mm_t mm = 0;
            in >> mm;
            std::printf("clean %d\n", m.clean(mm) ? 1 : 0);
        } else if (cmd == "check") {
            mm_t mm = 0;
            in >> mm;
            std::printf("check %d\n", m.check(mm) ? 1 : 0);
        } else if (cmd == "poke") {
            mm_t mm = 0;
            long off = 0;
            int value = 0;
            in >> mm >> off >> value;
            m.addr(mm)[off] = static_cast<byte_t>(value);
        } else if (cmd == "put32") {
            u_int64_t off = 0;
            u_int32_t value = 0;
            in >> off >> value;
            std::memcpy(m.addr(0) + off, &value, sizeof value);
        } else if (cmd == "get32") {
            u_int64_t off = 0;
            u_int32_t value = 0;
            in >> off;
            std::memcpy(&value, m.addr(0) + off, sizeof value);
            std::printf("get32 %u\n", value);
        } else if (cmd == "churn") {
            long ops = 0;
            unsigned seed = 0;
            in >> ops >> seed;
            std::mt19937 rng(seed);
            struct held {
                u_int32_t len;
                u_int32_t refs;
                byte_t fill;
            };
            std::map<mm_t, held> live;
            long bad = 0;
            for (long i = 0; i < ops; ++i) {
                if (live.empty() || rng() % 2 == 0) {
                    u_int32_t len = 1 + rng() % 2000;
                    mm_t mm = 0;
                    if (m.alloc(mm, len, 0, c_site_file, 9) != 0) continue;
                    byte_t fill = static_cast<byte_t>(rng());
                    std::memset(m.addr(mm), fill, len);
                    live[mm] = {len, 1, fill};
                    continue;
                }
                auto it = live.begin();
                std::advance(it, rng() % live.size());
                const byte_t* p = m.addr(it->first);
                for (u_int32_t k = 0; k < it->second.len; ++k) bad += p[k] != it->second.fill;
                if (rng() % 4 == 0) {
                    m.ref(it->first);
                    ++it->second.refs;
                } else {
                    m.free(it->first);
                    if (--it->second.refs == 0) live.erase(it);
                }
            }
            for (auto& h : live)
                while (h.second.refs--) m.free(h.first);
            std::printf("churn %ld\n", bad);
        } else if (cmd == "stop") {
            m.stop();
        } else if (cmd == "continue") {
            m.go_on();
        } else if (cmd == "status") {
            std::printf("line %s\n", m.is_local() ? m.heap()->get_status() : m.shared().get_status());
        } else if (cmd == "dump") {
            std::printf("line %s\n",
                        m.is_local() ? m.heap()->get_status_forcefully() : m.shared().get_status_forcefully());
        } else if (cmd == "counters") {
            std::printf("counters %lu %lu %lu %lu\n", m.shared().get_remain(), m.shared().get_alloc_count(),
                        m.shared().get_refer_count(), m.shared().get_reset_count());
        } else if (cmd == "reset") {
            m.heap()->reset();
        } else if (cmd == "ledger") {
            std::printf("ledger %d\n", static_cast<int>(ledger.eproc_create(m.shared().get_pool())));
        } else if (cmd == "recorded") {
            std::printf("recorded %u\n", ledger.get_count());
        } else if (cmd == "sweep") {
            class_handle_ledger::proc_release_dead(m.shared().get_pool());
        } else if (cmd == "drop") {
            class_handle_ledger::proc_drop_dead(m.shared().get_pool());
        } else if (cmd == "end") {
            ledger.proc_close();
        } else if (cmd == "pipe") {
            std::string how, name;
            in >> how >> name;
            const OS::vimra_err_t r =
                how == "create" ? pipe.eproc_create(name.c_str(), 16, 2 * sizeof(mm_t)) : pipe.eproc_open(name.c_str());
            pipe.set_hook(&hook);
            std::printf("pipe %d\n", static_cast<int>(r));
        } else if (cmd == "push") {
            mm_t elem[2] = {0, 0};
            in >> elem[0] >> elem[1];
            std::printf("push %d\n", static_cast<int>(pipe.eproc_push(reinterpret_cast<const byte_t*>(elem), 0)));
        } else if (cmd == "take") {
            mm_t elem[2] = {0, 0};
            const OS::vimra_err_t r = pipe.eproc_receive_timeout(reinterpret_cast<byte_t*>(elem), 0.0);
            std::printf("take %d %u %u\n", static_cast<int>(r), elem[0], elem[1]);
        } else if (cmd == "die") {
            in >> hook.die_at;
        } else if (cmd == "exit") {
            return 0;
        }
        std::printf("ok %ld\n", ++n);
        std::fflush(stdout);
    }
    return 0;
}
