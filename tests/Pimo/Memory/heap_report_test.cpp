// Every damage the heap checks for ends the process that meets it with one report line on
// standard output and status 255; each case runs in a probe over a private heap.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "heap_probe.h"

using kova_test::heap_probe;

namespace {

const unsigned c_size = 65536;
const std::string c_site = "probe_heap.cpp-42 lines";

struct report_case {
    const char* name;
    // Prepares the damage and returns the command that must meet it.
    std::function<std::string(heap_probe&)> prepare;
    // The whole output of that command, given the probe's "kova - pid(N)" text.
    std::function<std::string(const heap_probe&, const std::string& pid)> expected;
};

std::string put32(unsigned in_offset, unsigned in_value) {
    return "put32 " + std::to_string(in_offset) + " " + std::to_string(in_value);
}

// Header field of the block whose payload is at handle a.
unsigned field(unsigned a, unsigned in_offset) { return a - 256 + in_offset; }

unsigned g_mm = 0;  // the handle a case reports, for its expectation

const std::vector<report_case>& cases() {
    static const std::vector<report_case> all = {
        {"front_guard",
         [](heap_probe& p) {
             unsigned a = p.alloc(10);
             p.ask("poke " + std::to_string(a) + " -1 99");
             return std::string("alloc 8");
         },
         [](const heap_probe&, const std::string& pid) { return "메모리 전방 손상\n" + c_site + " - " + pid + "\n"; }},
        {"rear_guard_one_byte_past_the_size",
         [](heap_probe& p) {
             unsigned a = p.alloc(10);
             p.alloc(10);
             p.ask("poke " + std::to_string(a) + " 10 99");
             return std::string("alloc 8");
         },
         [](const heap_probe&, const std::string& pid) { return "메모리 후방 손상\n" + c_site + " - " + pid + "\n"; }},
        {"rear_guard_met_by_the_release_of_another_block",
         [](heap_probe& p) {
             unsigned a = p.alloc(72);
             unsigned b = p.alloc(72);
             p.ask("poke " + std::to_string(a) + " 79 0");
             return "free " + std::to_string(b);
         },
         [](const heap_probe&, const std::string& pid) { return "메모리 후방 손상\n" + c_site + " - " + pid + "\n"; }},
        {"size_that_puts_the_rear_guard_outside_the_segment",
         [](heap_probe& p) {
             unsigned a = p.alloc(10);
             p.ask(put32(field(a, 36), 0xFFFFFF00u));
             return "ref " + std::to_string(a);
         },
         [](const heap_probe&, const std::string& pid) { return "메모리 후방 손상\n" + c_site + " - " + pid + "\n"; }},
        {"double_free",
         [](heap_probe& p) {
             unsigned a = p.alloc(10);
             p.alloc(10);
             p.ask("free " + std::to_string(a));
             return "free " + std::to_string(a);
         },
         [](const heap_probe&, const std::string& pid) {
             return "this pointer is not allocated memory\n" + c_site + " - " + pid + "\n";
         }},
        {"double_free_after_the_block_merged_away",
         [](heap_probe& p) {
             unsigned a = p.alloc(10);
             unsigned b = p.alloc(10);
             p.alloc(10);
             p.ask("free " + std::to_string(a));
             p.ask("free " + std::to_string(b));
             g_mm = b;
             return "free " + std::to_string(b);
         },
         [](const heap_probe&, const std::string& pid) {
             return "this pointer is not memory block\nmm(" + std::to_string(g_mm) + ") - " + pid + "\n";
         }},
        {"pointer_inside_a_payload",
         [](heap_probe& p) {
             g_mm = p.alloc(64) + 8;
             return "free " + std::to_string(g_mm);
         },
         [](const heap_probe&, const std::string& pid) {
             return "this pointer is not memory block\nmm(" + std::to_string(g_mm) + ") - " + pid + "\n";
         }},
        {"whole_heap_check_of_a_pointer_past_the_segment",
         [](heap_probe& p) {
             p.alloc(64);
             g_mm = c_size + 4096;
             return "check " + std::to_string(g_mm);
         },
         [](const heap_probe&, const std::string& pid) {
             return "this pointer is not memory block\nmm(" + std::to_string(g_mm) + ") - " + pid + "\n";
         }},
        {"free_of_handle_zero", [](heap_probe&) { return std::string("free 0"); },
         [](const heap_probe&, const std::string&) {
             return std::string("KOVA MEMORY CRASHED!!\n - THIS PROGRAM SHALL BE KILLED!!!!\n\n");
         }},
        {"free_below_the_first_block", [](heap_probe&) { return std::string("free 300"); },
         [](const heap_probe&, const std::string&) {
             return std::string("KOVA MEMORY CRASHED!!\n - THIS PROGRAM SHALL BE KILLED!!!!\n\n");
         }},
        {"reference_to_a_freed_block",
         [](heap_probe& p) {
             unsigned a = p.alloc(10);
             p.alloc(10);
             p.ask("free " + std::to_string(a));
             return "ref " + std::to_string(a);
         },
         [](const heap_probe&, const std::string&) { return "refer freed memory probe_heap.cpp(7) - " + c_site + "\n"; }},
        {"allocated_block_with_a_tree_link",
         [](heap_probe& p) {
             unsigned a = p.alloc(10);
             p.ask(put32(field(a, 16), 256));
             return std::string("alloc 8");
         },
         [](const heap_probe&, const std::string&) { return std::string("is_clean_memory - 트리노드 이상\n"); }},
        {"allocated_block_with_a_list_link",
         [](heap_probe& p) {
             unsigned a = p.alloc(10);
             p.ask(put32(field(a, 28), 256));
             return "get_ref " + std::to_string(a);
         },
         [](const heap_probe&, const std::string&) {
             return std::string("is_clean_memory - 해제블럭 링크드 리스트 이상\n");
         }},
        {"allocation_site_longer_than_its_field", [](heap_probe&) { return std::string("site 1 193"); },
         [](const heap_probe&, const std::string&) { return std::string("mem printf - 디버그가 내용 침범\n"); }},
        {"block_check_of_handle_zero", [](heap_probe&) { return std::string("clean 0"); },
         [](const heap_probe&, const std::string&) { return std::string("is_clean_memory - not shared memory\n"); }},
        {"trees_that_disagree",
         [](heap_probe& p) {
             p.alloc(10);
             p.ask(put32(4, 0));
             return std::string("alloc 8");
         },
         [](const heap_probe&, const std::string&) { return std::string("Memory Tree is not eq! - kova\n"); }},
        {"address_tree_with_a_cycle",
         [](heap_probe& p) {
             unsigned a = p.alloc(10);
             p.alloc(10);
             p.ask("free " + std::to_string(a));
             unsigned root = static_cast<unsigned>(heap_probe::value(p.ask("get32 4"), "get32"));
             p.ask(put32(root + 4, root));
             return std::string("alloc 8");
         },
         [](const heap_probe&, const std::string&) { return std::string("Memory Tree is not eq! - kova\n"); }},
        {"size_tree_list_with_a_cycle",
         [](heap_probe& p) {
             unsigned a = p.alloc(10);
             p.alloc(10);
             unsigned c = p.alloc(10);
             p.alloc(10);
             p.ask("free " + std::to_string(a));
             p.ask("free " + std::to_string(c));
             // c hangs behind a in the list of their size: make it point back to itself.
             p.ask(put32(field(c, 24), c - 256));
             return std::string("alloc 8");
         },
         [](const heap_probe&, const std::string&) { return std::string("Memory Tree is not eq! - kova\n"); }},
        {"tree_link_outside_the_segment",
         [](heap_probe& p) {
             unsigned a = p.alloc(10);
             p.alloc(10);
             p.ask("free " + std::to_string(a));
             unsigned root = static_cast<unsigned>(heap_probe::value(p.ask("get32 0"), "get32"));
             p.ask(put32(root + 8, 0xFFFFFF00u));
             return std::string("alloc 8");
         },
         [](const heap_probe&, const std::string&) { return std::string("Memory Tree is not eq! - kova\n"); }},
        {"capacity_that_leaves_no_room_for_the_next_header",
         [](heap_probe& p) {
             unsigned a = p.alloc(10);
             p.ask(put32(field(a, 0), c_size - 100 - a));
             return std::string("alloc 8");
         },
         [](const heap_probe&, const std::string&) { return std::string("is_clean_memory - not shared memory\n"); }},
        {"capacity_that_wraps_32_bits",
         [](heap_probe& p) {
             unsigned a = p.alloc(10);
             // In 32 bits the walk would step back to the first block for ever.
             p.ask(put32(field(a, 0), 0u - 256u - 256u));
             return std::string("alloc 8");
         },
         nullptr},
        {"allocated_block_that_is_also_free",
         [](heap_probe& p) {
             // The single free block of a fresh heap, dressed up as allocated: guards and all.
             p.ask(put32(256 + 32, 1));
             p.ask(put32(256 + 36, 0));
             for (int i = 0; i < 16; ++i) p.ask("poke 512 " + std::to_string(i - 16) + " " + std::to_string(i));
             for (int i = 0; i < 8; ++i) p.ask("poke 512 " + std::to_string(i) + " " + std::to_string(i));
             return std::string("free 512");
         },
         [](const heap_probe&, const std::string& pid) {
             return "Freeing an already freed memory 512 - " + pid + "\n";
         }},
    };
    return all;
}

}  // namespace

