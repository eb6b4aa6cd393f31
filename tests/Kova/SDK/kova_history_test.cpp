// History snapshots: what an element shows, deep copies that share the blocks, the
// letter case adopted twice, and the references a history gives back.
#include "Kova/Common/Open/Kova/kova_history.h"

#include <gtest/gtest.h>

#include "Kova/SDK/History/struct_letter_case.h"
#include "sdk_rig.h"

using namespace kova_sdk_test;

namespace {

// A letter case of packets built by the rig, each token its only holder, newest first.
struct packet_row {
    std::size_t block;    // data block payload bytes; 0: no block
    pksize_t claim;       // the header's size
    double limit;
    kova_clock_t clock;
};

letter_case_t make_letter_case(sdk_rig& in_rig, std::initializer_list<packet_row> in_rows) {
    letter_case_t letter_case = new struct_letter_case;
    for (const packet_row& r : in_rows) {
        packet_spec s{c_mt_information_tcp, 5, 0x7C00, 0xC000, 1, 1, 1};
        s.payload = r.block;
        s.limit = r.limit;
        struct_token t = in_rig.make(s);
        t.get_header_packet()->header.size = r.claim;
        t.get_header_packet()->arrival_cpu_clock_counter = r.clock;
        letter_case->token_vect.push_back(t);
    }
    return letter_case;
}

Pimo::Memory::ref_count_t refs(Pimo::Memory::mm_t in_mm) { return Common::Global::gp_memory->get_ref(in_mm); }

// Every field of an element that is not there is 0.
template <typename T>
void expect_zero(const template_history_elem<T>& in_e) {
    EXPECT_EQ(in_e.p_buffer, nullptr);
    EXPECT_EQ(in_e.size, 0u);
    EXPECT_EQ(in_e.interval, 0.0);
    EXPECT_EQ(in_e.clock, 0u);
}

}  // namespace

TEST(kova_history, elements_show_the_packets_with_sizes_held_to_their_blocks) {
    sdk_rig rig(1);
    const unsigned long before = rig.remain();
    {
        template_history<int> h(make_letter_case(rig, {{16, 16, 2.0, 111},     // newest
                                                       {8, 100000, 1.0, 222},  // claims more than its block
                                                       {0, 100, 4.0, 333}}));  // no block at all
        ASSERT_TRUE(static_cast<bool>(h));
        ASSERT_EQ(h.size(), 3u);
        EXPECT_FALSE(h.empty());
        const std::vector<struct_token>& tokens = h.letter_case->token_vect;
        struct want {
            const void* buffer;
            std::size_t size;
            double interval;
            kova_clock_t clock;
        };
        const want wants[] = {
            {tokens[0].get_data(), 16, 2.0, 111},
            {tokens[1].get_data(), Common::Interface::get_data_size(tokens[1].data_mm), 1.0, 222},
            {nullptr, 0, 4.0, 333},
        };
        for (std::size_t i = 0; i < 3; ++i) {
            SCOPED_TRACE(i);
            const template_history_elem<int> e = h[i];
            EXPECT_EQ(static_cast<const void*>(e.p_buffer), wants[i].buffer);
            EXPECT_EQ(e.size, wants[i].size);
            EXPECT_NEAR(e.interval, wants[i].interval, wants[i].interval / 16);  // the 16-bit packet time
            EXPECT_EQ(e.clock, wants[i].clock);
        }
        // The payload is the block itself: byte i holds i.
        EXPECT_EQ(static_cast<const unsigned char*>(h.kova_history::operator[](0).p_buffer)[5], 5);
        expect_zero(h[3]);
        expect_zero(h[~std::size_t(0)]);
    }
    EXPECT_EQ(rig.remain(), before);
}

TEST(kova_history, empty_forms) {
    sdk_rig rig(1);
    struct row {
        const char* name;
        bool with_letter_case;
    };
    for (const row& r : {row{"nothing held", false}, row{"a letter case without packets", true}}) {
        SCOPED_TRACE(r.name);
        kova_history h(r.with_letter_case ? new struct_letter_case : nullptr);
        EXPECT_EQ(static_cast<bool>(h), r.with_letter_case);
        EXPECT_TRUE(h.empty());
        EXPECT_EQ(h.size(), 0u);
        expect_zero(h[0]);
        const kova_history copy(h);
        EXPECT_EQ(static_cast<bool>(copy), r.with_letter_case);
        if (r.with_letter_case) {
            EXPECT_NE(copy.letter_case, h.letter_case) << "a copy has a letter case of its own";
        }
    }
}

TEST(kova_history, copies_share_the_blocks_and_each_gives_back_its_own_references) {
    sdk_rig rig(1);
    const unsigned long before = rig.remain();
    kova_history original(make_letter_case(rig, {{32, 32, 1.0, 1}, {0, 0, 1.0, 2}}));
    // The test keeps references of its own to watch the counts.
    std::vector<struct_token> watched = original.letter_case->token_vect;
    for (struct_token& t : watched) Common::Interface::safe_add_ref_token(t, __FILE__, __LINE__);
    {
        kova_history copy(original);
        kova_history second(make_letter_case(rig, {{4, 4, 1.0, 3}}));  // released by the assignment
        second = copy;
        EXPECT_EQ(refs(watched[0].header_mm), 4);
        EXPECT_EQ(refs(watched[0].data_mm), 4);
        EXPECT_EQ(refs(watched[1].header_mm), 4);
        original.clear();
        EXPECT_FALSE(static_cast<bool>(original));
        // The copy reads what the cleared history held.
        ASSERT_EQ(copy.size(), 2u);
        EXPECT_EQ(copy[0].p_buffer, watched[0].get_data());
        EXPECT_EQ(static_cast<const unsigned char*>(copy[0].p_buffer)[31], 31);
        EXPECT_EQ(second[0].p_buffer, copy[0].p_buffer);
        // Assigning a history to itself changes nothing.
        second = *&second;
        EXPECT_EQ(refs(watched[0].header_mm), 3);
    }
    EXPECT_EQ(refs(watched[0].header_mm), 1);
    EXPECT_EQ(refs(watched[0].data_mm), 1);
    EXPECT_EQ(refs(watched[1].header_mm), 1);
    for (struct_token& t : watched) Common::Interface::safe_free_token(t, __FILE__, __LINE__);
    EXPECT_EQ(rig.remain(), before);
}

TEST(kova_history, adopting_the_letter_case_held_already_changes_nothing) {
    sdk_rig rig(1);
    const unsigned long before = rig.remain();
    {
        template_history<int> h(make_letter_case(rig, {{8, 8, 1.0, 7}}));
        const letter_case_t held = h.letter_case;
        const Pimo::Memory::mm_t header = held->token_vect[0].header_mm;
        h = held;
        ASSERT_EQ(h.letter_case, held);
        ASSERT_EQ(h.size(), 1u);
        EXPECT_EQ(h[0].clock, 7u);
        EXPECT_EQ(refs(header), 1);
        // Another letter case replaces it, releasing what it held.
        h = make_letter_case(rig, {{0, 0, 1.0, 8}, {0, 0, 1.0, 9}});
        EXPECT_EQ(h.size(), 2u);
        EXPECT_EQ(h[1].clock, 9u);
    }
    EXPECT_EQ(rig.remain(), before);
}
