#include "Kova/Common/Interface/kova_memory_interface.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "Kova/Common/Global/kova_global.h"
#include "Kova/Common/Global/kova_send.h"
#include "Kova/Common/Global/struct_debug_token.h"
#include "Kova/Common/Hidden/struct_packet.h"
#include "Kova/Common/Open/Kova/kova_err.h"
#include "Kova/General_Common/IPC/class_debug_ipc.h"
#include "Kova/kova_utility/kova_malloc.h"
#include "Pimo/Memory/class_dynamic_shared_ref_memory.h"
#include "test_process.h"

using namespace Kova;
using namespace Kova::Common::Interface;
using Kova::Common::Global::gp_memory;

namespace {

// A private packet memory and debug channel, published as this process's.
class packet_memory_fixture : public testing::Test {
protected:
    static constexpr unsigned c_memory_size = 1u << 20;

    void SetUp() override {
        m_name = kova_test::unique_name("kmem");
        ASSERT_EQ(Pimo::OS::c_vimra_success, m_memory.eproc_create((m_name + "_mem").c_str(), c_memory_size));
        ASSERT_EQ(Pimo::OS::c_vimra_success, m_debug.eproc_create(m_depth, (m_name + "_dbg").c_str()));
        gp_memory = &m_memory;
    }
    void TearDown() override {
        gp_memory = nullptr;
        m_debug.proc_destroy();
        m_memory.proc_destroy();
        kova_test::remove_shm_containing(m_name);
    }

    // Takes the next queued trace record; false when none is queued.
    bool next_record(struct_debug_token& pout_record) {
        return m_debug.eproc_pop(reinterpret_cast<Pimo::byte_t*>(&pout_record)) == Pimo::OS::c_vimra_success;
    }
    // Takes the next record, expecting its kind, token and text; the record's own
    // header reference is released as the log would.
    void expect_record(char in_type, mm_t in_header, const std::string& in_text) {
        struct_debug_token r;
        ASSERT_TRUE(next_record(r)) << in_text;
        EXPECT_EQ(in_type, r.type);
        EXPECT_EQ(getpid(), r.pid);
        EXPECT_EQ(in_header, r.token.header_mm);
        EXPECT_EQ(0u, r.token.data_mm);
        EXPECT_EQ(in_text, r.str);
        EXPECT_NE(nullptr, std::strstr(r.doc, " lines"));
        gp_memory->safe_free(r.token.header_mm, __FILE__, __LINE__);
    }
    // Takes every queued record as the log would, releasing what they hold.
    void drop_records() {
        struct_debug_token r;
        while (next_record(r)) gp_memory->safe_free(r.token.header_mm, __FILE__, __LINE__);
    }
    void expect_no_record() {
        struct_debug_token r;
        EXPECT_FALSE(next_record(r)) << r.str;
    }

    Pimo::u_int32_t m_depth = 64;
    std::string m_name;
    Pimo::Memory::class_dynamic_shared_ref_memory m_memory;
    General_Common::IPC::class_debug_ipc m_debug;
};

}  // namespace

TEST(packet_memory_conversions, null_and_zero_map_to_each_other) {
    // No memory is needed to see that nothing is there.
    EXPECT_EQ(nullptr, get_header(mm_t(0)));
    EXPECT_EQ(nullptr, get_header(struct_token()));
    EXPECT_EQ(nullptr, get_data(mm_t(0)));
    EXPECT_EQ(nullptr, get_data(struct_token()));
    EXPECT_EQ(nullptr, get_ptr(0));
    EXPECT_EQ(0u, get_data_mm(nullptr));
    EXPECT_EQ(0u, get_ptr_mm(nullptr));
    struct_token t;
    EXPECT_EQ(nullptr, t.get_header_packet());
    EXPECT_EQ(nullptr, t.get_data_packet());
    EXPECT_EQ(nullptr, t.get_data());
}

