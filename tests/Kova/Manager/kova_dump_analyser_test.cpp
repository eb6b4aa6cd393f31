#include "Kova/Manager/kova_dump_analyser.h"

#include <gtest/gtest.h>
#include <sys/mman.h>

#include <cstring>
#include <string>
#include <vector>

#include "Kova/Common/Hidden/struct_packet.h"
#include "Kova/Common/Open/Kova/kova_const.h"
#include "Kova/kova_utility/kova_utility.h"
#include "Pimo/Memory/class_heap_manager.h"
#include "Pimo/OS/Linux/class_lock.h"
#include "manager_test_support.h"

using namespace Kova;
using namespace kova_test;
using Pimo::Memory::class_heap_manager;

namespace {

// A heap over a plain buffer, allocated and filled as processes would, then read as a dump.
class dump_fixture {
public:
    explicit dump_fixture(u_int32_t in_size)
        : m_buf(in_size / 8, 0), m_heap(m_buf.data(), in_size, &m_lock, true), m_size(in_size) {}

    unsigned char* base() { return reinterpret_cast<unsigned char*>(m_buf.data()); }
    struct_packet* alloc_packet(u_int32_t in_payload, msg_type_t in_type, msg_code_t in_code) {
        const u_int32_t asked = in_payload ? 72 + in_payload : 72;
        auto* p = static_cast<struct_packet*>(m_heap.alloc(asked, "dump_test.cpp", 7));
        std::memset(static_cast<void*>(p), 0, sizeof *p);
        p->src_ip = Kova::inet_addr("10.1.2.3");
        p->dst_ip = c_local_host;
        p->dst_port = 7001;
        p->header.sport = 7000;
        p->header.type = in_type;
        p->header.code = in_code;
        p->header.size = in_payload;
        return p;
    }
    std::string analyse() { return analyse_memory(base(), m_size); }

private:
    std::vector<u_int64_t> m_buf;
    Pimo::OS::class_thread_lock m_lock;
    class_heap_manager m_heap;
    u_int32_t m_size;
};

// The analyser prints where its copy of each block stands; that differs from run to run.
std::string normalised(const std::string& in_text) {
    std::string out;
    size_t from = 0;
    for (size_t at; (at = in_text.find("block 0x", from)) != std::string::npos;) {
        const size_t key = in_text.find("  key=", at);
        if (key == std::string::npos) break;
        out += in_text.substr(from, at - from) + "block @";
        from = key;
    }
    return out + in_text.substr(from);
}

size_t count_of(const std::string& in_text, const std::string& in_part) {
    size_t n = 0;
    for (size_t at = in_text.find(in_part); at != std::string::npos; at = in_text.find(in_part, at + 1)) ++n;
    return n;
}

const char* const c_banner = "************************ detected durty block *****\n";

}  // namespace

TEST(dump_analyser, fresh_memory_is_one_never_allocated_block) {
    dump_fixture f(64 * 1024);
    const std::string expected =
        "free = 65024\nalloc = 0\nalloc_count = 0\nrefer_count = 0\nreset_count = 1\n"
        "block @  key=65024 -------------\n"
        "block next = 0(allocated block)\nblock prev = 0\nblock ref = 0\nblock alloc_size=3452816845\n"
        "block trailer = (past end of file)\n"
        "block is data , pk_size is about 3452816773\n"
        "block src = 0.0.0.0:0\nblock dst = 0.0.0.0:0\nblock type = null\nblock code = 0000(ICD)\nblock pksize = 0\n"
        "block_it overflow\nend block\n";
    EXPECT_EQ(normalised(f.analyse()), expected);
}

TEST(dump_analyser, never_allocated_block_is_not_called_damaged_when_its_guard_lies_in_the_file) {
    // A memory larger than the fill pattern read as a size: the fresh block's guard position
    // then lies inside the dump. Untouched pages of the mapping cost nothing.
    const u_int64_t size = 0xCDCDCDCDull + 4096;
    void* map = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    ASSERT_NE(map, MAP_FAILED);
    {
        Pimo::OS::class_thread_lock lock;
        class_heap_manager heap(map, size, &lock, true);
    }
    const std::string out = analyse_memory(map, size);
    munmap(map, size);
    EXPECT_EQ(out.find("detected durty block"), std::string::npos) << out;
    EXPECT_NE(out.find("block trailer = 00000000\n"), std::string::npos) << out;
    EXPECT_NE(out.find("end block\n"), std::string::npos);
}

