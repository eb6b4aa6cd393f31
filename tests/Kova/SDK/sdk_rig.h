// An SDK processor in this test process: its own packet memory, in-process listen,
// return and center pipes, the registry, and small objects that record deliveries.
#pragma once

#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Kova/Common/Global/kova_global.h"
#include "Kova/Common/Hidden/struct_packet.h"
#include "Kova/Common/Interface/kova_memory_interface.h"
#include "Kova/Common/Open/Kova/kova_err.h"
#include "Kova/Common/Open/Kova/kova_object.h"
#include "Kova/General_Common/Memory/class_kova_memory.h"
#include "Kova/General_SDK/Object_Manager/class_object_manager.h"
#include "Kova/SDK/Interface/_kova_object.h"
#include "Kova/SDK/Interface/interface_center_manager.h"
#include "Kova/SDK/SDK_Processor/kova_sdk_processor.h"
#include "Pimo/IPC/class_nonshared_pipe.h"
#include "Pimo/OS/Linux/class_locker.h"
#include "Pimo/OS/Linux/vimra_time.h"
#include "test_process.h"

namespace kova_sdk_test {

using namespace Kova;
using Kova::SDK::SDK_Processor::kova_sdk_processor;

// Hands out one in-process pipe as every domain's center pipe.
class test_center_manager : public SDK::Interface::interface_center_manager {
public:
    Pimo::IPC::interface_pipe* get_center_pipe(domain_t) override { return mp_pipe; }
    Pimo::IPC::interface_pipe* find_center_pipe(domain_t) override { return mp_pipe; }
    Pimo::IPC::interface_pipe* mp_pipe = nullptr;
};

struct delivery {
    msg_type_t type;
    msg_code_t code;
    msg_num_t num;
    object_id_t object;
};

// A registered object that records what it is handed; on_packet runs inside the callback.
class test_object : public SDK::Interface::interface_object_core {
public:
    test_object(domain_t in_domain, object_id_t in_id) : m_domain(in_domain), m_id(in_id) {}

    Pimo::OS::vimra_err_t listener_processor(struct_token& in_token) override {
        const struct_packet* p = in_token.get_header_packet();
        delivery d{p->header.type, p->header.code, p->header.num, m_id};
        if (on_packet) on_packet(d);
        // Notified under the lock: a test that sees the count may destroy the object at once.
        std::lock_guard<std::mutex> lock(m_mutex);
        m_got.push_back(d);
        m_cond.notify_all();
        return Pimo::OS::c_vimra_success;
    }
    kova_err_t destroy() override { return destroy_force(); }
    kova_err_t destroy_force() override {
        ++m_destroyed;
        SDK::Interface::gp_object_manager.load()->destroy_object(m_domain, m_id);
        return 0;
    }

    bool wait_count(std::size_t in_n, double in_timeout_s = 10.0) {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_cond.wait_for(lock, std::chrono::duration<double>(in_timeout_s),
                               [&] { return m_got.size() >= in_n; });
    }
    std::vector<delivery> got() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_got;
    }

    std::function<void(const delivery&)> on_packet;
    std::atomic<int> m_destroyed{0};
    domain_t m_domain;
    object_id_t m_id;

private:
    std::mutex m_mutex;
    std::condition_variable m_cond;
    std::vector<delivery> m_got;
};

// What callbacks append on the listeners and a test reads, under one lock.
template <typename item_t>
class locked_list {
public:
    void add(const item_t& in_item) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_items.push_back(in_item);
    }
    std::vector<item_t> items() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_items;
    }
    std::size_t size() const { return items().size(); }
    // True once it holds in_n items, within in_timeout_s.
    bool wait_size(std::size_t in_n, double in_timeout_s = 5.0) const {
        return kova_test::wait_until([&] { return size() >= in_n; }, in_timeout_s);
    }

private:
    mutable std::mutex m_mutex;
    std::vector<item_t> m_items;
};

// How many callbacks run at once at the most; each that calls run stays in_ms inside.
struct overlap_meter {
    void run(unsigned in_ms) {
        const int now = ++inside;
        if (now > most) most = now;
        Pimo::OS::msleep(in_ms);
        --inside;
    }
    std::atomic<int> inside{0}, most{0};
};

// A domain of this test process alone; in_test tells the tests of one file apart.
inline domain_t test_domain(int in_test) {
    return static_cast<domain_t>(20000 + (getpid() % 4000) * 10 + in_test);
}