TEST_F(packet_memory_fixture, header_and_data_blocks_through_a_token) {
    struct_token t;
    ASSERT_EQ(c_kova_success, t.alloc_header(__FILE__, __LINE__));
    ASSERT_NE(0u, t.header_mm);
    expect_record('A', 0, "alloc header " + std::to_string(t.header_mm));
    ASSERT_EQ(c_kova_success, t.alloc_data(100, __FILE__, __LINE__));
    ASSERT_NE(0u, t.data_mm);
    expect_record('A', 0, "alloc data - " + std::to_string(t.data_mm) + " size 100");

    EXPECT_EQ(get_ptr(t.header_mm), t.get_header_packet());
    EXPECT_GE(get_ptr_size(t.header_mm), sizeof(struct_packet));
    EXPECT_EQ(get_ptr(t.data_mm), t.get_data_packet());
    EXPECT_EQ(static_cast<byte_t*>(get_ptr(t.data_mm)) + 72, t.get_data());
    EXPECT_EQ(t.data_mm, get_data_mm(t.get_data()));
    EXPECT_EQ(t.header_mm, get_ptr_mm(t.get_header_packet()));
    EXPECT_GE(get_data_size(t.data_mm), 100u);
    EXPECT_EQ(get_ptr_size(t.data_mm) - 72, get_data_size(t.data_mm));

    // Record and payload fill their blocks without touching the guards.
    std::memset(static_cast<void*>(t.get_header_packet()), 0x5A, sizeof(struct_packet));
    std::memset(t.get_data(), 0xA5, 100);
    EXPECT_TRUE(is_clean_memory(t.header_mm));
    EXPECT_TRUE(is_clean_memory(t.data_mm));
    EXPECT_TRUE(traverse_check(t.data_mm));

    // A fan-out copy shares the data block by reference.
    EXPECT_EQ(2u, t.ref_data(__FILE__, __LINE__));
    expect_record('F', 0, "add ref - " + std::to_string(t.data_mm) + " ref 2");
    struct_token copy;
    copy.set_data(t, __FILE__, __LINE__);
    EXPECT_EQ(t.data_mm, copy.data_mm);
    EXPECT_EQ(2u, gp_memory->get_ref(t.data_mm));
    copy.free_data(__FILE__, __LINE__);
    expect_record('F', 0, "free mm - " + std::to_string(t.data_mm));
    EXPECT_EQ(0u, copy.data_mm);
    EXPECT_EQ(1u, gp_memory->get_ref(t.data_mm));

    const unsigned long before_free = m_memory.get_remain();
    const mm_t h = t.header_mm, d = t.data_mm;
    t.free(__FILE__, __LINE__);
    EXPECT_EQ(0u, t.header_mm);
    EXPECT_EQ(0u, t.data_mm);
    // The 'F' record of the header holds that block until the log releases it.
    struct_debug_token r;
    ASSERT_TRUE(next_record(r));
    EXPECT_EQ('F', r.type);
    EXPECT_EQ(h, r.token.header_mm);
    EXPECT_EQ(0u, r.token.data_mm);
    EXPECT_EQ("free header - " + std::to_string(h), std::string(r.str));
    EXPECT_EQ(1u, gp_memory->get_ref(h));
    expect_record('F', 0, "free data - " + std::to_string(d));
    EXPECT_GT(m_memory.get_remain(), before_free);  // the data block is back
    const unsigned long before_log = m_memory.get_remain();
    gp_memory->safe_free(r.token.header_mm, __FILE__, __LINE__);
    EXPECT_GT(m_memory.get_remain(), before_log);  // and the header block once logged
}

TEST_F(packet_memory_fixture, free_token_with_only_a_header) {
    struct_token t;
    ASSERT_EQ(c_kova_success, eproc_alloc_header(t, __FILE__, __LINE__));
    const mm_t h = t.header_mm;
    expect_record('A', 0, "alloc header " + std::to_string(h));
    safe_free_token(t, __FILE__, __LINE__);
    expect_record('F', h, "free header - " + std::to_string(h));
    expect_record('F', 0, "free data - 0");
    expect_no_record();
    EXPECT_EQ(0u, t.header_mm);
    EXPECT_EQ(0u, t.data_mm);
    EXPECT_EQ(0u, m_memory.get_alloc_count());
}

TEST_F(packet_memory_fixture, references_of_handle_zero_still_trace) {
    EXPECT_EQ(0u, safe_add_ref_mm(0, __FILE__, __LINE__));
    expect_record('F', 0, "add ref - 0 ref 0");
    mm_t none = 0;
    safe_free_mm(none, __FILE__, __LINE__);
    expect_record('F', 0, "free mm - 0");
    struct_token t;
    safe_add_ref_token(t, __FILE__, __LINE__);
    expect_record('F', 0, "add ref - 0 ref 0");
    expect_record('F', 0, "add ref - 0 ref 0");
    expect_no_record();
}