TEST(heap_report, each_damage_ends_the_process_with_its_report) {
    for (const report_case& c : cases()) {
        SCOPED_TRACE(c.name);
        heap_probe p;
        ASSERT_TRUE(p.started());
        p.ask("local " + std::to_string(c_size));
        std::string cmd = c.prepare(p);
        std::string out;
        EXPECT_EQ(p.fatal(cmd, &out), 255) << out;
        if (c.expected) {
            EXPECT_EQ(out, c.expected(p, p.pid_text()));
        } else {
            // Any report will do, as long as the probe ends at once and does not crash.
            EXPECT_NE(out.find(" - "), std::string::npos) << out;
        }
    }
}

TEST(heap_report, a_site_of_exactly_two_hundred_characters_is_kept) {
    heap_probe p;
    ASSERT_TRUE(p.started());
    p.ask("local 65536");
    // 192 characters of file name and "-1 lines": 200 with the zero on the first guard byte.
    std::string a = p.ask("site 1 192");
    ASSERT_EQ(heap_probe::value(a, "alloc"), 0) << a;
    unsigned mm = static_cast<unsigned>(heap_probe::value(a, "alloc", 1));
    EXPECT_EQ(p.ask("check " + std::to_string(mm)), "check 1\n");
    EXPECT_EQ(p.ask("clean " + std::to_string(mm)), "clean 1\n");
    EXPECT_EQ(p.ask("free " + std::to_string(mm)), "");
}