TEST(dump_analyser, header_and_data_blocks_show_their_packet_fields) {
    dump_fixture f(64 * 1024);
    f.alloc_packet(0, c_mt_ctrl, c_mccr_object_create);
    f.alloc_packet(100, c_mt_call, 0x1A2B);
    const std::string out = normalised(f.analyse());
    const std::string header_block =
        "block @  key=80 -------------\n"
        "block next = 0(allocated block)\nblock prev = 0\nblock ref = 1\nblock alloc_size=72\n"
        "block trailer = 01234567\n"
        "block is for header\n"
        "block src = 10.1.2.3:7000\nblock dst = 127.0.0.1:7001\nblock type = control\n"
        "block code = 0003(c_mccr_object_create)\nblock pksize = 0\n";
    const std::string data_block =
        "block @  key=184 -------------\n"
        "block next = 0(allocated block)\nblock prev = 0\nblock ref = 1\nblock alloc_size=172\n"
        "block trailer = 01234567\n"
        "block is data , pk_size is about 100\n"
        "block src = 10.1.2.3:7000\nblock dst = 127.0.0.1:7001\nblock type = call\n"
        "block code = 1A2B(ICD)\nblock pksize = 100\n";
    EXPECT_NE(out.find("alloc_count = 2\nrefer_count = 2\nreset_count = 1\n" + header_block + data_block),
              std::string::npos)
        << out;
    // Two allocated blocks and the free rest: only the third exceeds the count.
    EXPECT_EQ(count_of(out, "block_it overflow\n"), 1u);
    EXPECT_EQ(out.substr(out.size() - 28), "block_it overflow\nend block\n");
}

TEST(dump_analyser, block_written_past_its_size_gets_the_damage_banner) {
    dump_fixture f(64 * 1024);
    f.alloc_packet(0, c_mt_ctrl, c_mccr_object_destroy);
    struct_packet* small = f.alloc_packet(100, c_mt_call, 9);
    struct_packet* large = f.alloc_packet(400, c_mt_event, 9);
    reinterpret_cast<unsigned char*>(small)[172] = 0xEE;  // one byte past the asked size
    reinterpret_cast<unsigned char*>(large)[472] = 0xEE;
    const std::string out = normalised(f.analyse());
    const size_t first = out.find(c_banner);
    ASSERT_NE(first, std::string::npos) << out;
    EXPECT_GT(first, out.find("block @  key=80 ")) << "the intact header block has no banner";
    const std::string small_part = out.substr(first, out.find("block @  key=184 ") - first);
    EXPECT_EQ(small_part, std::string(c_banner) +
                              "block len.key = 184\nblock len.right = 0\nblock len.left = 0\n"
                              "block ptr.key = 592\nblock ptr.right = 0\nblock ptr.left = 0\n\n")
        << "no guard pattern in the first 184 bytes of this block: no detail groups";
    EXPECT_NE(out.find("block trailer = 2381234567\nblock is data , pk_size is about 100\n"), std::string::npos);

    // The larger block's first len.key bytes reach its front guard, which holds the pattern:
    // the eight shifted groups follow the six lines, each with an empty line, then the
    // banner's own empty line.
    const size_t second = out.find(c_banner, first + 1);
    ASSERT_NE(second, std::string::npos) << out;
    const std::string large_part = out.substr(second, out.find("block @  key=480 ") - second);
    EXPECT_EQ(large_part.find(std::string(c_banner) + "block len.key = 480\nblock len.right = 0\n"), 0u)
        << large_part;
    EXPECT_EQ(count_of(large_part, "\tdurdy block len.key = "), 8u);
    EXPECT_EQ(count_of(large_part, "\tdurdy block pksize = "), 8u);
    EXPECT_NE(large_part.find("block ptr.left = 0\n\tdurdy block len.key = 480\n"), std::string::npos);
    EXPECT_NE(large_part.find("\tdurdy block alloc_size=472\n"), std::string::npos);
    EXPECT_NE(large_part.find("\tdurdy block type = event\n"), std::string::npos);
    EXPECT_EQ(large_part.substr(large_part.size() - 3), "\n\n\n");
}

TEST(dump_analyser, fields_past_the_end_of_a_cut_dump_are_not_read) {
    dump_fixture f(64 * 1024);
    f.alloc_packet(0, c_mt_ctrl, c_mccr_object_create);
    const u_int64_t payload = 512;
    struct {
        u_int64_t len;
        const char* must_show;
    } cases[] = {
        {0, "free = (past end of file)\nalloc = (past end of file)\nalloc_count = (past end of file)\n"
            "refer_count = (past end of file)\nreset_count = (past end of file)\nend block\n"},
        {14, "free = 64688\nalloc = (past end of file)\n"},
        {100, "reset_count = 1\nend block\n"},
        {300, "reset_count = 1\nblock header at 256 (past end of file)\nend block\n"},
        {payload + 40, "block trailer = (past end of file)\nblock is for header\nblock src = (past end of file)\n"
                       "block dst = (past end of file)\nblock type = (past end of file)\n"},
        {payload + 60, "block src = 10.1.2.3:7000\nblock dst = 127.0.0.1:7001\nblock type = control\n"
                       "block code = 0003(c_mccr_object_create)\nblock pksize = (past end of file)\n"},
    };
    for (const auto& c : cases) {
        const std::string out = analyse_memory(f.base(), c.len);
        EXPECT_NE(out.find(c.must_show), std::string::npos) << "length " << c.len << ":\n" << out;
        EXPECT_EQ(out.substr(out.size() - 10), "end block\n") << "length " << c.len;
    }
}

TEST(dump_analyser, missing_file_prints_only_the_analyse_line_and_a_directory_is_refused) {
    EXPECT_EQ(analyse_file("/nonexistent/shared_memory.dump"), "/nonexistent/shared_memory.dump analyze.\n");
    EXPECT_EQ(analyse_file("/"), "/ analyze.\n/ is not a regular file\n");
}