// The domain of one test in this process; the registry's host-wide locks of the
// domain go with it. The last automatic ids of the domain live for the process: forgotten
// here, so that every test's first automatic stub id is 0x7C00 and proxy id 0xC000 whatever
// ran before it in this process.
class test_domain_scope {
public:
    explicit test_domain_scope(int in_test) : m_domain(test_domain(in_test)) {
        _kova_object::m_stub_last_object.erase(m_domain);
        _kova_object::m_proxy_last_object.erase(m_domain);
    }
    ~test_domain_scope() { kova_test::remove_shm_containing("kova_object_" + std::to_string(m_domain) + "_"); }
    test_domain_scope(const test_domain_scope&) = delete;
    test_domain_scope& operator=(const test_domain_scope&) = delete;
    operator domain_t() const { return m_domain; }

private:
    domain_t m_domain;
};

// A packet taken off the center pipe, with its payload.
struct received {
    struct_packet packet;
    bool has_data = false;
    std::string data;
};

struct packet_spec {
    msg_type_t type;
    msg_code_t code;
    object_id_t sid;
    object_id_t did;
    msg_num_t num;
    domain_t sport;
    domain_t dst_port;
    ip_t src_ip = c_local_host;
    double limit = 10.0;
    std::size_t payload = 0;
    kova_err_t error = 0;
};

// A request of a remote proxy to a stub, as a center delivers it.
constexpr object_id_t c_remote_proxy = 0x8123;
constexpr ip_t c_remote_proxy_ip = 0x0A00000Au;
inline packet_spec request_to(domain_t in_domain, object_id_t in_stub, msg_type_t in_type, msg_code_t in_code,
                              msg_num_t in_num, std::size_t in_payload) {
    packet_spec s{in_type, in_code, c_remote_proxy, in_stub, in_num, in_domain, in_domain};
    s.src_ip = c_remote_proxy_ip;
    s.payload = in_payload;
    return s;
}

// Staging on a sender (a stub or a proxy) of values: with nothing staged a post has
// nothing to write; a post larger than the staged block is refused; one that finds a byte
// written past the staged size refuses with in_dirty_text on stdout and sends nothing
// (in_sent: what the sender sent), and keeps the block until cancel; then "staged", staged
// and posted clean, is what goes out: in_sent's packets then.
template <typename sender_t>
std::vector<received> expect_staging_sends_only_a_clean_buffer(sender_t& in_sender, const std::string& in_dirty_text,
                                                              const std::function<std::vector<received>()>& in_sent) {
    EXPECT_EQ(in_sender.post(1), c_kova_err_dont_get) << "nothing staged";
    in_sender.cancel();
    char* p = static_cast<char*>(in_sender.get(6));
    EXPECT_NE(p, nullptr);
    if (p == nullptr) return {};
    std::memcpy(p, "staged", 6);
    EXPECT_EQ(in_sender.post(7), c_kova_err_too_big_size);
    p[6] = 'X';  // one byte too far
    testing::internal::CaptureStdout();
    EXPECT_EQ(in_sender.post(6), c_kova_err_durty_memory);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), in_dirty_text);
    EXPECT_TRUE(in_sent().empty()) << "nothing written";
    in_sender.cancel();
    EXPECT_EQ(in_sender.post(6), c_kova_err_dont_get);
    p = static_cast<char*>(in_sender.get(6));
    EXPECT_NE(p, nullptr);
    if (p == nullptr) return {};
    std::memcpy(p, "staged", 6);
    EXPECT_EQ(in_sender.post(6), c_kova_err_none);
    return in_sent();
}