TEST_F(packet_memory_fixture, data_blocks_keep_a_reserve_headers_do_not) {
    // Take data blocks until the reserve stops them.
    std::vector<struct_token> held;
    for (;;) {
        struct_token t;
        if (eproc_alloc_data(t, 60000, __FILE__, __LINE__) != c_kova_success) {
            EXPECT_EQ(0u, t.data_mm);
            break;
        }
        held.push_back(t);
        ASSERT_LT(held.size(), 100u);
    }
    while (true) {
        struct_debug_token r;
        if (!next_record(r)) break;
    }
    const unsigned long remain = m_memory.get_remain();
    EXPECT_GE(remain, 65535u);
    EXPECT_LT(remain, 60000u + 72 + 65535 + 512);
    expect_no_record();  // a failed allocation sends nothing
    EXPECT_EQ(c_kova_err_empty_kova_memory, eproc_alloc_data(held[0], 60000, __FILE__, __LINE__));
    struct_token header;
    EXPECT_EQ(c_kova_success, eproc_alloc_header(header, __FILE__, __LINE__));
    for (struct_token& t : held) gp_memory->safe_free(t.data_mm, __FILE__, __LINE__);
    gp_memory->safe_free(header.header_mm, __FILE__, __LINE__);
}

TEST_F(packet_memory_fixture, payload_sizes_near_four_gigabytes_are_refused) {
    const unsigned long remain = m_memory.get_remain();
    const std::size_t sizes[] = {0xFFFFFFFFu, 0xFFFFFFFFu - 71, 0xFFFFFFFFu - 72, 0xFFFFFF00u,
                                 0xFFFFFFFFu - 72 - 65535 + 1, (std::size_t(1) << 32) + 10};
    for (std::size_t size : sizes) {
        mm_t mm = 0;
        EXPECT_EQ(c_kova_err_empty_kova_memory, eproc_alloc_data(mm, size, __FILE__, __LINE__)) << size;
        EXPECT_EQ(0u, mm) << size;
    }
    EXPECT_EQ(remain, m_memory.get_remain());
    EXPECT_EQ(0u, m_memory.get_alloc_count());
    expect_no_record();
}

TEST_F(packet_memory_fixture, force_allocation_waits_for_a_release) {
    // Fill the memory with header blocks.
    std::vector<mm_t> held;
    for (;;) {
        mm_t mm = 0;
        if (gp_memory->eproc_alloc(mm, sizeof(struct_packet), __FILE__, __LINE__) != Pimo::OS::c_vimra_success)
            break;
        held.push_back(mm);
    }
    ASSERT_FALSE(held.empty());
    std::atomic<bool> done{false};
    struct_token t;
    std::thread waiter([&] {
        t.alloc_header_force(__FILE__, __LINE__);
        done = true;
    });
    EXPECT_FALSE(done);  // nothing can be granted until a block comes back
    gp_memory->safe_free(held.back(), __FILE__, __LINE__);
    held.pop_back();
    waiter.join();
    EXPECT_TRUE(done);
    EXPECT_NE(0u, t.header_mm);
    for (mm_t& mm : held) gp_memory->safe_free(mm, __FILE__, __LINE__);
    gp_memory->safe_free(t.header_mm, __FILE__, __LINE__);
}