class sdk_rig {
public:
    explicit sdk_rig(std::size_t in_listeners, unsigned in_center_depth = 16)
        : m_name(kova_test::unique_name("sdkmem")) {
        Pimo::OS::vimra_update_cpu_hz();
        m_ok = m_memory.eproc_create(16u << 20, m_name.c_str()) == 0;
        Common::Global::gp_memory = &m_memory;
        m_listen.eproc_create(16, sizeof(struct_token));
        m_return.eproc_create(16, sizeof(struct_token));
        m_center.eproc_create(in_center_depth, sizeof(struct_token));
        m_centers.mp_pipe = &m_center;
        SDK::Interface::gp_center_manager = &m_centers;
        m_processor = new kova_sdk_processor;
        SDK::SDK_Processor::gp_processor = m_processor;
        m_objects = new SDK::Object_Manager::class_object_manager;
        m_processor->start_kova(&m_listen, &m_return, in_listeners);
    }
    ~sdk_rig() {
        m_processor->exit_kova();
        // The test's objects may be gone already: leave the registry nothing to destroy.
        {
            Pimo::OS::class_write_locker lock(m_processor);
            for (const auto& added : m_added) m_objects->destroy_object(added.first, added.second);
        }
        delete m_objects;
        SDK::Interface::gp_center_manager = nullptr;
        struct_token t;
        while (m_center.eproc_pop(reinterpret_cast<Pimo::byte_t*>(&t)) == 0)
            Common::Interface::safe_free_token(t, __FILE__, __LINE__);
        SDK::SDK_Processor::gp_processor = nullptr;
        delete m_processor;
        m_listen.proc_destroy();
        m_return.proc_destroy();
        m_center.proc_destroy();
        Common::Global::gp_memory = nullptr;
        m_memory.proc_destroy();
        kova_test::remove_shm_containing(m_name);
        for (const auto& added : m_added)
            kova_test::remove_shm_containing("kova_object_" + std::to_string(added.first) + "_" +
                                             std::to_string(added.second) + "_");
    }

    // Registers an object under the processor's write lock, as object creation does.
    bool add(test_object& in_object) {
        Pimo::OS::class_write_locker lock(m_processor);
        return add_locked(in_object);
    }
    // The caller holds the write lock.
    bool add_locked(test_object& in_object) {
        m_added.emplace_back(in_object.m_domain, in_object.m_id);
        return m_objects->create_object(in_object.m_domain, in_object.m_id, &in_object) == Pimo::OS::c_vimra_success;
    }

    struct_token make(const packet_spec& in) {
        struct_token t;
        Common::Interface::proc_alloc_header_force(t, __FILE__, __LINE__);
        struct_packet* p = t.get_header_packet();
        *p = struct_packet();
        p->initialize_packet(0, Pimo::OS::vimra_cpu_clock(), in.limit);
        p->initialize_header(static_cast<pksize_t>(in.payload), in.num, in.type, in.code, in.error);
        p->set_source(in.src_ip, in.sport, in.sid);
        p->set_destination(c_local_host, in.dst_port, in.did);
        if (in.payload) {
            Common::Interface::proc_alloc_data_force(t.data_mm, in.payload, __FILE__, __LINE__);
            // A recognisable payload: byte i holds i.
            unsigned char* data = static_cast<unsigned char*>(t.get_data());
            for (std::size_t i = 0; i < in.payload; ++i) data[i] = static_cast<unsigned char>(i);
        }
        return t;
    }
    // Creates with an automatic id and takes the create packet off the center pipe; 0 on failure.
    object_id_t create_announced(kova_object& in_object, domain_t in_domain) {
        struct_packet p;
        if (in_object.create(in_domain, 0) != c_kova_err_none || !center_receive(p)) return 0;
        return in_object.get_object_id();
    }

    void push_listen(const packet_spec& in) { push(m_listen, make(in)); }
    // Into the listen pipe, waiting while it is full.
    void push_listen_waiting(struct_token in_token) {
        while (m_listen.eproc_send(reinterpret_cast<const Pimo::byte_t*>(&in_token), 0) != 0) Pimo::OS::msleep(1);
    }
    // What the data block that the memory grants for in_payload bytes holds: the most a
    // callback can be handed from such a block; 0 when none is granted.
    static std::size_t block_capacity(std::size_t in_payload) {
        Pimo::Memory::mm_t mm = 0;
        if (Common::Interface::eproc_alloc_data(mm, in_payload, __FILE__, __LINE__) != c_kova_err_none) return 0;
        const std::size_t capacity = Common::Interface::get_data_size(mm);
        Common::Interface::safe_free_mm(mm, __FILE__, __LINE__);
        return capacity;
    }
    void push_return(const packet_spec& in) { push(m_return, make(in)); }
    static void push(Pimo::IPC::interface_pipe& in_pipe, struct_token in_token) {
        in_pipe.eproc_send(reinterpret_cast<const Pimo::byte_t*>(&in_token), 0);
    }

    // The next token in the center pipe itself, with its references; the caller frees it.
    bool center_receive(struct_token& pout, double in_timeout_s = 5.0) {
        return m_center.eproc_receive_timeout(reinterpret_cast<Pimo::byte_t*>(&pout), in_timeout_s) == 0;
    }

    // The next answer the processor put into the center pipe; false after in_timeout_s.
    // pout_payload, when given, receives the payload.
    bool center_receive(struct_packet& pout, double in_timeout_s = 5.0, std::vector<unsigned char>* pout_payload = nullptr) {
        struct_token t;
        if (m_center.eproc_receive_timeout(reinterpret_cast<Pimo::byte_t*>(&t), in_timeout_s) != 0) return false;
        std::memcpy(&pout, t.get_header_packet(), sizeof(pout));
        if (pout_payload) {
            const unsigned char* data = static_cast<const unsigned char*>(t.get_data());
            pout_payload->assign(data, data ? data + pout.header.size : data);
        }
        Common::Interface::safe_free_token(t, __FILE__, __LINE__);
        return true;
    }

    bool center_receive(received& pout, double in_timeout_s = 5.0) {
        struct_token t;
        if (m_center.eproc_receive_timeout(reinterpret_cast<Pimo::byte_t*>(&t), in_timeout_s) != 0) return false;
        std::memcpy(&pout.packet, t.get_header_packet(), sizeof(pout.packet));
        pout.has_data = t.has_data();
        pout.data.clear();
        if (t.has_data()) {
            std::size_t n = pout.packet.header.size;
            const std::size_t capacity = Common::Interface::get_data_size(t.data_mm);
            if (n > capacity) n = capacity;
            pout.data.assign(static_cast<const char*>(t.get_data()), n);
        }
        Common::Interface::safe_free_token(t, __FILE__, __LINE__);
        return true;
    }
    // Fills the center pipe with one header-only packet per free place.
    void fill_center() {
        while (!m_center.test_full()) push(m_center, make(packet_spec{c_mt_ctrl, 1, 1, 1, 0, 1, 1}));
    }

    // Free bytes of the packet memory: equal again once every block is released.
    unsigned long remain() const { return m_memory.get_remain(); }

    // Waits until the processor has taken everything from the listen pipe and
    // released the blocks (free bytes back to in_remain).
    bool wait_remain(unsigned long in_remain, double in_timeout_s = 10.0) const {
        return kova_test::wait_until([&] { return remain() == in_remain; }, in_timeout_s);
    }

    bool m_ok;
    std::string m_name;
    General_Common::Memory::class_kova_memory m_memory;
    Pimo::IPC::class_nonshared_pipe m_listen, m_return, m_center;
    test_center_manager m_centers;
    kova_sdk_processor* m_processor;
    SDK::Object_Manager::class_object_manager* m_objects;
    std::vector<std::pair<domain_t, object_id_t>> m_added;
};

// A plain object, created and announced in a rig of its own, for a kind attached to it
// to serve under; the rig's free bytes before anything was made.
struct attached_owner {
    explicit attached_owner(int in_test) : rig(1), d(in_test), before(rig.remain()) {
        id = rig.create_announced(owner, d);
    }
    sdk_rig rig;
    const test_domain_scope d;
    const unsigned long before;
    kova_object owner;
    object_id_t id = 0;
};

// Runs in_wait on a thread of its own and keeps what it returns; asleep() tells when the
// thread has reached its wait.
class waiting_thread {
public:
    static constexpr kova_err_t c_not_yet = 0xFFFFFFFFu;
    explicit waiting_thread(std::function<kova_err_t()> in_wait)
        : m_thread([this, in_wait] {
              m_tid = kova_test::this_thread_id();
              m_result = in_wait();
          }) {}
    ~waiting_thread() { join(); }
    waiting_thread(const waiting_thread&) = delete;
    waiting_thread& operator=(const waiting_thread&) = delete;

    bool asleep() {
        return kova_test::wait_until([&] { return kova_test::is_thread_asleep(m_tid.load()); }, 5.0);
    }
    // What it returned, c_not_yet while it runs.
    kova_err_t result() const { return m_result.load(); }
    kova_err_t join() {
        if (m_thread.joinable()) m_thread.join();
        return m_result.load();
    }

private:
    std::atomic<pid_t> m_tid{0};
    std::atomic<kova_err_t> m_result{c_not_yet};
    std::thread m_thread;  // last: it starts once the others are there
};

}  // namespace kova_sdk_test