TEST_F(packet_memory_fixture, debug_record_holds_the_header_while_queued) {
    struct_token t;
    ASSERT_EQ(c_kova_success, eproc_alloc_header(t, __FILE__, __LINE__));
    ASSERT_EQ(c_kova_success, eproc_alloc_data(t, 8, __FILE__, __LINE__));
    expect_record('A', 0, "alloc header " + std::to_string(t.header_mm));
    expect_record('A', 0, "alloc data - " + std::to_string(t.data_mm) + " size 8");

    Common::Global::kova_debug_send('C', t, "center.cpp", 42, "ctrl %s %d", "x", 7);
    EXPECT_EQ(2u, gp_memory->get_ref(t.header_mm));
    EXPECT_EQ(1u, gp_memory->get_ref(t.data_mm));  // the data block is never held by a record
    struct_debug_token r;
    ASSERT_TRUE(next_record(r));
    EXPECT_STREQ("center.cpp - 42 lines", r.doc);
    EXPECT_STREQ("ctrl x 7", r.str);
    EXPECT_EQ(t.header_mm, r.token.header_mm);
    EXPECT_EQ(0u, r.token.data_mm);
    gp_memory->safe_free(r.token.header_mm, __FILE__, __LINE__);
    EXPECT_EQ(1u, gp_memory->get_ref(t.header_mm));

    // A full channel costs only the record: the reference is given back.
    for (Pimo::u_int32_t i = 0; i < m_depth; ++i)
        Common::Global::kova_debug_send('C', struct_token(), "f", 1, "filler");
    Common::Global::kova_debug_send('C', t, "f", 1, "lost");
    EXPECT_EQ(1u, gp_memory->get_ref(t.header_mm));
    while (next_record(r)) EXPECT_STREQ("filler", r.str);

    // Without a debug channel nothing is sent and no block is touched.
    Common::Interface::interface_debug_pipe* saved = Common::Global::gp_debug_ipc;
    Common::Global::gp_debug_ipc = nullptr;
    Common::Global::kova_debug_send('C', t, "f", 1, "nowhere");
    EXPECT_EQ(1u, gp_memory->get_ref(t.header_mm));
    Common::Global::gp_debug_ipc = saved;
    expect_no_record();

    gp_memory->safe_free(t.header_mm, __FILE__, __LINE__);
    gp_memory->safe_free(t.data_mm, __FILE__, __LINE__);
}

// The header's record takes over the caller's reference: with no room for it, the block is
// released at once; with room, it stays until the log releases the record.
TEST_F(packet_memory_fixture, a_freed_token_s_header_stays_with_its_record_or_goes_back_when_it_finds_no_room) {
    struct row {
        Pimo::u_int32_t room;
        bool header_record, data_record;
    };
    const row rows[] = {{0, false, false}, {1, true, false}, {2, true, true}};
    for (const row& r : rows) {
        SCOPED_TRACE(r.room);
        struct_token t;
        ASSERT_EQ(c_kova_success, eproc_alloc_header(t, __FILE__, __LINE__));
        ASSERT_EQ(c_kova_success, eproc_alloc_data(t, 8, __FILE__, __LINE__));
        const mm_t h = t.header_mm, d = t.data_mm;
        struct_debug_token drop;
        while (next_record(drop)) {
        }
        for (Pimo::u_int32_t i = 0; i < m_depth - r.room; ++i)
            Common::Global::kova_debug_send('C', struct_token(), "f", 1, "filler");
        safe_free_token(t, __FILE__, __LINE__);
        EXPECT_EQ(0u, t.header_mm);
        EXPECT_EQ(0u, t.data_mm);
        EXPECT_EQ(r.header_record ? 1u : 0u, m_memory.get_alloc_count()) << "the data block is always gone";
        for (Pimo::u_int32_t i = 0; i < m_depth - r.room; ++i) ASSERT_TRUE(next_record(drop));
        if (r.header_record) {
            EXPECT_EQ(1u, gp_memory->get_ref(h));
            expect_record('F', h, "free header - " + std::to_string(h));
        }
        if (r.data_record) expect_record('F', 0, "free data - " + std::to_string(d));
        expect_no_record();
        EXPECT_EQ(0u, m_memory.get_alloc_count());
        EXPECT_EQ(0u, m_memory.get_refer_count());
    }
}

// A packet's blocks together: the same blocks and records as header, then data, one by one.
TEST_F(packet_memory_fixture, a_packet_s_blocks_are_granted_together_with_their_records_in_order) {
    struct_token t;
    ASSERT_EQ(c_kova_success, eproc_alloc_packet(t, 100, __FILE__, __LINE__));
    ASSERT_NE(0u, t.header_mm);
    ASSERT_NE(0u, t.data_mm);
    EXPECT_GE(get_data_size(t.data_mm), 100u);
    expect_record('A', 0, "alloc header " + std::to_string(t.header_mm));
    expect_record('A', 0, "alloc data - " + std::to_string(t.data_mm) + " size 100");
    expect_no_record();
    // What the token has is not asked for again.
    const mm_t h = t.header_mm;
    EXPECT_EQ(c_kova_success, eproc_alloc_packet(t, 100, __FILE__, __LINE__));
    EXPECT_EQ(h, t.header_mm);
    expect_no_record();
    safe_free_token(t, __FILE__, __LINE__);
    drop_records();

    // Without room for the payload's reserve the header is still granted and kept.
    struct_token header_only;
    EXPECT_EQ(c_kova_err_empty_kova_memory, eproc_alloc_packet(header_only, c_memory_size, __FILE__, __LINE__));
    ASSERT_NE(0u, header_only.header_mm);
    EXPECT_EQ(0u, header_only.data_mm);
    expect_record('A', 0, "alloc header " + std::to_string(header_only.header_mm));
    expect_no_record();
    gp_memory->safe_free(header_only.header_mm, __FILE__, __LINE__);

    // A fan-out copy: its own header, the data shared by an added reference.
    struct_token original;
    ASSERT_EQ(c_kova_success, eproc_alloc_packet(original, 8, __FILE__, __LINE__));
    drop_records();
    struct_token copy = proc_alloc_copy_force(original.data_mm, __FILE__, __LINE__);
    EXPECT_NE(original.header_mm, copy.header_mm);
    EXPECT_EQ(original.data_mm, copy.data_mm);
    EXPECT_EQ(2u, gp_memory->get_ref(original.data_mm));
    expect_record('A', 0, "alloc header " + std::to_string(copy.header_mm));
    expect_record('F', 0, "add ref - " + std::to_string(original.data_mm) + " ref 2");
    struct_token no_data = proc_alloc_copy_force(0, __FILE__, __LINE__);
    EXPECT_EQ(0u, no_data.data_mm);
    expect_record('A', 0, "alloc header " + std::to_string(no_data.header_mm));
    expect_no_record();
    for (mm_t mm : {original.header_mm, original.data_mm, copy.header_mm, copy.data_mm, no_data.header_mm})
        gp_memory->safe_free(mm, __FILE__, __LINE__);
    EXPECT_EQ(0u, m_memory.get_alloc_count());
}

TEST_F(packet_memory_fixture, debug_record_is_zeroed_and_cut_to_its_fields) {
    const std::string long_file(400, 'f');
    const std::string long_text(700, 't');
    Common::Global::kova_debug_send('K', struct_token(), long_file.c_str(), 9, "%s", long_text.c_str());
    Common::Global::kova_debug_send('Z', struct_token(), "s.cpp", 1, "reset");
    struct_debug_token r;
    ASSERT_TRUE(next_record(r));
    EXPECT_EQ(std::string(255, 'f'), r.doc);
    EXPECT_EQ(std::string(511, 't'), r.str);
    ASSERT_TRUE(next_record(r));
    unsigned char bytes[sizeof(r)];
    std::memcpy(bytes, &r, sizeof(r));
    EXPECT_EQ('Z', bytes[0]);
    for (int i = 1; i < 4; ++i) EXPECT_EQ(0, bytes[i]) << i;  // padding after the kind letter
    const std::size_t doc_len = std::strlen(r.doc), str_len = std::strlen(r.str);
    for (std::size_t i = 16 + doc_len; i < 272; ++i) ASSERT_EQ(0, bytes[i]) << i;
    for (std::size_t i = 272 + str_len; i < sizeof(r); ++i) ASSERT_EQ(0, bytes[i]) << i;
}

TEST_F(packet_memory_fixture, application_allocator) {
    EXPECT_EQ(nullptr, kova_malloc(c_memory_size * 2));
    kova_free(nullptr);  // nothing happens

    char* p = static_cast<char*>(kova_malloc(100));
    ASSERT_NE(nullptr, p);
    EXPECT_GE(kova_memsize(p), 100u);
    EXPECT_TRUE(is_clean_ptr(p));
    for (int i = 0; i < 100; ++i) p[i] = static_cast<char>(i);

    // Smaller: only what the new block holds is copied, its rear guard stays whole.
    char* small = static_cast<char*>(kova_realloc(p, 40));
    ASSERT_NE(nullptr, small);
    EXPECT_TRUE(is_clean_ptr(small));
    for (int i = 0; i < 40; ++i) ASSERT_EQ(static_cast<char>(i), small[i]) << i;

    // Larger: everything the old block held comes along.
    char* large = static_cast<char*>(kova_realloc(small, 300));
    ASSERT_NE(nullptr, large);
    EXPECT_TRUE(is_clean_ptr(large));
    for (int i = 0; i < 40; ++i) ASSERT_EQ(static_cast<char>(i), large[i]) << i;

    // A reallocation that cannot be granted leaves the old block as it was.
    EXPECT_EQ(nullptr, kova_realloc(large, c_memory_size * 2));
    EXPECT_EQ(1u, gp_memory->get_ref(get_ptr_mm(large)));
    EXPECT_TRUE(is_clean_ptr(large));
    for (int i = 0; i < 40; ++i) ASSERT_EQ(static_cast<char>(i), large[i]) << i;
    kova_free(large);

    void* fresh = kova_realloc(nullptr, 50);  // as kova_malloc
    ASSERT_NE(nullptr, fresh);
    EXPECT_GE(kova_memsize(fresh), 50u);
    kova_free(fresh);
    EXPECT_EQ(0u, m_memory.get_alloc_count());
    expect_no_record();  // the application allocator sends no traces
}

TEST_F(packet_memory_fixture, an_error_return_is_a_turned_copy_in_a_new_block_or_nothing) {
    struct case_t {
        msg_type_t type;
        double limit;
        msg_type_t returned;  // 0: the type has no error return
        double returned_limit;
    };
    const double infinite = 4290772992.0;  // the infinite packet time, decoded
    const case_t cases[] = {
        {c_mt_call, 2.5, c_mt_call_error_return, 2.5},
        {c_mt_signal_return, 2.5, c_mt_signal_cancel, infinite},  // a cancel must never time out
        {c_mt_broadcast, 2.5, 0, 0},
    };
    byte_t foreign[4];
    for (const case_t& c : cases) {
        struct_token source;
        ASSERT_EQ(c_kova_success, eproc_alloc_header(source, __FILE__, __LINE__));
        struct_packet* p = get_header(source);
        *p = struct_packet();
        p->initialize_packet(c_local_host, 0, c.limit);
        p->set_source(c_local_host, 7000, 0x8001);
        p->set_destination(0x0500000A, 7001, 5);
        p->initialize_header(16, 3, c.type, 7, c_kova_err_none);
        p->set_data(foreign);
        const struct_packet before = *p;
        const unsigned long count = m_memory.get_alloc_count();

        struct_token answer;
        answer.header_mm = 12345;  // whatever it held is not looked at
        proc_alloc_error_return(*p, 9, answer, __FILE__, __LINE__);
        EXPECT_EQ(0, std::memcmp(&before, p, sizeof before)) << "the packet is left as it was";
        EXPECT_EQ(0u, answer.data_mm);
        if (c.returned == 0) {
            EXPECT_EQ(0u, answer.header_mm) << int(c.type);
            EXPECT_EQ(count, m_memory.get_alloc_count()) << "nothing allocated for " << int(c.type);
        } else {
            ASSERT_NE(0u, answer.header_mm);
            EXPECT_NE(source.header_mm, answer.header_mm);
            const struct_packet* r = get_header(answer);
            EXPECT_EQ(c.returned, r->header.type);
            EXPECT_EQ(0x0500000Au, r->src_ip);
            EXPECT_EQ(c_local_host, r->dst_ip);
            EXPECT_EQ(7001, r->header.sport);
            EXPECT_EQ(7000, r->dst_port);
            EXPECT_EQ(5, r->header.sid);
            EXPECT_EQ(0x8001, r->header.did);
            EXPECT_EQ(9u, r->header.error);
            EXPECT_EQ(0u, r->header.size);
            EXPECT_EQ(3, r->header.num);
            EXPECT_EQ(nullptr, r->p_data) << "a pointer of the sender's process never travels on";
            EXPECT_DOUBLE_EQ(c.returned_limit, r->packet_limit_time);
            safe_free_header(answer, __FILE__, __LINE__);
        }
        safe_free_header(source, __FILE__, __LINE__);
        struct_debug_token record;
        while (next_record(record)) gp_memory->safe_free(record.token.header_mm, __FILE__, __LINE__);
    }
    EXPECT_EQ(0u, m_memory.get_alloc_count());
}
